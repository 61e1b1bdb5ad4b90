// A private session bus and a fake desktop on it, for tests of code that
// talks to the panel (StatusNotifierWatcher), the file manager
// (FileManager1.ShowItems) and the portal's app chooser (OpenURI.OpenFile).
// The fake records every call it gets; the bus daemon is stopped with the
// object.
#ifndef PV_TESTS_SUPPORT_DESKTOP_BUS_H
#define PV_TESTS_SUPPORT_DESKTOP_BUS_H

#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/child.h"

namespace pvtest {

inline const char kHostXml[] =
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

}  // namespace pvtest

#endif  // PV_TESTS_SUPPORT_DESKTOP_BUS_H
