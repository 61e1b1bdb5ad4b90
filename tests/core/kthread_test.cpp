#include "core/kthread.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

#include "platform/os/thread_id.h"
#include "support/child.h"

namespace {

using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

int StartThread(koThread* thread, void (*start)(void*), void* arg) {
  return thread->Create(PR_USER_THREAD, start, arg, PR_PRIORITY_NORMAL, PR_GLOBAL_THREAD,
                        PR_JOINABLE_THREAD, 0);
}

// The bounds below only tell a wait that did not block from one that did
// (or from a time-out that never fired); they hold on any machine.
TEST(koEvent, StaysSetUntilResetAndZeroWaitsDoNotBlock) {
  koEvent event;
  Clock::time_point start = Clock::now();
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(0, event.Wait(0));
  EXPECT_LT(MsSince(start), 5000);  // 5 ms a call would be blocking

  ASSERT_EQ(1, event.Set());
  start = Clock::now();
  EXPECT_EQ(1, event.Wait(60000));
  EXPECT_EQ(1, event.Wait(60000));
  EXPECT_EQ(1, event.Wait(-1));
  EXPECT_LT(MsSince(start), 30000);

  ASSERT_EQ(1, event.Reset());
  start = Clock::now();
  EXPECT_EQ(0, event.Wait(100));
  EXPECT_GE(MsSince(start), 95);
  EXPECT_LT(MsSince(start), 10000);
}

void SetAfter100Ms(void* arg) {
  SleepMs(100);
  static_cast<koEvent*>(arg)->Set();
}

TEST(koEvent, WaitEndsWhenAnotherThreadSets) {
  for (int32_t timeout : {-1, 60000}) {
    koEvent event;
    koThread setter;
    // Taken before the setter exists, so its 100 ms all fall after it.
    const Clock::time_point start = Clock::now();
    ASSERT_EQ(1, StartThread(&setter, SetAfter100Ms, &event));
    EXPECT_EQ(1, event.Wait(timeout));
    EXPECT_GE(MsSince(start), 100);
    EXPECT_LT(MsSince(start), 30000);  // far below the 60 s time-out
    EXPECT_EQ(1, setter.Join());
  }
}

struct Waiter {
  koEvent event;
  std::atomic<PRThread*> self{nullptr};
  std::atomic<uint32_t> tid{0};
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
// wake would: each such wake must count against the same time-out. The waiter
// is woken every few milliseconds until its wait ends; a wait that started
// over on each wake would never end.
TEST(koEvent, WakesWithoutTheFlagDoNotExtendTheWait) {
  Waiter waiter;
  koThread thread;
  ASSERT_EQ(1, StartThread(&thread, WaitBriefly, &waiter));
  const Clock::time_point start = Clock::now();
  int wakes = 0;
  while (!waiter.done && MsSince(start) < 30000) {
    PRThread* self = waiter.self;
    if (self != nullptr && PR_Interrupt(self) == PR_SUCCESS) ++wakes;
    SleepMs(5);
  }
  const bool ended = waiter.done;
  ASSERT_EQ(1, thread.Join());
  ASSERT_TRUE(ended) << "still waiting after " << MsSince(start) << " ms and " << wakes << " wakes";
  EXPECT_GT(wakes, 5);
  EXPECT_EQ(0, waiter.result);
  EXPECT_GE(waiter.waited_ms, 290);
}

void WaitLong(void* arg) {
  Waiter* waiter = static_cast<Waiter*>(arg);
  waiter->tid = koCurrentThreadId();
  waiter->result = waiter->event.Wait(60000);
  waiter->done = true;
}

// True once the thread sleeps in the kernel: for the waiter, in its wait.
bool Sleeping(uint32_t tid) {
  std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  size_t end = text.rfind(')');
  return end != std::string::npos && end + 2 < text.size() && text[end + 2] == 'S';
}

// A wake given as a pulse (Set, then Reset before the waiter can run)
// reaches a thread that waits; a lost one would leave it waiting a minute.
TEST(koEvent, APulseReachesAWaitingThread) {
  Waiter waiter;
  koThread thread;
  ASSERT_EQ(1, StartThread(&thread, WaitLong, &waiter));
  ASSERT_TRUE(pvtest::WaitFor([&] { return waiter.tid != 0 && Sleeping(waiter.tid); }, 30000));
  waiter.event.Set();
  waiter.event.Reset();
  const bool woken = pvtest::WaitFor([&] { return waiter.done.load(); }, 10000);
  waiter.event.Set();  // ends a wait that missed the pulse
  ASSERT_EQ(1, thread.Join());
  EXPECT_TRUE(woken);
  EXPECT_EQ(1, waiter.result);
  // Pulses that are over do not end later waits.
  waiter.event.Reset();
  EXPECT_EQ(0, waiter.event.Wait(0));
  EXPECT_EQ(0, waiter.event.Wait(10));
}

void RecordThreadId(void* arg) { *static_cast<uint32_t*>(arg) = koCurrentThreadId(); }

// Thread ids are the kernel's: the process id for the main thread.
TEST(koThread, JoinsAndEachThreadHasItsOwnId) {
  koThread thread;
  EXPECT_EQ(1, thread.Join());  // no thread yet
  uint32_t other_id = 0;
  ASSERT_EQ(1, StartThread(&thread, RecordThreadId, &other_id));
  ASSERT_EQ(1, thread.Join());
  EXPECT_EQ(static_cast<uint32_t>(getpid()), koCurrentThreadId());
  EXPECT_NE(0u, other_id);
  EXPECT_NE(koCurrentThreadId(), other_id);
}

}  // namespace
