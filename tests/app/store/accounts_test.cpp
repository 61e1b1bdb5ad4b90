// The account table behind ConfigMgr: add, load, edit with its download
// period, delete, and the lock scope of an account change.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "app/store/configlist.h"
#include "app/store/configmgr.h"
#include "core/kfile.h"
#include "core/kpasswd.h"
#include "core/kthread.h"
#include "store_fixture.h"

namespace {

namespace fs = std::filesystem;

int Add(ConfigMgr& config, const char* email, int all = 1, int64_t since = 0) {
  AccountInfo a;
  a.email.SetAs(email);
  a.password.SetAs("pw");
  a.downloadAll = all;
  a.downloadSince = since;
  a.downloadAttachments = 1;
  return config.AddAccount(a);
}

class AccountsTest : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    attachments_ = home_.path() + "/Postvane Attachments";
    cache_ = home_.path() + "/.cache/7B3D9E51-2C84-4A6F-9E07-D5A1C8B42F96";
  }
  // Every row a query gives: columns joined by '|', rows by ','.
  std::string Rows(const std::string& sql) {
    std::string out;
    auto append = [](void* text, int n, char** values, char**) {
      std::string& all = *static_cast<std::string*>(text);
      for (int i = 0; i < n; ++i)
        all += std::string(i ? "|" : all.empty() ? "" : ",") + (values[i] ? values[i] : "NULL");
      return 0;
    };
    EXPECT_EQ(SQLITE_OK, sqlite3_exec(Raw(), sql.c_str(), append, &out, nullptr)) << sql;
    return out;
  }
  // Every row of every table: equal texts, equal databases.
  std::string Snapshot() {
    std::string out, tables = Rows("SELECT name FROM sqlite_master WHERE type = 'table'") + ",";
    for (size_t at = 0, end; (end = tables.find(',', at)) != std::string::npos; at = end + 1)
      out += Rows("SELECT * FROM [" + tables.substr(at, end - at) + "] ORDER BY 1") + "\n";
    return out;
  }
  // A saved attachment that the user did not touch (modified no later than
  // made) or did (modified later).
  std::string PlantFile(const std::string& relative, bool changedByUser = false) {
    std::string path = attachments_ + "/" + relative;
    fs::create_directories(fs::path(path).parent_path());
    pvtest::WriteFile(path, "content of " + relative);
    int64_t now = static_cast<int64_t>(time(nullptr));
    EXPECT_EQ(SetFileTime(path.c_str(), changedByUser ? now + 100 : now - 100), 1);
    return path;
  }
  bool Exists(const std::string& relative) { return fs::exists(attachments_ + "/" + relative); }

  std::string attachments_, cache_;
  std::unique_ptr<ConfigMgr> holder_;
};

TEST_F(AccountsTest, AddedAccountIsStoredEncodedAndLoadsDecoded) {
  const char password[] = "pa\x01ss w\x7f";
  {
    ConfigMgr config;
    AccountInfo a;
    a.email.SetAs("a@x");
    a.password.SetAs(password);
    // A brand-new file: the add makes the tables it writes.
    ASSERT_EQ(config.AddAccount(a), 1);
    EXPECT_EQ(a.id, 1);
  }
  std::string stored = Query("SELECT password FROM account WHERE email = 'a@x'");
  EXPECT_EQ(stored.find("pa"), std::string::npos);
  koString decoded;
  ASSERT_EQ(PasswordMgr::Decode(koString(stored.c_str()), decoded), 1);
  EXPECT_STREQ(decoded.GetString(), password);
  EXPECT_EQ(QueryInt("SELECT account_id FROM account_status"), 1);

  ConfigMgr fresh;
  ASSERT_EQ(fresh.LoadAccounts(), 1);
  AccountInfo back;
  ASSERT_EQ(fresh.GetAccountAt(0, back), 1);
  EXPECT_EQ(back.id, 1);
  EXPECT_STREQ(back.password.GetString(), password);
  EXPECT_STREQ(back.mailStatus.GetString(), "Connecting...");
  EXPECT_EQ(fresh.GetAccountAt(1, back), 0) << "one past the last account";
}

