// WinStartMgr: the hidden main window "PostvaneWindowClass" and every
// desktop action of the program.
//
// Request handlers hand their desktop actions to the window with the
// messages of app/web/mainwindow.h.
//
// Lifetime: one object on the program's main stack, handed to the window at
// creation and reached by the window procedure through the window's data.
// Thread-safety: every member runs on the GUI thread, except that the
// shut-down thread runs ServiceMgr::StopAllServices while the GUI thread
// waits for it.
#ifndef PV_APP_WEB_WINSTARTMGR_H
#define PV_APP_WEB_WINSTARTMGR_H

#include <cstdint>

#include "app/web/mainwindow.h"
#include "core/kstring.h"
#include "platform/desktop/window.h"

class koEvent;

// Tray-menu commands (the low word of kMsgCommand's wParam).
enum : uint32_t {
  kCmdLaunch = 32776,
  kCmdPreferences = 32784,
  kCmdOpenAttachments = 112,
  kCmdHelp = 32778,
  kCmdExit = 105,
};

class WinStartMgr {
 public:
  // How long the GUI thread waits for the shut-down thread before it ends
  // the process at once.
  static constexpr int kShutdownWaitMs = 3000;

  WinStartMgr() = default;
  ~WinStartMgr();
  WinStartMgr(const WinStartMgr&) = delete;
  WinStartMgr& operator=(const WinStartMgr&) = delete;

  // Registers the class and makes the hidden main window, whose creation
  // starts the services. 1 on success; failures are logged.
  int CreateMainWindow();
  koWindowId MainWindow() const { return main_window_; }

  // Opens "http://127.0.0.1:<port>/<page>" (port from ConfigMgr), or page
  // itself when full_address is 1, in the desktop's browser. Failures are
  // logged; nothing else happens.
  void OpenLink(const char* page, int full_address);

  // The ordered shut-down (the window's close): stops the services on a
  // thread of their own, waits at most kShutdownWaitMs (else the process
  // ends at once with code 0), then destroys the window, which ends the
  // message loop. 1 when the services stopped in time.
  int Shutdown();

 private:
  static intptr_t WindowProc(koWindowId window, uint32_t message, uintptr_t wparam,
                             intptr_t lparam);
  static void DiscardMessage(uint32_t message, uintptr_t wparam, intptr_t lparam);
  static void ShutdownThread(void* arg);

  void OnCreate();
  void OnCommand(uint32_t command);
  void OnOpenFile(const char* path);
  void OnLocateFile(const char* path);
  void OnCopyPath(const char* path);
  void OnOpenWith(const char* path);
  int OnRegisterExtension(int do_register);
  void OpenPage(const char* page);
  // Starts argv detached; logs "CreateProcess" with the errno value on failure.
  int StartProgram(const char* const* argv);

  koWindowId main_window_ = 0;
  koEvent* shutdown_event_ = nullptr;  // made only during shut-down
  int shutting_down_ = 0;
};

#endif  // PV_APP_WEB_WINSTARTMGR_H
