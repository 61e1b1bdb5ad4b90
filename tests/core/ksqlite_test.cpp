#include "core/ksqlite.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "core/kcrc32.h"
#include "core/klog.h"
#include "core/sqlitemgr.h"

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

// A private folder with a log installed as gLog.
class SqliteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/pvsqliteXXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    log_path_ = dir_ + "/postvane.log";
    log_ = new koLog("test");
    log_->SetFileName(log_path_.c_str());
    gLog = log_;
    g_prepare_calls = 0;
    g_schema_failures_to_inject = 0;
  }
  void TearDown() override {
    gLog = nullptr;
    delete log_;
    fs::remove_all(dir_);
  }
  std::string Log() const {
    std::ifstream in(log_path_);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  std::string Path(const char* name) const { return dir_ + "/" + name; }

  std::string dir_, log_path_;
  koLog* log_ = nullptr;
};

int Exec(koSQLite& db, const char* sql) {
  if (!db.Prepare(nullptr, sql)) return 0;
  int ok = db.Step(nullptr, 1) ? 1 : 0;
  db.Finalize(nullptr);
  return ok;
}

int Count(koSQLite& db, const char* table) {
  std::string sql = std::string("SELECT COUNT(*) AS n FROM ") + table;
  if (!db.Prepare(nullptr, sql.c_str()) || !db.Step(nullptr, 1)) return -1;
  int n = db.GetInt(nullptr, "n");
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
  EXPECT_EQ(b.GetErrCode(), SQLITE_DONE);
  EXPECT_GE(waited, std::chrono::milliseconds(250));
  b.Finalize(nullptr);
  EXPECT_EQ(Count(b, "t"), 1);
  EXPECT_EQ(Log(), "");
}

TEST_F(SqliteTest, ReadOnlyOpenOfMissingFileFailsAndCreatesNothing) {
  std::string path = Path("missing.db");
  koSQLite db(gLog);
  EXPECT_EQ(db.Open(path.c_str(), 1), 0);
  EXPECT_EQ(db.GetErrCode(), SQLITE_CANTOPEN);
  EXPECT_FALSE(fs::exists(path));
  std::string expected = "ErrCode:14 ErrMsg:[DB: " + path + "] unable to open database file\n";
  EXPECT_NE(Log().find(expected), std::string::npos) << Log();
  // The connection is gone, yet the message still names the failure.
  EXPECT_EQ(std::string(db.GetErrMsg()), "[DB: " + path + "] unable to open database file");
  EXPECT_EQ(db.Prepare(nullptr, "SELECT 1"), 0);

  // The same object opens it read-write, which creates the file.
  EXPECT_EQ(db.Open(path.c_str(), 0), 1);
  EXPECT_TRUE(fs::exists(path));
  EXPECT_EQ(Exec(db, "CREATE TABLE t (v)"), 1);
}

