#include "app/web/servicemgr.h"

#include "app/store/configmgr.h"
#include "app/sync/historymgr.h"
#include "app/sync/mailinit.h"
#include "app/web/httpservicemgr.h"
#include "app/web/versionmgr.h"
#include "core/klog.h"

HttpServiceMgr* gHttpServiceMgr = nullptr;

void ServiceMgr::StartServices() {
  InitMailLibrary();
  // A failed load is logged where it failed; the program goes on with what
  // was loaded, so the pages can still show the state.
  gConfigMgr->LoadAccounts();
  StartMailService();
  StartHttpService();
}

void ServiceMgr::StartMailService() {
  delete gHistoryMgr;
  HistoryMgr::SetUpgradeCheckFactory(VersionMgr::MakeUpgradeCheck);
  gHistoryMgr = new HistoryMgr();
  gHistoryMgr->Start();
}

void ServiceMgr::StartHttpService() {
  delete gHttpServiceMgr;
  gHttpServiceMgr = new HttpServiceMgr();
  gHttpServiceMgr->Start();
}

void ServiceMgr::StopAllServices() {
  // The server's stop waits for the requests in flight, so none of them
  // meets the log or ConfigMgr deleted below.
  delete gHttpServiceMgr;
  gHttpServiceMgr = nullptr;
  // Every background thread ends within about a second, even against a
  // server that went silent.
  delete gHistoryMgr;
  gHistoryMgr = nullptr;
  KO_LOG(0, "Stopped");
  koLog* log = gLog;
  gLog = nullptr;
  delete log;
  delete gConfigMgr;
  gConfigMgr = nullptr;
}
