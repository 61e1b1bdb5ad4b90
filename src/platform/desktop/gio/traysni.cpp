#include "platform/desktop/gio/traysni.h"

#include <gio/gio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "core/kthread.h"

namespace {

const char kWatcherName[] = "org.kde.StatusNotifierWatcher";
const char kWatcherPath[] = "/StatusNotifierWatcher";
const char kItemPath[] = "/StatusNotifierItem";
const char kMenuPath[] = "/MenuBar";

const char kIntrospection[] =
    "<node>"
    " <interface name='org.kde.StatusNotifierItem'>"
    "  <property name='Category' type='s' access='read'/>"
    "  <property name='Id' type='s' access='read'/>"
    "  <property name='Title' type='s' access='read'/>"
    "  <property name='Status' type='s' access='read'/>"
    "  <property name='WindowId' type='i' access='read'/>"
    "  <property name='IconName' type='s' access='read'/>"
    "  <property name='IconPixmap' type='a(iiay)' access='read'/>"
    "  <property name='OverlayIconName' type='s' access='read'/>"
    "  <property name='AttentionIconName' type='s' access='read'/>"
    "  <property name='ToolTip' type='(sa(iiay)ss)' access='read'/>"
    "  <property name='ItemIsMenu' type='b' access='read'/>"
    "  <property name='Menu' type='o' access='read'/>"
    "  <method name='ContextMenu'><arg name='x' type='i' direction='in'/>"
    "   <arg name='y' type='i' direction='in'/></method>"
    "  <method name='Activate'><arg name='x' type='i' direction='in'/>"
    "   <arg name='y' type='i' direction='in'/></method>"
    "  <method name='SecondaryActivate'><arg name='x' type='i' direction='in'/>"
    "   <arg name='y' type='i' direction='in'/></method>"
    "  <method name='Scroll'><arg name='delta' type='i' direction='in'/>"
    "   <arg name='orientation' type='s' direction='in'/></method>"
    "  <signal name='NewIcon'/>"
    "  <signal name='NewToolTip'/>"
    " </interface>"
    " <interface name='com.canonical.dbusmenu'>"
    "  <property name='Version' type='u' access='read'/>"
    "  <property name='TextDirection' type='s' access='read'/>"
    "  <property name='Status' type='s' access='read'/>"
    "  <property name='IconThemePath' type='as' access='read'/>"
    "  <method name='GetLayout'><arg type='i' name='parentId' direction='in'/>"
    "   <arg type='i' name='recursionDepth' direction='in'/>"
    "   <arg type='as' name='propertyNames' direction='in'/>"
    "   <arg type='u' name='revision' direction='out'/>"
    "   <arg type='(ia{sv}av)' name='layout' direction='out'/></method>"
    "  <method name='GetGroupProperties'><arg type='ai' name='ids' direction='in'/>"
    "   <arg type='as' name='propertyNames' direction='in'/>"
    "   <arg type='a(ia{sv})' name='properties' direction='out'/></method>"
    "  <method name='GetProperty'><arg type='i' name='id' direction='in'/>"
    "   <arg type='s' name='name' direction='in'/>"
    "   <arg type='v' name='value' direction='out'/></method>"
    "  <method name='Event'><arg type='i' name='id' direction='in'/>"
    "   <arg type='s' name='eventId' direction='in'/>"
    "   <arg type='v' name='data' direction='in'/>"
    "   <arg type='u' name='timestamp' direction='in'/></method>"
    "  <method name='EventGroup'><arg type='a(isvu)' name='events' direction='in'/>"
    "   <arg type='ai' name='idErrors' direction='out'/></method>"
    "  <method name='AboutToShow'><arg type='i' name='id' direction='in'/>"
    "   <arg type='b' name='needUpdate' direction='out'/></method>"
    "  <method name='AboutToShowGroup'><arg type='ai' name='ids' direction='in'/>"
    "   <arg type='ai' name='updatesNeeded' direction='out'/>"
    "   <arg type='ai' name='idErrors' direction='out'/></method>"
    "  <signal name='LayoutUpdated'><arg type='u' name='revision'/>"
    "   <arg type='i' name='parent'/></signal>"
    " </interface>"
    "</node>";

std::atomic<int> next_item{1};

}  // namespace

