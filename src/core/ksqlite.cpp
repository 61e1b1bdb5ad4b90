#include "core/ksqlite.h"

#include <sqlite3.h>

#include <cstring>
#include <string>
#include <unordered_map>

#include "core/klog.h"

struct koSQLite::Reusable {
  std::unordered_map<std::string, sqlite3_stmt*> bySql;
};

koSQLite::koSQLite(koLog* log) : reusable_(new Reusable), log_(log) {}

koSQLite::~koSQLite() {
  Close();
  delete reusable_;
}

void koSQLite::Close() {
  Finalize(nullptr);
  // Before the close, which would otherwise fail on them (see below).
  DropReusable();
  if (db_ == nullptr) return;
  // A plain close first: it disconnects the virtual tables (the full-text
  // tables), which finalize the statements they keep on this connection
  // themselves; finalizing those here too would free them twice.
  if (sqlite3_close(db_) == SQLITE_OK) {
    db_ = nullptr;
    return;
  }
  // Statements a caller forgot would keep a closed connection alive as a
  // zombie for good; nobody can use them once this object is gone.
  sqlite3_stmt* stmt;
  while ((stmt = sqlite3_next_stmt(db_, nullptr)) != nullptr) sqlite3_finalize(stmt);
  sqlite3_close_v2(db_);
  db_ = nullptr;
}

void koSQLite::Record(int line, int code) {
  if (log_ != nullptr) log_->Write(__FILE__, line, code, GetErrMsg());
}

int koSQLite::Open(const koString& path, int readOnly) {
  return Open(path.GetString(), readOnly);
}

int koSQLite::Open(const char* path, int readOnly) {
  Close();
  db_name_.SetAs(path != nullptr ? path : "");
  koString name;
  name.SetAs(db_name_);
  const char* utf8 = name.GetAsUtf8();
  int flags = (readOnly & 1) != 0 ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
  if ((readOnly & kOpenNoFollow) != 0) flags |= SQLITE_OPEN_NOFOLLOW;
  last_result_ = sqlite3_open_v2(utf8, &db_, flags, nullptr);
  if (last_result_ == SQLITE_OK) {
    sqlite3_busy_timeout(db_, kBusyTimeoutMs);
    return 1;
  }
  // The message lives in the connection, so record before releasing it.
  Record(__LINE__, last_result_);
  sqlite3_close_v2(db_);
  db_ = nullptr;
  return 0;
}

int koSQLite::Prepare(sqlite3_stmt** slot, const koString& sql) {
  return Prepare(slot, sql.GetString());
}

int koSQLite::Prepare(sqlite3_stmt** slot, const char* sql) {
  sqlite3_stmt** target = SlotOf(slot);
  query_.SetAs(sql != nullptr ? sql : "");
  sqlite3_stmt* stmt = nullptr;
  if (db_ == nullptr) {
    last_result_ = SQLITE_MISUSE;
  } else {
    last_result_ = sqlite3_prepare(db_, query_.GetString(), static_cast<int>(query_.GetLength()),
                                   &stmt, nullptr);
    if (last_result_ == SQLITE_SCHEMA) {
      last_result_ = sqlite3_prepare(db_, query_.GetString(),
                                     static_cast<int>(query_.GetLength()), &stmt, nullptr);
    }
  }
  if (last_result_ != SQLITE_OK) Record(__LINE__, last_result_);
  *target = stmt;
  return last_result_ == SQLITE_OK ? 1 : 0;
}

bool koSQLite::Step(sqlite3_stmt** slot, int log) {
  sqlite3_stmt* stmt = *SlotOf(slot);
  last_result_ = sqlite3_step(stmt);
  if (last_result_ == SQLITE_ROW || last_result_ == SQLITE_DONE) return true;
  // Statements from sqlite3_prepare only say SQLITE_ERROR; the reset puts the
  // precise message into the connection.
  if (last_result_ == SQLITE_ERROR) sqlite3_reset(stmt);
  if (log == 1) Record(__LINE__, last_result_);
  return false;
}

void koSQLite::Reset(sqlite3_stmt** slot) { sqlite3_reset(*SlotOf(slot)); }

void koSQLite::Finalize(sqlite3_stmt** slot) {
  sqlite3_stmt** target = SlotOf(slot);
  sqlite3_finalize(*target);
  *target = nullptr;
}

int koSQLite::SetText(sqlite3_stmt** slot, int index, const koString& text) {
  int rc = sqlite3_bind_text(*SlotOf(slot), index, text.GetString(),
                             static_cast<int>(text.GetLength()), SQLITE_TRANSIENT);
  if (rc != SQLITE_OK) Record(__LINE__, rc);
  return rc == SQLITE_OK ? 1 : 0;
}

