// postvane: picks where the tray icon goes and runs the program.
#include <stdio.h>
#include <unistd.h>

#include "app/web/gui.h"
#include "app/web/servicemgr.h"
#include "platform/desktop/gio/desktopbus.h"
#include "platform/desktop/gio/traysni.h"
#include "platform/desktop/signals.h"

int main() {
  // The bus threads start here, before the program's own start-up: they too
  // must leave SIGTERM and SIGINT to the thread that waits for them.
  koBlockTermSignals();
  koNullTray no_tray;
  koSniTray* sni_tray = nullptr;
  koString bus;
  if (koSessionBusAddress(bus)) {
    // Without a panel that hosts status icons the program runs without one.
    sni_tray = koSniTray::Open(bus.GetString());
    koInstallDesktopBus(bus.GetString());
  }
  int code = PostvaneMain(sni_tray != nullptr ? static_cast<koTrayBackend*>(sni_tray) : &no_tray);
  // Requests still running use what exit-time clean-up would destroy.
  if (ServiceMgr::RequestsOutlived()) {
    fflush(nullptr);
    _exit(code);
  }
  delete sni_tray;
  return code;
}
