// SystemTray: the program's icon in the desktop's notification area.
//
// It shows the icon through a back-end (platform/desktop/tray.h), turns a right
// click into the tray menu and a double click into the menu's default
// command (posted to the target window as kMsgCommand), and adds the icon
// again when the icon host restarts. It owns a hidden window of class
// "SystemTray" that hears the host's restart (the "TaskbarCreated" message).
//
// Lifetime: one object per process, made before the program's main runs;
// Create after the target window exists; Destroy (or the destructor) takes
// the icon away. The back-end is borrowed and must outlive the icon.
// Thread-safety: the GUI thread only (the one that called Create).
#ifndef PV_PLATFORM_DESKTOP_SYSTEMTRAY_H
#define PV_PLATFORM_DESKTOP_SYSTEMTRAY_H

#include <cstdint>
#include <string>
#include <vector>

#include "platform/desktop/tray.h"
#include "platform/desktop/window.h"

class SystemTray {
 public:
  static constexpr int kTooltipMax = 127;  // characters kept of the tooltip

  SystemTray();
  virtual ~SystemTray();
  SystemTray(const SystemTray&) = delete;
  SystemTray& operator=(const SystemTray&) = delete;

  // Before Create: where the icon is shown. Not owned.
  void SetBackend(koTrayBackend* backend) { backend_ = backend; }

  // Makes the tray's own window and, unless hidden, shows the icon with its
  // menu (copied; menu_count 0 means no menu). target gets callback_message
  // for clicks and the menu's commands; 0 makes the tray's own window the
  // target. Non-zero on success: the add's result, 1 when nothing was added.
  int Create(koWindowId target, uint32_t callback_message, const char* tooltip, const char* icon,
             uint32_t icon_id, const koTrayMenuItem* menu, int menu_count, int hidden);

  // The animation frames, icon ids first to last. 0 when first > last.
  int SetIconList(int first, int last);

  // A click on the icon (the callback message's wParam and lParam).
  // 1 handled, 0 not ours (or no menu to show for a right click).
  virtual int OnTrayNotification(uintptr_t id, intptr_t mouse_message);

  // Called with the menu just before it is shown; changes nothing here.
  virtual void CustomizeMenu(std::vector<koTrayMenuItem>& menu);

  // Takes the icon away and destroys the tray's window (on the GUI thread);
  // the back-end is forgotten. Safe to call again.
  void Destroy();

  int IsEnabled() const { return enabled_; }
  int IsHidden() const { return hidden_; }
  int IsRemoved() const { return removed_; }
  int ReAddFailed() const { return readd_failed_; }
  koWindowId OwnWindow() const { return own_window_; }

 private:
  static intptr_t TrayWindowProc(koWindowId window, uint32_t message, uintptr_t wparam,
                                 intptr_t lparam);
  int AddIcon();
  void RemoveIcon();
  void OnHostRestart();
  koTrayIcon Record() const;

  koTrayBackend* backend_ = nullptr;
  koWindowId own_window_ = 0;
  koWindowId target_ = 0;
  uint32_t icon_id_ = 0;
  uint32_t callback_message_ = 0;
  std::string tooltip_;
  std::string icon_;
  std::vector<std::string> menu_texts_;
  std::vector<koTrayMenuItem> menu_;  // texts point into menu_texts_
  int enabled_ = 0;
  int hidden_ = 1;
  int removed_ = 1;
  int readd_failed_ = 0;
  std::vector<int> icon_list_;
  int default_item_ = 0;
  int default_by_position_ = 1;
};

#endif  // PV_PLATFORM_DESKTOP_SYSTEMTRAY_H
