#include "app/web/servicemgr.h"

#include <atomic>

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

namespace {

std::atomic<bool> requests_outlived{false};

}  // namespace

bool ServiceMgr::RequestsOutlived() { return requests_outlived.load(); }

void ServiceMgr::StopAllServices() {
  // The server's stop waits for the requests in flight, so none of them
  // meets the log or ConfigMgr deleted below.
  int late = gHttpServiceMgr != nullptr ? gHttpServiceMgr->Stop() : 0;
  delete gHttpServiceMgr;
  gHttpServiceMgr = nullptr;
  if (late > 0) {
    // A slow request (a silent contacts service) may still reach any of
    // them: they stay until the process ends, which ends the request too.
    requests_outlived.store(true);
    koString text;
    text.Format("%d requests outlived the server's stop; the process ends without them", late);
    KO_LOG(-1, text.GetString());
    if (gHistoryMgr != nullptr) gHistoryMgr->Stop();
    KO_LOG(0, "Stopped");
    return;
  }
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
