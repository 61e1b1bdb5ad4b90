// Makes the summary database of the HOME it runs in, with the program's own
// schema, so that browser tests can fill it before the program starts.
#include <stdio.h>

#include <string>

#include "app/store/configlist.h"
#include "platform/folders.h"
#include "core/ksqlite.h"
#include "core/pathmgr.h"
#include "core/sqlitemgr.h"

int main() {
  koString dir;
  if (!PathMgr::GetConfigDir(dir)) return 1;
  std::string data = std::string(dir.GetString()) + "/data";
  koMakeFolders(data.c_str(), 0700, nullptr);
  koSQLite db;
  if (!SQLiteMgr::OpenAndInitialize(&db, SQLiteMgr::kSummaryDatabase) || !CreateSummarySchema(&db)) {
    fprintf(stderr, "summary_schema: cannot make %s/%s\n", data.c_str(), SQLiteMgr::kSummaryDatabase);
    return 1;
  }
  printf("%s/%s\n", data.c_str(), SQLiteMgr::kSummaryDatabase);
  return 0;
}
