#include "core/ksqlite.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "core/kcrc32.h"
#include "core/sqlitemgr.h"
#include "support/files.h"
#include "support/log_capture.h"
#include "support/private_home.h"

// The test links with --wrap=sqlite3_prepare: every compile of the wrapper
// passes through here, so a test can count them and make the library report
// a schema change.
extern "C" int __real_sqlite3_prepare(sqlite3*, const char*, int, sqlite3_stmt**, const char**);

namespace {
int g_prepare_calls = 0;
int g_schema_failures_to_inject = 0;
}  // namespace

extern "C" int __wrap_sqlite3_prepare(sqlite3* db, const char* sql, int n, sqlite3_stmt** stmt,
                                      const char** tail) {
  ++g_prepare_calls;
  if (g_schema_failures_to_inject > 0) {
    --g_schema_failures_to_inject;
    *stmt = nullptr;
    return SQLITE_SCHEMA;
  }
  return __real_sqlite3_prepare(db, sql, n, stmt, tail);
}

namespace {

namespace fs = std::filesystem;

class SqliteTest : public ::testing::Test {
 protected:
  std::string Path(const char* name) const { return dir_.File(name); }

  pvtest::TempDir dir_;
  LogCapture log_{dir_.File("postvane.log")};
};

int Exec(koSQLite& db, const char* sql) {
  if (!db.Prepare(nullptr, sql)) return 0;
  int ok = db.Step(nullptr, 1) ? 1 : 0;
  db.Finalize(nullptr);
  return ok;
}

// The first column of the first row as an integer; -1 when there is none.
int QueryInt(koSQLite& db, const char* sql) {
  if (!db.Prepare(nullptr, sql)) return -1;
  int n = db.Step(nullptr, 1) && db.GetErrCode() == SQLITE_ROW ? db.GetInt(nullptr, 0) : -1;
  db.Finalize(nullptr);
  return n;
}

TEST_F(SqliteTest, WriterWaitsForAnotherConnectionsLock) {
  std::string path = Path("busy.db");
  koSQLite a(gLog), b(gLog);
  ASSERT_EQ(a.Open(path.c_str(), 0), 1);
  ASSERT_EQ(b.Open(path.c_str(), 0), 1);
  ASSERT_EQ(Exec(a, "CREATE TABLE t (v INTEGER)"), 1);
  ASSERT_EQ(Exec(a, "BEGIN IMMEDIATE TRANSACTION"), 1);

  auto start = std::chrono::steady_clock::now();
  std::thread holder([&a] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    Exec(a, "END TRANSACTION");
  });
  ASSERT_EQ(b.Prepare(nullptr, "INSERT INTO t (v) VALUES (1)"), 1);
  bool stepped = b.Step(nullptr, 1);
  auto waited = std::chrono::steady_clock::now() - start;
  holder.join();
  EXPECT_TRUE(stepped);
  EXPECT_GE(waited, std::chrono::milliseconds(250));
  b.Finalize(nullptr);
  EXPECT_EQ(QueryInt(b, "SELECT COUNT(*) FROM t"), 1);
  EXPECT_EQ(log_.Text(), "");
}

TEST_F(SqliteTest, ReadOnlyOpenOfMissingFileFailsAndCreatesNothing) {
  std::string path = Path("missing.db");
  koSQLite db(gLog);
  EXPECT_EQ(db.Open(path.c_str(), 1), 0);
  EXPECT_EQ(db.GetErrCode(), SQLITE_CANTOPEN);
  EXPECT_FALSE(fs::exists(path));
  EXPECT_TRUE(log_.Has("ErrCode:14 ErrMsg:[DB: " + path + "] unable to open database file\n"))
      << log_.Text();
  // The connection is gone, yet the message still names the failure.
  EXPECT_EQ(std::string(db.GetErrMsg()), "[DB: " + path + "] unable to open database file");
  EXPECT_EQ(db.Prepare(nullptr, "SELECT 1"), 0);
  // The same object opens it read-write, which creates the file.
  EXPECT_EQ(db.Open(path.c_str(), 0), 1);
  EXPECT_EQ(Exec(db, "CREATE TABLE t (v)"), 1);
}

