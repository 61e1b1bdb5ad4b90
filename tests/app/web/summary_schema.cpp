// Makes the summary database of the HOME it runs in, with the program's own
// schema, so that browser tests can fill it before the program starts; with
// an address and a password, adds that account (all mail, attachments) as
// the account handler would.
//
//   summary_schema [<address> <password>]
#include <stdio.h>

#include <string>

#include "app/store/configmgr.h"
#include "app/store/summaryschema.h"
#include "core/kplatform.h"
#include "core/ksqlite.h"
#include "core/pathmgr.h"
#include "core/sqlitemgr.h"

int main(int argc, char** argv) {
  koString dir;
  if (!PathMgr::GetConfigDir(dir)) return 1;
  std::string data = std::string(dir.GetString()) + "/data";
  koMakeFolders(data.c_str(), 0700, nullptr);
  {
    koSQLite db;
    if (!SQLiteMgr::OpenAndInitialize(&db, SQLiteMgr::kSummaryDatabase) || !CreateSummarySchema(&db)) {
      fprintf(stderr, "summary_schema: cannot make %s/%s\n", data.c_str(), SQLiteMgr::kSummaryDatabase);
      return 1;
    }
  }
  if (argc == 3) {
    ConfigMgr config;
    AccountInfo account;
    account.email.SetAs(argv[1]);
    account.password.SetAs(argv[2]);
    account.downloadAll = 1;
    account.downloadAttachments = 1;
    if (!config.AddAccount(account)) {
      fprintf(stderr, "summary_schema: cannot add %s\n", argv[1]);
      return 1;
    }
  }
  printf("%s/%s\n", data.c_str(), SQLiteMgr::kSummaryDatabase);
  return 0;
}