// The icon as the bus thread serves it.
struct koSniTray::State {
  GDBusConnection* connection = nullptr;
  GMainContext* context = nullptr;
  GMainLoop* loop = nullptr;
  GDBusNodeInfo* node = nullptr;
  koThread thread;
  koEvent ready;
  std::string service;

  std::mutex lock;  // guards everything below
  koWindowId icon_window = 0;
  uint32_t icon_id = 0;
  uint32_t callback_message = 0;
  std::string icon_name;
  std::string tooltip;
  std::vector<std::string> texts;  // "" and command 0: a separator
  std::vector<uint32_t> commands;
  uint32_t revision = 1;
  int added = 0;
  koWindowId host_window = 0;
  uint32_t host_message = 0;
  std::string watcher_owner;  // the watcher we registered with, "" before the first
};

namespace {

using State = koSniTray::State;

// The menu's items carry ids 1..n (0 is the root).
GVariant* MenuItem(const State& s, size_t index) {
  GVariantBuilder props;
  g_variant_builder_init(&props, G_VARIANT_TYPE("a{sv}"));
  if (s.commands[index] == 0) {
    g_variant_builder_add(&props, "{sv}", "type", g_variant_new_string("separator"));
  } else {
    g_variant_builder_add(&props, "{sv}", "label", g_variant_new_string(s.texts[index].c_str()));
    g_variant_builder_add(&props, "{sv}", "enabled", g_variant_new_boolean(TRUE));
    g_variant_builder_add(&props, "{sv}", "visible", g_variant_new_boolean(TRUE));
  }
  return g_variant_new("(i@a{sv}@av)", static_cast<int>(index + 1), g_variant_builder_end(&props),
                       g_variant_new_array(G_VARIANT_TYPE_VARIANT, nullptr, 0));
}

GVariant* MenuLayout(const State& s, int parent) {
  GVariantBuilder children;
  g_variant_builder_init(&children, G_VARIANT_TYPE("av"));
  GVariantBuilder props;
  g_variant_builder_init(&props, G_VARIANT_TYPE("a{sv}"));
  if (parent == 0) {
    g_variant_builder_add(&props, "{sv}", "children-display", g_variant_new_string("submenu"));
    for (size_t i = 0; i < s.commands.size(); ++i)
      g_variant_builder_add(&children, "v", MenuItem(s, i));
    return g_variant_new("(u(i@a{sv}@av))", s.revision, 0, g_variant_builder_end(&props),
                         g_variant_builder_end(&children));
  }
  if (parent > 0 && static_cast<size_t>(parent) <= s.commands.size()) {
    g_variant_builder_clear(&props);
    g_variant_builder_clear(&children);
    return g_variant_new("(u@(ia{sv}av))", s.revision, MenuItem(s, parent - 1));
  }
  g_variant_builder_clear(&props);
  g_variant_builder_clear(&children);
  return nullptr;
}

void OnMethodCall(GDBusConnection*, const char*, const char*, const char* interface,
                  const char* method, GVariant* parameters, GDBusMethodInvocation* invocation,
                  void* data) {
  State& s = *static_cast<State*>(data);
  std::unique_lock<std::mutex> hold(s.lock);
  if (g_strcmp0(interface, "org.kde.StatusNotifierItem") == 0) {
    uint32_t mouse = 0;
    if (g_strcmp0(method, "Activate") == 0) mouse = kTrayLeftDoubleClick;
    if (g_strcmp0(method, "ContextMenu") == 0) mouse = kTrayRightButtonUp;
    if (mouse != 0 && s.added) koPostMessage(s.icon_window, s.callback_message, s.icon_id, mouse);
    hold.unlock();
    g_dbus_method_invocation_return_value(invocation, nullptr);
    return;
  }
  if (g_strcmp0(method, "GetLayout") == 0) {
    int parent = 0;
    int depth = 0;
    g_variant_get(parameters, "(ii^a&s)", &parent, &depth, nullptr);
    GVariant* layout = MenuLayout(s, parent);
    hold.unlock();
    if (layout == nullptr)
      g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS,
                                            "no such menu item");
    else
      g_dbus_method_invocation_return_value(invocation, layout);
    return;
  }
  if (g_strcmp0(method, "GetGroupProperties") == 0) {
    GVariantIter* ids = nullptr;
    g_variant_get(parameters, "(aias)", &ids, nullptr);
    GVariantBuilder out;
    g_variant_builder_init(&out, G_VARIANT_TYPE("a(ia{sv})"));
    int id;
    while (g_variant_iter_next(ids, "i", &id)) {
      if (id < 1 || static_cast<size_t>(id) > s.commands.size()) continue;
      GVariant* item = MenuItem(s, id - 1);
      GVariant* props = g_variant_get_child_value(item, 1);
      g_variant_builder_add(&out, "(i@a{sv})", id, props);
      g_variant_unref(props);
      g_variant_unref(g_variant_ref_sink(item));
    }
    g_variant_iter_free(ids);
    hold.unlock();
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(a(ia{sv}))", &out));
    return;
  }
  if (g_strcmp0(method, "GetProperty") == 0) {
    int id = 0;
    const char* name = nullptr;
    g_variant_get(parameters, "(i&s)", &id, &name);
    GVariant* value = nullptr;
    if (id >= 1 && static_cast<size_t>(id) <= s.commands.size()) {
      GVariant* item = g_variant_ref_sink(MenuItem(s, id - 1));
      GVariant* props = g_variant_get_child_value(item, 1);
      value = g_variant_lookup_value(props, name, nullptr);
      g_variant_unref(props);
      g_variant_unref(item);
    }
    hold.unlock();
    if (value == nullptr)
      g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS,
                                            "no such property");
    else
      g_dbus_method_invocation_return_value(invocation, g_variant_new("(v)", value));
    if (value != nullptr) g_variant_unref(value);
    return;
  }
  if (g_strcmp0(method, "Event") == 0 || g_strcmp0(method, "EventGroup") == 0) {
    std::vector<std::pair<int, std::string>> events;
    if (g_strcmp0(method, "Event") == 0) {
      int id = 0;
      const char* event = nullptr;
      g_variant_get(parameters, "(i&svu)", &id, &event, nullptr, nullptr);
      events.emplace_back(id, event);
    } else {
      GVariantIter* iter = nullptr;
      g_variant_get(parameters, "(a(isvu))", &iter);
      int id;
      const char* event;
      GVariant* payload;
      guint32 stamp;
      while (g_variant_iter_next(iter, "(i&svu)", &id, &event, &payload, &stamp)) {
        events.emplace_back(id, event);
        g_variant_unref(payload);
      }
      g_variant_iter_free(iter);
    }
    GVariantBuilder errors;
    g_variant_builder_init(&errors, G_VARIANT_TYPE("ai"));
    for (const auto& [id, event] : events) {
      if (id < 1 || static_cast<size_t>(id) > s.commands.size()) {
        g_variant_builder_add(&errors, "i", id);
        continue;
      }
      if (event == "clicked" && s.commands[id - 1] != 0)
        koPostMessage(s.icon_window, kMsgCommand, s.commands[id - 1], 0);
    }
    hold.unlock();
    if (g_strcmp0(method, "Event") == 0) {
      g_variant_builder_clear(&errors);
      g_dbus_method_invocation_return_value(invocation, nullptr);
    } else {
      g_dbus_method_invocation_return_value(invocation, g_variant_new("(ai)", &errors));
    }
    return;
  }
  if (g_strcmp0(method, "AboutToShow") == 0) {
    hold.unlock();
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(b)", FALSE));
    return;
  }
  if (g_strcmp0(method, "AboutToShowGroup") == 0) {
    hold.unlock();
    g_dbus_method_invocation_return_value(
        invocation, g_variant_new("(@ai@ai)", g_variant_new_array(G_VARIANT_TYPE_INT32, nullptr, 0),
                                  g_variant_new_array(G_VARIANT_TYPE_INT32, nullptr, 0)));
    return;
  }
  hold.unlock();
  g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_METHOD,
                                        "unknown method");
}

