#include "app/web/addon.h"

#include "app/store/configmgr.h"
#include "app/web/mainwindow.h"
#include "core/kinifile.h"
#include "core/pathmgr.h"

Addon::Addon(koHttpConnection* connection, int argument) : ObjectBase(connection, argument) {}

void Addon::RunAction(const koString& action) {
  if (action.EqualsNoCase("Status")) {
    Status();
  } else if (action.EqualsNoCase("Install")) {
    InstallSidebar(1);
  } else if (action.EqualsNoCase("UnInstall")) {
    InstallSidebar(0);
  }
}

void Addon::Status() {
  // The side bar writes its version into the low-integrity copy; the
  // roaming one stands in when that folder cannot be had.
  koString dir;
  if (PathMgr::GetLowIntegrityDataDir(dir) == 0) PathMgr::GetConfigDir(dir);
  koString path;
  path.Format("%s/%s", dir.GetString(), "postvane.ini");
  koString version;
  IniReadString("GENERAL", "IE_SideBar_version", "0", version, path.GetString());
  response_.SetAs(version.EqualsNoCase(kAppVersion) ? "1" : "0");
}

void Addon::InstallSidebar(int install) {
  response_.SetAs(RegisterExtensionThroughMainWindow(install) ? "1" : "0");
}