TEST_F(AccountsTest, LimitAndDuplicatesAreCheckedBeforeAnyWrite) {
  OpenWithSchema();
  ConfigMgr config;
  for (int i = 0; i < 64; ++i) ASSERT_EQ(Add(config, ("user" + std::to_string(i) + "@x").c_str()), 1);
  EXPECT_EQ(Add(config, "user64@x"), 0);
  EXPECT_EQ(config.GetAccountCount(), 64);
  EXPECT_EQ(QueryInt("SELECT COUNT(*) FROM account"), 64);
  EXPECT_EQ(QueryInt("SELECT COUNT(*) FROM account_status"), 64);

  ASSERT_EQ(config.DeleteAccount("user3@x"), 1);
  EXPECT_EQ(Add(config, "USER5@X"), 0) << "the address differs only in case";
  AccountInfo old, edited;
  ASSERT_EQ(config.GetAccountByEmail("user1@x", old), 1);
  edited.Assign(old);
  edited.email.SetAs("User2@x");
  EXPECT_EQ(config.UpdateModuleOnTimePeriodChanges(edited, old), 0);
  EXPECT_EQ(QueryInt("SELECT MAX(id) FROM account"), 64) << "no row id was used up";
  EXPECT_EQ(ConfigList::IsValidIndex(63), 1);
  EXPECT_EQ(ConfigList::IsValidIndex(64), 0);
  EXPECT_EQ(ConfigList::IsValidIndex(-1), 0);

  // A file holding more rows than the limit: the first 64 load, the load fails.
  Exec("INSERT INTO account (email, password) SELECT 'more' || id || '@x', password FROM account "
       "WHERE id <= 2; INSERT INTO account_status (account_id) SELECT id FROM account WHERE id > 64");
  ConfigMgr loaded;
  EXPECT_EQ(loaded.LoadAccounts(), 0);
  EXPECT_EQ(loaded.GetAccountCount(), 64);
}

// Four mails of account 1 around the new cutoff 2000 (two before it sharing
// a file, two after), one mail of account 2, and their files.
class DownloadPeriodTest : public AccountsTest {
 protected:
  void SetUp() override {
    AccountsTest::SetUp();
    OpenWithSchema();
    holder_ = std::make_unique<ConfigMgr>();
    ASSERT_EQ(Add(*holder_, "a@x", 0, 1000), 1);
    ASSERT_EQ(Add(*holder_, "b@x", 0, 1000), 1);
    Exec("INSERT INTO mail (id, uid, message_id, account_id, module_id, received_date, subject) "
         "VALUES (1, 11, '<m1>', 1, 1, 1500, 's'), (2, 12, '<m2>', 1, 1, 1600, 's'),"
         "(3, 13, '<m3>', 1, 1, 2500, 's'), (4, 14, '<m4>', 1, 2, 2600, 's'),"
         "(5, 15, '<m5>', 2, 1, 1500, 's');"
         "INSERT INTO email_address (id, account_id, address) VALUES (1, 1, 'p@y'), (2, 2, 'q@y');"
         "INSERT INTO mail_email_link (mail_id, email_address_id) "
         "VALUES (1, 1), (2, 1), (3, 1), (4, 1), (5, 2);"
         "INSERT INTO analytics_email (email_address_id, total_sent, total_received) "
         "VALUES (1, 1, 3), (2, 0, 1);"
         "INSERT INTO reference_master "
         "VALUES (1, '<m1>'), (2, '<m1>'), (3, '<m3>'), (4, '<m3>'), (5, '<m5>');"
         "INSERT INTO module (id, account_id, indexing_status, lower_uid_boundary) VALUES "
         "(3, 1, 1, 11), (6, 1, 1, 11), (3, 2, 1, 15)");
    const char* files[][2] = {
        {"1", "a@x/recv/attachments/p/shared.pdf"}, {"2", "a@x/recv/attachments/p/shared.pdf"},
        {"1", "a@x/recv/attachments/p/changed.doc"}, {"2", "a@x/recv/attachments/p/used.txt"},
        {"3", "a@x/recv/attachments/p/used.txt"},    {"2", "a@x/recv/attachments/p/plain.txt"},
        {"4", "a@x/sent/attachments/keep.txt"},      {"5", "b@x/recv/attachments/q/other.txt"}};
    int id = 0;
    for (const auto& f : files) {
      std::string n = std::to_string(++id);
      Exec("INSERT INTO file VALUES (" + n + ", " + f[0] + ", '" + f[1] + "', 'n', 't', 1, NULL, 0, 0);"
           "INSERT INTO fts_file (rowid, [from]) VALUES (" + n + ", 'p@y')");
      if (!Exists(f[1])) PlantFile(f[1], std::string(f[1]).find("changed") != std::string::npos);
    }
    ASSERT_EQ(holder_->GetAccountByEmail("a@x", old_), 1);
  }
  std::string Module(int module, int account = 1) {
    return Rows("SELECT indexing_status || '/' || lower_uid_boundary FROM module WHERE id = " +
                std::to_string(module) + " AND account_id = " + std::to_string(account));
  }
  AccountInfo old_;
};