GVariant* OnGetProperty(GDBusConnection*, const char*, const char*, const char* interface,
                        const char* property, GError** error, void* data) {
  State& s = *static_cast<State*>(data);
  std::lock_guard<std::mutex> hold(s.lock);
  if (g_strcmp0(interface, "com.canonical.dbusmenu") == 0) {
    if (g_strcmp0(property, "Version") == 0) return g_variant_new_uint32(3);
    if (g_strcmp0(property, "TextDirection") == 0) return g_variant_new_string("ltr");
    if (g_strcmp0(property, "Status") == 0) return g_variant_new_string("normal");
    if (g_strcmp0(property, "IconThemePath") == 0)
      return g_variant_new_array(G_VARIANT_TYPE_STRING, nullptr, 0);
  } else {
    if (g_strcmp0(property, "Category") == 0) return g_variant_new_string("ApplicationStatus");
    if (g_strcmp0(property, "Id") == 0) return g_variant_new_string(g_get_prgname() ? g_get_prgname() : "tray");
    if (g_strcmp0(property, "Title") == 0 || g_strcmp0(property, "ToolTip") == 0) {
      if (g_strcmp0(property, "Title") == 0) return g_variant_new_string(s.tooltip.c_str());
      return g_variant_new("(s@a(iiay)ss)", "", g_variant_new_array(G_VARIANT_TYPE("(iiay)"), nullptr, 0),
                           s.tooltip.c_str(), "");
    }
    if (g_strcmp0(property, "Status") == 0) return g_variant_new_string("Active");
    if (g_strcmp0(property, "WindowId") == 0) return g_variant_new_int32(0);
    if (g_strcmp0(property, "IconName") == 0) return g_variant_new_string(s.icon_name.c_str());
    if (g_strcmp0(property, "IconPixmap") == 0)
      return g_variant_new_array(G_VARIANT_TYPE("(iiay)"), nullptr, 0);
    if (g_strcmp0(property, "OverlayIconName") == 0 ||
        g_strcmp0(property, "AttentionIconName") == 0)
      return g_variant_new_string("");
    if (g_strcmp0(property, "ItemIsMenu") == 0) return g_variant_new_boolean(FALSE);
    if (g_strcmp0(property, "Menu") == 0) return g_variant_new_object_path(kMenuPath);
  }
  g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_PROPERTY, "unknown property %s", property);
  return nullptr;
}