int koSQLite::SetText(sqlite3_stmt** slot, int index, const char* text) {
  int n = text != nullptr ? static_cast<int>(strlen(text)) : 0;
  int rc = sqlite3_bind_text(*SlotOf(slot), index, text, n, SQLITE_TRANSIENT);
  if (rc != SQLITE_OK) Record(__LINE__, rc);
  return rc == SQLITE_OK ? 1 : 0;
}

int koSQLite::SetInt(sqlite3_stmt** slot, int index, int value) {
  int rc = sqlite3_bind_int(*SlotOf(slot), index, value);
  if (rc != SQLITE_OK) Record(__LINE__, rc);
  return rc == SQLITE_OK ? 1 : 0;
}

int koSQLite::SetInt64(sqlite3_stmt** slot, int index, int64_t value) {
  int rc = sqlite3_bind_int64(*SlotOf(slot), index, static_cast<sqlite3_int64>(value));
  if (rc != SQLITE_OK) Record(__LINE__, rc);
  return rc == SQLITE_OK ? 1 : 0;
}

int koSQLite::SetNull(sqlite3_stmt** slot, int index) {
  int rc = sqlite3_bind_null(*SlotOf(slot), index);
  if (rc != SQLITE_OK) Record(__LINE__, rc);
  return rc == SQLITE_OK ? 1 : 0;
}

int koSQLite::SetBlob(sqlite3_stmt** slot, int index, const void* data, int n) {
  // A null pointer would bind NULL: an empty value is still a value.
  static const char kNothing = 0;
  int rc = sqlite3_bind_blob(*SlotOf(slot), index, n > 0 ? data : &kNothing, n, SQLITE_TRANSIENT);
  if (rc != SQLITE_OK) Record(__LINE__, rc);
  return rc == SQLITE_OK ? 1 : 0;
}

int koSQLite::GetColumnIndex(sqlite3_stmt** slot, const char* column) {
  sqlite3_stmt* stmt = *SlotOf(slot);
  if (column == nullptr) return -1;
  int count = sqlite3_column_count(stmt);
  for (int i = 0; i < count; ++i) {
    const char* name = sqlite3_column_name(stmt, i);
    if (name != nullptr && strcmp(name, column) == 0) return i;
  }
  return -1;
}

// An unknown name reads as an empty column without passing -1 to SQLite,
// which would overwrite the connection's last error with a range error.
const char* koSQLite::GetText(sqlite3_stmt** slot, const char* column) {
  int i = GetColumnIndex(slot, column);
  if (i < 0) return nullptr;
  return reinterpret_cast<const char*>(sqlite3_column_text(*SlotOf(slot), i));
}

int koSQLite::GetInt(sqlite3_stmt** slot, int column) {
  if (column < 0) return 0;
  return sqlite3_column_int(*SlotOf(slot), column);
}

int koSQLite::GetInt(sqlite3_stmt** slot, const char* column) {
  return GetInt(slot, GetColumnIndex(slot, column));
}

int64_t koSQLite::GetInt64(sqlite3_stmt** slot, int column) {
  if (column < 0) return 0;
  return static_cast<int64_t>(sqlite3_column_int64(*SlotOf(slot), column));
}

int64_t koSQLite::GetInt64(sqlite3_stmt** slot, const char* column) {
  return GetInt64(slot, GetColumnIndex(slot, column));
}

const void* koSQLite::GetBlob(sqlite3_stmt** slot, int column) {
  if (column < 0) return nullptr;
  return sqlite3_column_blob(*SlotOf(slot), column);
}

const void* koSQLite::GetBlob(sqlite3_stmt** slot, const char* column) {
  return GetBlob(slot, GetColumnIndex(slot, column));
}

int koSQLite::GetBytes(sqlite3_stmt** slot, int column) {
  if (column < 0) return 0;
  return sqlite3_column_bytes(*SlotOf(slot), column);
}

const char* koSQLite::GetErrMsg() {
  const char* message = db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(last_result_);
  error_text_.Clear();
  error_text_.AppendFormat("[DB: %s] %s", db_name_.GetString(), message);
  return error_text_.GetString();
}

int koSQLite::GetDbErrCode() const { return db_ != nullptr ? sqlite3_errcode(db_) : last_result_; }

void koSQLite::ReleaseCache() {
  if (db_ != nullptr) sqlite3_db_release_memory(db_);
}

int64_t koSQLite::GetLastInsertRowId() {
  return db_ != nullptr ? static_cast<int64_t>(sqlite3_last_insert_rowid(db_)) : 0;
}

