// Name/value rows written from request parameters, as the preference and
// proxy handlers store their settings.
#ifndef PV_APP_WEB_SETTINGROWS_H
#define PV_APP_WEB_SETTINGROWS_H

#include <cstddef>

#include "core/khttpconnection.h"
#include "core/ksqlite.h"
#include "core/sqlitemgr.h"

// Writes each row's `name` with the request parameter `parameter` (its text
// as received) through `sql`, one statement reused for every row, all rows
// in one transaction: all of them are written or none. Row is any type with
// the members `name` and `parameter`. 1 on success; failures are logged.
template <class Row, size_t N>
int WriteSettingRows(koSQLite& db, const char* sql, const Row (&rows)[N], koHttpConnection* request) {
  if (!SQLiteMgr::BeginTransaction(&db)) return 0;
  int ok = 1;
  {
    koStatement statement(&db, sql);
    for (const Row& row : rows) {
      const koString* value = request->GetParameter(row.parameter);
      if (!(ok = statement.Reset().Text(row.name).Text(*value).Step() ? 1 : 0)) break;
    }
  }
  if (ok) ok = SQLiteMgr::EndTransaction(&db);
  if (!ok) SQLiteMgr::RollbackTransaction(&db);
  return ok;
}

#endif  // PV_APP_WEB_SETTINGROWS_H
