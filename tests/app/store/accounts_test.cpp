// The account table behind ConfigMgr: add, load, edit with its download
// period, delete, and the lock scope of an account change.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/store/configlist.h"
#include "app/store/configmgr.h"
#include "core/kfile.h"
#include "core/kpasswd.h"
#include "core/kthread.h"
#include "store_fixture.h"

namespace {

namespace fs = std::filesystem;

void SetUpAccount(AccountInfo& a, const char* email, const char* password, int all,
                  int64_t since) {
  a.Clear();
  a.email.SetAs(email);
  a.password.SetAs(password);
  a.downloadAll = all;
  a.downloadSince = since;
  a.downloadAttachments = 1;
}

void WriteFile(const std::string& path, const std::string& content) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class AccountsTest : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    attachments_ = home_.path() + "/Postvane Attachments";
    cache_ = home_.path() + "/.cache/7B3D9E51-2C84-4A6F-9E07-D5A1C8B42F96";
  }

  // Every row of every table, in a fixed order: equal texts, equal databases.
  std::string Snapshot() {
    std::string out;
    std::vector<std::string> tables;
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(Raw(), "SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name",
                       -1, &stmt, nullptr);
    while (sqlite3_step(stmt) == SQLITE_ROW)
      tables.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)));
    sqlite3_finalize(stmt);
    for (const std::string& table : tables) {
      out += "[" + table + "]\n";
      std::string sql = "SELECT * FROM [" + table + "] ORDER BY 1";
      EXPECT_EQ(sqlite3_prepare_v2(Raw(), sql.c_str(), -1, &stmt, nullptr), SQLITE_OK) << sql;
      while (sqlite3_step(stmt) == SQLITE_ROW) {
        for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
          const unsigned char* v = sqlite3_column_text(stmt, i);
          out += v ? reinterpret_cast<const char*>(v) : "NULL";
          out += "|";
        }
        out += "\n";
      }
      sqlite3_finalize(stmt);
    }
    return out;
  }

  // The ids a one-column query gives, as "1,2,3".
  std::string Ids(const std::string& sql) {
    std::string out;
    sqlite3_stmt* stmt = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(Raw(), sql.c_str(), -1, &stmt, nullptr), SQLITE_OK) << sql;
    while (stmt != nullptr && sqlite3_step(stmt) == SQLITE_ROW) {
      if (!out.empty()) out += ",";
      out += reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
    }
    sqlite3_finalize(stmt);
    return out;
  }

  // A saved attachment that the user did not touch (modified no later than
  // made) or did (modified later).
  std::string PlantFile(const std::string& relative, bool changedByUser) {
    std::string path = attachments_ + "/" + relative;
    WriteFile(path, "content of " + relative);
    int64_t now = static_cast<int64_t>(time(nullptr));
    EXPECT_EQ(SetFileTime(path.c_str(), changedByUser ? now + 100 : now - 100), 1);
    return path;
  }

  std::string attachments_, cache_;
};

TEST_F(AccountsTest, AddedAccountIsStoredEncodedAndLoadsDecoded) {
  const char password[] = "pa\x01ss w\x7f";
  {
    ConfigMgr config;
    ASSERT_EQ(config.LoadAccounts(), 1);
    EXPECT_EQ(config.GetAccountCount(), 0);
    AccountInfo a;
    SetUpAccount(a, "a@x", password, 0, 1700000000);
    // A brand-new file: the add makes the tables it writes.
    ASSERT_EQ(config.AddAccount(a), 1);
    EXPECT_EQ(a.id, 1);
    EXPECT_EQ(config.GetAccountCount(), 1);
  }
  std::string stored = Query("SELECT password FROM account WHERE email = 'a@x'");
  EXPECT_NE(stored.find_first_not_of("\r\n"), std::string::npos);
  EXPECT_EQ(stored.find("pa"), std::string::npos);
  koString decoded;
  ASSERT_EQ(PasswordMgr::Decode(koString(stored.c_str()), decoded), 1);
  EXPECT_STREQ(decoded.GetString(), password);
  EXPECT_EQ(QueryInt("SELECT account_id FROM account_status"), 1);
  EXPECT_EQ(Query("SELECT major_version || '.' || minor_version FROM schema_version"), "1.2");

  ConfigMgr fresh;
  ASSERT_EQ(fresh.LoadAccounts(), 1);
  AccountInfo back;
  ASSERT_EQ(fresh.GetAccountAt(0, back), 1);
  EXPECT_EQ(back.id, 1);
  EXPECT_STREQ(back.email.GetString(), "a@x");
  EXPECT_STREQ(back.password.GetString(), password);
  EXPECT_EQ(back.downloadSince, 1700000000);
  EXPECT_EQ(back.downloadAttachments, 1);
  EXPECT_STREQ(back.mailStatus.GetString(), "Connecting...");
  EXPECT_STREQ(back.contactStatus.GetString(), "Connecting...");
  EXPECT_EQ(fresh.GetAccountAt(1, back), 0) << "one past the last account";
}

