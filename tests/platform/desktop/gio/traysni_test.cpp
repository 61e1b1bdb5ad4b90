// The StatusNotifierItem back-end on a private session bus, with the test
// standing in for the panel: it is the watcher the item registers with, reads
// the exported menu and clicks, and restarts as a new owner. The desktop-bus
// hook is checked against a fake file manager and portal on the same bus.
#include "platform/desktop/gio/traysni.h"

#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/desktop/desktop.h"
#include "platform/desktop/gio/desktopbus.h"
#include "support/child.h"
#include "support/desktop_bus.h"

namespace {

using pvtest::FakeHost;
using pvtest::PrivateBus;

const uint32_t kCallback = kMsgApp + 10;
const uint32_t kHostRestarted = kMsgApp + 50;
const uint32_t kGiveUp = kMsgApp + 99;
const koTrayMenuItem kMenu[] = {
    {32776, "Launch"}, {32784, "Preferences"}, {112, "Open Attachments Folder"},
    {32778, "Help"},   {0, nullptr},           {105, "Exit"},
};

std::vector<koMessage> received;

intptr_t TargetProc(koWindowId window, uint32_t message, uintptr_t wparam, intptr_t lparam) {
  if (message == kGiveUp) {
    koPostQuitMessage(0);
    return 0;
  }
  if (message >= kMsgCommand) received.push_back(koMessage{window, message, wparam, lparam});
  return koDefWindowProc(window, message, wparam, lparam);
}

// Runs the loop until `count` messages were received or 5 s passed.
void WaitForMessages(koWindowId window, size_t count) {
  std::atomic<bool> done{false};
  std::thread watchdog([&] {
    for (int i = 0; i < 500 && !done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    koPostMessage(window, kGiveUp, 0, 0);
  });
  koMessage msg;
  while (received.size() < count && koGetMessage(&msg) > 0) koDispatchMessage(&msg);
  done = true;
  watchdog.join();
  // Drain the watchdog's message so it does not end a later wait.
  koPostQuitMessage(0);
  while (koGetMessage(&msg) > 0)
    if (msg.message != kGiveUp) koDispatchMessage(&msg);
}

class TraySniTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (bus_.address().empty()) GTEST_SKIP() << "no dbus-daemon";
    ASSERT_EQ(1, koRegisterWindowClass("SniTarget", TargetProc, nullptr));
    window_ = koCreateWindow("SniTarget", nullptr);
    ASSERT_NE(0u, window_);
    received.clear();
  }
  void TearDown() override {
    if (window_ != 0) koDestroyWindow(window_);
  }

  koTrayIcon Icon() {
    return koTrayIcon{window_, 130, kCallback, "internet-mail", "Postvane", kMenu, 6, 0};
  }

  PrivateBus bus_;
  koWindowId window_ = 0;
};

TEST_F(TraySniTest, NoWatcherMeansNoTray) {
  EXPECT_EQ(nullptr, koSniTray::Open(bus_.address().c_str()));
  EXPECT_EQ(nullptr, koSniTray::Open("unix:path=/nonexistent/bus"));
  EXPECT_EQ(nullptr, koSniTray::Open(""));
}

