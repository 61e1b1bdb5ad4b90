// The main window as request handlers see it: the messages that hand it a
// desktop action, and the calls that post or send them. Handlers run on
// connection threads and never touch the desktop themselves; the window
// (WinStartMgr) carries the action out on the GUI thread.
//
// The contract for senders:
//   kMsgOpenFile .. kMsgOpenWith: posted; wParam = a koString* made with new
//     holding a full path, lParam 0. The main window owns the string from the
//     post on and deletes it, also when the window is gone or shutting down
//     (PostPathToMainWindow does the post and this bookkeeping).
//   kMsgRegisterExtension: sent; wParam 1 register, 0 unregister, lParam 0;
//     answers 1 when the registration program was started, else 0.
//   kMsgTrayNotify: the tray icon's clicks (wParam icon id, lParam mouse message).
#ifndef PV_APP_WEB_MAINWINDOW_H
#define PV_APP_WEB_MAINWINDOW_H

#include <cstdint>

#include "core/kstring.h"
#include "platform/desktop/window.h"

constexpr const char kMainWindowClass[] = "PostvaneWindowClass";

enum : uint32_t {
  kMsgTrayNotify = kMsgApp + 10,
  kMsgOpenFile = kMsgApp + 11,
  kMsgLocateFile = kMsgApp + 12,
  kMsgCopyPath = kMsgApp + 13,
  kMsgOpenWith = kMsgApp + 14,
  kMsgRegisterExtension = kMsgApp + 15,
};

// The main window; 0 until it is made. Written on the GUI thread before the
// web server starts, read by request threads afterwards.
extern koWindowId gMainWindow;

// True for the messages that carry a path (kMsgOpenFile .. kMsgOpenWith).
bool IsPathMessage(uint32_t message);

// Posts a path message to the main window. Takes ownership of path in every
// case. 1 when it was queued.
int PostPathToMainWindow(uint32_t message, koString* path);

// Sends kMsgRegisterExtension and waits for the GUI thread's answer: 1 when
// the registration program was started, 0 otherwise (also without a window).
int RegisterExtensionThroughMainWindow(int install);

#endif  // PV_APP_WEB_MAINWINDOW_H
