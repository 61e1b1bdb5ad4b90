#include "core/kthread.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>

#include <gtest/gtest.h>

#include "platform/thread_id.h"

namespace {

using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

int StartThread(koThread* thread, void (*start)(void*), void* arg) {
  return thread->Create(PR_USER_THREAD, start, arg, PR_PRIORITY_NORMAL, PR_GLOBAL_THREAD,
                        PR_JOINABLE_THREAD, 0);
}

TEST(koEvent, StaysSetUntilReset) {
  koEvent event;
  EXPECT_EQ(0, event.Wait(0));
  ASSERT_EQ(1, event.Set());
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(1, event.Wait(60000));
  EXPECT_EQ(1, event.Wait(60000));
  EXPECT_EQ(1, event.Wait(0));
  EXPECT_EQ(1, event.Wait(-1));
  EXPECT_LT(MsSince(start), 1000);

  ASSERT_EQ(1, event.Reset());
  const Clock::time_point reset = Clock::now();
  EXPECT_EQ(0, event.Wait(100));
  const int64_t waited = MsSince(reset);
  EXPECT_GE(waited, 95);
  EXPECT_LT(waited, 1000);
}

TEST(koEvent, ZeroWaitOnUnsetEventDoesNotBlock) {
  koEvent event;
  const Clock::time_point start = Clock::now();
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(0, event.Wait(0));
  EXPECT_LT(MsSince(start), 50);
}

struct SetLater {
  koEvent* event;
  uint32_t delay_ms;
};

void SetAfterDelay(void* arg) {
  SetLater* job = static_cast<SetLater*>(arg);
  SleepMs(job->delay_ms);
  job->event->Set();
}

TEST(koEvent, UnlimitedWaitEndsWhenAnotherThreadSets) {
  koEvent event;
  SetLater job = {&event, 100};
  koThread setter;
  ASSERT_EQ(1, StartThread(&setter, SetAfterDelay, &job));
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(1, event.Wait(-1));
  EXPECT_GE(MsSince(start), 90);
  EXPECT_EQ(1, setter.Join());
}

TEST(koEvent, TimedWaitEndsEarlyWhenSet) {
  koEvent event;
  SetLater job = {&event, 50};
  koThread setter;
  ASSERT_EQ(1, StartThread(&setter, SetAfterDelay, &job));
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(1, event.Wait(60000));
  EXPECT_LT(MsSince(start), 5000);
  EXPECT_EQ(1, setter.Join());
}

struct Waiter {
  koEvent event;
  std::atomic<PRThread*> self{nullptr};
  std::atomic<bool> done{false};
  int result = -1;
  int64_t waited_ms = 0;
};

void WaitBriefly(void* arg) {
  Waiter* waiter = static_cast<Waiter*>(arg);
  waiter->self = PR_GetCurrentThread();
  const Clock::time_point start = Clock::now();
  waiter->result = waiter->event.Wait(300);
  waiter->waited_ms = MsSince(start);
  waiter->done = true;
}

// Interrupting the waiter wakes it without the flag being set, as a spurious
// wake would: each such wake must count against the same time-out, and the
// wait after the last one must be only for what is left of it.
TEST(koEvent, WakesWithoutTheFlagDoNotExtendTheWait) {
  Waiter waiter;
  koThread thread;
  ASSERT_EQ(1, StartThread(&thread, WaitBriefly, &waiter));
  const Clock::time_point start = Clock::now();
  int wakes = 0;
  while (!waiter.done && MsSince(start) < 150) {
    PRThread* self = waiter.self;
    if (self != nullptr && PR_Interrupt(self) == PR_SUCCESS) ++wakes;
    SleepMs(5);
  }
  ASSERT_EQ(1, thread.Join());
  EXPECT_GT(wakes, 5);
  EXPECT_EQ(0, waiter.result);
  EXPECT_GE(waiter.waited_ms, 290);
  EXPECT_LT(waiter.waited_ms, 420);
}

void DoNothing(void*) {}

TEST(koThread, JoinAnswersOneWithoutAThread) {
  koThread thread;
  EXPECT_EQ(0, thread.IsCreated());
  EXPECT_EQ(1, thread.Join());
  ASSERT_EQ(1, StartThread(&thread, DoNothing, nullptr));
  EXPECT_EQ(1, thread.IsCreated());
  EXPECT_EQ(1, thread.Join());
  EXPECT_EQ(1, thread.IsCreated());
}

struct Counter {
  koMutex lock;
  volatile int value = 0;
};

void Count(void* arg) {
  Counter* counter = static_cast<Counter*>(arg);
  for (int i = 0; i < 20000; ++i) {
    counter->lock.Lock();
    const int seen = counter->value;
    counter->value = seen + 1;
    EXPECT_EQ(1, counter->lock.Unlock());
  }
}

TEST(koMutex, ProtectsACounterAcrossThreads) {
  Counter counter;
  koThread threads[8];
  for (koThread& thread : threads) ASSERT_EQ(1, StartThread(&thread, Count, &counter));
  for (koThread& thread : threads) EXPECT_EQ(1, thread.Join());
  EXPECT_EQ(8 * 20000, counter.value);
}

struct Holder {
  koRWLock* lock;
  bool writer;
  koEvent in;       // set once the lock is held
  koEvent release;  // the holder lets go when this is set
};

void Hold(void* arg) {
  Holder* holder = static_cast<Holder*>(arg);
  if (holder->writer) {
    holder->lock->WriteLock();
  } else {
    holder->lock->ReadLock();
  }
  holder->in.Set();
  holder->release.Wait(-1);
  holder->lock->Unlock();
}

TEST(koRWLock, ReadersShareAndWritersWait) {
  koRWLock lock;
  Holder first{&lock, false, {}, {}};
  Holder second{&lock, false, {}, {}};
  Holder writer{&lock, true, {}, {}};
  Holder late_reader{&lock, false, {}, {}};
  koThread t1, t2, tw, tr;

  ASSERT_EQ(1, StartThread(&t1, Hold, &first));
  ASSERT_EQ(1, first.in.Wait(5000));
  ASSERT_EQ(1, StartThread(&t2, Hold, &second));
  EXPECT_EQ(1, second.in.Wait(5000)) << "a second reader was kept out";

  ASSERT_EQ(1, StartThread(&tw, Hold, &writer));
  EXPECT_EQ(0, writer.in.Wait(200)) << "a writer got in beside readers";
  first.release.Set();
  EXPECT_EQ(0, writer.in.Wait(100)) << "a writer got in beside a reader";
  second.release.Set();
  EXPECT_EQ(1, writer.in.Wait(5000));

  ASSERT_EQ(1, StartThread(&tr, Hold, &late_reader));
  EXPECT_EQ(0, late_reader.in.Wait(200)) << "a reader got in beside the writer";
  writer.release.Set();
  EXPECT_EQ(1, late_reader.in.Wait(5000));
  late_reader.release.Set();

  for (koThread* t : {&t1, &t2, &tw, &tr}) EXPECT_EQ(1, t->Join());
}

TEST(koSleepMs, SleepLastsAtLeastTheTimeAsked) {
  const PRIntervalTime before = koIntervalNow();
  const Clock::time_point start = Clock::now();
  SleepMs(100);
  EXPECT_GE(MsSince(start), 100);
  const PRUint32 ms = PR_IntervalToMilliseconds(static_cast<PRIntervalTime>(koIntervalNow() - before));
  EXPECT_GE(ms, 99u);
  EXPECT_LT(ms, 2000u);
}

void RecordThreadId(void* arg) { *static_cast<uint32_t*>(arg) = koCurrentThreadId(); }

TEST(koCurrentThreadId, NamesEachThreadAndNeverZero) {
  const uint32_t main_id = koCurrentThreadId();
  EXPECT_EQ(static_cast<uint32_t>(getpid()), main_id);
  EXPECT_EQ(main_id, koCurrentThreadId());
  uint32_t other_id = 0;
  koThread thread;
  ASSERT_EQ(1, StartThread(&thread, RecordThreadId, &other_id));
  ASSERT_EQ(1, thread.Join());
  EXPECT_NE(0u, other_id);
  EXPECT_NE(main_id, other_id);
}

}  // namespace
