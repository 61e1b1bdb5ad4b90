// The background services against real Dovecot behind the XLIST relay:
// a first index end to end, arrivals, Spam moves and deletions, the
// download period, two accounts at once; and the lifecycle against a
// stalled server and a newer schema.
#include <dirent.h>
#include <sys/stat.h>

#include <chrono>
#include <iostream>
#include <memory>
#include <random>
#include <sstream>
#include <thread>

#include "app/store/configmgr.h"
#include "app/store/downloadperiodmgr.h"
#include "app/sync/historymgr.h"
#include "app/sync/index_fixture.h"
#include "app/sync/mailmgr.h"
#include "core/pathmgr.h"
#include "support/child.h"
#include "support/imap_peers.h"
#include "support/lsan_gio.h"

namespace {

const char kAllMail[] = "[Gmail]/All Mail";
const char kPassword[] = "unused";

}  // namespace

namespace pvtest {
inline std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::stringstream in(text);
  for (std::string part; std::getline(in, part, separator);) parts.push_back(part);
  return parts;
}
}  // namespace pvtest

namespace {

int TaskCount() {
  int n = 0;
  DIR* dir = opendir("/proc/self/task");
  for (struct dirent* e; dir && (e = readdir(dir)) != nullptr;) n += e->d_name[0] != '.';
  if (dir) closedir(dir);
  return n;
}

int64_t ElapsedMs(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

// Seconds since 1970 of local midnight at the start of that day.
int64_t LocalDay(int year, int month, int day) {
  struct tm t = {};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_isdst = -1;
  return mktime(&t);
}

class HistoryTest : public IndexTest {
 protected:
  void SetUp() override {
    IndexTest::SetUp();
    koString ini;
    ASSERT_EQ(1, ConfigMgr::OpenIniInConfigDir(ini));
    // No contacts service: the contact threads fail their passes quickly.
    for (const char* key : {"Contacts_Login_Host", "Contacts_Feed_Host"})
      ASSERT_EQ(1, IniWriteString("GENERAL", key, "127.0.0.1:1", ini.GetString()));
    // Nothing beyond this machine, whatever a test leaves out.
    UseServer(1);
  }
  void TearDown() override {
    history_.reset();
    IndexTest::TearDown();
  }
  void ConfigureAccount(AccountInfo& account) override {
    account.password.SetAs(kPassword);
    account.downloadAttachments = 1;
  }
  // Dovecot with the provider's folders, reached through the relay.
  void StartServer(const std::vector<std::string>& users = {}) {
    ASSERT_TRUE(dovecot_.Start(kAccount, kPassword, users)) << dovecot_.Error();
    std::vector<std::string> all = users;
    all.push_back("");
    for (const std::string& user : all)
      for (const char* folder : {kAllMail, "[Gmail]/Spam", "[Gmail]/Trash"})
        ASSERT_TRUE(dovecot_.CreateFolder(folder, user));
    ASSERT_TRUE(relay_.Start(dovecot_.Port())) << relay_.Error();
    UseServer(relay_.Port());
  }
  void StartHistory() {
    history_ = std::make_unique<HistoryMgr>();
    history_->Start();
  }
  // Both modules of the account complete with every message counted.
  bool Indexed(int accountId) {
    std::string id = std::to_string(accountId);
    return Value("SELECT COUNT(*) FROM module WHERE account_id = " + id +
                 " AND id IN (3, 6) AND indexing_status = 1 AND total_msgs = processed_msgs") == 2;
  }
  std::string AttachmentsRoot() {
    koString dir;
    PathMgr::GetAttachmentsDir(dir);
    return dir.GetString();
  }
  std::string FilePathOfMail(int64_t uid) {
    koSQLite db;
    SQLiteMgr::Open(&db, SQLiteMgr::kSummaryDatabase);
    koStatement s(&db, "SELECT file_path FROM file JOIN mail ON mail.id = file.mail_id WHERE mail.uid = ?");
    if (!s.Int64(uid).Step() || !s.HasRow()) return "";
    const char* path = db.GetText(s.Handle(), "file_path");
    return path ? AttachmentsRoot() + "/" + path : "";
  }

  pvtest::DovecotPeer dovecot_;
  pvtest::XlistRelayPeer relay_;
  std::unique_ptr<HistoryMgr> history_;
};

TEST_F(HistoryTest, FirstIndexArrivalsSpamMovesAndDeletions) {
  StartServer();
  // 1-25 delivered (2, 12 and 22 with a file, 1-6 unseen), 26-29 without
  // Delivered-To, 30 from the provider's notice sender without it.
  std::vector<std::string> ids(31);
  for (int n = 1; n <= 30; ++n) {
    std::string from = n == 30 ? "\"Gmail Team\" <mail-noreply@google.com>" : "";
    ASSERT_TRUE(dovecot_.AddMessage(kAllMail, pvtest::MailText(n, kAccount, n <= 25, n % 10 == 2, from), n > 6,
                                    0, &ids[n]));
  }
  StartHistory();
  ASSERT_TRUE(pvtest::WaitFor([&] { return Indexed(accountId_); }, 60000)) << LogText();
  std::vector<int64_t> stored = StoredUids();
  EXPECT_EQ(26u, stored.size());
  EXPECT_EQ(30, stored.back());
  EXPECT_EQ((std::vector<int64_t>{1, 2, 3, 4, 5, 6}), Column("SELECT uid FROM mail WHERE unseen = 1 ORDER BY uid"));
  EXPECT_EQ(3, Value("SELECT COUNT(*) FROM file"));
  for (int64_t uid : {2, 12, 22}) {
    struct stat st;
    EXPECT_EQ(0, stat(FilePathOfMail(uid).c_str(), &st)) << uid;
  }
  EXPECT_NE(std::string::npos, relay_.Commands().find(" XLIST \"\" %/%")) << relay_.Commands();
  EXPECT_EQ(kAllMail, std::string(Account().allMailFolder.GetString()));

  // An arrival.
  ASSERT_TRUE(dovecot_.AddMessage(kAllMail, pvtest::MailText(31, kAccount), true, 0, &ids[0]));
  history_->WakeAccount(kAccount);
  EXPECT_TRUE(pvtest::WaitFor([&] { return StoredUids().back() == 31; }, 10000)) << LogText();

  // Moved to Spam: the mail and its counts leave the index.
  int64_t received = Value("SELECT SUM(total_received) FROM analytics_email");
  ASSERT_TRUE(dovecot_.MoveMessage(ids[10], kAllMail, "[Gmail]/Spam"));
  history_->WakeAccount(kAccount);
  EXPECT_TRUE(pvtest::WaitFor([&] { return Value("SELECT COUNT(*) FROM mail WHERE uid = 10") == 0; }, 10000))
      << LogText() << relay_.Commands();
  EXPECT_EQ(received - 1, Value("SELECT SUM(total_received) FROM analytics_email"));

  // Expunged from All Mail: gone, with its file, once deleted mails are synchronised.
  std::string file = FilePathOfMail(12);
  ASSERT_TRUE(dovecot_.RemoveMessage(kAllMail, ids[12]));
  ASSERT_EQ(1, history_->RemoveAccountServices(kAccount));
  {
    MailMgr mails(Account(), kModuleAllMail, db());
    ASSERT_EQ(1, mails.OpenMailbox(kAllMail));
    EXPECT_EQ(1, mails.SyncDeletedMailsToLocalRepository());
  }
  ASSERT_EQ(1, history_->StartAccountServices(Account()));
  EXPECT_EQ(0, Value("SELECT COUNT(*) FROM mail WHERE uid = 12"));
  EXPECT_EQ(2, Value("SELECT COUNT(*) FROM file"));
  struct stat st;
  EXPECT_NE(0, stat(file.c_str(), &st)) << file;
}

class PeriodTest : public HistoryTest {
 protected:
  void ConfigureAccount(AccountInfo& account) override {
    account.password.SetAs(kPassword);
    account.downloadAll = 0;
    account.downloadSince = LocalDay(2010, 6, 1);
  }
};

TEST_F(PeriodTest, OnlyThePeriodIsWalkedUntilItIsWidened) {
  StartServer();
  // 1-3 in 2008, 4-7 in 2009 and early 2010, 8-12 from June 2010 on.
  const int64_t days[] = {0, LocalDay(2008, 3, 1), LocalDay(2008, 7, 1), LocalDay(2008, 11, 1),
                          LocalDay(2009, 2, 1), LocalDay(2009, 8, 1), LocalDay(2010, 1, 5), LocalDay(2010, 5, 31) + 7200,
                          LocalDay(2010, 6, 1) + 3600, LocalDay(2010, 7, 1), LocalDay(2010, 9, 1),
                          LocalDay(2011, 1, 1), LocalDay(2011, 2, 1)};
  for (int n = 1; n <= 12; ++n)
    ASSERT_TRUE(dovecot_.AddMessage(kAllMail, pvtest::MailText(n, kAccount), true, days[n]));
  StartHistory();
  ASSERT_TRUE(pvtest::WaitFor([&] { return ModuleValue(kModuleAllMail, "indexing_status") == 1; }, 60000))
      << LogText();
  EXPECT_EQ((std::vector<int64_t>{8, 9, 10, 11, 12}), StoredUids());
  EXPECT_EQ(8, ModuleValue(kModuleAllMail, "lower_uid_boundary"));
  EXPECT_NE(std::string::npos, relay_.Commands().find("SEARCH SINCE 1-Jun-2010")) << relay_.Commands();

  // A longer period, the account's services restarted: older mail is walked.
  ASSERT_EQ(1, history_->RemoveAccountServices(kAccount));
  AccountInfo old;
  old.Assign(Account());
  AccountInfo changed;
  changed.Assign(old);
  changed.downloadSince = LocalDay(2009, 1, 1);
  ASSERT_EQ(1, config_->UpdateModuleOnTimePeriodChanges(changed, old));
  EXPECT_EQ(2, ModuleValue(kModuleAllMail, "indexing_status"));
  ASSERT_EQ(1, history_->StartAccountServices(Account()));
  ASSERT_TRUE(pvtest::WaitFor([&] { return ModuleValue(kModuleAllMail, "indexing_status") == 1; }, 60000))
      << LogText();
  EXPECT_EQ((std::vector<int64_t>{4, 5, 6, 7, 8, 9, 10, 11, 12}), StoredUids());
  EXPECT_EQ(4, ModuleValue(kModuleAllMail, "lower_uid_boundary"));
}

TEST_F(HistoryTest, TwoAccountsIndexAtOnce) {
  const char kOther[] = "other@example.com";
  StartServer({kOther});
  for (int n = 1; n <= 40; ++n) {
    ASSERT_TRUE(dovecot_.AddMessage(kAllMail, pvtest::MailText(n, kAccount, true, n % 8 == 0)));
    ASSERT_TRUE(dovecot_.AddMessage(kAllMail, pvtest::MailText(n, kOther, true, n % 5 == 0), true, 0, nullptr,
                                    kOther));
  }
  AccountInfo other;
  other.email.SetAs(kOther);
  other.password.SetAs(kPassword);
  other.downloadAll = 1;
  other.downloadAttachments = 1;
  ASSERT_EQ(1, config_->AddAccount(other));
  StartHistory();
  ASSERT_TRUE(pvtest::WaitFor([&] { return Indexed(accountId_) && Indexed(other.id); }, 90000)) << LogText();
  EXPECT_EQ(40, Value("SELECT COUNT(*) FROM mail WHERE account_id = " + std::to_string(accountId_)));
  EXPECT_EQ(40, Value("SELECT COUNT(*) FROM mail WHERE account_id = " + std::to_string(other.id)));
  EXPECT_EQ(5 + 8, Value("SELECT COUNT(*) FROM file"));
}

// What an index leaves behind, comparable between two data directories.
struct IndexImage {
  std::vector<std::string> mails;     // uid, message id, subject, date, direction
  std::vector<std::string> files;     // mail uid, path, name, size, inline flag
  std::vector<std::string> counts;    // address and its two counts
  std::vector<std::string> disk;      // files under the attachments folder
};

std::vector<std::string> Rows(koSQLite* db, const char* sql) {
  std::vector<std::string> rows;
  koStatement s(db, sql);
  while (s.Step() && s.HasRow()) {
    const char* text = db->GetText(s.Handle(), "row");
    rows.push_back(text ? text : "");
  }
  return rows;
}

IndexImage ImageOf(const std::string& home) {
  IndexImage image;
  koSQLite db;
  std::string path = home + "/.config/Brantlow/Postvane/data/postvane.summary";
  if (!db.Open(path.c_str(), 1)) return image;
  image.mails = Rows(&db, "SELECT uid || '|' || message_id || '|' || subject || '|' || received_date || '|' || "
                          "module_id AS row FROM mail ORDER BY uid");
  image.files = Rows(&db, "SELECT mail.uid || '|' || file_path || '|' || file_name || '|' || size || '|' || "
                          "is_inline AS row FROM file JOIN mail ON mail.id = file.mail_id ORDER BY mail.uid, file_path");
  image.counts = Rows(&db, "SELECT address || '|' || total_sent || '|' || total_received AS row FROM "
                           "analytics_email JOIN email_address ON email_address.id = email_address_id ORDER BY address");
  image.disk = pvtest::Split(pvtest::CommandOutput("cd '" + home + "/Postvane Attachments' && find . -type f | sort"),
                             '\n');
  return image;
}

TEST_F(HistoryTest, KilledAtRandomTheIndexEndsAsAnUninterruptedOne) {
  const int kMessages = 1000;
  const int kKills = 20;
  StartServer();
  for (int n = 1; n <= kMessages; ++n)
    ASSERT_TRUE(dovecot_.AddMessage(kAllMail, pvtest::MailText(n, kAccount, n % 25 != 0, n % 10 == 3), n % 7 != 0));
  // The same start twice: the account as added, nothing indexed yet.
  pvtest::TempDir reference;
  std::string copy = "cp -a '" + home_.path() + "/.config' '" + reference.Path() + "/'";
  ASSERT_EQ(0, system(copy.c_str()));
  std::string probe = std::string(getenv("PV_BUILD_DIR")) + "/tests/indexer_probe";
  {
    ScopedEnv env{{"HOME", reference.Path().c_str()}};
    ASSERT_EQ(0, pvtest::RunChild({probe, "--until-indexed"}));
  }
  std::mt19937 random(20100519);
  for (int kill = 0; kill < kKills; ++kill) {
    pvtest::Spawned run({probe});
    ASSERT_TRUE(run.Started());
    std::this_thread::sleep_for(std::chrono::milliseconds(80 + random() % 200));
    // Every kill falls inside the first index (Spawned's destructor sends SIGKILL).
    ASSERT_FALSE(Indexed(accountId_)) << "kill " << kill;
  }
  std::cout << "after the kills: " << Value("SELECT COUNT(*) FROM mail") << " mails, "
            << Value("SELECT COUNT(*) FROM file") << " files\n";
  ASSERT_EQ(0, pvtest::RunChild({probe, "--until-indexed"}));
  IndexImage killed = ImageOf(home_.path());
  IndexImage whole = ImageOf(reference.Path());
  EXPECT_EQ(kMessages - kMessages / 25, static_cast<int>(whole.mails.size()));
  EXPECT_EQ(whole.mails, killed.mails);
  EXPECT_EQ(whole.files, killed.files);
  EXPECT_EQ(whole.counts, killed.counts);
  EXPECT_EQ(whole.disk, killed.disk);
}

class LifecycleTest : public HistoryTest {};

TEST_F(LifecycleTest, StopIsPromptAgainstAStalledServerAndLeavesNothingBehind) {
  pvtest::ScriptedImapPeer stalled;
  ASSERT_TRUE(stalled.Start()) << stalled.Error();
  ASSERT_TRUE(stalled.SetScript(R"({"stall_on": "SELECT"})"));
  UseServer(stalled.Port());
  const int tasks = TaskCount();
  StartHistory();
  ASSERT_TRUE(pvtest::WaitFor([&] { return stalled.Commands().find("SELECT") != std::string::npos; }));
  // A stop that waited out the stalled read would take its 15 s time-out.
  constexpr int64_t kPromptMs = 7500;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(1, history_->Stop());
  EXPECT_LT(ElapsedMs(start), kPromptMs);
  EXPECT_EQ(0, history_->ThreadCount());
  EXPECT_EQ(0, history_->IsAbortSet());
  // An ended mail thread's id names no account any more.
  EXPECT_EQ(0u, Account().threadId);

  history_->Start();
  EXPECT_EQ(2, history_->ThreadCount());
  EXPECT_EQ(0, history_->IsAbortSet());
  start = std::chrono::steady_clock::now();
  history_.reset();
  EXPECT_LT(ElapsedMs(start), kPromptMs);
  // A thread that was told to end may still be on its way out; one left
  // behind never goes.
  pvtest::WaitFor([&] { return TaskCount() == tasks; });
  EXPECT_EQ(tasks, TaskCount());
}

TEST_F(LifecycleTest, ANewerStoredSchemaEndsTheProcess) {
  {
    koSQLite db;
    ASSERT_EQ(1, SQLiteMgr::Open(&db, SQLiteMgr::kSummaryDatabase));
    ASSERT_EQ(1, SQLiteMgr::ExecuteQuery(&db, "UPDATE schema_version SET minor_version = '3' WHERE rowid = 1"));
  }
  // The child shares this test's HOME and log.
  GTEST_FLAG_SET(death_test_style, "fast");
  EXPECT_EXIT(
      {
        HistoryMgr history;
        history.Start();
      },
      ::testing::ExitedWithCode(1), "");
  EXPECT_TRUE(log_.Has("Data file version mismatched (Current Version:1.2, Existing Version:1.3), application "
                       "terminated!."))
      << LogText();
  // The program's own version and older ones start.
  for (const char* minor : {"2", "1"}) {
    koSQLite db;
    ASSERT_EQ(1, SQLiteMgr::Open(&db, SQLiteMgr::kSummaryDatabase));
    std::string sql = std::string("UPDATE schema_version SET minor_version = '") + minor + "' WHERE rowid = 1";
    ASSERT_EQ(1, SQLiteMgr::ExecuteQuery(&db, sql.c_str()));
    StartHistory();
    EXPECT_EQ(2, history_->ThreadCount()) << minor;
    history_.reset();
  }
}

}  // namespace