TEST_F(SqliteTest, StatementsBindStepAndReadColumns) {
  koSQLite db(gLog);
  ASSERT_EQ(db.Open(Path("rows.db").c_str(), 0), 1);
  ASSERT_EQ(Exec(db, "CREATE TABLE t (id INTEGER PRIMARY KEY, name TEXT UNIQUE, n INTEGER, b BLOB)"),
            1);
  EXPECT_EQ(db.CheckIfTableExists("t"), 1);
  EXPECT_EQ(db.CheckIfTableExists("nothere"), 0);
  EXPECT_EQ(db.CheckIfTableExists("T"), 0);  // sqlite_master keeps the name as created

  // A caller's own slot lives beside the default statement.
  sqlite3_stmt* insert = nullptr;
  ASSERT_EQ(db.Prepare(&insert, "INSERT INTO t (name, n, b) VALUES (?, ?, ?)"), 1);
  koString name("zw\xC3\xB6lf");
  EXPECT_EQ(db.SetText(&insert, 1, name), 1);
  EXPECT_EQ(db.SetInt(&insert, 2, -7), 1);
  EXPECT_EQ(db.SetNull(&insert, 3), 1);
  EXPECT_TRUE(db.Step(&insert, 1));
  EXPECT_EQ(db.GetErrCode(), SQLITE_DONE);
  EXPECT_EQ(db.GetLastInsertRowId(), 1);

  // A failed step (constraint) resets the statement so it can run again.
  db.Reset(&insert);
  EXPECT_FALSE(db.Step(&insert, 1));
  EXPECT_NE(db.GetErrCode(), SQLITE_DONE);
  EXPECT_NE(Log().find("UNIQUE constraint failed: t.name"), std::string::npos) << Log();
  EXPECT_EQ(db.SetText(&insert, 1, "second"), 1);
  EXPECT_TRUE(db.Step(&insert, 1));
  EXPECT_EQ(db.GetLastInsertRowId(), 2);
  // Without the log flag a failure leaves no record.
  std::string before = Log();
  db.Reset(&insert);
  EXPECT_FALSE(db.Step(&insert, 0));
  EXPECT_EQ(Log(), before);
  db.Finalize(&insert);
  EXPECT_EQ(insert, nullptr);
  // Out-of-range parameter: failure, recorded.
  ASSERT_EQ(db.Prepare(nullptr, "SELECT ?"), 1);
  EXPECT_EQ(db.SetInt(nullptr, 2, 1), 0);
  db.Finalize(nullptr);

  ASSERT_EQ(db.Prepare(nullptr, "SELECT id, name, n AS Count, b FROM t ORDER BY id"), 1);
  ASSERT_TRUE(db.Step(nullptr, 1));
  ASSERT_EQ(db.GetErrCode(), SQLITE_ROW);
  EXPECT_STREQ(db.GetText(nullptr, "name"), "zw\xC3\xB6lf");
  EXPECT_EQ(db.GetInt(nullptr, "Count"), -7);
  EXPECT_EQ(db.GetInt(nullptr, 2), -7);
  EXPECT_EQ(db.GetColumnIndex(nullptr, "Count"), 2);
  EXPECT_EQ(db.GetColumnIndex(nullptr, "count"), -1);  // names compare exactly
  EXPECT_EQ(db.GetInt(nullptr, "count"), 0);
  EXPECT_EQ(db.GetText(nullptr, "nothere"), nullptr);
  EXPECT_EQ(db.GetText(nullptr, "b"), nullptr);  // NULL column
  EXPECT_EQ(db.GetBlob(nullptr, "b"), nullptr);
  EXPECT_EQ(db.GetBytes(nullptr, 3), 0);
  ASSERT_TRUE(db.Step(nullptr, 1));
  EXPECT_STREQ(db.GetText(nullptr, "name"), "second");
  EXPECT_TRUE(db.Step(nullptr, 1));
  EXPECT_EQ(db.GetErrCode(), SQLITE_DONE);
  db.Finalize(nullptr);

  // Bytes with zeros inside come back whole.
  ASSERT_EQ(db.Prepare(nullptr, "SELECT x'00FF0041' AS raw"), 1);
  ASSERT_TRUE(db.Step(nullptr, 1));
  const unsigned char* raw = static_cast<const unsigned char*>(db.GetBlob(nullptr, "raw"));
  ASSERT_EQ(db.GetBytes(nullptr, 0), 4);
  EXPECT_EQ(memcmp(raw, "\x00\xFF\x00\x41", 4), 0);
  db.Finalize(nullptr);
}

TEST_F(SqliteTest, SchemaChangeWhileCompilingIsRetriedExactlyOnce) {
  koSQLite db(gLog);
  ASSERT_EQ(db.Open(Path("schema.db").c_str(), 0), 1);

  g_prepare_calls = 0;
  g_schema_failures_to_inject = 1;
  EXPECT_EQ(db.Prepare(nullptr, "SELECT 1"), 1);
  EXPECT_EQ(g_prepare_calls, 2);
  EXPECT_EQ(db.GetErrCode(), SQLITE_OK);
  ASSERT_TRUE(db.Step(nullptr, 1));
  EXPECT_EQ(db.GetInt(nullptr, 0), 1);
  db.Finalize(nullptr);
  EXPECT_EQ(Log(), "");

  // A schema that keeps changing is not chased: the second answer stands.
  g_prepare_calls = 0;
  g_schema_failures_to_inject = 2;
  EXPECT_EQ(db.Prepare(nullptr, "SELECT 1"), 0);
  EXPECT_EQ(g_prepare_calls, 2);
  EXPECT_EQ(db.GetErrCode(), SQLITE_SCHEMA);
  EXPECT_NE(Log().find("ErrCode:17 "), std::string::npos) << Log();

  // Other failures are not retried.
  g_prepare_calls = 0;
  EXPECT_EQ(db.Prepare(nullptr, "SELECT * FROM nothere"), 0);
  EXPECT_EQ(g_prepare_calls, 1);
}

TEST_F(SqliteTest, StatementOutlivedByAnotherConnectionsSchemaChange) {
  std::string path = Path("shared.db");
  koSQLite a(gLog), b(gLog);
  ASSERT_EQ(a.Open(path.c_str(), 0), 1);
  ASSERT_EQ(Exec(a, "CREATE TABLE t (v INTEGER)"), 1);
  ASSERT_EQ(Exec(a, "INSERT INTO t VALUES (5)"), 1);
  ASSERT_EQ(b.Open(path.c_str(), 0), 1);
  sqlite3_stmt* old = nullptr;
  ASSERT_EQ(b.Prepare(&old, "SELECT v FROM t"), 1);

  ASSERT_EQ(Exec(a, "CREATE TABLE u (w TEXT)"), 1);

  // The statement compiled before the change fails; the failed step resets it.
  EXPECT_FALSE(b.Step(&old, 1));
  EXPECT_EQ(b.GetErrCode(), SQLITE_ERROR);
  EXPECT_NE(Log().find("database schema has changed"), std::string::npos) << Log();
  b.Finalize(&old);
  // Compiling anew sees the new schema.
  EXPECT_EQ(b.CheckIfTableExists("u"), 1);
  ASSERT_EQ(b.Prepare(&old, "SELECT v FROM t"), 1);
  ASSERT_TRUE(b.Step(&old, 1));
  EXPECT_EQ(b.GetInt(&old, 0), 5);
  b.Finalize(&old);
}

