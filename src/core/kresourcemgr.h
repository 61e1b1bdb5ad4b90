// koResourceMgr: read-only access to the resource store postvane.res, the
// SQLite file holding the web interface's pages, scripts and images (table
// "resources": res_name, res_content, res_lastwritetime, change_flag).
//
// One object per request: it owns its connection, its two statements
// (prepared on first use, kept for reuse) and the buffer of the last content
// it handed out. Not thread-safe; threads that read the store at once use
// their own objects.
#ifndef PV_CORE_KRESOURCEMGR_H
#define PV_CORE_KRESOURCEMGR_H

#include "core/kstring.h"

struct sqlite3_stmt;
class koLog;
class koSQLite;

class koResourceMgr {
 public:
  // Nothing is opened yet; failures are recorded through log (null: none).
  koResourceMgr(const char* storePath, koLog* log);
  virtual ~koResourceMgr();
  koResourceMgr(const koResourceMgr&) = delete;
  koResourceMgr& operator=(const koResourceMgr&) = delete;

  // Opens the store read-only. 1 on success; a failure records the path.
  int Open();

  // Content of the resource `name` (letter case ignored), followed by a zero
  // byte so text resources read as strings; *length (OUT) = its byte count.
  // Null, with *length 0, when there is no such resource or on failure; an
  // empty resource gives a buffer holding only the zero byte. The buffer
  // belongs to the object and is freed by the next GetResource or the end of
  // the object.
  const char* GetResource(const char* name, int* length);

  // res_lastwritetime of the resource (seconds since 1970); 0 when there is
  // none or on failure.
  int GetLastWriteTime(const char* name);

  // *time (OUT) = GetLastWriteTime(name); true when it is greater than the
  // client's validator read as a decimal number (its leading digits; a
  // validator without them counts as 0).
  bool IsNewerThan(const char* name, const char* validator, int* time);

 private:
  // Prepares *stmt from sql on first use and binds name; 1 when ready to step.
  int Ready(sqlite3_stmt** stmt, const char* sql, const char* name);

  koString store_path_;
  koSQLite* db_;
  char* content_ = nullptr;
  sqlite3_stmt* content_stmt_ = nullptr;
  sqlite3_stmt* time_stmt_ = nullptr;
  koLog* log_;
};

#endif  // PV_CORE_KRESOURCEMGR_H