TEST_F(SqliteTest, AFailedStepResetsAndColumnsAreFoundByExactName) {
  koSQLite db(gLog);
  ASSERT_EQ(db.Open(Path("rows.db").c_str(), 0), 1);
  ASSERT_EQ(
      Exec(db, "CREATE TABLE t (id INTEGER PRIMARY KEY, name TEXT UNIQUE, n INTEGER, b BLOB)"), 1);
  EXPECT_EQ(db.CheckIfTableExists("t") + db.CheckIfTableExists("nothere"), 1);

  // A caller's own slot lives beside the default statement.
  sqlite3_stmt* insert = nullptr;
  ASSERT_EQ(db.Prepare(&insert, "INSERT INTO t (name, n, b) VALUES (?, ?, ?)"), 1);
  EXPECT_EQ(db.SetText(&insert, 1, koString("zw\xC3\xB6lf")) + db.SetInt(&insert, 2, -7) +
                db.SetNull(&insert, 3),
            3);
  EXPECT_TRUE(db.Step(&insert, 1));
  // A failed step (constraint) resets the statement so it can run again;
  // without the log flag a failure leaves no record.
  db.Reset(&insert);
  EXPECT_FALSE(db.Step(&insert, 1));
  EXPECT_TRUE(log_.Has("UNIQUE constraint failed: t.name")) << log_.Text();
  const std::string before = log_.Text();
  EXPECT_FALSE(db.Step(&insert, 0));
  EXPECT_EQ(log_.Text(), before);
  EXPECT_EQ(db.SetText(&insert, 1, "second"), 1);
  EXPECT_TRUE(db.Step(&insert, 1));
  EXPECT_EQ(db.GetLastInsertRowId(), 2);
  db.Finalize(&insert);
  EXPECT_EQ(insert, nullptr);

  ASSERT_EQ(db.Prepare(nullptr, "SELECT name, n AS Count, b, x'00FF0041' AS raw FROM t"), 1);
  ASSERT_TRUE(db.Step(nullptr, 1));
  EXPECT_STREQ(db.GetText(nullptr, "name"), "zw\xC3\xB6lf");
  EXPECT_EQ(db.GetInt(nullptr, "Count"), -7);
  EXPECT_EQ(db.GetColumnIndex(nullptr, "count"), -1);  // names compare exactly
  EXPECT_EQ(db.GetText(nullptr, "b"), nullptr);        // NULL column
  // Bytes with zeros inside come back whole.
  ASSERT_EQ(db.GetBytes(nullptr, 3), 4);
  EXPECT_EQ(memcmp(db.GetBlob(nullptr, "raw"), "\x00\xFF\x00\x41", 4), 0);
  db.Finalize(nullptr);
}

TEST_F(SqliteTest, SchemaChangeWhileCompilingIsRetriedExactlyOnce) {
  koSQLite db(gLog);
  ASSERT_EQ(db.Open(Path("schema.db").c_str(), 0), 1);
  const struct {
    int failures, calls, result;
  } cases[] = {{1, 2, 1}, {2, 2, 0}};  // a schema that keeps changing is not chased
  for (const auto& c : cases) {
    g_prepare_calls = 0;
    g_schema_failures_to_inject = c.failures;
    EXPECT_EQ(QueryInt(db, "SELECT 1"), c.result ? 1 : -1);
    EXPECT_EQ(g_prepare_calls, c.calls);
  }
  EXPECT_EQ(db.GetErrCode(), SQLITE_SCHEMA);
  EXPECT_TRUE(log_.Has("ErrCode:17 ")) << log_.Text();
  // Other failures are not retried.
  g_prepare_calls = 0;
  EXPECT_EQ(db.Prepare(nullptr, "SELECT * FROM nothere"), 0);
  EXPECT_EQ(g_prepare_calls, 1);
}

TEST_F(SqliteTest, DestroyingWithStatementsStillPreparedReleasesTheFile) {
  std::string path = Path("open.db");
  {
    koSQLite reader(gLog);
    ASSERT_EQ(reader.Open(path.c_str(), 0), 1);
    ASSERT_EQ(Exec(reader, "CREATE TABLE t (v)"), 1);
    ASSERT_EQ(Exec(reader, "INSERT INTO t VALUES (1), (2)"), 1);
    sqlite3_stmt* mine = nullptr;
    ASSERT_EQ(reader.Prepare(&mine, "SELECT v FROM t"), 1);
    ASSERT_TRUE(reader.Step(&mine, 1));  // mid-read: holds a shared lock
    ASSERT_EQ(reader.Prepare(nullptr, "SELECT v FROM t"), 1);
    ASSERT_TRUE(reader.Step(nullptr, 1));
  }
  // Had the connection survived as a zombie, its lock would block this.
  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &raw), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(raw, "BEGIN EXCLUSIVE; DELETE FROM t; COMMIT", nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(raw);
}

TEST(Crc32, StandardValues) {
  const struct {
    const char* bytes;
    int length;
    uint32_t crc;
  } cases[] = {
      {"123456789", 9, 3421780262u},
      {"The quick brown fox jumps over the lazy dog", 43, 0x414FA339u},
      {"\0\0\0\0", 4, 0x2144DF1Cu},
      {"abc", 0, 0u},
      {"abc", -1, 0u},
  };
  koCrc32 crc;
  for (const auto& c : cases) EXPECT_EQ(crc.Compute(c.bytes, c.length), c.crc) << c.bytes;
}

