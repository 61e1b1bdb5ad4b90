#include "platform/desktop/gio/desktopbus.h"

#include <fcntl.h>
#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#include <unistd.h>

#include "platform/desktop/desktop.h"

namespace {

GDBusConnection* bus_connection = nullptr;  // set once, kept to the end

int ShowItems(const char* file_uri) {
  const char* uris[] = {file_uri, nullptr};
  GVariant* reply = g_dbus_connection_call_sync(
      bus_connection, "org.freedesktop.FileManager1", "/org/freedesktop/FileManager1",
      "org.freedesktop.FileManager1", "ShowItems", g_variant_new("(^ass)", uris, ""), nullptr,
      G_DBUS_CALL_FLAGS_NONE, kDesktopBusCallTimeoutMs, nullptr, nullptr);
  if (reply == nullptr) return 0;
  g_variant_unref(reply);
  return 1;
}

// The portal takes the file as a descriptor, so it opens exactly this file.
int OpenWith(const char* path) {
  int fd = open(path, O_PATH | O_CLOEXEC);
  if (fd < 0) return 0;
  GUnixFDList* fds = g_unix_fd_list_new();
  int index = g_unix_fd_list_append(fds, fd, nullptr);
  close(fd);
  if (index < 0) {
    g_object_unref(fds);
    return 0;
  }
  GVariantBuilder options;
  g_variant_builder_init(&options, G_VARIANT_TYPE("a{sv}"));
  g_variant_builder_add(&options, "{sv}", "ask", g_variant_new_boolean(TRUE));
  GVariant* reply = g_dbus_connection_call_with_unix_fd_list_sync(
      bus_connection, "org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop",
      "org.freedesktop.portal.OpenURI", "OpenFile",
      g_variant_new("(sha{sv})", "", index, &options), G_VARIANT_TYPE("(o)"),
      G_DBUS_CALL_FLAGS_NONE, kDesktopBusCallTimeoutMs, fds, nullptr, nullptr, nullptr);
  g_object_unref(fds);
  if (reply == nullptr) return 0;
  g_variant_unref(reply);
  return 1;
}

const koDesktopBus kBus = {ShowItems, OpenWith};

}  // namespace

int koInstallDesktopBus(const char* bus_address) {
  if (bus_connection != nullptr) return 1;
  if (bus_address == nullptr || *bus_address == 0) return 0;
  bus_connection = g_dbus_connection_new_for_address_sync(
      bus_address,
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, nullptr);
  if (bus_connection == nullptr) return 0;
  koSetDesktopBus(&kBus);
  return 1;
}
