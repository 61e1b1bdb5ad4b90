// The tray icon as a StatusNotifierItem on the session bus, with its menu
// exported as a dbusmenu, for desktops whose panel hosts such items.
//
// The item registers with the desktop's StatusNotifierWatcher; the panel
// then draws the icon and, from the exported menu, the menu. What the user
// does comes back as bus calls, which become messages to our windows
// (platform/desktop/tray.h): Activate (a primary click) is the double click,
// ContextMenu (panels that draw no menu themselves) the right click, a
// menu item's "clicked" event the menu command. A new watcher owner on the
// bus (the panel restarted) is the host restart.
//
// Lifetime: Open makes the object and a thread of its own that serves the
// bus calls; the destructor takes the icon away and ends that thread.
// Thread-safety: Add, Remove and ShowMenu from the GUI thread; the bus
// thread reads the icon's data under a lock of its own.
#ifndef PV_PLATFORM_DESKTOP_GIO_TRAYSNI_H
#define PV_PLATFORM_DESKTOP_GIO_TRAYSNI_H

#include "core/kstring.h"
#include "platform/desktop/tray.h"

// out = the user's session bus address: DBUS_SESSION_BUS_ADDRESS, else
// "unix:path=$XDG_RUNTIME_DIR/bus" when that socket exists. Never starts a
// bus. 1 when one is known.
int koSessionBusAddress(koString& out);

class koSniTray : public koTrayBackend {
 public:
  static constexpr int kCallTimeoutMs = 3000;

  // A tray on the bus at address, or null when the bus cannot be reached
  // or no StatusNotifierWatcher runs on it (then the desktop shows no such
  // icons). The caller deletes it.
  static koSniTray* Open(const char* bus_address);
  ~koSniTray() override;

  void SetHostWatcher(koWindowId window, uint32_t host_message) override;
  // Takes the item's bus name and registers it with the watcher.
  int Add(const koTrayIcon& icon) override;
  // Gives the bus name up; the watcher drops the item.
  int Remove(uint32_t id) override;
  // Panels draw the exported menu themselves; no menu can be popped up
  // from here, so this answers 0.
  int ShowMenu(koWindowId owner, const koTrayMenuItem* items, int count,
               int default_item) override;

  // The item's bus name ("org.kde.StatusNotifierItem-<pid>-<n>").
  const char* ServiceName() const;

  struct State;

 private:
  explicit koSniTray(State* state);
  State* state_;
};

#endif  // PV_PLATFORM_DESKTOP_GIO_TRAYSNI_H
