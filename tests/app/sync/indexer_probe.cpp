// The background services on their own, as the program runs them, for tests
// that kill them: loads the accounts of $HOME's data directory, starts
// HistoryMgr and waits. With --until-indexed it exits 0 once every account's
// mail and attachment modules are complete (1 after ten minutes).
#include <cstring>
#include <string>

#include "app/store/configmgr.h"
#include "app/sync/historymgr.h"
#include "app/sync/mailinit.h"
#include "core/klog.h"
#include "core/ksocket.h"
#include "core/ksqlite.h"
#include "core/kthread.h"
#include "core/pathmgr.h"
#include "core/sqlitemgr.h"
#include "support/lsan_gio.h"

namespace {

bool AllIndexed(int accounts) {
  koSQLite db;
  if (!SQLiteMgr::Open(&db, SQLiteMgr::kSummaryDatabase)) return false;
  koStatement s(&db,
                "SELECT COUNT(*) FROM module WHERE id IN (3, 6) AND indexing_status = 1 AND total_msgs = "
                "processed_msgs");
  return s.Step() && s.HasRow() && db.GetInt(s.Handle(), 0) == 2 * accounts;
}

}  // namespace

int main(int argc, char** argv) {
  koIgnoreSigPipe();
  InitMailLibrary();
  koString dir;
  PathMgr::GetConfigDir(dir);
  gLog = new koLog("probe");
  gLog->SetFileName((std::string(dir.GetString()) + "/postvane.log").c_str());
  gConfigMgr = new ConfigMgr();
  gConfigMgr->LoadAccounts();
  int accounts = gConfigMgr->GetAccountCount();
  HistoryMgr history;
  history.Start();
  bool untilIndexed = argc > 1 && strcmp(argv[1], "--until-indexed") == 0;
  for (int waited = 0; waited < 600000; waited += 50) {
    if (untilIndexed && AllIndexed(accounts)) return 0;
    SleepMs(50);
  }
  return 1;
}