TEST_F(SqliteTest, DestroyingWithStatementsStillPreparedReleasesTheFile) {
  std::string path = Path("open.db");
  {
    koSQLite setup(gLog);
    ASSERT_EQ(setup.Open(path.c_str(), 0), 1);
    ASSERT_EQ(Exec(setup, "CREATE TABLE t (v)"), 1);
    ASSERT_EQ(Exec(setup, "INSERT INTO t VALUES (1), (2)"), 1);
  }
  {
    koSQLite reader(gLog);
    ASSERT_EQ(reader.Open(path.c_str(), 1), 1);
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
      {"a", 1, 0xE8B7BE43u},
      {"The quick brown fox jumps over the lazy dog", 43, 0x414FA339u},
      {"\0\0\0\0", 4, 0x2144DF1Cu},
      {"abc", 0, 0u},
      {"abc", -1, 0u},
  };
  koCrc32 crc;
  for (const auto& c : cases) EXPECT_EQ(crc.Compute(c.bytes, c.length), c.crc) << c.bytes;
}

// SQLiteMgr finds the data directory through HOME, so these tests run in a
// private one.
class SqliteMgrTest : public SqliteTest {
 protected:
  void SetUp() override {
    SqliteTest::SetUp();
    const char* home = getenv("HOME");
    saved_home_ = home != nullptr ? home : "";
    setenv("HOME", dir_.c_str(), 1);
    for (const char* v : {"XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"})
      unsetenv(v);
    data_ = dir_ + "/.config/Brantlow/Postvane/data";
  }
  void TearDown() override {
    setenv("HOME", saved_home_.c_str(), 1);
    SqliteTest::TearDown();
  }
  std::string saved_home_, data_;
};

TEST_F(SqliteMgrTest, OpenAndInitializeAppliesThePragmas) {
  ASSERT_TRUE(fs::create_directories(data_));
  koSQLite db(gLog);
  ASSERT_EQ(SQLiteMgr::OpenAndInitialize(&db, "postvane.summary"), 1);
  EXPECT_TRUE(fs::exists(data_ + "/postvane.summary"));
  ASSERT_EQ(db.Prepare(nullptr, "PRAGMA cache_size"), 1);
  ASSERT_TRUE(db.Step(nullptr, 1));
  EXPECT_EQ(db.GetInt(nullptr, 0), 8000);
  db.Finalize(nullptr);
  ASSERT_EQ(db.Prepare(nullptr, "PRAGMA synchronous"), 1);
  ASSERT_TRUE(db.Step(nullptr, 1));
  EXPECT_EQ(db.GetInt(nullptr, 0), 2);  // FULL
  db.Finalize(nullptr);

  EXPECT_EQ(SQLiteMgr::ExecuteQuery(&db, "CREATE TABLE t (v)"), 1);
  EXPECT_EQ(SQLiteMgr::ExecuteQuery(&db, "INSERT INTO t VALUES (1)"), 1);
  EXPECT_EQ(Log(), "");
  EXPECT_EQ(SQLiteMgr::ExecuteQuery(&db, "INSERT INTO nothere VALUES (1)"), 0);
  EXPECT_NE(Log().find("ErrCode:-1 ErrMsg:INSERT INTO nothere VALUES (1)\n"), std::string::npos)
      << Log();
  // A failed step is recorded with the SQL as well, and the statement is gone.
  EXPECT_EQ(SQLiteMgr::ExecuteQuery(&db, "CREATE TABLE t (v)"), 0);
  EXPECT_NE(Log().find("ErrCode:-1 ErrMsg:CREATE TABLE t (v)\n"), std::string::npos) << Log();
  EXPECT_EQ(Count(db, "t"), 1);
}

TEST_F(SqliteMgrTest, OpenWithoutTheDataFolderFailsAndLogsThePath) {
  koSQLite db(gLog);
  EXPECT_EQ(SQLiteMgr::OpenAndInitialize(&db, "postvane.summary"), 0);
  std::string log = Log();
  EXPECT_NE(log.find("ErrCode:-1 ErrMsg:" + data_ + "/postvane.summary\n"), std::string::npos)
      << log;
  EXPECT_NE(log.find("ErrCode:-1 ErrMsg:ExecuteQuery\n"), std::string::npos) << log;
  EXPECT_FALSE(fs::exists(data_));
}

}  // namespace
