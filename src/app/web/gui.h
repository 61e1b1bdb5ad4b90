// The program's start-up and message loop (what runs between main's entry
// and its return), and the one tray icon.
//
// PostvaneMain runs on the main thread, once per process, before any other
// thread of the program exists.
#ifndef PV_APP_WEB_GUI_H
#define PV_APP_WEB_GUI_H

#include "platform/desktop/systemtray.h"
#include "platform/desktop/tray.h"

// The tray icon; made before main runs, its icon taken away when the loop ends.
extern SystemTray gSystemTray;

// Refuses a second instance (opening the running one's index page), installs
// the crash handler, opens the log ("Started"), makes the hidden main window
// (which starts the services), shows the tray icon through `tray` (borrowed;
// it must outlive the call), and runs the message loop until shut-down.
// Answers the process's exit code: 0, or 1 when SQLite is not thread-safe.
int PostvaneMain(koTrayBackend* tray);

#endif  // PV_APP_WEB_GUI_H