TEST_F(AccountsTest, SixtyFifthAddAndDuplicatesAreRefusedBeforeAnyWrite) {
  OpenWithSchema();
  ConfigMgr config;
  AccountInfo a;
  for (int i = 0; i < 64; ++i) {
    std::string email = "user" + std::to_string(i) + "@x";
    SetUpAccount(a, email.c_str(), "pw", 1, 0);
    ASSERT_EQ(config.AddAccount(a), 1) << i;
  }
  SetUpAccount(a, "user64@x", "pw", 1, 0);
  EXPECT_EQ(config.AddAccount(a), 0);
  EXPECT_EQ(a.id, 0);
  EXPECT_EQ(config.GetAccountCount(), 64);
  EXPECT_EQ(QueryInt("SELECT COUNT(*) FROM account"), 64);
  EXPECT_EQ(QueryInt("SELECT COUNT(*) FROM account_status"), 64);

  ASSERT_EQ(config.DeleteAccount("user3@x"), 1);
  SetUpAccount(a, "USER5@X", "pw", 1, 0);
  EXPECT_EQ(config.AddAccount(a), 0) << "the address differs only in case";
  EXPECT_EQ(QueryInt("SELECT COUNT(*) FROM account"), 63);
  EXPECT_EQ(QueryInt("SELECT MAX(id) FROM account"), 64) << "no row id was used up";
}

