// SIGTERM and SIGINT reach the window as a message instead of ending the
// process, and programs started afterwards do not inherit the blocked mask.
#include "platform/desktop/signals.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <vector>

namespace {

std::vector<uintptr_t> commands;

intptr_t Proc(koWindowId window, uint32_t message, uintptr_t wparam, intptr_t lparam) {
  if (message == kMsgCommand) {
    commands.push_back(wparam);
    if (commands.size() == 2) koPostQuitMessage(0);
  }
  return koDefWindowProc(window, message, wparam, lparam);
}

TEST(SignalsTest, TermAndIntBecomeTheExitCommand) {
  ASSERT_EQ(1, koBlockTermSignals());
  ASSERT_EQ(1, koRegisterWindowClass("SignalTarget", Proc, nullptr));
  koWindowId window = koCreateWindow("SignalTarget", nullptr);
  ASSERT_NE(0u, window);
  ASSERT_EQ(1, koPostOnTermSignals(window, kMsgCommand, 105, 0));
  EXPECT_EQ(0, koPostOnTermSignals(window, kMsgCommand, 105, 0));  // once per process
  ASSERT_EQ(0, kill(getpid(), SIGTERM));
  // One at a time: a second pending SIGTERM would merge with the first.
  koMessage msg;
  ASSERT_EQ(1, koGetMessage(&msg));
  koDispatchMessage(&msg);
  ASSERT_EQ(0, kill(getpid(), SIGINT));
  while (koGetMessage(&msg) > 0) koDispatchMessage(&msg);
  EXPECT_EQ((std::vector<uintptr_t>{105, 105}), commands);
  koDestroyWindow(window);
}

}  // namespace