TEST_F(DownloadPeriodTest, LaterDateDeletesOlderMailsRowsAndUnsharedFiles) {
  AccountInfo changed;
  changed.Assign(old_);
  changed.downloadSince = 2000;
  ASSERT_EQ(holder_->UpdateModuleOnTimePeriodChanges(changed, old_), 1) << LogText();
  for (const char* ids : {"SELECT id FROM mail", "SELECT mail_id FROM mail_email_link",
                          "SELECT mail_id FROM reference_master"})
    EXPECT_EQ(Rows(std::string(ids) + " ORDER BY 1"), "3,4,5") << ids;
  EXPECT_EQ(Rows("SELECT id FROM file ORDER BY id"), "5,7,8");
  EXPECT_EQ(Rows("SELECT rowid FROM fts_file ORDER BY rowid"), "5,7,8");
  // Counters rebuilt from the mails that stay: m3 received, m4 sent.
  EXPECT_EQ(Rows("SELECT total_received, total_sent FROM analytics_email WHERE email_address_id = 1"),
            "1|1");
  // Deleted: the file two deleted mails shared, and one only a deleted mail
  // used; kept: changed by the user, still used by mail 3, of kept mails.
  EXPECT_FALSE(Exists("a@x/recv/attachments/p/shared.pdf"));
  EXPECT_FALSE(Exists("a@x/recv/attachments/p/plain.txt"));
  for (const char* kept : {"a@x/recv/attachments/p/changed.doc", "a@x/recv/attachments/p/used.txt",
                           "a@x/sent/attachments/keep.txt", "b@x/recv/attachments/q/other.txt"})
    EXPECT_TRUE(Exists(kept)) << kept;
  // The mail module walks the new period again from the top.
  EXPECT_EQ(Module(3) + " " + Module(6) + " " + Module(3, 2), "2/0 1/11 1/15");
  EXPECT_EQ(QueryInt("SELECT download_since FROM account WHERE id = 1"), 2000);
  AccountInfo now;
  ASSERT_EQ(holder_->GetAccountByEmail("a@x", now), 1);
  EXPECT_EQ(now.downloadSince, 2000);
  EXPECT_EQ(now.mailIndexingStatus, 2);
}

TEST_F(DownloadPeriodTest, FailedEditChangesNeitherDatabaseNorMemoryNorFiles) {
  Exec("CREATE TRIGGER refuse BEFORE DELETE ON mail BEGIN SELECT RAISE(ABORT, 'forced'); END");
  std::string before = Snapshot();
  AccountInfo changed, now;
  changed.Assign(old_);
  changed.downloadSince = 2000;
  EXPECT_EQ(holder_->UpdateModuleOnTimePeriodChanges(changed, old_), 0);
  EXPECT_EQ(Snapshot(), before);
  ASSERT_EQ(holder_->GetAccountByEmail("a@x", now), 1);
  EXPECT_EQ(now.downloadSince, 1000);
  EXPECT_TRUE(Exists("a@x/recv/attachments/p/shared.pdf"));
  EXPECT_TRUE(Exists("a@x/recv/attachments/p/plain.txt"));
}