TEST_F(AccountsTest, LoadingMoreThan64RowsKeepsTheFirst64AndFails) {
  OpenWithSchema();
  koString encoded;
  ASSERT_EQ(PasswordMgr::Encode(koString("pw"), encoded), 1);
  sqlite3_stmt* insert = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(Raw(), "INSERT INTO account (email, password) VALUES (?, ?)", -1,
                               &insert, nullptr),
            SQLITE_OK);
  for (int i = 0; i < 65; ++i) {
    std::string email = "user" + std::to_string(i) + "@x";
    sqlite3_bind_text(insert, 1, email.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(insert, 2, encoded.GetString(), -1, SQLITE_TRANSIENT);
    ASSERT_EQ(sqlite3_step(insert), SQLITE_DONE);
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  Exec("INSERT INTO account_status (account_id) SELECT id FROM account");
  ConfigMgr config;
  EXPECT_EQ(config.LoadAccounts(), 0);
  EXPECT_EQ(config.GetAccountCount(), 64);
  EXPECT_NE(LogText().find("InternalAddNewAccount"), std::string::npos);
  EXPECT_EQ(ConfigList::IsValidIndex(63), 1);
  EXPECT_EQ(ConfigList::IsValidIndex(64), 0);
  EXPECT_EQ(ConfigList::IsValidIndex(-1), 0);
}

TEST_F(AccountsTest, LiveStateFollowsThreadsAndForceRules) {
  ConfigMgr config;
  AccountInfo a;
  SetUpAccount(a, "a@x", "pw", 1, 0);
  ASSERT_EQ(config.AddAccount(a), 1);
  SetUpAccount(a, "b@x", "pw", 1, 0);
  ASSERT_EQ(config.AddAccount(a), 1);
  ASSERT_EQ(config.SetThreadIdByEmail(77, "B@X"), 1);

  koString status;
  config.SetStatusByThread(77, "Login failed", 1);
  config.SetStatusByThread(77, "Fetching", 0);
  config.GetStatusById(2, status);
  EXPECT_STREQ(status.GetString(), "Login failed");
  config.SetStatusByEmail("b@x", "cOnNeCtInG...");
  config.SetStatusByThread(77, "Fetching", 0);
  config.GetStatusById(2, status);
  EXPECT_STREQ(status.GetString(), "Fetching") << "Connecting... in any case is routine";

  ASSERT_EQ(config.SetSpecialFolderByThread(77, "[Mail]/All", 3), 1);
  ASSERT_EQ(config.SetSpecialFolderByThread(77, "[Mail]/Bin", 5), 1);
  EXPECT_EQ(config.SetSpecialFolderByThread(78, "x", 3), 0);
  ASSERT_EQ(config.SetModuleProgress(2, 40, 10, 6), 1);
  ASSERT_EQ(config.SetModuleIndexingStatus(2, 1, 3), 1);
  config.SetMailUpdatedTime(1, 500);
  config.SetContactUpdatedTime(1, 300);
  config.SetMailUpdatedTime(2, 200);
  config.SetContactUpdatedTime(2, 900);
  EXPECT_EQ(config.GetEarliestUpdatedTime(1), 300);
  EXPECT_EQ(config.GetEarliestUpdatedTime(0), 200);
  EXPECT_EQ(config.GetEarliestUpdatedTime(9), 0);

  AccountInfo b;
  ASSERT_EQ(config.GetAccountByEmail("b@x", b), 1);
  EXPECT_STREQ(b.allMailFolder.GetString(), "[Mail]/All");
  EXPECT_STREQ(b.trashFolder.GetString(), "[Mail]/Bin");
  EXPECT_EQ(b.attachmentTotal, 40);
  EXPECT_EQ(b.attachmentProcessed, 10);
  EXPECT_EQ(b.mailIndexingStatus, 1);

  ASSERT_EQ(config.ResetStatusToConnecting(0), 1);
  config.GetStatusById(2, status);
  EXPECT_STREQ(status.GetString(), "Connecting...");
  config.GetStatusById(1, status);
  EXPECT_STREQ(status.GetString(), "") << "an empty status stays empty";
  config.ClearAllStatuses();
  config.GetStatusById(2, status);
  EXPECT_STREQ(status.GetString(), "");
}

// Four mails of account 1 around the new cutoff 2000 (two before it sharing
// a file, two after), one mail of account 2, and their files.
class DownloadPeriodTest : public AccountsTest {
 protected:
  void SetUp() override {
    AccountsTest::SetUp();
    OpenWithSchema();
    holder_ = std::make_unique<ConfigMgr>();
    AccountInfo a;
    SetUpAccount(a, "a@x", "pw", 0, 1000);
    ASSERT_EQ(holder_->AddAccount(a), 1);
    SetUpAccount(a, "b@x", "pw", 0, 1000);
    ASSERT_EQ(holder_->AddAccount(a), 1);
    Exec("INSERT INTO mail (id, uid, message_id, account_id, module_id, received_date, subject) "
         "VALUES (1, 11, '<m1>', 1, 1, 1500, 's1'), (2, 12, '<m2>', 1, 1, 1600, 's2'),"
         "(3, 13, '<m3>', 1, 1, 2500, 's3'), (4, 14, '<m4>', 1, 2, 2600, 's4'),"
         "(5, 15, '<m5>', 2, 1, 1500, 's5')");
    Exec("INSERT INTO email_address (id, account_id, address) VALUES (1, 1, 'p@y'), (2, 2, 'q@y')");
    Exec("INSERT INTO mail_email_link (mail_id, email_address_id) VALUES (1, 1), (2, 1), (3, 1),"
         "(4, 1), (5, 2)");
    Exec("INSERT INTO analytics_email (email_address_id, total_sent, total_received) VALUES "
         "(1, 1, 3), (2, 0, 1)");
    Exec("INSERT INTO reference_master VALUES (1, '<m1>'), (2, '<m1>'), (3, '<m3>'), "
         "(4, '<m3>'), (5, '<m5>')");
    const char* files[][2] = {
        {"1", "a@x/recv/attachments/p/shared.pdf"}, {"2", "a@x/recv/attachments/p/shared.pdf"},
        {"1", "a@x/recv/attachments/p/changed.doc"}, {"2", "a@x/recv/attachments/p/used.txt"},
        {"3", "a@x/recv/attachments/p/used.txt"},    {"2", "a@x/recv/attachments/p/plain.txt"},
        {"4", "a@x/sent/attachments/keep.txt"},      {"5", "b@x/recv/attachments/q/other.txt"}};
    int id = 0;
    for (const auto& f : files) {
      ++id;
      Exec("INSERT INTO file VALUES (" + std::to_string(id) + ", " + f[0] + ", '" + f[1] +
           "', 'n', 't', 1, NULL, 0, 0)");
      Exec("INSERT INTO fts_file (rowid, [from], [to], subject, filename, type) VALUES (" +
           std::to_string(id) + ", 'p@y', 'a@x', 's', 'n', 't')");
      std::string rel = f[1];
      if (!fs::exists(attachments_ + "/" + rel))
        PlantFile(rel, rel.find("changed") != std::string::npos);
    }
    Exec("INSERT INTO module (id, account_id, indexing_status, lower_uid_boundary) VALUES "
         "(3, 1, 1, 11), (6, 1, 1, 11), (3, 2, 1, 15)");
    ASSERT_EQ(holder_->GetAccountByEmail("a@x", old_), 1);
  }

  bool Exists(const char* relative) { return fs::exists(attachments_ + "/" + relative); }

  std::unique_ptr<ConfigMgr> holder_;
  AccountInfo old_;
};

TEST_F(DownloadPeriodTest, LaterDateDeletesOlderMailsRowsAndUnsharedFiles) {
  AccountInfo changed;
  changed.Assign(old_);
  changed.downloadSince = 2000;
  ASSERT_EQ(holder_->UpdateModuleOnTimePeriodChanges(changed, old_), 1) << LogText();

  EXPECT_EQ(Ids("SELECT id FROM mail ORDER BY id"), "3,4,5");
  EXPECT_EQ(Ids("SELECT mail_id FROM mail_email_link ORDER BY mail_id"), "3,4,5");
  EXPECT_EQ(Ids("SELECT mail_id FROM reference_master ORDER BY mail_id"), "3,4,5");
  EXPECT_EQ(Ids("SELECT id FROM file ORDER BY id"), "5,7,8");
  EXPECT_EQ(Ids("SELECT rowid FROM fts_file ORDER BY rowid"), "5,7,8");
  // Counters rebuilt from the mails that stay: m3 received, m4 sent.
  EXPECT_EQ(Ids("SELECT total_received || '/' || total_sent FROM analytics_email "
                "WHERE email_address_id = 1"),
            "1/1");

  // Deleted: the file two deleted mails shared, and one only a deleted mail used.
  EXPECT_FALSE(Exists("a@x/recv/attachments/p/shared.pdf"));
  EXPECT_FALSE(Exists("a@x/recv/attachments/p/plain.txt"));
  // Kept: changed by the user, still used by mail 3, of kept mails.
  EXPECT_TRUE(Exists("a@x/recv/attachments/p/changed.doc"));
  EXPECT_TRUE(Exists("a@x/recv/attachments/p/used.txt"));
  EXPECT_TRUE(Exists("a@x/sent/attachments/keep.txt"));
  EXPECT_TRUE(Exists("b@x/recv/attachments/q/other.txt"));

  // The mail module walks the new period again from the top.
  EXPECT_EQ(Ids("SELECT indexing_status || '/' || lower_uid_boundary FROM module "
                "WHERE id = 3 AND account_id = 1"),
            "2/0");
  EXPECT_EQ(Ids("SELECT indexing_status || '/' || lower_uid_boundary FROM module "
                "WHERE id = 6 AND account_id = 1"),
            "1/11");
  EXPECT_EQ(Ids("SELECT indexing_status || '/' || lower_uid_boundary FROM module "
                "WHERE account_id = 2"),
            "1/15");
  EXPECT_EQ(QueryInt("SELECT download_since FROM account WHERE id = 1"), 2000);
  AccountInfo now;
  ASSERT_EQ(holder_->GetAccountByEmail("a@x", now), 1);
  EXPECT_EQ(now.downloadSince, 2000);
  EXPECT_EQ(now.mailIndexingStatus, 2);
  EXPECT_EQ(changed.mailIndexingStatus, 2);
  EXPECT_EQ(LogText().find("Error occured"), std::string::npos) << LogText();
}

TEST_F(DownloadPeriodTest, FailedEditChangesNeitherDatabaseNorMemoryNorFiles) {
  Exec("CREATE TRIGGER refuse BEFORE DELETE ON mail BEGIN SELECT RAISE(ABORT, 'forced'); END");
  std::string before = Snapshot();
  AccountInfo changed;
  changed.Assign(old_);
  changed.downloadSince = 2000;
  EXPECT_EQ(holder_->UpdateModuleOnTimePeriodChanges(changed, old_), 0);
  EXPECT_EQ(Snapshot(), before);
  AccountInfo now;
  ASSERT_EQ(holder_->GetAccountByEmail("a@x", now), 1);
  EXPECT_EQ(now.downloadSince, 1000);
  EXPECT_EQ(changed.mailIndexingStatus, old_.mailIndexingStatus);
  for (const char* f : {"a@x/recv/attachments/p/shared.pdf", "a@x/recv/attachments/p/plain.txt",
                        "a@x/recv/attachments/p/used.txt"})
    EXPECT_TRUE(Exists(f)) << f;
}

TEST_F(DownloadPeriodTest, PeriodChangesResetTheMailModuleAsTheyShould) {
  struct Case {
    int oldAll;
    int64_t oldSince;
    int newAll;
    int64_t newSince;
    int recordStatus;    // mail indexing status the edited record carries
    const char* module;  // module 3 afterwards: "status/boundary"
    int memoryStatus;
    const char* mails;
  } cases[] = {
      {1, 0, 1, 0, 1, "1/11", 1, "1,2,3,4,5"},         // all mail, unchanged
      {0, 1000, 1, 0, 0, "2/0", 2, "1,2,3,4,5"},       // since a date -> all mail
      {0, 1000, 0, 500, 1, "2/0", 2, "1,2,3,4,5"},     // longer period, module complete
      {0, 1000, 0, 500, 0, "0/0", 0, "1,2,3,4,5"},     // longer period, still walking
      {0, 1000, 0, 1000, 1, "1/11", 1, "1,2,3,4,5"},   // same date
      {1, 0, 0, 1550, 1, "2/0", 2, "2,3,4,5"},         // all mail -> since a date
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.oldAll) + " " + std::to_string(c.oldSince) + " -> " +
                 std::to_string(c.newAll) + " " + std::to_string(c.newSince));
    Exec("UPDATE module SET indexing_status = 1, lower_uid_boundary = 11 WHERE account_id = 1");
    Exec("UPDATE account SET download_all = " + std::to_string(c.oldAll) +
         ", download_since = " + std::to_string(c.oldSince) + " WHERE id = 1");
    // A fresh object holds the old settings as the database has them.
    ConfigMgr config;
    ASSERT_EQ(config.LoadAccounts(), 1);
    AccountInfo old;
    ASSERT_EQ(config.GetAccountByEmail("a@x", old), 1);
    AccountInfo changed;
    changed.Assign(old);
    changed.downloadAll = c.newAll;
    changed.downloadSince = c.newSince;
    changed.mailIndexingStatus = c.recordStatus;
    ASSERT_EQ(config.UpdateModuleOnTimePeriodChanges(changed, old), 1);
    EXPECT_EQ(Ids("SELECT indexing_status || '/' || lower_uid_boundary FROM module "
                  "WHERE id = 3 AND account_id = 1"),
              c.module);
    EXPECT_EQ(changed.mailIndexingStatus, c.memoryStatus);
    EXPECT_EQ(Ids("SELECT id FROM mail ORDER BY id"), c.mails);
  }
}