const GDBusInterfaceVTable kVTable = {OnMethodCall, OnGetProperty, nullptr, {}};

void OnWatcherAppeared(GDBusConnection*, const char*, const char* owner, void* data) {
  State& s = *static_cast<State*>(data);
  std::lock_guard<std::mutex> hold(s.lock);
  bool restarted = !s.watcher_owner.empty() && s.watcher_owner != owner;
  s.watcher_owner = owner;
  if (restarted && s.host_window != 0) koPostMessage(s.host_window, s.host_message, 0, 0);
}

// The item's own thread: serves bus calls until the loop is quit.
void BusThread(void* arg) {
  State& s = *static_cast<State*>(arg);
  g_main_context_push_thread_default(s.context);
  GDBusInterfaceInfo* item = g_dbus_node_info_lookup_interface(s.node, "org.kde.StatusNotifierItem");
  GDBusInterfaceInfo* menu = g_dbus_node_info_lookup_interface(s.node, "com.canonical.dbusmenu");
  guint item_id = g_dbus_connection_register_object(s.connection, kItemPath, item, &kVTable, &s,
                                                    nullptr, nullptr);
  guint menu_id = g_dbus_connection_register_object(s.connection, kMenuPath, menu, &kVTable, &s,
                                                    nullptr, nullptr);
  guint watch = g_bus_watch_name_on_connection(s.connection, kWatcherName,
                                               G_BUS_NAME_WATCHER_FLAGS_NONE, OnWatcherAppeared,
                                               nullptr, &s, nullptr);
  s.ready.Set();
  g_main_loop_run(s.loop);
  g_bus_unwatch_name(watch);
  if (item_id != 0) g_dbus_connection_unregister_object(s.connection, item_id);
  if (menu_id != 0) g_dbus_connection_unregister_object(s.connection, menu_id);
  while (g_main_context_iteration(s.context, FALSE)) {
  }
  g_main_context_pop_thread_default(s.context);
}