TEST_F(DownloadPeriodTest, DeleteMailsLeavesFilesToTheCallerUntilCommit) {
  koSQLite db(gLog);
  ASSERT_EQ(SQLiteMgr::OpenAndInitialize(&db, "postvane.summary"), 1);
  SavedFileList files;
  ASSERT_EQ(SQLiteMgr::ExecuteQuery(&db, "BEGIN IMMEDIATE TRANSACTION"), 1);
  ASSERT_EQ(holder_->DeleteMails(&db, 2, files), 1);
  // plain.txt only: mail 1 still uses shared.pdf, mail 3 used.txt.
  ASSERT_EQ(files.size(), 1u);
  EXPECT_STREQ(files[0].GetString(), "a@x/recv/attachments/p/plain.txt");
  EXPECT_TRUE(Exists("a@x/recv/attachments/p/plain.txt"));
  ASSERT_EQ(SQLiteMgr::ExecuteQuery(&db, "END TRANSACTION"), 1);
  // A path from the table never leads outside the attachments folder.
  pvtest::WriteFile(home_.path() + "/outside.txt", "x");
  files.emplace_back("../outside.txt");
  holder_->DeleteSavedFiles(files);
  EXPECT_FALSE(Exists("a@x/recv/attachments/p/plain.txt"));
  EXPECT_TRUE(fs::exists(home_.path() + "/outside.txt"));
}

// Three accounts with rows in every table and folders under both roots.
class DeleteAccountTest : public AccountsTest {
 protected:
  void SetUp() override {
    AccountsTest::SetUp();
    OpenWithSchema();
    holder_ = std::make_unique<ConfigMgr>();
    for (const char* email : {"a@x", "b@x", "c@x"}) ASSERT_EQ(Add(*holder_, email), 1);
    // Account n owns mail 10n and the rows numbered n of the other tables.
    Exec("INSERT INTO mail (id, uid, message_id, account_id, module_id, received_date, subject) "
         "SELECT id * 10, 1, '<' || id || '>', id, 1, 5, 's' FROM account;"
         "INSERT INTO reference_master SELECT id * 10, '<' || id || '>' FROM account;"
         "INSERT INTO email_address (id, account_id, address) SELECT id, id, 'p@y' FROM account;"
         "INSERT INTO mail_email_link (mail_id, email_address_id) SELECT id * 10, id FROM account;"
         "INSERT INTO analytics_email (email_address_id) SELECT id FROM account;"
         "INSERT INTO module (id, account_id) SELECT 3, id FROM account UNION SELECT 6, id FROM account;"
         "INSERT INTO file SELECT id, id * 10, 'f', 'n', 't', 1, NULL, 0, 0 FROM account;"
         "INSERT INTO fts_file (rowid, [from]) SELECT id, 'p@y' FROM account;"
         "INSERT INTO contact (id, name, account_id) SELECT id, 'c', id FROM account;"
         "INSERT INTO contact_photo SELECT id, x'00' FROM account;"
         "INSERT INTO contact_email_link (contact_id, email_address_id) SELECT id, id FROM account;"
         "INSERT INTO fts_contact (rowid, name) SELECT id, 'c' FROM account;"
         "INSERT INTO [group] (id, name, uid, account_id) SELECT id, 'g', 'g' || id, id FROM account;"
         "INSERT INTO contact_group_link (contact_id, group_id) SELECT id, id FROM account;"
         "INSERT INTO contact_tag_link (contact_id, tag_id) SELECT id, 1 FROM account;"
         "INSERT INTO tag (id, name) VALUES (1, 'shared tag')");
  }
  // Rows of account id `n` in every table the account reaches.
  long long RowsOf(int n) {
    const char* const keys[][2] = {
        {"account", "id"}, {"account_status", "account_id"}, {"module", "account_id"},
        {"mail", "account_id"}, {"reference_master", "mail_id"}, {"mail_email_link", "mail_id"},
        {"file", "mail_id"}, {"fts_file", "rowid"}, {"email_address", "account_id"},
        {"analytics_email", "email_address_id"}, {"contact", "account_id"},
        {"contact_photo", "contact_id"}, {"contact_email_link", "contact_id"},
        {"fts_contact", "rowid"}, {"[group]", "account_id"}, {"contact_group_link", "contact_id"},
        {"contact_tag_link", "contact_id"}};
    long long total = 0;
    for (const auto& k : keys)
      total += QueryInt(std::string("SELECT COUNT(*) FROM ") + k[0] + " WHERE " + k[1] + " = " +
                        std::to_string(std::string(k[1]) == "mail_id" ? n * 10 : n));
    return total;
  }
};