// SQLiteMgr finds the data directory through HOME.
TEST(SqliteMgr, OpenAndExecuteNeedTheDataFolderAndLogTheirSql) {
  PrivateHome home;
  LogCapture log(home.path() + "/postvane.log");
  const std::string data = home.path() + "/.config/Brantlow/Postvane/data";
  koSQLite db(gLog);
  EXPECT_EQ(SQLiteMgr::OpenAndInitialize(&db, "postvane.summary"), 0);
  EXPECT_TRUE(log.Has("ErrCode:-1 ErrMsg:" + data + "/postvane.summary\n")) << log.Text();
  EXPECT_TRUE(log.Has("ErrCode:-1 ErrMsg:ExecuteQuery\n")) << log.Text();
  EXPECT_FALSE(fs::exists(data));

  ASSERT_TRUE(fs::create_directories(data));
  ASSERT_EQ(SQLiteMgr::OpenAndInitialize(&db, "postvane.summary"), 1);
  EXPECT_TRUE(fs::exists(data + "/postvane.summary"));

  EXPECT_EQ(SQLiteMgr::ExecuteQuery(&db, "CREATE TABLE t (v)"), 1);
  // A failed compile and a failed step are both recorded with the SQL.
  EXPECT_EQ(SQLiteMgr::ExecuteQuery(&db, "INSERT INTO nothere VALUES (1)"), 0);
  EXPECT_TRUE(log.Has("ErrCode:-1 ErrMsg:INSERT INTO nothere VALUES (1)\n")) << log.Text();
  EXPECT_EQ(SQLiteMgr::ExecuteQuery(&db, "CREATE TABLE t (v)"), 0);
  EXPECT_TRUE(log.Has("ErrCode:-1 ErrMsg:CREATE TABLE t (v)\n")) << log.Text();
}

}  // namespace

// koStatement hands its compiled statement back for the next of the same
// text; reuse must never show: not after another connection changed the
// schema, not for two of one text alive at once, not across a reopen.
TEST_F(SqliteTest, StatementsOfOneTextAreCompiledOnceAndFollowSchemaChanges) {
  std::string path = Path("reuse.db");
  koSQLite db(gLog), other(gLog);
  ASSERT_EQ(db.Open(path.c_str(), 0), 1);
  ASSERT_EQ(other.Open(path.c_str(), 0), 1);
  ASSERT_EQ(Exec(db, "CREATE TABLE t (id INTEGER PRIMARY KEY, name TEXT UNIQUE)"), 1);
  const char* insert = "INSERT INTO t (name) VALUES (?)";
  const char* select = "SELECT * FROM t WHERE name = ?";
  g_prepare_calls = 0;
  for (const char* name : {"a", "b", "c"}) EXPECT_TRUE(koStatement(&db, insert).Text(name).Step());
  EXPECT_EQ(g_prepare_calls, 1);
  {
    // Bindings do not carry over: an unbound parameter is NULL again.
    koStatement s(&db, insert);
    EXPECT_TRUE(s.Step());
  }
  {
    koStatement outer(&db, select);
    ASSERT_TRUE(outer.Text("a").Step() && outer.HasRow());
    koStatement inner(&db, select);
    ASSERT_TRUE(inner.Text("b").Step() && inner.HasRow());
    EXPECT_STREQ(db.GetText(outer.Handle(), "name"), "a");
    EXPECT_STREQ(db.GetText(inner.Handle(), "name"), "b");
  }
  // Texts that come once each (values written in) never crowd out the
  // ones that recur.
  for (int i = 0; i < 200; ++i) {
    std::string once = "SELECT " + std::to_string(i);
    EXPECT_TRUE(koStatement(&db, once.c_str()).Step());
    g_prepare_calls = 0;
    EXPECT_TRUE(koStatement(&db, insert).Text(once.c_str()).Step());
    EXPECT_TRUE(koStatement(&db, insert).Text((once + "'").c_str()).Step());
    EXPECT_LE(g_prepare_calls, 1) << i;
  }
  // A failure is logged once, as before, and the next run is clean.
  EXPECT_FALSE(koStatement(&db, insert).Text("a").Step("dup"));
  EXPECT_TRUE(log_.Has("UNIQUE constraint failed: t.name")) << log_.Text();
  EXPECT_TRUE(koStatement(&db, insert).Text("d").Step());
  const std::string before = log_.Text();

  // Another connection rebuilds the table with one more column in front.
  ASSERT_EQ(Exec(other, "DROP TABLE t"), 1);
  ASSERT_EQ(Exec(other, "CREATE TABLE t (extra TEXT DEFAULT 'x', id INTEGER PRIMARY KEY, name TEXT)"), 1);
  EXPECT_TRUE(koStatement(&db, insert).Text("e").Step());
  {
    koStatement s(&db, select);
    ASSERT_TRUE(s.Text("e").Step() && s.HasRow());
    EXPECT_STREQ(db.GetText(s.Handle(), "extra"), "x");
  }
  // And this connection's own change, which expires its statements.
  ASSERT_EQ(Exec(db, "CREATE TEMP TABLE scratch (v)"), 1);
  ASSERT_EQ(Exec(db, "DROP TABLE scratch"), 1);
  EXPECT_TRUE(koStatement(&db, insert).Text("g").Step());
  EXPECT_EQ(log_.Text(), before);

  // A reopen on another file starts from nothing.
  ASSERT_EQ(db.Open(Path("reuse2.db").c_str(), 0), 1);
  ASSERT_EQ(Exec(db, "CREATE TABLE t (name TEXT)"), 1);
  EXPECT_TRUE(koStatement(&db, insert).Text("f").Step());
  EXPECT_EQ(QueryInt(db, "SELECT COUNT(*) FROM t"), 1);
}
