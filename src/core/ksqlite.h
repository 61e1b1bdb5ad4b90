// koSQLite: one connection to one SQLite file plus one default statement;
// koStatement (below): one statement run on its own handle.
//
// The object owns the connection it opens and its default statement; the
// destructor finalizes every statement still prepared on the connection and
// closes it, so handles that callers keep in their own slots are invalid once
// the object is gone. Statement operations take a slot (the address of a
// caller's sqlite3_stmt pointer); a null slot means the default statement.
//
// Not thread-safe: one object belongs to one thread. Threads that share a
// database file each open their own object; SQLite (serialised mode) and the
// busy time-out of kBusyTimeoutMs order them.
//
// Failures of Open, Prepare, Step and the binds are recorded through the
// logger given to the constructor or SetLog (none: nothing is recorded) with
// the SQLite result code and "[DB: <path>] <SQLite's message>".
#ifndef PV_CORE_KSQLITE_H
#define PV_CORE_KSQLITE_H

#include <cstdint>

#include "core/kstring.h"

struct sqlite3;
struct sqlite3_stmt;
class koLog;

class koSQLite {
 public:
  // How long a statement waits for a lock another connection holds.
  static const int kBusyTimeoutMs = 180000;

  explicit koSQLite(koLog* log = nullptr);
  virtual ~koSQLite();
  koSQLite(const koSQLite&) = delete;
  koSQLite& operator=(const koSQLite&) = delete;

  void SetLog(koLog* log) { log_ = log; }

  // Opens `path` (UTF-8) read-write, creating it when missing, or, with
  // readOnly set, read-only (the file must exist; nothing is created).
  // kOpenNoFollow added to readOnly refuses a path that is a symbolic link.
  // A connection already open is closed first. 1 on success; on failure the
  // connection SQLite handed back is closed at once.
  static constexpr int kOpenNoFollow = 2;
  int Open(const char* path, int readOnly);
  int Open(const koString& path, int readOnly);

  // Compiles sql into *slot (the default statement when slot is null). A
  // schema change seen while compiling is retried exactly once. Whatever the
  // slot held before is NOT finalized: Finalize it before preparing into it
  // again. 1 on success; on failure the slot holds null.
  int Prepare(sqlite3_stmt** slot, const char* sql);
  int Prepare(sqlite3_stmt** slot, const koString& sql);

  // One step. true for a row (GetErrCode() == 100) and for done (101).
  // A step failing with SQLITE_ERROR resets the statement, which makes the
  // precise error known and lets the caller run it again or finalize it.
  // With log set the failure is recorded.
  bool Step(sqlite3_stmt** slot = nullptr, int log = 1);
  // Rewinds the statement for another run; bindings are kept.
  void Reset(sqlite3_stmt** slot = nullptr);
  // Finalizes the statement and sets the slot to null (null is a no-op).
  void Finalize(sqlite3_stmt** slot = nullptr);

  // Binds (parameter index from 1); text is copied by SQLite at once, a null
  // text binds NULL. 1 on success.
  int SetText(sqlite3_stmt** slot, int index, const char* text);
  int SetText(sqlite3_stmt** slot, int index, const koString& text);
  int SetInt(sqlite3_stmt** slot, int index, int value);
  int SetInt64(sqlite3_stmt** slot, int index, int64_t value);
  int SetNull(sqlite3_stmt** slot, int index);
  // n bytes of data, copied at once (n = 0: an empty blob, never NULL).
  int SetBlob(sqlite3_stmt** slot, int index, const void* data, int n);

  // Column access on the current row. A name the result does not have gives
  // 0, null text or null bytes. Text and bytes stay valid until the next
  // Step, Reset or Finalize of that statement; NULL columns give null.
  const char* GetText(sqlite3_stmt** slot, const char* column);
  int GetInt(sqlite3_stmt** slot, int column);
  int GetInt(sqlite3_stmt** slot, const char* column);
  int64_t GetInt64(sqlite3_stmt** slot, int column);
  int64_t GetInt64(sqlite3_stmt** slot, const char* column);
  const void* GetBlob(sqlite3_stmt** slot, int column);
  const void* GetBlob(sqlite3_stmt** slot, const char* column);
  // Byte count of the column; call after GetBlob/GetText of the same column.
  int GetBytes(sqlite3_stmt** slot, int column);
  // Index of the first result column named exactly `column` (case-sensitive), or -1.
  int GetColumnIndex(sqlite3_stmt** slot, const char* column);