TEST_F(DeleteAccountTest, SecondOfThreeLeavesNoRowNoFolderAndTheOthersInOrder) {
  ASSERT_EQ(RowsOf(2), 18);
  // Folders of b@x under both roots, with links to things that must survive.
  PlantFile("b@x/recv/attachments/p (p@y)/doc.txt");
  fs::create_directories(cache_ + "/b@x/recv");
  fs::create_directories(home_.path() + "/elsewhere");
  pvtest::WriteFile(home_.path() + "/elsewhere/target.txt", "keep me");
  fs::create_directory_symlink(home_.path() + "/elsewhere", attachments_ + "/b@x/recv/linked-folder");
  fs::create_symlink(home_.path() + "/elsewhere/target.txt", attachments_ + "/b@x/linked-file");
  fs::create_symlink(home_.path() + "/elsewhere", cache_ + "/b@x/linked");
  PlantFile("a@x/recv/attachments/p/a.txt");

  ASSERT_EQ(holder_->DeleteAccount("B@X"), 1) << LogText();
  EXPECT_EQ(RowsOf(2), 0);
  EXPECT_EQ(RowsOf(1) + RowsOf(3), 36);
  EXPECT_EQ(QueryInt("SELECT COUNT(*) FROM tag"), 1) << "tags are shared by all accounts";
  EXPECT_FALSE(fs::exists(fs::symlink_status(attachments_ + "/b@x")));
  EXPECT_FALSE(fs::exists(fs::symlink_status(cache_ + "/b@x")));
  EXPECT_EQ(pvtest::ReadFile(home_.path() + "/elsewhere/target.txt"), "keep me");
  EXPECT_TRUE(Exists("a@x/recv/attachments/p/a.txt"));
  AccountInfo a, c;
  ASSERT_EQ(holder_->GetAccountAt(0, a), 1);
  ASSERT_EQ(holder_->GetAccountAt(1, c), 1);
  EXPECT_EQ(std::string(a.email.GetString()) + " " + c.email.GetString(), "a@x c@x");
  EXPECT_EQ(holder_->GetAccountCount(), 2);
}

TEST_F(DeleteAccountTest, ChangedFilesStay) {
  std::string changed = PlantFile("b@x/recv/attachments/p/changed.txt", true);
  PlantFile("b@x/recv/attachments/p/plain.txt");
  ASSERT_EQ(holder_->DeleteAccount("b@x"), 1);
  EXPECT_TRUE(fs::exists(changed));
  EXPECT_FALSE(Exists("b@x/recv/attachments/p/plain.txt"));
}

TEST_F(DeleteAccountTest, UnknownAccountChangesNothingAndAnAddressIsOneFolderLevel) {
  std::string before = Snapshot();
  EXPECT_EQ(holder_->DeleteAccount("nobody@x"), 0);
  // Known in memory, but its row is gone: still nothing is deleted.
  Exec("UPDATE account SET email = 'renamed@x' WHERE id = 3");
  EXPECT_EQ(holder_->DeleteAccount("c@x"), 0);
  Exec("UPDATE account SET email = 'c@x' WHERE id = 3");
  EXPECT_EQ(Snapshot(), before);
  EXPECT_EQ(holder_->GetAccountCount(), 3);

  fs::create_directories(home_.path() + "/evil");
  pvtest::WriteFile(home_.path() + "/evil/precious.txt", "x");
  ASSERT_EQ(Add(*holder_, "../evil"), 1);
  ASSERT_EQ(holder_->DeleteAccount("../evil"), 1);
  EXPECT_TRUE(fs::exists(home_.path() + "/evil/precious.txt"));
}

// An account change must not hold the data lock while it waits for the
// database: mail threads call the setters inside their write transactions.
TEST_F(AccountsTest, AccountAddWaitingForTheDatabaseDoesNotBlockSetters) {
  OpenWithSchema();
  Close();
  ConfigMgr config;
  ASSERT_EQ(Add(config, "a@x"), 1);
  std::atomic<int> stage{0}, addResult{-1}, setterResult{-1};
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
    stage = 2;
    addResult = Add(config, "b@x");
  });
  mailThread.join();
  requestThread.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(setterResult, 1);
  EXPECT_EQ(addResult, 1);
  EXPECT_EQ(config.GetAccountCount(), 2);
}

}  // namespace