TEST_F(DownloadPeriodTest, SwitchingExtractionOnRecountsTheAttachmentModule) {
  Exec("UPDATE module SET last_processed_uid_from = 12, last_processed_uid_to = 13, "
       "total_msgs = 9, processed_msgs = 9 WHERE id = 6 AND account_id = 1");
  Exec("UPDATE account SET mail_download_type = 0 WHERE id = 1");
  ConfigMgr config;
  ASSERT_EQ(config.LoadAccounts(), 1);
  ASSERT_EQ(config.GetAccountByEmail("a@x", old_), 1);
  ASSERT_EQ(old_.downloadAttachments, 0);
  AccountInfo changed;
  changed.Assign(old_);
  changed.downloadAttachments = 1;
  ASSERT_EQ(config.UpdateModuleOnTimePeriodChanges(changed, old_), 1);
  // uids 11 and 14 lie outside the walked range 12..13.
  EXPECT_EQ(Ids("SELECT total_msgs || '/' || processed_msgs || '/' || indexing_status || '/' || "
                "lower_uid_boundary FROM module WHERE id = 6 AND account_id = 1"),
            "2/0/0/0");
  EXPECT_EQ(changed.attachmentTotal, 2);
  EXPECT_EQ(QueryInt("SELECT mail_download_type FROM account WHERE id = 1"), 1);
  AccountInfo now;
  ASSERT_EQ(config.GetAccountByEmail("a@x", now), 1);
  EXPECT_EQ(now.attachmentTotal, 2);
  EXPECT_EQ(now.downloadAttachments, 1);
}