// A bus-daemon call answering one unsigned value; 0 on failure.
uint32_t CallBus(GDBusConnection* connection, const char* method, GVariant* parameters) {
  GVariant* reply = g_dbus_connection_call_sync(
      connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", method,
      parameters, G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, koSniTray::kCallTimeoutMs,
      nullptr, nullptr);
  if (reply == nullptr) return 0;
  uint32_t value = 0;
  g_variant_get(reply, "(u)", &value);
  g_variant_unref(reply);
  return value;
}

bool HasOwner(GDBusConnection* connection, const char* name) {
  GVariant* reply = g_dbus_connection_call_sync(
      connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
      "NameHasOwner", g_variant_new("(s)", name), G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE,
      koSniTray::kCallTimeoutMs, nullptr, nullptr);
  if (reply == nullptr) return false;
  gboolean owned = FALSE;
  g_variant_get(reply, "(b)", &owned);
  g_variant_unref(reply);
  return owned != FALSE;
}

}  // namespace

int koSessionBusAddress(koString& out) {
  const char* address = getenv("DBUS_SESSION_BUS_ADDRESS");
  if (address != nullptr && *address != 0) {
    out.SetAs(address);
    return 1;
  }
  const char* runtime = getenv("XDG_RUNTIME_DIR");
  if (runtime == nullptr || runtime[0] != '/') return 0;
  std::string socket_path = std::string(runtime) + "/bus";
  struct stat st;
  if (stat(socket_path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) return 0;
  gchar* escaped = g_dbus_address_escape_value(socket_path.c_str());
  out.SetAs("unix:path=");
  out += escaped;
  g_free(escaped);
  return 1;
}

koSniTray* koSniTray::Open(const char* bus_address) {
  if (bus_address == nullptr || *bus_address == 0) return nullptr;
  GDBusConnection* connection = g_dbus_connection_new_for_address_sync(
      bus_address,
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, nullptr);
  if (connection == nullptr) return nullptr;
  if (!HasOwner(connection, kWatcherName)) {
    g_dbus_connection_close_sync(connection, nullptr, nullptr);
    g_object_unref(connection);
    return nullptr;
  }
  State* s = new State;
  s->connection = connection;
  // The watcher of now is the baseline: only a later owner is a restart.
  GVariant* owner = g_dbus_connection_call_sync(
      connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
      "GetNameOwner", g_variant_new("(s)", kWatcherName), G_VARIANT_TYPE("(s)"),
      G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs, nullptr, nullptr);
  if (owner != nullptr) {
    const char* unique = nullptr;
    g_variant_get(owner, "(&s)", &unique);
    s->watcher_owner = unique;
    g_variant_unref(owner);
  }
  s->context = g_main_context_new();
  s->loop = g_main_loop_new(s->context, FALSE);
  s->node = g_dbus_node_info_new_for_xml(kIntrospection, nullptr);
  s->service = "org.kde.StatusNotifierItem-" + std::to_string(getpid()) + "-" +
               std::to_string(next_item.fetch_add(1));
  if (s->node == nullptr ||
      !s->thread.Create(PR_USER_THREAD, BusThread, s, PR_PRIORITY_NORMAL, PR_GLOBAL_THREAD,
                        PR_JOINABLE_THREAD, 0)) {
    if (s->node != nullptr) g_dbus_node_info_unref(s->node);
    g_main_loop_unref(s->loop);
    g_main_context_unref(s->context);
    g_dbus_connection_close_sync(connection, nullptr, nullptr);
    g_object_unref(connection);
    delete s;
    return nullptr;
  }
  s->ready.Wait(-1);
  return new koSniTray(s);
}

koSniTray::koSniTray(State* state) : state_(state) {}

koSniTray::~koSniTray() {
  State& s = *state_;
  int added;
  uint32_t id;
  {
    std::lock_guard<std::mutex> hold(s.lock);
    added = s.added;
    id = s.icon_id;
  }
  if (added) Remove(id);
  g_main_loop_quit(s.loop);
  s.thread.Join();
  g_dbus_connection_flush_sync(s.connection, nullptr, nullptr);
  g_dbus_connection_close_sync(s.connection, nullptr, nullptr);
  g_object_unref(s.connection);
  g_main_loop_unref(s.loop);
  g_main_context_unref(s.context);
  g_dbus_node_info_unref(s.node);
  delete state_;
}

void koSniTray::SetHostWatcher(koWindowId window, uint32_t host_message) {
  std::lock_guard<std::mutex> hold(state_->lock);
  state_->host_window = window;
  state_->host_message = host_message;
}

int koSniTray::Add(const koTrayIcon& icon) {
  State& s = *state_;
  {
    std::lock_guard<std::mutex> hold(s.lock);
    s.icon_window = icon.window;
    s.icon_id = icon.id;
    s.callback_message = icon.callback_message;
    s.icon_name = icon.icon != nullptr ? icon.icon : "";
    s.tooltip = icon.tooltip != nullptr ? icon.tooltip : "";
    s.texts.clear();
    s.commands.clear();
    for (int i = 0; i < icon.menu_count; ++i) {
      bool separator = icon.menu[i].text == nullptr;
      s.texts.push_back(separator ? "" : icon.menu[i].text);
      s.commands.push_back(separator ? 0 : icon.menu[i].command);
    }
    ++s.revision;
    s.added = 1;  // so that the watcher's first look finds the item complete
  }
  // 4: do not queue behind another owner.
  uint32_t owner = CallBus(s.connection, "RequestName", g_variant_new("(su)", s.service.c_str(), 4u));
  bool ok = owner == 1 || owner == 4;
  if (ok) {
    GVariant* reply = g_dbus_connection_call_sync(
        s.connection, kWatcherName, kWatcherPath, kWatcherName, "RegisterStatusNotifierItem",
        g_variant_new("(s)", s.service.c_str()), nullptr, G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs,
        nullptr, nullptr);
    ok = reply != nullptr;
    if (reply != nullptr) g_variant_unref(reply);
    if (!ok) CallBus(s.connection, "ReleaseName", g_variant_new("(s)", s.service.c_str()));
  }
  std::lock_guard<std::mutex> hold(s.lock);
  s.added = ok ? 1 : 0;
  if (ok) {
    g_dbus_connection_emit_signal(s.connection, nullptr, kMenuPath, "com.canonical.dbusmenu",
                                  "LayoutUpdated", g_variant_new("(ui)", s.revision, 0), nullptr);
  }
  return ok ? 1 : 0;
}

int koSniTray::Remove(uint32_t id) {
  State& s = *state_;
  {
    std::lock_guard<std::mutex> hold(s.lock);
    if (!s.added || id != s.icon_id) return 0;
    s.added = 0;
  }
  // 1: released; anything else: the name was not ours any more.
  return CallBus(s.connection, "ReleaseName", g_variant_new("(s)", s.service.c_str())) == 1 ? 1 : 0;
}

int koSniTray::ShowMenu(koWindowId, const koTrayMenuItem*, int, int) { return 0; }

const char* koSniTray::ServiceName() const { return state_->service.c_str(); }
