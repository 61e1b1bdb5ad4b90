#include "platform/desktop/tray.h"

void koRecordingTray::SetHostWatcher(koWindowId window, uint32_t host_message) {
  std::lock_guard<std::mutex> hold(lock_);
  host_window_ = window;
  host_message_ = host_message;
}

int koRecordingTray::Add(const koTrayIcon& icon) {
  std::lock_guard<std::mutex> hold(lock_);
  ++adds_;
  if (fail_next_add_) {
    fail_next_add_ = 0;
    return 0;
  }
  icon_window_ = icon.window;
  icon_id_ = icon.id;
  callback_message_ = icon.callback_message;
  tooltip_ = icon.tooltip != nullptr ? icon.tooltip : "";
  icon_name_ = icon.icon != nullptr ? icon.icon : "";
  shown_ = 1;
  return 1;
}

int koRecordingTray::Remove(uint32_t id) {
  std::lock_guard<std::mutex> hold(lock_);
  ++removes_;
  if (!shown_ || id != icon_id_) return 0;
  shown_ = 0;
  return 1;
}

int koRecordingTray::ShowMenu(koWindowId owner, const koTrayMenuItem* items, int count,
                              int default_item) {
  std::lock_guard<std::mutex> hold(lock_);
  Menu menu;
  menu.owner = owner;
  for (int i = 0; i < count; ++i) {
    menu.texts.push_back(items[i].text != nullptr ? items[i].text : "");
    menu.commands.push_back(items[i].command);
  }
  menu.default_item = default_item;
  last_menu_ = menu;
  ++menus_;
  return 1;
}

void koRecordingTray::FailNextAdd() {
  std::lock_guard<std::mutex> hold(lock_);
  fail_next_add_ = 1;
}

int koRecordingTray::AddCount() const {
  std::lock_guard<std::mutex> hold(lock_);
  return adds_;
}

int koRecordingTray::RemoveCount() const {
  std::lock_guard<std::mutex> hold(lock_);
  return removes_;
}

int koRecordingTray::Shown() const {
  std::lock_guard<std::mutex> hold(lock_);
  return shown_;
}

std::string koRecordingTray::Tooltip() const {
  std::lock_guard<std::mutex> hold(lock_);
  return tooltip_;
}

std::string koRecordingTray::IconName() const {
  std::lock_guard<std::mutex> hold(lock_);
  return icon_name_;
}

int koRecordingTray::MenuCount() const {
  std::lock_guard<std::mutex> hold(lock_);
  return menus_;
}

koRecordingTray::Menu koRecordingTray::LastMenu() const {
  std::lock_guard<std::mutex> hold(lock_);
  return last_menu_;
}

int koRecordingTray::Click(uint32_t mouse_message) {
  std::lock_guard<std::mutex> hold(lock_);
  if (!shown_) return 0;
  return koPostMessage(icon_window_, callback_message_, icon_id_, mouse_message) == 1 ? 1 : 0;
}

int koRecordingTray::Choose(uint32_t command) {
  std::lock_guard<std::mutex> hold(lock_);
  if (menus_ == 0) return 0;
  return koPostMessage(last_menu_.owner, kMsgCommand, command, 0) == 1 ? 1 : 0;
}

int koRecordingTray::RestartHost() {
  std::lock_guard<std::mutex> hold(lock_);
  // The old host took the icon with it.
  shown_ = 0;
  if (host_window_ == 0) return 0;
  return koPostMessage(host_window_, host_message_, 0, 0) == 1 ? 1 : 0;
}
