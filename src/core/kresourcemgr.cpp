#include "core/kresourcemgr.h"

#include <sqlite3.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/klog.h"
#include "core/ksqlite.h"

namespace {

const char kContentSql[] = "SELECT res_content FROM resources WHERE lower(res_name) = lower(?)";
const char kTimeSql[] = "SELECT res_lastwritetime FROM resources WHERE lower(res_name) = lower(?)";

}  // namespace

koResourceMgr::koResourceMgr(const char* storePath, koLog* log)
    : db_(new koSQLite(log)), log_(log) {
  store_path_.SetAs(storePath != nullptr ? storePath : "");
}

koResourceMgr::~koResourceMgr() {
  free(content_);
  db_->Finalize(&content_stmt_);
  db_->Finalize(&time_stmt_);
  delete db_;
}

int koResourceMgr::Open() {
  if (db_->Open(store_path_, 1)) return 1;
  if (log_ != nullptr) log_->Write(__FILE__, __LINE__, -1, store_path_.GetString());
  return 0;
}

int koResourceMgr::Ready(sqlite3_stmt** stmt, const char* sql, const char* name) {
  if (*stmt == nullptr && !db_->Prepare(stmt, sql)) {
    if (log_ != nullptr) log_->Write(__FILE__, __LINE__, -1, sql);
    return 0;
  }
  if (!db_->SetText(stmt, 1, name != nullptr ? name : "")) {
    if (log_ != nullptr) log_->Write(__FILE__, __LINE__, -1, sql);
    return 0;
  }
  return 1;
}

const char* koResourceMgr::GetResource(const char* name, int* length) {
  free(content_);
  content_ = nullptr;
  if (length != nullptr) *length = 0;
  if (!Ready(&content_stmt_, kContentSql, name)) return nullptr;
  if (!db_->Step(&content_stmt_, 1)) {
    if (log_ != nullptr) log_->Write(__FILE__, __LINE__, -1, kContentSql);
    db_->Reset(&content_stmt_);
    return nullptr;
  }
  if (db_->GetErrCode() == SQLITE_ROW) {
    const void* blob = db_->GetBlob(&content_stmt_, 0);
    int count = db_->GetBytes(&content_stmt_, 0);
    content_ = static_cast<char*>(calloc(static_cast<size_t>(count) + 1, 1));
    if (content_ == nullptr) koOutOfMemory(__FILE__, __LINE__);
    if (count > 0 && blob != nullptr) memcpy(content_, blob, static_cast<size_t>(count));
    if (length != nullptr) *length = count;
  }
  db_->Reset(&content_stmt_);
  return content_;
}

int koResourceMgr::GetLastWriteTime(const char* name) {
  if (!Ready(&time_stmt_, kTimeSql, name)) return 0;
  int time = 0;
  if (!db_->Step(&time_stmt_, 1)) {
    if (log_ != nullptr) log_->Write(__FILE__, __LINE__, -1, kTimeSql);
  } else if (db_->GetErrCode() == SQLITE_ROW) {
    time = db_->GetInt(&time_stmt_, 0);
  }
  db_->Reset(&time_stmt_);
  return time;
}

bool koResourceMgr::IsNewerThan(const char* name, const char* validator, int* time) {
  int stored = GetLastWriteTime(name);
  if (time != nullptr) *time = stored;
  // Leading digits only; saturate instead of overflowing on absurd input.
  int64_t client = 0;
  for (const char* p = validator; p != nullptr && *p >= '0' && *p <= '9'; ++p) {
    client = client * 10 + (*p - '0');
    if (client > INT64_C(0xFFFFFFFF)) break;
  }
  return stored > client;
}
