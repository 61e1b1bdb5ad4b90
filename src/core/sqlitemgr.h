// SQLiteMgr: opens the system's databases in the data folder of the data
// directory and runs single statements on them.
//
// Static functions without state; any thread may call them with its own
// connection. The connection is borrowed: the caller owns and closes it.
// Failures are logged through gLog with code -1 (the connection adds its own
// record with the SQLite code when it has a logger).
#ifndef PV_CORE_SQLITEMGR_H
#define PV_CORE_SQLITEMGR_H

class koSQLite;

class SQLiteMgr {
 public:
  // The summary database's file name in the data folder.
  static constexpr const char* kSummaryDatabase = "postvane.summary";

  // Opens <data directory>/data/<name> read-write. The folder "data" must
  // exist. 1 on success.
  static int Open(koSQLite* db, const char* name);
  // Open, then the page-cache and synchronous PRAGMAs every summary-database
  // connection runs with. A failed PRAGMA is logged and the next still runs;
  // 1 once the file is open.
  static int OpenAndInitialize(koSQLite* db, const char* name);
  // Runs one statement that returns no rows on the default statement.
  static int ExecuteQuery(koSQLite* db, const char* sql);

  // "BEGIN IMMEDIATE TRANSACTION", "END TRANSACTION" and "ROLLBACK
  // TRANSACTION" as plain statements; failures are logged with a label.
  // Roll back also after a failed commit: an open transaction would swallow
  // whatever runs next on the connection.
  static int BeginTransaction(koSQLite* db);
  static int EndTransaction(koSQLite* db);
  static void RollbackTransaction(koSQLite* db);
};

#endif  // PV_CORE_SQLITEMGR_H