int koSQLite::CheckIfTableExists(const char* table) {
  const char* name = table != nullptr ? table : "";
  if (!Prepare(nullptr,
               "SELECT COUNT(*) as cnt FROM [sqlite_master] WHERE [type] = 'table' and [name] = ?")) {
    if (log_ != nullptr) log_->Write(__FILE__, __LINE__, -1, name);
    return 0;
  }
  int exists = 0;
  if (!SetText(nullptr, 1, name) || !Step(nullptr, 1)) {
    if (log_ != nullptr) log_->Write(__FILE__, __LINE__, -1, name);
  } else if (last_result_ == SQLITE_ROW) {
    exists = GetInt(nullptr, "cnt") == 1 ? 1 : 0;
  }
  Finalize(nullptr);
  return exists;
}

void koSQLite::DropReusable() {
  for (auto& entry : reusable_->bySql) sqlite3_finalize(entry.second);
  reusable_->bySql.clear();
}

sqlite3_stmt* koSQLite::TakeStatement(const char* sql, bool* reused) {
  *reused = false;
  if (db_ != nullptr && sql != nullptr) {
    auto found = reusable_->bySql.find(sql);
    if (found != reusable_->bySql.end()) {
      sqlite3_stmt* stmt = found->second;
      reusable_->bySql.erase(found);
      last_result_ = SQLITE_OK;
      *reused = true;
      return stmt;
    }
  }
  sqlite3_stmt* stmt = nullptr;
  Prepare(&stmt, sql);
  return stmt;
}

void koSQLite::GiveBackStatement(const char* sql, sqlite3_stmt* stmt) {
  if (stmt == nullptr) return;
  // The reset ends the run as the finalize would (a failure is reported to
  // the connection just the same).
  sqlite3_reset(stmt);
  sqlite3_clear_bindings(stmt);
  if (db_ == nullptr || sql == nullptr) {
    sqlite3_finalize(stmt);
    return;
  }
  // Texts with their values written in come once each: when they have
  // filled the room, all go, so that the ones run per mail get back in.
  if (reusable_->bySql.size() >= kMaxReusable) DropReusable();
  if (!reusable_->bySql.emplace(sql, stmt).second) sqlite3_finalize(stmt);
}

bool koSQLite::Recompile(sqlite3_stmt** slot, const char* sql) {
  sqlite3_stmt* fresh = nullptr;
  if (!Prepare(&fresh, sql)) return false;
  sqlite3_transfer_bindings(*slot, fresh);
  sqlite3_finalize(*slot);
  *slot = fresh;
  return true;
}

bool koSQLite::StepReused(sqlite3_stmt** slot, const char* sql) {
  // This connection's own schema changes mark its statements expired at
  // once; another connection's show only when the step fails.
  if (sqlite3_expired(*slot)) return Recompile(slot, sql) && Step(slot, 1);
  if (Step(slot, 0)) return true;
  if (GetDbErrCode() == SQLITE_SCHEMA) return Recompile(slot, sql) && Step(slot, 1);
  Record(__LINE__, last_result_);
  return false;
}

koStatement::koStatement(koSQLite* db, const char* sql) : db_(db), sql_(sql) {
  stmt_ = db_->TakeStatement(sql, &reused_);
  ok_ = stmt_ != nullptr ? 1 : 0;
}

koStatement::~koStatement() { db_->GiveBackStatement(sql_, stmt_); }

koStatement& koStatement::Reset() {
  if (stmt_ != nullptr) {
    db_->Reset(&stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  index_ = 0;
  ok_ = stmt_ != nullptr ? 1 : 0;
  fresh_ = true;
  return *this;
}

koStatement& koStatement::Int(int value) {
  if (ok_) ok_ = db_->SetInt(&stmt_, ++index_, value);
  return *this;
}

koStatement& koStatement::Int64(int64_t value) {
  if (ok_) ok_ = db_->SetInt64(&stmt_, ++index_, value);
  return *this;
}

koStatement& koStatement::Text(const koString& value) {
  if (ok_) ok_ = db_->SetText(&stmt_, ++index_, value);
  return *this;
}

koStatement& koStatement::Text(const char* value) {
  if (ok_) ok_ = db_->SetText(&stmt_, ++index_, value);
  return *this;
}

koStatement& koStatement::Null() {
  if (ok_) ok_ = db_->SetNull(&stmt_, ++index_);
  return *this;
}

koStatement& koStatement::Blob(const void* data, int n) {
  if (ok_) ok_ = db_->SetBlob(&stmt_, ++index_, data, n);
  return *this;
}

bool koStatement::Step(const char* label, const char* file, int line) {
  if (ok_) {
    // Only a first step can meet an older schema: a later one continues a
    // run that already began on the current one.
    ok_ = (reused_ && fresh_ ? db_->StepReused(&stmt_, sql_) : db_->Step(&stmt_, 1)) ? 1 : 0;
    fresh_ = false;
  }
  if (!ok_ && gLog != nullptr) gLog->Write(file, line, -1, label != nullptr ? label : sql_);
  return ok_ != 0;
}

bool koStatement::HasRow() const { return db_->GetErrCode() == SQLITE_ROW; }