TEST_F(DownloadPeriodTest, EditToAnAddressOfAnotherAccountIsRefused) {
  AccountInfo changed;
  changed.Assign(old_);
  changed.email.SetAs("B@x");
  EXPECT_EQ(holder_->UpdateModuleOnTimePeriodChanges(changed, old_), 0);
  changed.email.SetAs("new@x");
  changed.password.SetAs("new password");
  ASSERT_EQ(holder_->UpdateModuleOnTimePeriodChanges(changed, old_), 1);
  EXPECT_EQ(holder_->FindAccountIndexByEmail("new@x"), 0);
  EXPECT_EQ(Query("SELECT email FROM account WHERE id = 1"), "new@x");
  ConfigMgr fresh;
  ASSERT_EQ(fresh.LoadAccounts(), 1);
  AccountInfo back;
  ASSERT_EQ(fresh.GetAccountById(1, back), 1);
  EXPECT_STREQ(back.password.GetString(), "new password");
}

TEST_F(DownloadPeriodTest, DeleteMailsLeavesFilesToTheCallerUntilCommit) {
  koSQLite db(gLog);
  ASSERT_EQ(SQLiteMgr::OpenAndInitialize(&db, "postvane.summary"), 1);
  SavedFileList files;
  ASSERT_EQ(SQLiteMgr::ExecuteQuery(&db, "BEGIN IMMEDIATE TRANSACTION"), 1);
  ASSERT_EQ(holder_->DeleteMails(&db, 1, files), 1);
  // changed.doc and shared.pdf (mail 2 still uses the latter).
  ASSERT_EQ(files.size(), 1u);
  EXPECT_STREQ(files[0].GetString(), "a@x/recv/attachments/p/changed.doc");
  EXPECT_TRUE(Exists("a@x/recv/attachments/p/changed.doc"));
  ASSERT_EQ(SQLiteMgr::ExecuteQuery(&db, "END TRANSACTION"), 1);
  holder_->DeleteSavedFiles(files);
  EXPECT_TRUE(Exists("a@x/recv/attachments/p/changed.doc")) << "changed by the user";
  EXPECT_EQ(Ids("SELECT id FROM mail ORDER BY id"), "2,3,4,5");
  EXPECT_EQ(Ids("SELECT id FROM file ORDER BY id"), "2,4,5,6,7,8");

  files.clear();
  ASSERT_EQ(holder_->DeleteMails(&db, 2, files), 1);
  holder_->DeleteSavedFiles(files);
  EXPECT_FALSE(Exists("a@x/recv/attachments/p/shared.pdf"));
  EXPECT_FALSE(Exists("a@x/recv/attachments/p/plain.txt"));
  EXPECT_TRUE(Exists("a@x/recv/attachments/p/used.txt"));

  // A path from the table never leads outside the attachments folder.
  WriteFile(home_.path() + "/outside.txt", "x");
  files.clear();
  files.emplace_back("../outside.txt");
  holder_->DeleteSavedFiles(files);
  EXPECT_TRUE(fs::exists(home_.path() + "/outside.txt"));
}

