#include "core/kthread.h"

#include <cerrno>
#include <ctime>

int koThread::Create(PRThreadType type, void (*start)(void*), void* arg,
                     PRThreadPriority priority, PRThreadScope scope, PRThreadState state,
                     PRUint32 stack_size) {
  PRThread* thread = PR_CreateThread(type, start, arg, priority, scope, state, stack_size);
  if (thread == nullptr) return 0;
  thread_ = thread;
  return 1;
}

int koThread::Join() {
  if (thread_ == nullptr) return 1;
  return PR_JoinThread(thread_) == PR_SUCCESS ? 1 : 0;
}

koMutex::koMutex() : lock_(PR_NewLock()) {}

koMutex::~koMutex() {
  if (lock_ != nullptr) PR_DestroyLock(lock_);
}

void koMutex::Lock() { PR_Lock(lock_); }

int koMutex::Unlock() { return PR_Unlock(lock_) == PR_SUCCESS ? 1 : 0; }

koRWLock::koRWLock() : lock_(PR_NewRWLock(0, "")) {}

koRWLock::~koRWLock() {
  if (lock_ != nullptr) PR_DestroyRWLock(lock_);
}

void koRWLock::ReadLock() { PR_RWLock_Rlock(lock_); }

void koRWLock::WriteLock() { PR_RWLock_Wlock(lock_); }

void koRWLock::Unlock() { PR_RWLock_Unlock(lock_); }

koEvent::koEvent() : lock_(PR_NewLock()), cond_(nullptr) {
  if (lock_ != nullptr) cond_ = PR_NewCondVar(lock_);
}

koEvent::~koEvent() {
  if (cond_ != nullptr) PR_DestroyCondVar(cond_);
  if (lock_ != nullptr) PR_DestroyLock(lock_);
}

int koEvent::Set() {
  PR_Lock(lock_);
  PR_NotifyCondVar(cond_);
  signalled_ = 1;
  ++sets_;
  PR_Unlock(lock_);
  return 1;
}

int koEvent::Reset() {
  PR_Lock(lock_);
  signalled_ = 0;
  PR_Unlock(lock_);
  return 1;
}

namespace {

// A long finite time-out must never turn into the runtime's "no time-out" value
// (nor wrap) when the tick rate exceeds one per millisecond.
PRIntervalTime ToInterval(int ms) {
  if (ms < 0) return PR_INTERVAL_NO_TIMEOUT;
  const uint64_t ticks = static_cast<uint64_t>(ms) * PR_TicksPerSecond() / 1000;
  if (ticks >= PR_INTERVAL_NO_TIMEOUT) return PR_INTERVAL_NO_TIMEOUT - 1;
  return PR_MillisecondsToInterval(static_cast<PRUint32>(ms));
}

}  // namespace

int koEvent::Wait(int ms) {
  const PRIntervalTime timeout = ToInterval(ms);
  const bool unlimited = timeout == PR_INTERVAL_NO_TIMEOUT;
  PRIntervalTime elapsed = 0;
  int result = 0;

  PR_Lock(lock_);
  const uint64_t setsBefore = sets_;
  for (;;) {
    if (signalled_ || sets_ != setsBefore) {
      result = 1;
      break;
    }
    // Tested before waiting so that Wait(0) answers at once instead of
    // spinning on zero-length waits.
    if (!unlimited && elapsed >= timeout) break;
    const PRIntervalTime before = PR_IntervalNow();
    PR_WaitCondVar(cond_, unlimited ? PR_INTERVAL_NO_TIMEOUT : timeout - elapsed);
    if (!unlimited) {
      // Unsigned subtraction keeps the measure right across the clock's wrap;
      // a spurious wake then waits only for what is left.
      const PRIntervalTime spent = static_cast<PRIntervalTime>(PR_IntervalNow() - before);
      elapsed = spent >= timeout - elapsed ? timeout : elapsed + spent;
    }
  }
  PR_Unlock(lock_);
  return result;
}

void SleepMs(uint32_t ms) {
  struct timespec left;
  left.tv_sec = static_cast<time_t>(ms / 1000);
  left.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
  // A signal must not cut the sleep short.
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}
