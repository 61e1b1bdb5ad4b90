// The StatusNotifierItem back-end on a private session bus, with the test
// standing in for the panel: it is the watcher the item registers with, reads
// the exported menu and clicks, and restarts as a new owner. The desktop-bus
// hook is checked against a fake file manager and portal on the same bus.
#include "platform/gio/traysni.h"

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

#include "platform/desktop.h"
#include "platform/gio/desktopbus.h"
#include "support/child.h"

namespace {

const char kHostXml[] =
    "<node>"
    " <interface name='org.kde.StatusNotifierWatcher'>"
    "  <method name='RegisterStatusNotifierItem'><arg type='s' direction='in'/></method>"
    " </interface>"
    " <interface name='org.freedesktop.FileManager1'>"
    "  <method name='ShowItems'><arg type='as' direction='in'/><arg type='s' direction='in'/></method>"
    " </interface>"
    " <interface name='org.freedesktop.portal.OpenURI'>"
    "  <method name='OpenFile'><arg type='s' direction='in'/><arg type='h' direction='in'/>"
    "   <arg type='a{sv}' direction='in'/><arg type='o' direction='out'/></method>"
    " </interface>"
    "</node>";

// A private bus daemon for one test; no address when there is none.
class PrivateBus {
 public:
  const std::string& address() const { return address_; }

 private:
  pvtest::Spawned daemon_{{"dbus-daemon", "--session", "--nofork", "--print-address=1"}};
  std::string address_ = daemon_.ReadLine();
};

// The panel's side: one connection whose objects are served on a thread.
class FakeHost {
 public:
  explicit FakeHost(const std::string& address) {
    connection_ = g_dbus_connection_new_for_address_sync(
        address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
    context_ = g_main_context_new();
    loop_ = g_main_loop_new(context_, FALSE);
    node_ = g_dbus_node_info_new_for_xml(kHostXml, nullptr);
    std::atomic<bool> ready{false};
    thread_ = std::thread([this, &ready] {
      g_main_context_push_thread_default(context_);
      static const GDBusInterfaceVTable vtable = {OnCall, nullptr, nullptr, {}};
      for (const char* path : {"/StatusNotifierWatcher", "/org/freedesktop/FileManager1",
                               "/org/freedesktop/portal/desktop"})
        for (int i = 0; node_->interfaces[i] != nullptr; ++i)
          ids_.push_back(g_dbus_connection_register_object(connection_, path, node_->interfaces[i],
                                                           &vtable, this, nullptr, nullptr));
      ready = true;
      g_main_loop_run(loop_);
      for (guint id : ids_) g_dbus_connection_unregister_object(connection_, id);
      while (g_main_context_iteration(context_, FALSE)) {
      }
      g_main_context_pop_thread_default(context_);
    });
    while (!ready) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~FakeHost() {
    g_main_loop_quit(loop_);
    thread_.join();
    g_dbus_connection_close_sync(connection_, nullptr, nullptr);
    g_object_unref(connection_);
    g_main_loop_unref(loop_);
    g_main_context_unref(context_);
    g_dbus_node_info_unref(node_);
  }

  // The bus's answer to RequestName (1: now the owner) or NameHasOwner.
  bool Own(const char* name) { return AskBus("RequestName", g_variant_new("(su)", name, 4u)) == 1; }
  bool HasOwner(const char* name) { return AskBus("NameHasOwner", g_variant_new("(s)", name)) == 1; }
  guint32 AskBus(const char* method, GVariant* params) {
    g_autoptr(GVariant) r = Call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                 method, params);
    g_autoptr(GVariant) answer = r != nullptr ? g_variant_get_child_value(r, 0) : nullptr;
    if (answer == nullptr) return 0;
    return g_variant_is_of_type(answer, G_VARIANT_TYPE_BOOLEAN) ? g_variant_get_boolean(answer)
                                                               : g_variant_get_uint32(answer);
  }

  GVariant* Call(const char* dest, const char* path, const char* iface, const char* method,
                 GVariant* params) {
    return g_dbus_connection_call_sync(connection_, dest, path, iface, method, params, nullptr,
                                       G_DBUS_CALL_FLAGS_NONE, 3000, nullptr, nullptr);
  }

  std::vector<std::string> Calls() {
    std::lock_guard<std::mutex> hold(lock_);
    return calls_;
  }

 private:

  static void OnCall(GDBusConnection*, const char*, const char*, const char*, const char* method,
                     GVariant* params, GDBusMethodInvocation* invocation, void* data) {
    FakeHost* self = static_cast<FakeHost*>(data);
    g_autofree gchar* printed = g_variant_print(params, FALSE);
    std::string record = std::string(method) + " " + printed;
    GVariant* answer = nullptr;
    if (g_strcmp0(method, "OpenFile") == 0) {
      // The file travels as a descriptor: name it by what it points at.
      GUnixFDList* fds =
          g_dbus_message_get_unix_fd_list(g_dbus_method_invocation_get_message(invocation));
      int fd = fds != nullptr ? g_unix_fd_list_get(fds, 0, nullptr) : -1;
      char target[4096] = {};
      std::string link = "/proc/self/fd/" + std::to_string(fd);
      bool ask = record.find("'ask': <true>") != std::string::npos;
      if (fd >= 0 && readlink(link.c_str(), target, sizeof target - 1) > 0)
        record = std::string(method) + " " + target + (ask ? " ask" : "");
      if (fd >= 0) close(fd);
      answer = g_variant_new("(o)", "/org/freedesktop/portal/desktop/request/1");
    }
    {
      std::lock_guard<std::mutex> hold(self->lock_);
      self->calls_.push_back(record);
    }
    g_dbus_method_invocation_return_value(invocation, answer);
  }

  GDBusConnection* connection_;
  GMainContext* context_;
  GMainLoop* loop_;
  GDBusNodeInfo* node_;
  std::thread thread_;
  std::vector<guint> ids_;
  std::mutex lock_;
  std::vector<std::string> calls_;
};

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