// Three accounts with rows in every table and folders under both roots.
class DeleteAccountTest : public AccountsTest {
 protected:
  void SetUp() override {
    AccountsTest::SetUp();
    OpenWithSchema();
    holder_ = std::make_unique<ConfigMgr>();
    AccountInfo a;
    for (const char* email : {"a@x", "b@x", "c@x"}) {
      SetUpAccount(a, email, "pw", 1, 0);
      ASSERT_EQ(holder_->AddAccount(a), 1);
    }
    for (int id = 1; id <= 3; ++id) {
      std::string n = std::to_string(id);
      std::string m = std::to_string(id * 10);
      Exec("INSERT INTO mail (id, uid, message_id, account_id, module_id, received_date, "
           "subject) VALUES (" + m + ", 1, '<" + m + ">', " + n + ", 1, 5, 's')");
      Exec("INSERT INTO reference_master VALUES (" + m + ", '<" + m + ">')");
      Exec("INSERT INTO email_address (id, account_id, address) VALUES (" + n + ", " + n +
           ", 'p@y')");
      Exec("INSERT INTO mail_email_link (mail_id, email_address_id) VALUES (" + m + ", " + n + ")");
      Exec("INSERT INTO analytics_email (email_address_id) VALUES (" + n + ")");
      Exec("INSERT INTO module (id, account_id) VALUES (3, " + n + "), (6, " + n + ")");
      Exec("INSERT INTO file VALUES (" + n + ", " + m + ", 'f', 'n', 't', 1, NULL, 0, 0)");
      Exec("INSERT INTO fts_file (rowid, [from]) VALUES (" + n + ", 'p@y')");
      Exec("INSERT INTO contact (id, name, account_id) VALUES (" + n + ", 'c', " + n + ")");
      Exec("INSERT INTO contact_photo VALUES (" + n + ", x'00')");
      Exec("INSERT INTO contact_email_link (contact_id, email_address_id) VALUES (" + n + ", " +
           n + ")");
      Exec("INSERT INTO fts_contact (rowid, name) VALUES (" + n + ", 'c')");
      Exec("INSERT INTO [group] (id, name, uid, account_id) VALUES (" + n + ", 'g', 'g" + n +
           "', " + n + ")");
      Exec("INSERT INTO contact_group_link (contact_id, group_id) VALUES (" + n + ", " + n + ")");
      Exec("INSERT INTO contact_tag_link (contact_id, tag_id) VALUES (" + n + ", 1)");
    }
    Exec("INSERT INTO tag (id, name) VALUES (1, 'shared tag')");
  }

