#include "app/web/gui.h"

#include <sqlite3.h>
#include <stdio.h>
#include <tinyxml.h>

#include "app/store/configmgr.h"
#include "app/web/httpservicemgr.h"
#include "app/web/servicemgr.h"
#include "app/web/winstartmgr.h"
#include "core/kcrash.h"
#include "core/kcurl.h"
#include "core/klog.h"
#include "core/ksocket.h"
#include "core/pathmgr.h"
#include "platform/desktop/instance.h"
#include "platform/desktop/signals.h"

SystemTray gSystemTray;

namespace {

const uint32_t kTrayIconId = 130;
// The tray icon's picture, from the desktop's icon theme.
const char kTrayIconName[] = "internet-mail";
const int kTrayIconResource = 134;

const koTrayMenuItem kTrayMenu[] = {
    {kCmdLaunch, "Launch"},
    {kCmdPreferences, "Preferences"},
    {kCmdOpenAttachments, "Open Attachments Folder"},
    {kCmdHelp, "Help"},
    {0, nullptr},
    {kCmdExit, "Exit"},
};

// Where to point the browser, for a start from a terminal without a desktop.
void TellAddress(const char* state, int port) {
  if (port > 0)
    fprintf(stderr, "Postvane %s %s: open http://127.0.0.1:%d/index.html\n", kAppVersion, state, port);
}

const char kNoPortTooltip[] = "Postvane: not serving its pages, no port was free";

// The address, or why there is none; the tray's tooltip to go with it.
const char* TellServerState() {
  int port = gHttpServiceMgr != nullptr ? gHttpServiceMgr->GetPort() : 0;
  if (port > 0) {
    TellAddress("runs", port);
    return "Postvane";
  }
  fprintf(stderr,
          "Postvane %s could not listen: no port on 127.0.0.1 from the configured one up to %d "
          "was free, so its pages cannot be opened. Free a port and start it again.\n",
          kAppVersion, HttpServiceMgr::kLastPortLimit - 1);
  return kNoPortTooltip;
}

}  // namespace

int PostvaneMain(koTrayBackend* tray) {
  // Before any thread exists, so that every thread inherits both.
  koBlockTermSignals();
  koIgnoreSigPipe();
  CrashHandler::Init();
  WinStartMgr start_mgr;
  // Contact entries keep their white space as the service sent it.
  TiXmlBase::SetCondenseWhiteSpace(false);
  if (sqlite3_threadsafe() == 0) {
    printf("sqlite3_threadsafe returned ZERO\n");
    fflush(stdout);
    return 1;
  }
  // Before anything is written there: the data directory may be open to others.
  int tightened = PathMgr::SecureConfigDir();
  gConfigMgr = new ConfigMgr();

  koString data_dir;
  PathMgr::GetConfigDir(data_dir);
  if (koClaimSingleInstance(kMainWindowClass, data_dir.GetString(), nullptr) == kInstanceOther) {
    TellAddress("already runs", gConfigMgr->GetPort());
    start_mgr.OpenLink("index.html", 0);
    delete gConfigMgr;
    gConfigMgr = nullptr;
    return 0;
  }

  koString title("Postvane");
  title.AppendFormat(" %s", kAppVersion);
  CrashHandler::Install(data_dir.GetString(), title.GetString());
  gLog = new koLog(kAppVersion);
  // Without a data directory the log keeps no file rather than one in "/".
  if (data_dir.GetLength() > 0) {
    koString log_path;
    log_path.Format("%s/%s", data_dir.GetString(), kLogFileName);
    gLog->SetFileName(log_path);
  }
  KO_LOG(0, "Started");
  if (tightened) KO_LOG(0, "The data directory was open to other users; it is now its owner's only");

  if (!start_mgr.CreateMainWindow()) {
    KO_LOG(-1, "winstart failed");
    delete gConfigMgr;
    gConfigMgr = nullptr;
    return 0;
  }
  gMainWindow = start_mgr.MainWindow();
  const char* tooltip = TellServerState();
  gSystemTray.SetBackend(tray);
  if (!gSystemTray.Create(gMainWindow, kMsgTrayNotify, tooltip, kTrayIconName, kTrayIconId,
                          kTrayMenu, sizeof kTrayMenu / sizeof kTrayMenu[0], 0)) {
    // Without its icon the program ends, but in order: its services are running.
    KO_LOG(-1, "SystemTray::Create");
    if (start_mgr.Shutdown() && !ServiceMgr::RequestsOutlived()) koCurl::GlobalCleanup();
    gSystemTray.Destroy();
    CrashHandler::Cleanup();
    return 0;
  }
  gSystemTray.SetIconList(kTrayIconResource, kTrayIconResource);
  // A termination request runs the same ordered shut-down as the menu's Exit.
  if (!koPostOnTermSignals(gMainWindow, kMsgCommand, kCmdExit, 0)) KO_LOG(-1, "koPostOnTermSignals");

  koMessage msg;
  int code = 0;
  while (koGetMessage(&msg) > 0) koDispatchMessage(&msg);
  code = static_cast<int>(msg.wparam);

  gSystemTray.Destroy();
  CrashHandler::Cleanup();
  return code;
}