TEST_F(TraySniTest, ItemRegistersExportsItsMenuAndReportsClicks) {
  FakeHost host(bus_.address());
  ASSERT_TRUE(host.Own("org.kde.StatusNotifierWatcher"));
  std::unique_ptr<koSniTray> tray(koSniTray::Open(bus_.address().c_str()));
  ASSERT_NE(nullptr, tray);
  const std::string service = tray->ServiceName();
  ASSERT_EQ(1, tray->Add(Icon()));
  EXPECT_EQ(std::vector<std::string>{"RegisterStatusNotifierItem ('" + service + "',)"}, host.Calls());

  g_autoptr(GVariant) icon =
      host.Call(service.c_str(), "/StatusNotifierItem", "org.freedesktop.DBus.Properties", "Get",
                g_variant_new("(ss)", "org.kde.StatusNotifierItem", "IconName"));
  ASSERT_NE(nullptr, icon);
  g_autoptr(GVariant) value = nullptr;
  g_variant_get(icon, "(v)", &value);
  EXPECT_STREQ("internet-mail", g_variant_get_string(value, nullptr));

  g_autoptr(GVariant) layout = host.Call(service.c_str(), "/MenuBar", "com.canonical.dbusmenu", "GetLayout",
                                         g_variant_new("(ii@as)", 0, -1, g_variant_new_strv(nullptr, 0)));
  ASSERT_NE(nullptr, layout);
  g_autoptr(GVariant) root = g_variant_get_child_value(layout, 1);
  g_autoptr(GVariant) children = g_variant_get_child_value(root, 2);
  std::vector<std::string> labels;
  for (gsize i = 0; i < g_variant_n_children(children); ++i) {
    g_autoptr(GVariant) boxed = g_variant_get_child_value(children, i);
    g_autoptr(GVariant) item = g_variant_get_variant(boxed);
    g_autoptr(GVariant) props = g_variant_get_child_value(item, 1);
    const char* text = nullptr;
    if (g_variant_lookup(props, "label", "&s", &text)) labels.push_back(text);
    else if (g_variant_lookup(props, "type", "&s", &text)) labels.push_back(std::string("-") + text);
  }
  EXPECT_EQ((std::vector<std::string>{"Launch", "Preferences", "Open Attachments Folder", "Help",
                                      "-separator", "Exit"}),
            labels);

  // A primary click, a context-menu request, "Exit" chosen in the panel's menu.
  for (const char* method : {"Activate", "ContextMenu"}) {
    g_autoptr(GVariant) r = host.Call(service.c_str(), "/StatusNotifierItem", "org.kde.StatusNotifierItem",
                                      method, g_variant_new("(ii)", 10, 10));
    ASSERT_NE(nullptr, r) << method;
  }
  g_autoptr(GVariant) r = host.Call(service.c_str(), "/MenuBar", "com.canonical.dbusmenu", "Event",
                                    g_variant_new("(isvu)", 6, "clicked", g_variant_new_int32(0), 0u));
  ASSERT_NE(nullptr, r);
  WaitForMessages(window_, 3);
  ASSERT_EQ(3u, received.size());
  EXPECT_EQ(kCallback, received[0].message);
  EXPECT_EQ(130u, received[0].wparam);
  EXPECT_EQ(kTrayLeftDoubleClick, static_cast<uint32_t>(received[0].lparam));
  EXPECT_EQ(kTrayRightButtonUp, static_cast<uint32_t>(received[1].lparam));
  EXPECT_EQ(kMsgCommand, received[2].message);
  EXPECT_EQ(105u, received[2].wparam);

  ASSERT_EQ(1, tray->Remove(130));
  EXPECT_FALSE(host.HasOwner(service.c_str()));
  EXPECT_EQ(0, tray->Remove(130));
}

TEST_F(TraySniTest, ANewWatcherIsAHostRestart) {
  auto first = std::make_unique<FakeHost>(bus_.address());
  ASSERT_TRUE(first->Own("org.kde.StatusNotifierWatcher"));
  std::unique_ptr<koSniTray> tray(koSniTray::Open(bus_.address().c_str()));
  ASSERT_NE(nullptr, tray);
  tray->SetHostWatcher(window_, kHostRestarted);
  ASSERT_EQ(1, tray->Add(Icon()));
  first.reset();  // the panel goes away
  FakeHost second(bus_.address());
  ASSERT_TRUE(second.Own("org.kde.StatusNotifierWatcher"));
  WaitForMessages(window_, 1);
  ASSERT_EQ(1u, received.size());
  EXPECT_EQ(kHostRestarted, received[0].message);
  // Adding again registers with the new panel.
  EXPECT_EQ(1, tray->Remove(130));
  EXPECT_EQ(1, tray->Add(Icon()));
  EXPECT_EQ(std::vector<std::string>{"RegisterStatusNotifierItem ('" + std::string(tray->ServiceName()) +
                                     "',)"},
            second.Calls());
}

TEST_F(TraySniTest, DesktopBusReachesFileManagerAndPortal) {
  FakeHost host(bus_.address());
  ASSERT_TRUE(host.Own("org.freedesktop.FileManager1"));
  ASSERT_TRUE(host.Own("org.freedesktop.portal.Desktop"));
  ASSERT_EQ(1, koInstallDesktopBus(bus_.address().c_str()));
  char file[] = "/tmp/pvsniXXXXXX";
  int fd = mkstemp(file);
  ASSERT_GE(fd, 0);
  close(fd);
  EXPECT_EQ(1, koDesktopShowItem(file, nullptr));
  EXPECT_EQ(1, koDesktopOpenWith(file, nullptr));
  unlink(file);
  EXPECT_EQ((std::vector<std::string>{"ShowItems (['file://" + std::string(file) + "'], '')",
                                      "OpenFile " + std::string(file) + " ask"}),
            host.Calls());
  koSetDesktopBus(nullptr);
}

}  // namespace
