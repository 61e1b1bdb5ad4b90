// The window registry: creation order, queues, sends across threads, and
// that a posted payload is freed whatever becomes of its window.
#include "platform/desktop/window.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/os/thread_id.h"

namespace {

struct Seen {
  std::vector<uint32_t> messages;
  uint32_t thread = 0;
  intptr_t create_answer = 0;
  intptr_t nccreate_answer = 1;
};

intptr_t RecordingProc(koWindowId window, uint32_t message, uintptr_t wparam, intptr_t lparam) {
  if (message == kMsgNcCreate) {
    Seen* seen = reinterpret_cast<Seen*>(lparam);
    koSetWindowData(window, seen);
    seen->messages.push_back(message);
    return seen->nccreate_answer;
  }
  Seen* seen = static_cast<Seen*>(koGetWindowData(window));
  if (seen == nullptr) return koDefWindowProc(window, message, wparam, lparam);
  seen->messages.push_back(message);
  seen->thread = koCurrentThreadId();
  if (message == kMsgCreate) return seen->create_answer;
  if (message == kMsgApp + 1) return static_cast<intptr_t>(wparam) * 2;
  return koDefWindowProc(window, message, wparam, lparam);
}

std::atomic<int> discarded{0};
std::atomic<uintptr_t> last_discarded{0};

void CountDiscard(uint32_t, uintptr_t wparam, intptr_t) {
  ++discarded;
  last_discarded = wparam;
}

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(1, koRegisterWindowClass("RecordingClass", RecordingProc, CountDiscard));
    discarded = 0;
    last_discarded = 0;
  }
};

TEST_F(WindowTest, CreationRunsNcCreateThenCreateBeforeItReturnsAndMayBeRefused) {
  Seen seen;
  koWindowId window = koCreateWindow("RecordingClass", &seen);
  ASSERT_NE(0u, window);
  EXPECT_EQ((std::vector<uint32_t>{kMsgNcCreate, kMsgCreate}), seen.messages);
  EXPECT_EQ(koCurrentThreadId(), seen.thread);
  // Only the owner destroys; the data goes with the window.
  int from_other = -1;
  std::thread([&] { from_other = koDestroyWindow(window); }).join();
  EXPECT_EQ(0, from_other);
  EXPECT_EQ(&seen, koGetWindowData(window));
  EXPECT_EQ(0, koSendMessage(window, kMsgClose, 0, 0));  // default: destroy
  EXPECT_EQ(0, koIsWindow(window));
  EXPECT_EQ(kMsgDestroy, seen.messages.back());
  EXPECT_EQ(nullptr, koGetWindowData(window));
  EXPECT_EQ(0, koDestroyWindow(window));

  Seen refuse_nc;
  refuse_nc.nccreate_answer = 0;
  EXPECT_EQ(0u, koCreateWindow("RecordingClass", &refuse_nc));
  EXPECT_EQ(std::vector<uint32_t>{kMsgNcCreate}, refuse_nc.messages);

  Seen refuse_create;
  refuse_create.create_answer = -1;
  EXPECT_EQ(0u, koCreateWindow("RecordingClass", &refuse_create));
  EXPECT_EQ((std::vector<uint32_t>{kMsgNcCreate, kMsgCreate, kMsgDestroy}), refuse_create.messages);

  EXPECT_EQ(0u, koCreateWindow("NoSuchClass", nullptr));
}

TEST_F(WindowTest, LoopTakesPostsInOrderAcrossWindowsThenQuits) {
  Seen a, b;
  koWindowId wa = koCreateWindow("RecordingClass", &a);
  koWindowId wb = koCreateWindow("RecordingClass", &b);
  ASSERT_TRUE(wa && wb);
  EXPECT_EQ(1, koPostMessage(wa, kMsgApp + 2, 1, 0));
  EXPECT_EQ(1, koPostMessage(wb, kMsgApp + 2, 2, 0));
  EXPECT_EQ(1, koPostMessage(wa, kMsgApp + 2, 3, 0));
  koPostQuitMessage(7);  // answered only after the posts
  std::vector<uintptr_t> order;
  koMessage msg;
  while (koGetMessage(&msg) > 0) {
    order.push_back(msg.wparam);
    koDispatchMessage(&msg);
  }
  EXPECT_EQ(7u, msg.wparam);
  EXPECT_EQ((std::vector<uintptr_t>{1, 2, 3}), order);
  koDestroyWindow(wa);
  koDestroyWindow(wb);
}

