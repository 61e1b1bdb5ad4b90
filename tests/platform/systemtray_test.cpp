// The tray icon's state machine over the recording back-end: clicks become
// the menu or its default command, and a host restart brings the icon back.
#include "platform/systemtray.h"

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

// The main window's part: forwards the callback to the tray, keeps commands.
SystemTray* forward_to = nullptr;
std::vector<uintptr_t> commands;

intptr_t TargetProc(koWindowId window, uint32_t message, uintptr_t wparam, intptr_t lparam) {
  if (message == kCallback && forward_to != nullptr)
    return forward_to->OnTrayNotification(wparam, lparam);
  if (message == kMsgCommand) commands.push_back(wparam & 0xFFFF);
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
    commands.clear();
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

TEST_F(SystemTrayTest, CreateShowsTheIconWithItsTooltip) {
  EXPECT_EQ(0, tray_.IsEnabled());
  EXPECT_EQ(1, tray_.IsRemoved());
  ASSERT_EQ(1, CreateShown());
  EXPECT_EQ(1, backend_.Shown());
  EXPECT_EQ("Postvane", backend_.Tooltip());
  EXPECT_EQ("internet-mail", backend_.IconName());
  EXPECT_EQ(1, tray_.IsEnabled());
  EXPECT_EQ(0, tray_.IsHidden());
  EXPECT_EQ(0, tray_.IsRemoved());
  EXPECT_EQ(1, tray_.SetIconList(134, 134));
  EXPECT_EQ(0, tray_.SetIconList(135, 134));
  tray_.Destroy();
  EXPECT_EQ(0, backend_.Shown());
  EXPECT_EQ(1, tray_.IsRemoved());
  tray_.Destroy();  // again: nothing more to remove
  EXPECT_EQ(1, backend_.RemoveCount());
}

TEST_F(SystemTrayTest, AFailedAddFailsCreateAndHiddenAddsNothing) {
  backend_.FailNextAdd();
  EXPECT_EQ(0, CreateShown());
  EXPECT_EQ(1, tray_.IsRemoved());
  tray_.Destroy();

  SystemTray hidden;
  hidden.SetBackend(&backend_);
  EXPECT_EQ(1, hidden.Create(target_, kCallback, "Postvane", "internet-mail", kIconId, kMenu, 6, 1));
  EXPECT_EQ(1, backend_.AddCount());  // only the failed one
  EXPECT_EQ(1, hidden.IsHidden());
}

TEST_F(SystemTrayTest, LongTooltipIsCutBetweenCharacters) {
  std::string tip;
  for (int i = 0; i < 200; ++i) tip += "\xC3\xA9";  // é, two bytes each
  ASSERT_EQ(1, tray_.Create(target_, kCallback, tip.c_str(), "x", kIconId, kMenu, 6, 0));
  EXPECT_EQ(std::string(tip, 0, 2 * SystemTray::kTooltipMax), backend_.Tooltip());
}

TEST_F(SystemTrayTest, RightClickShowsTheMenuWithLaunchAsDefault) {
  ASSERT_EQ(1, CreateShown());
  ASSERT_EQ(1, backend_.Click(kTrayRightButtonUp));
  Pump();
  ASSERT_EQ(1, backend_.MenuCount());
  koRecordingTray::Menu menu = backend_.LastMenu();
  EXPECT_EQ(target_, menu.owner);
  EXPECT_EQ((std::vector<std::string>{"Launch", "Preferences", "Open Attachments Folder", "Help",
                                      "", "Exit"}),
            menu.texts);
  EXPECT_EQ(0, menu.default_item);
  // The choice comes back to the target as a command.
  ASSERT_EQ(1, backend_.Choose(105));
  Pump();
  EXPECT_EQ(std::vector<uintptr_t>{105}, commands);
}

TEST_F(SystemTrayTest, DoubleClickPostsTheDefaultCommand) {
  ASSERT_EQ(1, CreateShown());
  ASSERT_EQ(1, backend_.Click(kTrayLeftDoubleClick));
  Pump();
  EXPECT_EQ(std::vector<uintptr_t>{32776}, commands);
  EXPECT_EQ(0, backend_.MenuCount());
}

TEST_F(SystemTrayTest, NotificationsForOtherIconsOrWithoutMenuAreNotHandled) {
  ASSERT_EQ(1, CreateShown());
  EXPECT_EQ(0, tray_.OnTrayNotification(kIconId + 1, kTrayRightButtonUp));
  EXPECT_EQ(1, tray_.OnTrayNotification(kIconId, 0x0200));  // a mouse move
  tray_.Destroy();

  SystemTray bare;
  bare.SetBackend(&backend_);
  ASSERT_EQ(1, bare.Create(target_, kCallback, "Postvane", "x", kIconId, nullptr, 0, 0));
  EXPECT_EQ(0, bare.OnTrayNotification(kIconId, kTrayRightButtonUp));
  EXPECT_EQ(0, backend_.MenuCount());
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
