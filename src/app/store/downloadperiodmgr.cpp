#include "app/store/downloadperiodmgr.h"

#include <sqlite3.h>

#include "core/klog.h"
#include "core/ksqlite.h"

int GetLowerBoundaryMailuid(koSQLite* db, int accountId, int moduleId, int64_t* uid) {
  const char* sql =
      "SELECT  [module].[lower_uid_boundary] mailuid FROM module WHERE [account_id] = ? AND [id] "
      "= ?";
  sqlite3_stmt* stmt = nullptr;
  int ok = db->Prepare(&stmt, sql) && db->SetInt(&stmt, 1, accountId) &&
           db->SetInt(&stmt, 2, moduleId) && db->Step(&stmt, 1);
  if (!ok) {
    KO_LOG(-1, sql);
  } else if (db->GetErrCode() == SQLITE_ROW) {
    *uid = db->GetInt64(&stmt, "mailuid");
  }
  db->Finalize(&stmt);
  return ok ? 1 : 0;
}

int SetLowerBoundaryMailuid(koSQLite* db, int accountId, int moduleId, int64_t uid) {
  const char* sql =
      "UPDATE [module] SET [lower_uid_boundary] = ?WHERE [account_id] = ? AND [id] = ?";
  sqlite3_stmt* stmt = nullptr;
  int ok = db->Prepare(&stmt, sql) && db->SetInt64(&stmt, 1, uid) &&
           db->SetInt(&stmt, 2, accountId) && db->SetInt(&stmt, 3, moduleId) && db->Step(&stmt, 1);
  if (!ok) KO_LOG(-1, sql);
  db->Finalize(&stmt);
  return ok ? 1 : 0;
}

int UpdateModule(koSQLite* db, int accountId, int moduleId, int indexingStatus) {
  const char* sql =
      "UPDATE [module] SET [lower_uid_boundary] = 0,[indexing_status] = ? WHERE [account_id] = ? "
      "AND [id] = ?";
  sqlite3_stmt* stmt = nullptr;
  int ok = db->Prepare(&stmt, sql) && db->SetInt(&stmt, 1, indexingStatus) &&
           db->SetInt(&stmt, 2, accountId) && db->SetInt(&stmt, 3, moduleId) && db->Step(&stmt, 1);
  if (!ok) KO_LOG(-1, sql);
  db->Finalize(&stmt);
  return ok ? 1 : 0;
}
