// Termination requests (SIGTERM, SIGINT) as a message to a window.
//
// A signal handler may not take locks, so the signals are blocked in every
// thread and one thread of our own waits for them with sigwait and posts
// the message: the ordered shut-down then runs on the window's thread as
// when the user chose it.
//
// koBlockTermSignals must run on the main thread before any other thread
// starts (threads inherit the mask). Programs we start get the default mask
// back (platform/desktop/desktop.h). Nothing here logs; the caller does.
#ifndef PV_PLATFORM_DESKTOP_SIGNALS_H
#define PV_PLATFORM_DESKTOP_SIGNALS_H

#include <cstdint>

#include "platform/desktop/window.h"

// Blocks SIGTERM and SIGINT in the calling thread. 1 on success.
int koBlockTermSignals();

// Starts the waiting thread (once per process): every SIGTERM or SIGINT
// after this posts (message, wparam, lparam) to window. 1 when the thread
// runs, 0 when it could not start or runs already.
int koPostOnTermSignals(koWindowId window, uint32_t message, uintptr_t wparam, intptr_t lparam);

#endif  // PV_PLATFORM_DESKTOP_SIGNALS_H
