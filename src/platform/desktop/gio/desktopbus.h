// The desktop's bus services behind platform/desktop/desktop.h's koDesktopBus: the
// file manager's ShowItems and the desktop portal's Open With chooser.
//
// Install once at start, on the main thread, before other threads use the
// desktop actions; the connection stays for the life of the process (the
// calls block the caller for at most kCallTimeoutMs). Nothing here logs:
// a failed call answers 0 and the desktop action falls back to xdg-open.
#ifndef PV_PLATFORM_DESKTOP_GIO_DESKTOPBUS_H
#define PV_PLATFORM_DESKTOP_GIO_DESKTOPBUS_H

constexpr int kDesktopBusCallTimeoutMs = 3000;

// Connects to the bus at address and installs the hook. 1 when connected.
int koInstallDesktopBus(const char* bus_address);

#endif  // PV_PLATFORM_DESKTOP_GIO_DESKTOPBUS_H