  // Rows of account id `n` in every table the account reaches.
  long long RowsOf(int n) {
    std::string id = std::to_string(n);
    std::string contact = "(SELECT id FROM contact WHERE account_id = " + id + ")";
    std::string mail = "(SELECT id FROM mail WHERE account_id = " + id + ")";
    const std::string queries[] = {
        "SELECT COUNT(*) FROM account WHERE id = " + id,
        "SELECT COUNT(*) FROM account_status WHERE account_id = " + id,
        "SELECT COUNT(*) FROM module WHERE account_id = " + id,
        "SELECT COUNT(*) FROM mail WHERE account_id = " + id,
        "SELECT COUNT(*) FROM reference_master WHERE mail_id = " + std::to_string(n * 10),
        "SELECT COUNT(*) FROM mail_email_link WHERE mail_id = " + std::to_string(n * 10),
        "SELECT COUNT(*) FROM file WHERE mail_id = " + std::to_string(n * 10),
        "SELECT COUNT(*) FROM fts_file WHERE rowid = " + id,
        "SELECT COUNT(*) FROM email_address WHERE account_id = " + id,
        "SELECT COUNT(*) FROM analytics_email WHERE email_address_id = " + id,
        "SELECT COUNT(*) FROM contact WHERE account_id = " + id,
        "SELECT COUNT(*) FROM contact_photo WHERE contact_id = " + id,
        "SELECT COUNT(*) FROM contact_email_link WHERE contact_id = " + id,
        "SELECT COUNT(*) FROM fts_contact WHERE rowid = " + id,
        "SELECT COUNT(*) FROM [group] WHERE account_id = " + id,
        "SELECT COUNT(*) FROM contact_group_link WHERE contact_id = " + id,
        "SELECT COUNT(*) FROM contact_tag_link WHERE contact_id = " + id,
    };
    long long total = 0;
    for (const std::string& q : queries) total += QueryInt(q);
    return total;
  }

  std::unique_ptr<ConfigMgr> holder_;
};

TEST_F(DeleteAccountTest, SecondOfThreeLeavesNoRowNoFolderAndTheOthersInOrder) {
  ASSERT_EQ(RowsOf(2), 18);
  // Folders of b@x under both roots, with links to things that must survive.
  PlantFile("b@x/recv/attachments/p (p@y)/doc.txt", false);
  WriteFile(cache_ + "/b@x/recv/attachments/p (p@y)/doc.txt.extralarge", "png");
  WriteFile(home_.path() + "/elsewhere/target.txt", "keep me");
  fs::create_directory_symlink(home_.path() + "/elsewhere",
                               attachments_ + "/b@x/recv/linked-folder");
  fs::create_symlink(home_.path() + "/elsewhere/target.txt", attachments_ + "/b@x/linked-file");
  fs::create_symlink(home_.path() + "/elsewhere", cache_ + "/b@x/linked");
  PlantFile("a@x/recv/attachments/p/a.txt", false);

  ASSERT_EQ(holder_->DeleteAccount("B@X"), 1) << LogText();
  EXPECT_EQ(RowsOf(2), 0);
  EXPECT_EQ(RowsOf(1), 18);
  EXPECT_EQ(RowsOf(3), 18);
  EXPECT_EQ(QueryInt("SELECT COUNT(*) FROM tag"), 1) << "tags are shared by all accounts";
  EXPECT_FALSE(fs::exists(fs::symlink_status(attachments_ + "/b@x")));
  EXPECT_FALSE(fs::exists(fs::symlink_status(cache_ + "/b@x")));
  EXPECT_EQ(ReadFile(home_.path() + "/elsewhere/target.txt"), "keep me");
  EXPECT_TRUE(fs::exists(attachments_ + "/a@x/recv/attachments/p/a.txt"));

  AccountInfo a;
  ASSERT_EQ(holder_->GetAccountCount(), 2);
  ASSERT_EQ(holder_->GetAccountAt(0, a), 1);
  EXPECT_STREQ(a.email.GetString(), "a@x");
  ASSERT_EQ(holder_->GetAccountAt(1, a), 1);
  EXPECT_STREQ(a.email.GetString(), "c@x");
  EXPECT_EQ(holder_->GetAccountAt(2, a), 0);
}

