// A private HOME holding a summary database for the store's tests: gLog
// writes to a file in that HOME, and the connection is opened the way the
// program opens it.
#ifndef PV_TESTS_APP_STORE_STORE_FIXTURE_H
#define PV_TESTS_APP_STORE_STORE_FIXTURE_H

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <memory>
#include <sstream>
#include <string>

#include "app/store/summaryschema.h"
#include "core/klog.h"
#include "core/ksqlite.h"
#include "core/pathmgr.h"
#include "core/sqlitemgr.h"
#include "support/files.h"
#include "support/private_home.h"

class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(home_.path().empty());
    log_path_ = home_.path() + "/test.log";
    log_.SetFileName(log_path_.c_str());
    gLog = &log_;
    koString dir;
    ASSERT_GT(PathMgr::GetConfigDir(dir), 0);
    data_dir_ = std::string(dir.GetString()) + "/data";
    ASSERT_EQ(mkdir(data_dir_.c_str(), 0755), 0);
    summary_path_ = data_dir_ + "/postvane.summary";
  }
  void TearDown() override {
    db_.reset();
    gLog = nullptr;
  }

  // Opens the summary database as the program does (a fresh connection).
  koSQLite* Open() {
    db_ = std::make_unique<koSQLite>(gLog);
    EXPECT_EQ(SQLiteMgr::OpenAndInitialize(db_.get(), "postvane.summary"), 1);
    return db_.get();
  }
  koSQLite* OpenWithSchema() {
    koSQLite* db = Open();
    EXPECT_EQ(CreateSummarySchema(db), 1);
    return db;
  }
  void Close() { db_.reset(); }
  // The program's connections compile statements with the legacy interface,
  // which fails a step once another connection changed the schema; tests that
  // change it through Exec open the program's connection afresh.
  koSQLite* Reopen() {
    Close();
    return Open();
  }

  // Runs statements that return no rows on the open connection.
  void Exec(const std::string& sql) {
    char* error = nullptr;
    ASSERT_EQ(sqlite3_exec(Raw(), sql.c_str(), nullptr, nullptr, &error), SQLITE_OK)
        << sql << ": " << (error ? error : "");
  }
  // The first column of the first row as text ("NULL" for NULL, "" for no row).
  std::string Query(const std::string& sql) {
    sqlite3_stmt* stmt = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(Raw(), sql.c_str(), -1, &stmt, nullptr), SQLITE_OK) << sql;
    std::string out;
    if (stmt != nullptr && sqlite3_step(stmt) == SQLITE_ROW) {
      const unsigned char* text = sqlite3_column_text(stmt, 0);
      out = text ? reinterpret_cast<const char*>(text) : "NULL";
    }
    sqlite3_finalize(stmt);
    return out;
  }
  long long QueryInt(const std::string& sql) {
    std::string text = Query(sql);
    return text.empty() || text == "NULL" ? 0 : std::stoll(text);
  }

  std::string LogText() const { return pvtest::ReadFile(log_path_); }

  // A second, raw handle on the same file for the assertions.
  sqlite3* Raw() {
    if (raw_ == nullptr) {
      EXPECT_EQ(sqlite3_open(summary_path_.c_str(), &raw_), SQLITE_OK);
      sqlite3_busy_timeout(raw_, 5000);
    }
    return raw_;
  }
  void CloseRaw() {
    if (raw_ != nullptr) sqlite3_close(raw_);
    raw_ = nullptr;
  }

  PrivateHome home_;
  koLog log_{"test"};
  std::string log_path_, data_dir_, summary_path_;
  std::unique_ptr<koSQLite> db_;
  sqlite3* raw_ = nullptr;

 public:
  ~StoreTest() override { CloseRaw(); }
};

#endif  // PV_TESTS_APP_STORE_STORE_FIXTURE_H
