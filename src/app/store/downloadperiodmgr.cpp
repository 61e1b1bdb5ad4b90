#include "app/store/downloadperiodmgr.h"

#include "core/ksqlite.h"

int GetLowerBoundaryMailuid(koSQLite* db, int accountId, int moduleId, int64_t* uid) {
  const char* sql =
      "SELECT  [module].[lower_uid_boundary] mailuid FROM module WHERE [account_id] = ? AND [id] "
      "= ?";
  koStatement s(db, sql);
  if (!s.Int(accountId).Int(moduleId).Step()) return 0;
  if (s.HasRow()) *uid = db->GetInt64(s.Handle(), "mailuid");
  return 1;
}

int SetLowerBoundaryMailuid(koSQLite* db, int accountId, int moduleId, int64_t uid) {
  const char* sql =
      "UPDATE [module] SET [lower_uid_boundary] = ?WHERE [account_id] = ? AND [id] = ?";
  return koStatement(db, sql).Int64(uid).Int(accountId).Int(moduleId).Step() ? 1 : 0;
}

int UpdateModule(koSQLite* db, int accountId, int moduleId, int indexingStatus) {
  const char* sql =
      "UPDATE [module] SET [lower_uid_boundary] = 0,[indexing_status] = ? WHERE [account_id] = ? "
      "AND [id] = ?";
  return koStatement(db, sql).Int(indexingStatus).Int(accountId).Int(moduleId).Step() ? 1 : 0;
}
