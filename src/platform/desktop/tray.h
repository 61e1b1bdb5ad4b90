// The notification-area icon, behind a back-end interface.
//
// SystemTray (platform/desktop/systemtray.h) keeps the icon's state; a back-end only
// shows it where the desktop has a place for it and reports what the user
// did, always as messages posted to windows of the registry
// (platform/desktop/window.h), so that everything lands on the GUI thread:
// - a click on the icon: the icon's callback message to its window, with
//   the icon id as wParam and the mouse message as lParam;
// - a menu choice: kMsgCommand to the menu's owner, the command as wParam;
// - the icon host restarting (the icon must be added again): the host
//   message to the window given by SetHostWatcher.
//
// Back-ends here: koNullTray (no desktop: every request succeeds and
// nothing shows) and koRecordingTray (tests: it records the requests and
// injects the user's actions). The StatusNotifierItem back-end lives in
// platform/desktop/gio/traysni.h.
//
// Thread-safety: requests come from the GUI thread; a back-end may report
// from its own threads, since posting is safe from anywhere. koRecordingTray
// is safe from any thread.
#ifndef PV_PLATFORM_DESKTOP_TRAY_H
#define PV_PLATFORM_DESKTOP_TRAY_H

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/desktop/window.h"

// The mouse messages that a click reports (lParam of the callback message).
enum : uint32_t {
  kTrayLeftDoubleClick = 0x0203,
  kTrayRightButtonUp = 0x0205,
};

// One menu line; a null text is a separator (command 0).
struct koTrayMenuItem {
  uint32_t command;
  const char* text;
};

// What Add shows. Pointers are borrowed for the call; back-ends copy what
// they keep.
struct koTrayIcon {
  koWindowId window;          // gets callback_message and the menu's commands
  uint32_t id;
  uint32_t callback_message;
  const char* icon;           // icon name from the desktop's icon theme
  const char* tooltip;
  const koTrayMenuItem* menu; // the menu that the host may show by itself
  int menu_count;
  int default_item;           // index into menu: the double click's command
};

class koTrayBackend {
 public:
  virtual ~koTrayBackend() = default;
  // Where to post host_message when the icon host (re)starts.
  virtual void SetHostWatcher(koWindowId window, uint32_t host_message) = 0;
  // Shows the icon (again). 1 on success.
  virtual int Add(const koTrayIcon& icon) = 0;
  // Takes the icon away. 1 on success.
  virtual int Remove(uint32_t id) = 0;
  // Pops the menu up for owner; the choice arrives later as kMsgCommand.
  // 1 when a menu was shown.
  virtual int ShowMenu(koWindowId owner, const koTrayMenuItem* items, int count,
                       int default_item) = 0;
};

class koNullTray : public koTrayBackend {
 public:
  void SetHostWatcher(koWindowId, uint32_t) override {}
  int Add(const koTrayIcon&) override { return 1; }
  int Remove(uint32_t) override { return 1; }
  int ShowMenu(koWindowId, const koTrayMenuItem*, int, int) override { return 0; }
};

class koRecordingTray : public koTrayBackend {
 public:
  struct Menu {
    koWindowId owner = 0;
    std::vector<std::string> texts;      // "" for a separator
    std::vector<uint32_t> commands;
    int default_item = -1;
  };

  void SetHostWatcher(koWindowId window, uint32_t host_message) override;
  int Add(const koTrayIcon& icon) override;
  int Remove(uint32_t id) override;
  int ShowMenu(koWindowId owner, const koTrayMenuItem* items, int count,
               int default_item) override;

  // The next Add answers 0 (once).
  void FailNextAdd();

  // What was asked so far.
  int AddCount() const;
  int RemoveCount() const;
  int Shown() const;           // 1 while the icon is added
  std::string Tooltip() const;
  std::string IconName() const;
  int MenuCount() const;       // menus shown
  Menu LastMenu() const;

  // The user's actions. Each answers 1 when its message was posted.
  int Click(uint32_t mouse_message);  // on the icon
  int Choose(uint32_t command);       // in the last menu shown
  int RestartHost();

 private:
  mutable std::mutex lock_;
  koWindowId host_window_ = 0;
  uint32_t host_message_ = 0;
  koWindowId icon_window_ = 0;
  uint32_t icon_id_ = 0;
  uint32_t callback_message_ = 0;
  std::string tooltip_;
  std::string icon_name_;
  int adds_ = 0;
  int removes_ = 0;
  int shown_ = 0;
  int fail_next_add_ = 0;
  int menus_ = 0;
  Menu last_menu_;
};

#endif  // PV_PLATFORM_DESKTOP_TRAY_H
