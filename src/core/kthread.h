// Thin wrappers over NSPR threads, locks, reader-writer locks and a
// manual-reset event, and guards that hold a lock for one scope. They add no
// policy beyond the event's wait loop; callers choose priorities, join states
// and time-outs. No wrapper logs.
#ifndef PV_CORE_KTHREAD_H
#define PV_CORE_KTHREAD_H

#include <cstdint>

#include <prcvar.h>
#include <prinrval.h>
#include <prlock.h>
#include <prrwlock.h>
#include <prthread.h>

// One thread. The destructor neither joins nor interrupts it.
class koThread {
 public:
  koThread() = default;
  virtual ~koThread() = default;
  koThread(const koThread&) = delete;
  koThread& operator=(const koThread&) = delete;

  // Passes all seven arguments unchanged to PR_CreateThread. 1 when created.
  int Create(PRThreadType type, void (*start)(void*), void* arg, PRThreadPriority priority,
             PRThreadScope scope, PRThreadState state, PRUint32 stack_size);
  // 1 at once when no thread was created; else PR_JoinThread's outcome.
  int Join();
  int IsCreated() const { return thread_ != nullptr ? 1 : 0; }

 private:
  PRThread* thread_ = nullptr;
};

// A plain, non-recursive lock.
class koMutex {
 public:
  koMutex();
  virtual ~koMutex();
  koMutex(const koMutex&) = delete;
  koMutex& operator=(const koMutex&) = delete;
  void Lock();
  int Unlock();

 private:
  PRLock* lock_;
};

// Many readers or one writer. Not re-entrant: a holder must not take it again.
class koRWLock {
 public:
  koRWLock();
  virtual ~koRWLock();
  koRWLock(const koRWLock&) = delete;
  koRWLock& operator=(const koRWLock&) = delete;
  void ReadLock();
  void WriteLock();
  void Unlock();

 private:
  PRRWLock* lock_;
};

// Guards: take the lock on construction, release it on leaving the scope.
// The lock must outlive the guard.
class koMutexGuard {
 public:
  explicit koMutexGuard(koMutex& m) : m_(m) { m_.Lock(); }
  ~koMutexGuard() { m_.Unlock(); }
  koMutexGuard(const koMutexGuard&) = delete;
  koMutexGuard& operator=(const koMutexGuard&) = delete;

 private:
  koMutex& m_;
};

class koReadGuard {
 public:
  explicit koReadGuard(koRWLock& l) : l_(l) { l_.ReadLock(); }
  ~koReadGuard() { l_.Unlock(); }
  koReadGuard(const koReadGuard&) = delete;
  koReadGuard& operator=(const koReadGuard&) = delete;

 private:
  koRWLock& l_;
};

class koWriteGuard {
 public:
  explicit koWriteGuard(koRWLock& l) : l_(l) { l_.WriteLock(); }
  ~koWriteGuard() { l_.Unlock(); }
  koWriteGuard(const koWriteGuard&) = delete;
  koWriteGuard& operator=(const koWriteGuard&) = delete;

 private:
  koRWLock& l_;
};

// Manual-reset event: once set, every Wait answers 1 at once until Reset.
// Set wakes one waiter; each event of the system has one waiting thread.
// A Set that comes while a Wait is under way ends it with 1 even when a
// Reset follows before the waiter runs: a short pulse is never lost to a
// thread that was waiting for it, however slowly the machine schedules it.
class koEvent {
 public:
  koEvent();
  virtual ~koEvent();
  koEvent(const koEvent&) = delete;
  koEvent& operator=(const koEvent&) = delete;
  int Set();
  int Reset();
  // ms = -1 waits without limit. 1 when the event is (or becomes) set, 0 on time-out.
  int Wait(int ms);

 private:
  PRLock* lock_;
  PRCondVar* cond_;
  int signalled_ = 0;  // read and written only under lock_
  uint64_t sets_ = 0;  // the number of Sets so far; under lock_
};

// The calling thread sleeps for ms milliseconds.
void SleepMs(uint32_t ms);

// The runtime's free-running interval clock; differences are taken modulo 2^32.
inline PRIntervalTime koIntervalNow() { return PR_IntervalNow(); }

#endif  // PV_CORE_KTHREAD_H
