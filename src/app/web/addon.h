// Addon: the request handler ("Addon") that tells whether the browser side
// bar of this version is installed, and installs or removes it through the
// main window (which starts the registration program).
#ifndef PV_APP_WEB_ADDON_H
#define PV_APP_WEB_ADDON_H

#include "app/web/objectbase.h"

class Addon : public ObjectBase {
 public:
  Addon(koHttpConnection* connection, int argument);
  // Status, Install, UnInstall (ignoring case); any other action answers
  // with headers and an empty body.
  void RunAction(const koString& action);

 private:
  // "1" when the side bar's ini copy names this version (ignoring case).
  void Status();
  // "1" when the registration (install 1) or removal (0) was started.
  void InstallSidebar(int install);
};

#endif  // PV_APP_WEB_ADDON_H