TEST_F(WindowTest, SendFromAnotherThreadRunsOnTheOwnersLoop) {
  Seen seen;
  koWindowId window = koCreateWindow("RecordingClass", &seen);
  intptr_t answer = 0;
  std::thread sender([&] {
    answer = koSendMessage(window, kMsgApp + 1, 21, 0);
    koPostMessage(window, kMsgClose, 0, 0);
  });
  koMessage msg;
  while (koGetMessage(&msg) > 0) {
    koDispatchMessage(&msg);
    if (!koIsWindow(window)) break;
  }
  sender.join();
  EXPECT_EQ(42, answer);
  EXPECT_EQ(koCurrentThreadId(), seen.thread);
  EXPECT_EQ(0, koIsWindow(window));
}

TEST_F(WindowTest, SendToAWindowThatGoesAwayAnswersZero) {
  Seen seen;
  koWindowId window = koCreateWindow("RecordingClass", &seen);
  // On the owner's own thread a send is a plain call.
  EXPECT_EQ(10, koSendMessage(window, kMsgApp + 1, 5, 0));
  std::atomic<bool> answered{false};
  intptr_t answer = -5;
  std::thread sender([&] {
    answer = koSendMessage(window, kMsgApp + 1, 21, 0);
    answered = true;
  });
  // The owner never runs its loop; destroying the window releases the sender.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(answered.load());
  koDestroyWindow(window);
  sender.join();
  EXPECT_EQ(0, answer);
  EXPECT_EQ(0, koSendMessage(window, kMsgApp + 1, 21, 0));
  EXPECT_EQ(0, koSendMessage(0, kMsgApp + 1, 21, 0));
}

TEST_F(WindowTest, PayloadOfAnUndeliveredPostGoesToTheDiscardHook) {
  Seen seen;
  koWindowId window = koCreateWindow("RecordingClass", &seen);
  EXPECT_EQ(1, koPostMessage(window, kMsgApp + 11, 111, 0));
  EXPECT_EQ(1, koPostMessage(window, kMsgApp + 11, 112, 0));
  koDestroyWindow(window);  // both were still queued
  EXPECT_EQ(2, discarded.load());
  EXPECT_EQ(0, koPostMessage(window, kMsgApp + 11, 113, 0));  // after it went
  EXPECT_EQ(3, discarded.load());
  EXPECT_EQ(113u, last_discarded.load());
  // An id that never named a window: the caller keeps its payload.
  EXPECT_EQ(-1, koPostMessage(0, kMsgApp + 11, 114, 0));
  EXPECT_EQ(-1, koPostMessage(0x7fffffff, kMsgApp + 11, 115, 0));
  EXPECT_EQ(3, discarded.load());
  // Only the app messages reached the hook, never the procedure.
  for (uint32_t m : seen.messages) EXPECT_NE(kMsgApp + 11, m);
}

TEST_F(WindowTest, FocusMovesBetweenWindowsOfAThreadAndVisibilityIsKept) {
  Seen a, b;
  koWindowId first = koCreateWindow("RecordingClass", &a);
  koWindowId second = koCreateWindow("RecordingClass", &b);
  a.messages.clear();
  b.messages.clear();
  EXPECT_EQ(0u, koSetFocus(first));
  EXPECT_EQ(first, koSetFocus(second));
  EXPECT_EQ(second, koSetFocus(second));  // already there: nothing is sent
  EXPECT_EQ((std::vector<uint32_t>{kMsgSetFocus, kMsgKillFocus}), a.messages);
  EXPECT_EQ(std::vector<uint32_t>{kMsgSetFocus}, b.messages);
  // Each thread has its own focus.
  koWindowId elsewhere = 1;
  std::thread([&] { elsewhere = koGetFocus(); }).join();
  EXPECT_EQ(0u, elsewhere);
  // A window that goes takes the focus with it; a gone one cannot take it.
  EXPECT_EQ(1, koDestroyWindow(second));
  EXPECT_EQ(0u, koGetFocus());
  EXPECT_EQ(0u, koSetFocus(second));
  EXPECT_EQ(0u, koGetFocus());

  EXPECT_EQ(0, koIsWindowVisible(first));
  EXPECT_EQ(0, koShowWindow(first, 1));
  EXPECT_EQ(1, koIsWindowVisible(first));
  EXPECT_EQ(1, koShowWindow(first, 0));
  EXPECT_EQ(0, koIsWindowVisible(first));
  EXPECT_EQ(1, koDestroyWindow(first));
  EXPECT_EQ(0, koShowWindow(first, 1));
  EXPECT_EQ(0, koIsWindowVisible(first));
}

}  // namespace
