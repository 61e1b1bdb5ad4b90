#include "core/sqlitemgr.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/klog.h"
#include "core/ksqlite.h"
#include "core/kstring.h"
#include "core/pathmgr.h"

int SQLiteMgr::Open(koSQLite* db, const char* name) {
  koString path;
  if (db == nullptr || name == nullptr) {
    KO_LOG(-1, "SQLiteMgr::Open");
    return 0;
  }
  if (PathMgr::GetConfigDir(path) == 0) {
    KO_LOG(-1, "SQLiteMgr::Open: PathMgr::GetConfigDir");
    return 0;
  }
  path.AppendFormat("%c%s%c%s", '/', "data", '/', name);
  // The database holds mail and passwords: a new file is its owner's only,
  // whatever the umask (SQLite would make it 0644, and its journals follow
  // the file's mode).
  int fd = open(path.GetString(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd >= 0) {
    fchmod(fd, 0600);
    close(fd);
  }
  if (!db->Open(path, 0)) {
    KO_LOG(-1, path.GetString());
    return 0;
  }
  return 1;
}

int SQLiteMgr::OpenAndInitialize(koSQLite* db, const char* name) {
  if (!Open(db, name)) {
    KO_LOG(-1, "ExecuteQuery");
    return 0;
  }
  static const char* const kPragmas[] = {"PRAGMA cache_size = 8000", "PRAGMA synchronous = FULL"};
  for (const char* pragma : kPragmas) {
    if (!ExecuteQuery(db, pragma)) KO_LOG(-1, pragma);
  }
  return 1;
}

int SQLiteMgr::ExecuteQuery(koSQLite* db, const char* sql) {
  if (db == nullptr || sql == nullptr) {
    KO_LOG(-1, "SQLiteMgr::ExecuteQuery");
    return 0;
  }
  if (!db->Prepare(nullptr, sql)) {
    KO_LOG(-1, sql);
    return 0;
  }
  int ok = db->Step(nullptr, 1) ? 1 : 0;
  if (!ok) KO_LOG(-1, sql);
  db->Finalize(nullptr);
  return ok;
}

int SQLiteMgr::BeginTransaction(koSQLite* db) {
  if (ExecuteQuery(db, "BEGIN IMMEDIATE TRANSACTION")) return 1;
  KO_LOG(-1, "BEGIN_TRANS");
  return 0;
}

int SQLiteMgr::EndTransaction(koSQLite* db) {
  if (ExecuteQuery(db, "END TRANSACTION")) return 1;
  KO_LOG(-1, "END_TRANS");
  return 0;
}

void SQLiteMgr::RollbackTransaction(koSQLite* db) {
  if (!ExecuteQuery(db, "ROLLBACK TRANSACTION")) KO_LOG(-1, "ROLLBACK_TRANS");
}
