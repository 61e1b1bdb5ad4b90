// The tray icon's state machine over the recording back-end (the program's
// test drives the menu and the clicks through it): adding and removing the
// icon, the host restart, and the tray's own window.
#include "platform/desktop/systemtray.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const uint32_t kCallback = kMsgApp + 10;
const uint32_t kIconId = 130;
const koTrayMenuItem kMenu[] = {
    {32776, "Launch"}, {32784, "Preferences"}, {112, "Open Attachments Folder"},
    {32778, "Help"},   {0, nullptr},           {105, "Exit"},
};

// The main window's part: forwards the callback to the tray.
SystemTray* forward_to = nullptr;

intptr_t TargetProc(koWindowId window, uint32_t message, uintptr_t wparam, intptr_t lparam) {
  if (message == kCallback && forward_to != nullptr)
    return forward_to->OnTrayNotification(wparam, lparam);
  return koDefWindowProc(window, message, wparam, lparam);
}

// Runs what is queued for this thread's windows.
void Pump() {
  koPostQuitMessage(0);
  koMessage msg;
  while (koGetMessage(&msg) > 0) koDispatchMessage(&msg);
}

class SystemTrayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(1, koRegisterWindowClass("TrayTarget", TargetProc, nullptr));
    target_ = koCreateWindow("TrayTarget", nullptr);
    ASSERT_NE(0u, target_);
    forward_to = &tray_;
    tray_.SetBackend(&backend_);
  }
  void TearDown() override {
    tray_.Destroy();
    forward_to = nullptr;
    koDestroyWindow(target_);
  }
  int CreateShown() {
    return tray_.Create(target_, kCallback, "Postvane", "internet-mail", kIconId, kMenu, 6, 0);
  }

  koRecordingTray backend_;
  SystemTray tray_;
  koWindowId target_ = 0;
};

TEST_F(SystemTrayTest, CreateShowsTheIconAndDestroyRemovesItOnce) {
  ASSERT_EQ(1, CreateShown());
  EXPECT_EQ(1, backend_.Shown());
  EXPECT_EQ("Postvane", backend_.Tooltip());
  EXPECT_EQ("internet-mail", backend_.IconName());
  tray_.Destroy();
  EXPECT_EQ(0, backend_.Shown());
  EXPECT_EQ(1, tray_.IsRemoved());
  tray_.Destroy();  // again: nothing more to remove
  EXPECT_EQ(1, backend_.RemoveCount());

  backend_.FailNextAdd();
  EXPECT_EQ(0, CreateShown());
  EXPECT_EQ(1, tray_.IsRemoved());
  tray_.Destroy();
}

TEST_F(SystemTrayTest, HiddenAddsNothingAndALongTooltipIsCutBetweenCharacters) {
  SystemTray hidden;
  hidden.SetBackend(&backend_);
  EXPECT_EQ(1, hidden.Create(target_, kCallback, "Postvane", "internet-mail", kIconId, kMenu, 6, 1));
  EXPECT_EQ(0, backend_.AddCount());
  EXPECT_EQ(1, hidden.IsHidden());

  std::string tip;
  for (int i = 0; i < 200; ++i) tip += "\xC3\xA9";  // é, two bytes each
  ASSERT_EQ(1, tray_.Create(target_, kCallback, tip.c_str(), "x", kIconId, kMenu, 6, 0));
  EXPECT_EQ(std::string(tip, 0, 2 * SystemTray::kTooltipMax), backend_.Tooltip());
}

TEST_F(SystemTrayTest, HostRestartAddsTheIconAgain) {
  ASSERT_EQ(1, CreateShown());
  ASSERT_EQ(1, backend_.RestartHost());
  EXPECT_EQ(0, backend_.Shown());
  Pump();
  EXPECT_EQ(2, backend_.AddCount());
  EXPECT_EQ(1, backend_.Shown());
  EXPECT_EQ(0, tray_.ReAddFailed());
  // A re-add that fails is remembered; the next restart tries again.
  backend_.FailNextAdd();
  backend_.RestartHost();
  Pump();
  EXPECT_EQ(1, tray_.ReAddFailed());
  backend_.RestartHost();
  Pump();
  EXPECT_EQ(1, backend_.Shown());
  EXPECT_EQ(0, tray_.ReAddFailed());
}

TEST_F(SystemTrayTest, WithoutATargetTheTraysOwnWindowHandlesClicks) {
  ASSERT_EQ(1, tray_.Create(0, kCallback, "Postvane", "x", kIconId, kMenu, 6, 0));
  ASSERT_EQ(1, backend_.Click(kTrayRightButtonUp));
  Pump();
  ASSERT_EQ(1, backend_.MenuCount());
  EXPECT_EQ(tray_.OwnWindow(), backend_.LastMenu().owner);
}

}  // namespace