TEST_F(DeleteAccountTest, ChangedFilesAndTheirFoldersStay) {
  std::string changed = PlantFile("b@x/recv/attachments/p/changed.txt", true);
  PlantFile("b@x/recv/attachments/p/plain.txt", false);
  PlantFile("b@x/sent/attachments/plain.txt", false);
  WriteFile(cache_ + "/b@x/recv/attachments/p/changed.txt.extralarge", "png");
  ASSERT_EQ(holder_->DeleteAccount("b@x"), 1);
  EXPECT_TRUE(fs::exists(changed));
  EXPECT_FALSE(fs::exists(attachments_ + "/b@x/recv/attachments/p/plain.txt"));
  EXPECT_FALSE(fs::exists(attachments_ + "/b@x/sent"));
  EXPECT_FALSE(fs::exists(cache_ + "/b@x")) << "the picture cache goes whole";
}

TEST_F(DeleteAccountTest, UnknownAccountOrRowChangesNothing) {
  std::string before = Snapshot();
  EXPECT_EQ(holder_->DeleteAccount("nobody@x"), 0);
  EXPECT_EQ(Snapshot(), before);
  // Known in memory, but its row is gone: still nothing is deleted.
  Exec("UPDATE account SET email = 'renamed@x' WHERE id = 3");
  before = Snapshot();
  EXPECT_EQ(holder_->DeleteAccount("c@x"), 0);
  EXPECT_EQ(Snapshot(), before);
  EXPECT_EQ(holder_->GetAccountCount(), 3);
}

TEST_F(DeleteAccountTest, AnAddressIsNeverMoreThanOneFolderLevel) {
  WriteFile(home_.path() + "/evil/precious.txt", "x");
  AccountInfo a;
  SetUpAccount(a, "../evil", "pw", 1, 0);
  ASSERT_EQ(holder_->AddAccount(a), 1);
  ASSERT_EQ(holder_->DeleteAccount("../evil"), 1);
  EXPECT_TRUE(fs::exists(home_.path() + "/evil/precious.txt"));
  EXPECT_EQ(holder_->FindAccountIndexByEmail("../evil"), -1);
}

// An account change must not hold the data lock while it waits for the
// database: mail threads call the setters inside their write transactions.
TEST_F(AccountsTest, AccountAddWaitingForTheDatabaseDoesNotBlockSetters) {
  OpenWithSchema();
  Close();
  ConfigMgr config;
  AccountInfo a;
  SetUpAccount(a, "a@x", "pw", 1, 0);
  ASSERT_EQ(config.AddAccount(a), 1);

  std::atomic<int> stage{0};
  std::atomic<int> addResult{-1};
  std::atomic<int> setterResult{-1};
  auto start = std::chrono::steady_clock::now();
  std::thread mailThread([&] {
    sqlite3* db = nullptr;
    sqlite3_open(summary_path_.c_str(), &db);
    sqlite3_busy_timeout(db, 180000);
    sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    stage = 1;
    while (stage < 2) SleepMs(1);
    SleepMs(200);
    setterResult = config.SetModuleProgress(1, 10, 5, 3);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(db);
  });
  std::thread requestThread([&] {
    while (stage < 1) SleepMs(1);
    AccountInfo b;
    SetUpAccount(b, "b@x", "pw", 1, 0);
    stage = 2;
    addResult = config.AddAccount(b);
  });
  mailThread.join();
  requestThread.join();
  double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_LT(seconds, 10.0);
  EXPECT_EQ(setterResult, 1);
  EXPECT_EQ(addResult, 1);
  EXPECT_EQ(config.GetAccountCount(), 2);
  AccountInfo back;
  ASSERT_EQ(config.GetAccountById(1, back), 1);
  EXPECT_EQ(back.mailTotal, 10);
}

}  // namespace