  // SQLite result code of the last Open, Prepare or Step.
  int GetErrCode() const { return last_result_; }
  // The connection's own code for its latest failure (after a failed Step,
  // the precise one that GetErrCode reports only as SQLITE_ERROR); without a
  // connection, GetErrCode.
  int GetDbErrCode() const;
  // "[DB: <path>] <message>"; valid until the next call. Without a connection
  // (never opened, or the open failed) the message is that of the last result.
  const char* GetErrMsg();
  int64_t GetLastInsertRowId();
  // Gives back the page cache's unused pages: a long writer that touches
  // every page of a growing file would otherwise hold the whole cache.
  void ReleaseCache();
  // 1 when a table of that name exists, 0 when not or on failure (recorded).
  int CheckIfTableExists(const char* table);

 private:
  friend class koStatement;
  // Statements koStatement hands back, reset and unbound, by their SQL
  // text; one per text, taken out while in use. Emptied on Close and
  // whenever full.
  static const unsigned kMaxReusable = 64;
  // A reusable statement for sql, else a fresh one (null when the
  // prepare fails). *reused tells which.
  sqlite3_stmt* TakeStatement(const char* sql, bool* reused);
  // Back for the next koStatement of that text, or finalized.
  void GiveBackStatement(const char* sql, sqlite3_stmt* stmt);
  // Step of a statement that was prepared before now: one compiled against
  // an older schema (another connection or this one changed it since) is
  // compiled anew with its bindings and stepped again.
  bool StepReused(sqlite3_stmt** slot, const char* sql);
  // *slot compiled afresh from sql, its bindings kept.
  bool Recompile(sqlite3_stmt** slot, const char* sql);
  void DropReusable();

  sqlite3_stmt** SlotOf(sqlite3_stmt** slot) { return slot ? slot : &default_stmt_; }
  void Record(int line, int code);
  void Close();

  // Kept out of this header: the mail library's headers, which many
  // includers of this one also include, redefine min and max.
  struct Reusable;
  Reusable* reusable_ = nullptr;

  koString error_text_;
  koString db_name_;
  koString query_;
  int last_result_ = 0;
  sqlite3* db_ = nullptr;
  sqlite3_stmt* default_stmt_ = nullptr;
  koLog* log_ = nullptr;
};

// koStatement: the common run of one statement on its own handle (never the
// connection's default statement, which belongs to whoever walks rows around
// it): prepare, bind in parameter order, step, finalize. A failed prepare or
// bind skips the binds after it, and Step then fails without stepping. Each
// failed Step is logged once through gLog (code -1) with the label given,
// else with the SQL text.
//
// The compiled statement goes back to the connection, reset and unbound, for
// the next koStatement of the same text: per-mail work runs the same few
// statements thousands of times, and compiling them cost more than running
// them.
//
// Lives on the caller's stack; the connection and the SQL text must outlive
// it. Same thread as the connection.
class koStatement {
 public:
  koStatement(koSQLite* db, const char* sql);
  ~koStatement();
  koStatement(const koStatement&) = delete;
  koStatement& operator=(const koStatement&) = delete;

  koStatement& Int(int value);
  koStatement& Int64(int64_t value);
  koStatement& Text(const koString& value);
  koStatement& Text(const char* value);
  koStatement& Null();
  koStatement& Blob(const void* data, int n);
  // Makes the prepared statement ready for new bindings and another run,
  // as if it were new (a failed earlier step is forgotten).
  koStatement& Reset();
  // True while prepare and every bind so far succeeded.
  bool Ready() const { return ok_ != 0; }
  // One step; true for a row and for done. Called again, the next row.
  // A failure is logged with the label (else the SQL) under the caller's
  // source file and line, as if the caller had logged it.
  bool Step(const char* label = nullptr, const char* file = __builtin_FILE(),
            int line = __builtin_LINE());
  // The last step gave a row (read it through Handle()).
  bool HasRow() const;
  sqlite3_stmt** Handle() { return &stmt_; }

 private:
  koSQLite* db_;
  const char* sql_;
  sqlite3_stmt* stmt_ = nullptr;
  int index_ = 0;
  int ok_ = 0;
  // Prepared before this object (kept by the connection), and not yet
  // stepped since it was taken or reset.
  bool reused_ = false;
  bool fresh_ = true;
};

#endif  // PV_CORE_KSQLITE_H
