#include "platform/desktop/systemtray.h"

namespace {

const char kTrayClass[] = "SystemTray";

// Registered before main, as the host's broadcast is.
const uint32_t kTaskbarCreated = koRegisterWindowMessage("TaskbarCreated");

// At most max characters of UTF-8 text, cut between characters.
std::string FirstCharacters(const char* text, int max) {
  std::string out;
  if (text == nullptr) return out;
  int count = 0;
  for (const char* p = text; *p != 0; ++p) {
    bool starts_character = (static_cast<unsigned char>(*p) & 0xC0) != 0x80;
    if (starts_character && ++count > max) break;
    out += *p;
  }
  return out;
}

}  // namespace

SystemTray::SystemTray() = default;

SystemTray::~SystemTray() { Destroy(); }

int SystemTray::Create(koWindowId target, uint32_t callback_message, const char* tooltip,
                       const char* icon, uint32_t icon_id, const koTrayMenuItem* menu,
                       int menu_count, int hidden) {
  if (backend_ == nullptr) {
    enabled_ = 0;
    return 0;
  }
  enabled_ = 1;
  if (!koRegisterWindowClass(kTrayClass, TrayWindowProc, nullptr)) return 0;
  own_window_ = koCreateWindow(kTrayClass, this);
  if (own_window_ == 0) return 0;
  target_ = target != 0 ? target : own_window_;
  icon_id_ = icon_id;
  callback_message_ = callback_message;
  tooltip_ = FirstCharacters(tooltip, kTooltipMax);
  icon_ = icon != nullptr ? icon : "";
  menu_texts_.clear();
  menu_.clear();
  for (int i = 0; i < menu_count; ++i)
    menu_texts_.push_back(menu[i].text != nullptr ? menu[i].text : "");
  for (int i = 0; i < menu_count; ++i)
    menu_.push_back({menu[i].command, menu[i].text != nullptr ? menu_texts_[i].c_str() : nullptr});
  backend_->SetHostWatcher(own_window_, kTaskbarCreated);
  if (hidden) return 1;
  return AddIcon();
}

int SystemTray::SetIconList(int first, int last) {
  if (first > last) return 0;
  icon_list_.clear();
  for (int id = first; id <= last; ++id) icon_list_.push_back(id);
  return 1;
}

int SystemTray::OnTrayNotification(uintptr_t id, intptr_t mouse_message) {
  if (id != icon_id_ || target_ == 0) return 0;
  if (mouse_message == kTrayRightButtonUp) {
    if (menu_.empty() || backend_ == nullptr) return 0;
    std::vector<koTrayMenuItem> shown = menu_;
    CustomizeMenu(shown);
    backend_->ShowMenu(target_, shown.data(), static_cast<int>(shown.size()), default_item_);
    return 1;
  }
  if (mouse_message == kTrayLeftDoubleClick) {
    if (default_by_position_ && default_item_ >= 0 &&
        default_item_ < static_cast<int>(menu_.size()))
      koPostMessage(target_, kMsgCommand, menu_[default_item_].command, 0);
    return 1;
  }
  return 1;
}

void SystemTray::CustomizeMenu(std::vector<koTrayMenuItem>&) {}

void SystemTray::Destroy() {
  RemoveIcon();
  if (own_window_ != 0) koDestroyWindow(own_window_);
  own_window_ = 0;
  target_ = 0;
  backend_ = nullptr;
}

intptr_t SystemTray::TrayWindowProc(koWindowId window, uint32_t message, uintptr_t wparam,
                                    intptr_t lparam) {
  if (message == kMsgNcCreate) {
    koSetWindowData(window, reinterpret_cast<void*>(lparam));
    return 1;
  }
  SystemTray* tray = static_cast<SystemTray*>(koGetWindowData(window));
  if (tray != nullptr) {
    if (message == kTaskbarCreated) {
      tray->OnHostRestart();
      return 0;
    }
    if (message == tray->callback_message_ && tray->target_ == window)
      return tray->OnTrayNotification(wparam, lparam);
  }
  return koDefWindowProc(window, message, wparam, lparam);
}

koTrayIcon SystemTray::Record() const {
  koTrayIcon record;
  record.window = target_;
  record.id = icon_id_;
  record.callback_message = callback_message_;
  record.icon = icon_.c_str();
  record.tooltip = tooltip_.c_str();
  record.menu = menu_.data();
  record.menu_count = static_cast<int>(menu_.size());
  record.default_item = default_item_;
  return record;
}

int SystemTray::AddIcon() {
  int added = backend_->Add(Record());
  hidden_ = removed_ = added ? 0 : 1;
  return added;
}

void SystemTray::RemoveIcon() {
  if (!enabled_ || removed_ || backend_ == nullptr) return;
  if (backend_->Remove(icon_id_)) hidden_ = removed_ = 1;
}

void SystemTray::OnHostRestart() {
  if (backend_ == nullptr) return;
  if (!removed_) RemoveIcon();
  if (!enabled_) return;
  if (backend_->Add(Record())) {
    hidden_ = removed_ = 0;
    readd_failed_ = 0;
  } else {
    readd_failed_ = 1;
  }
}
