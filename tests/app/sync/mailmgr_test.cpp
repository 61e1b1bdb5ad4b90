// The indexer's own rules: navigation over sparse UIDs, what is stored, the
// "since" criterion, and a server that refuses or drops single messages.
#include <algorithm>
#include <clocale>
#include <ctime>
#include <random>
#include <set>

// Before the mail library's headers, which define min and max as macros.
#include "support/files.h"
#include "app/sync/index_fixture.h"
#include "app/sync/mailmgr.h"
#include "support/child.h"
#include "support/imap_peers.h"
#include "support/lsan_gio.h"

namespace {

// The first UID above `uid`, probed one UID after the other as the
// definition reads; 0 when none.
unsigned long ProbeAbove(const std::vector<uint32_t>& uids, uint32_t uid) {
  if (uids.empty() || uids.back() <= uid) return 0;
  for (uint64_t u = uid + 1ULL;; ++u)
    for (size_t i = 0; i < uids.size(); ++i)
      if (uids[i] == u) return i + 1;
}

// The first UID below `uid` probing downwards while not below `boundary`.
unsigned long ProbeBelow(const std::vector<uint32_t>& uids, uint32_t uid, uint32_t boundary) {
  for (int64_t u = static_cast<int64_t>(uid) - 1; u >= boundary && u >= 0; --u)
    for (size_t i = 0; i < uids.size(); ++i)
      if (uids[i] == u) return i + 1;
  return 0;
}

TEST(MailNavigation, BinarySearchAgreesWithTheProbeOnSparseUids) {
  std::mt19937 random(7);
  // (messages, largest gap, first UID): dense, sparse, and high above 2^31.
  const struct {
    int count;
    uint32_t gap;
    uint32_t first;
  } kSets[] = {{0, 1, 1}, {1, 1, 5}, {7, 1, 1}, {40, 30, 3}, {25, 500, 1000}, {30, 40, 0x7ffffff0u}};
  for (const auto& set : kSets) {
    std::vector<uint32_t> uids;
    uint32_t uid = set.first;
    for (int i = 0; i < set.count; ++i, uid += 1 + random() % set.gap) uids.push_back(uid);
    auto uidOf = [&uids](unsigned long n) { return uids.at(n - 1); };
    uint32_t top = uids.empty() ? 10 : uids.back() + 3;
    uint32_t bottom = uids.empty() ? 0 : (set.first > 3 ? set.first - 3 : 0);
    for (int trial = 0; trial < 60; ++trial) {
      uint32_t probe = bottom + random() % (top - bottom + 1);
      uint32_t boundary = uids.empty() ? 0 : uids[random() % uids.size()] - (trial % 2);
      EXPECT_EQ(ProbeAbove(uids, probe), FirstMessageAbove(uids.size(), probe, uidOf)) << probe;
      EXPECT_EQ(ProbeBelow(uids, probe, boundary), LastMessageBelow(uids.size(), probe, boundary, uidOf))
          << probe << " boundary " << boundary;
    }
  }
}

TEST(MailFilter, DeliveredToCountsInTheHeaderOnly) {
  const struct {
    const char* text;
    int skipped;
    int noDeliveredTo;
  } kCases[] = {
      {"Delivered-To: a@b.c\r\nFrom: x@y.z\r\n\r\nbody", 0, 0},
      {"delivered-to: a@b.c\r\nFrom: x@y.z\r\n\r\nbody", 0, 0},
      {"From: x@y.z\r\nDelivered-To: a@b.c\r\n\r\nbody", 0, 0},
      {"From: x@y.z\r\ndelivered-to: a@b.c\r\n\r\nbody", 1, 1},
      {"From: x@y.z\r\n\r\nquoted:\r\nDelivered-To: a@b.c\r\n", 1, 1},
      {"From: \"Gmail Team\" <mail-noreply@google.com>\r\nTo: a@b.c\r\n\r\nWelcome", 0, 1},
      {"Subject: hi\r\nFrom: Google Mail Team <mail-noreply@google.com>\r\n\r\nx", 0, 1},
      {"From: Gmail Team <someone@example.org>\r\n\r\nx", 1, 1},
      {"From: x@y.z\r\n\r\nFrom: Gmail Team <mail-noreply@google.com>\r\n", 1, 1},
  };
  for (const auto& c : kCases) {
    int flag = -1;
    EXPECT_EQ(c.skipped, IsUndeliveredMessage(c.text, strlen(c.text), &flag)) << c.text;
    EXPECT_EQ(c.noDeliveredTo, flag) << c.text;
  }
}

TEST(MailFilter, SinceCriterionKeepsEnglishMonthsInAnyLocale) {
  pvtest::TempDir locales;
  std::string command = "localedef -i de_DE -f UTF-8 '" + locales.File("de_DE.UTF-8") + "' >/dev/null 2>&1";
  int status = 0;
  pvtest::CommandOutput(command, &status);
  ScopedEnv env{{"LOCPATH", locales.Path().c_str()}, {"TZ", "Europe/Berlin"}};
  tzset();
  if (setlocale(LC_ALL, "de_DE.UTF-8") == nullptr) GTEST_SKIP() << "no German locale could be made";
  struct tm may = {};
  may.tm_year = 110;
  may.tm_mon = 4;
  may.tm_mday = 3;
  may.tm_hour = 0;
  may.tm_isdst = -1;
  time_t midnight = mktime(&may);
  char name[32];
  strftime(name, sizeof name, "%b", &may);
  koString since;
  FormatSinceCriterion(midnight, since);
  setlocale(LC_ALL, "C");
  EXPECT_STREQ("Mai", name);
  // The local date: in UTC this is still the 2nd.
  EXPECT_STREQ("since 3-May-2010", since.GetString());
}

class ScriptedIndexTest : public IndexTest {
 protected:
  void SetUp() override {
    IndexTest::SetUp();
    ASSERT_TRUE(server_.Start()) << server_.Error();
    UseServer(server_.Port());
  }
  // The script's messages: UIDs 1..count, all delivered.
  std::string Messages(int count, bool attachment = false) {
    std::vector<std::string> texts;
    for (int n = 1; n <= count; ++n) texts.push_back(pvtest::MailText(n, kAccount, true, attachment));
    return Messages(texts);
  }
  // These texts as UIDs 1, 2, ..., seen unless their UID is in `unseen`.
  static std::string Messages(const std::vector<std::string>& texts, const std::set<int>& unseen = {}) {
    std::string json = "[";
    for (size_t n = 1; n <= texts.size(); ++n) {
      std::string escaped;
      for (char c : texts[n - 1])
        escaped += c == '\r' ? "\\r" : c == '\n' ? "\\n" : c == '"' ? "\\\"" : std::string(1, c);
      json += (n > 1 ? ",{\"uid\": " : "{\"uid\": ") + std::to_string(n) + ", \"text\": \"" + escaped + "\"" +
              (unseen.count(static_cast<int>(n)) ? ", \"seen\": false}" : "}");
    }
    return json + "]";
  }

  // Passes until the attachment walk is complete too.
  void IndexWithAttachments(MailMgr& mails) {
    koEvent stop;
    int mailPass = 1;
    ASSERT_EQ(1, mails.OpenMailbox("INBOX")) << Status();
    for (int pass = 0; pass < 3 && ModuleValue(kModuleAttachments, "indexing_status") != 1; ++pass)
      ASSERT_EQ(1, mails.SaveNewMessages(&stop, 1, &mailPass)) << LogText();
  }

  pvtest::ScriptedImapPeer server_;
};

TEST_F(ScriptedIndexTest, RefusedMessagesAreSkippedAndDroppedOnesRetried) {
  ASSERT_TRUE(server_.SetScript("{\"messages\": " + Messages(10) +
                                ", \"refuse_uids\": [9, 7], \"drop_uids\": [8]}"));
  // An older refusal in the account's status must not make the dropped
  // message pass for a refused one.
  SetStatus("Some messages could not be FETCHed (Failure)");
  koEvent stop;
  MailMgr mails(Account(), kModuleAllMail, db());
  int mailPass = 1;
  ASSERT_EQ(1, mails.OpenMailbox("INBOX")) << Status();
  // The connection dies under the walk: the pass ends quietly, unfinished.
  EXPECT_EQ(1, mails.SaveNewMessages(&stop, 1, &mailPass)) << LogText();
  std::vector<int64_t> first = StoredUids();
  EXPECT_EQ(first.end(), std::find(first.begin(), first.end(), 8));
  EXPECT_FALSE(log_.Has("FETCHed [MailUid: 8]"));
  for (const char* record : {"Failed to fetch message", "DownloadMail", "IndexMailBox"})
    EXPECT_FALSE(log_.Has(record)) << LogText();
  EXPECT_EQ(0, ModuleValue(kModuleAllMail, "indexing_status"));
  EXPECT_EQ(0, mails.IsStreamAlive());

  ASSERT_EQ(1, mails.OpenMailbox("INBOX")) << Status();
  EXPECT_EQ(1, mails.SaveNewMessages(&stop, 1, &mailPass)) << LogText();
  EXPECT_EQ((std::vector<int64_t>{1, 2, 3, 4, 5, 6, 8, 10}), StoredUids());
  EXPECT_EQ(1, ModuleValue(kModuleAllMail, "indexing_status"));
  EXPECT_EQ(10, ModuleValue(kModuleAllMail, "total_msgs"));
  EXPECT_EQ(10, ModuleValue(kModuleAllMail, "processed_msgs"));
  EXPECT_TRUE(log_.Has("Some messages could not be FETCHed [MailUid: 7]"));
  EXPECT_TRUE(log_.Has("Some messages could not be FETCHed [MailUid: 9]"));
}

// A walk longer than one stretch fetches the next on a second connection;
// a refusal there and that connection's loss cost no mail: the walk fetches
// what did not come itself and goes on alone.
TEST_F(ScriptedIndexTest, FetchingAheadLosesNoMailToARefusalOrABrokenConnection) {
  const int kMessages = 200;
  ASSERT_TRUE(server_.SetScript("{\"messages\": " + Messages(kMessages, true) +
                                ", \"refuse_uids\": [90], \"drop_uids\": [100]}"));
  AccountInfo& account = Account();
  account.downloadAttachments = 1;
  MailMgr mails(account, kModuleAllMail, db());
  ASSERT_NO_FATAL_FAILURE(IndexWithAttachments(mails));
  std::vector<int64_t> expected;
  for (int uid = 1; uid <= kMessages; ++uid)
    if (uid != 90) expected.push_back(uid);
  EXPECT_EQ(expected, StoredUids()) << LogText();
  EXPECT_EQ(kMessages - 1, Value("SELECT COUNT(*) FROM file"));
  EXPECT_EQ(1, ModuleValue(kModuleAllMail, "indexing_status"));
  EXPECT_EQ(1, ModuleValue(kModuleAttachments, "indexing_status"));
  EXPECT_TRUE(log_.Has("Some messages could not be FETCHed [MailUid: 90]")) << LogText();
  EXPECT_TRUE(log_.Has("Fetching mail ahead failed[MailUid: 73:136]")) << LogText();
  EXPECT_NE(std::string::npos, server_.Commands().find("UID FETCH 73:136 BODY.PEEK[HEADER]")) << server_.Commands();
  EXPECT_EQ(1, mails.IsStreamAlive());
}

TEST_F(ScriptedIndexTest, AMailWhoseRangeCannotMoveIsNotKept) {
  ASSERT_TRUE(server_.SetScript("{\"messages\": " + Messages(5) + "}"));
  // The range update of message 3 fails inside its transaction.
  ASSERT_EQ(1, SQLiteMgr::ExecuteQuery(db(),
                                       "CREATE TRIGGER refuse AFTER UPDATE OF last_processed_uid_from ON module "
                                       "WHEN new.last_processed_uid_from = 3 BEGIN SELECT RAISE(ABORT, 'no'); END"));
  koEvent stop;
  MailMgr mails(Account(), kModuleAllMail, db());
  int mailPass = 1;
  ASSERT_EQ(1, mails.OpenMailbox("INBOX")) << Status();
  EXPECT_EQ(0, mails.SaveNewMessages(&stop, 1, &mailPass));
  EXPECT_EQ((std::vector<int64_t>{4, 5}), StoredUids());
  EXPECT_EQ(4, ModuleValue(kModuleAllMail, "last_processed_uid_from"));

  ASSERT_EQ(1, SQLiteMgr::ExecuteQuery(db(), "DROP TRIGGER refuse"));
  EXPECT_EQ(1, mails.SaveNewMessages(&stop, 1, &mailPass)) << LogText();
  EXPECT_EQ((std::vector<int64_t>{1, 2, 3, 4, 5}), StoredUids());
}

// The attachment walk finds each mail as the database holds it then, not
// as the mail walk stored it.
TEST_F(ScriptedIndexTest, TheAttachmentWalkReadsTheMailsAsTheyAreNow) {
  ASSERT_TRUE(server_.SetScript("{\"messages\": " + Messages(4, true) + "}"));
  // Between the walks: mail 2 goes, mail 3 is renamed.
  ASSERT_EQ(1, SQLiteMgr::ExecuteQuery(db(),
                                       "CREATE TRIGGER meanwhile AFTER UPDATE OF indexing_status ON module WHEN "
                                       "new.id = 3 AND new.indexing_status = 1 BEGIN DELETE FROM mail WHERE uid = 2; "
                                       "UPDATE mail SET subject = 'Renamed' WHERE uid = 3; END"));
  AccountInfo& account = Account();
  account.downloadAttachments = 1;
  MailMgr mails(account, kModuleAllMail, db());
  ASSERT_NO_FATAL_FAILURE(IndexWithAttachments(mails));
  EXPECT_EQ((std::vector<int64_t>{1, 3, 4}), StoredUids());
  EXPECT_EQ((std::vector<int64_t>{1, 3, 4}),
            Column("SELECT mail.uid FROM file JOIN mail ON mail.id = file.mail_id ORDER BY mail.uid"));
  EXPECT_EQ(3, Value("SELECT COUNT(*) FROM file"));
  EXPECT_EQ(1, Value("SELECT COUNT(*) FROM fts_file WHERE filename = 'file3.bin' AND subject = 'Renamed'"));
  // Nothing of a stored message stays with the library: memory would grow
  // with the mailbox.
  MAILSTREAM* stream = mails.Stream();
  ASSERT_NE(nullptr, stream);
  for (unsigned long n = 1; n <= stream->nmsgs; ++n) {
    const MESSAGE& kept = mail_elt(stream, n)->cclientPrivate.msg;
    EXPECT_EQ(nullptr, kept.env) << n;
    EXPECT_EQ(nullptr, kept.header.text.data) << n;
    EXPECT_EQ(nullptr, kept.full.text.data) << n;
  }
}

// A pass over deleted mails that cannot read the stored mails fails and
// removes nothing; once it can, the vanished mail goes.
TEST_F(ScriptedIndexTest, DeletedMailsPassFailsWhenTheStoredMailsCannotBeRead) {
  ASSERT_TRUE(server_.SetScript("{\"messages\": " + Messages(3) + "}"));
  koEvent stop;
  int mailPass = 1;
  {
    MailMgr mails(Account(), kModuleAllMail, db());
    ASSERT_EQ(1, mails.OpenMailbox("INBOX")) << Status();
    ASSERT_EQ(1, mails.SaveNewMessages(&stop, 1, &mailPass)) << LogText();
  }
  ASSERT_TRUE(server_.SetScript("{\"messages\": " + Messages(2) + "}"));
  MailMgr mails(Account(), kModuleAllMail, db());
  ASSERT_EQ(1, mails.OpenMailbox("INBOX")) << Status();
  // On the indexer's connection a view without those columns hides the table.
  ASSERT_EQ(1, SQLiteMgr::ExecuteQuery(db(), "CREATE TEMP VIEW mail AS SELECT 1 AS unrelated")) << LogText();
  EXPECT_EQ(0, mails.SyncDeletedMailsToLocalRepository());
  EXPECT_TRUE(log_.Has("SELECT [id] mailid,[uid] mailuid,[module_id] moduleid FROM mail WHERE [account_id] = ?"));
  ASSERT_EQ(1, SQLiteMgr::ExecuteQuery(db(), "DROP VIEW temp.mail"));
  EXPECT_EQ((std::vector<int64_t>{1, 2, 3}), StoredUids());
  EXPECT_EQ(1, mails.SyncDeletedMailsToLocalRepository()) << LogText();
  EXPECT_EQ((std::vector<int64_t>{1, 2}), StoredUids());
}

// The unseen flags through passes of one indexer: the rows always end as
// the server's set says for the stored mails, a refresh writes only the
// rows whose flag changed (none when nothing did), and every pass searches
// once: the arrivals and the walk share one message counter.
TEST_F(ScriptedIndexTest, UnseenFlagsFollowTheServerWritingOnlyWhatChanged) {
  ASSERT_EQ(1, SQLiteMgr::ExecuteQuery(db(), "CREATE TABLE unseen_write (uid INTEGER)"));
  ASSERT_EQ(1, SQLiteMgr::ExecuteQuery(db(),
                                       "CREATE TRIGGER count_unseen AFTER UPDATE OF unseen ON mail BEGIN "
                                       "INSERT INTO unseen_write VALUES (new.uid); END"));
  const struct {
    int messages;
    std::set<int> unseen;    // on the server
    bool newIndexer;         // as after a restart
    std::vector<int64_t> flagged;  // rows with unseen = 1 after the pass
    std::vector<int64_t> written;  // rows whose flag the pass wrote
  } kPasses[] = {
      // The first refresh comes with the first stored mail (10), before
      // 3 and 5 are stored.
      {10, {3, 5}, false, {}, {}},
      {10, {3, 5}, false, {3, 5}, {3, 5}},
      {10, {3, 5}, false, {3, 5}, {}},
      // Two arrivals, 11 unseen; 3 read and 7 marked unread meanwhile.
      {12, {5, 7, 11}, false, {5, 7, 11}, {3, 7, 11}},
      {12, {5, 7, 11}, false, {5, 7, 11}, {}},
      // A new indexer rewrites the account's flags.
      {12, {5, 12}, true, {5, 12}, {5, 7, 11, 12}},
      {12, {5, 12}, false, {5, 12}, {}},
  };
  koEvent stop;
  int mailPass = 1;
  std::unique_ptr<MailMgr> mails;
  for (size_t i = 0; i < sizeof kPasses / sizeof kPasses[0]; ++i) {
    const auto& pass = kPasses[i];
    std::vector<std::string> texts;
    for (int n = 1; n <= pass.messages; ++n) texts.push_back(pvtest::MailText(n, kAccount));
    ASSERT_TRUE(server_.SetScript("{\"messages\": " + Messages(texts, pass.unseen) + "}"));
    if (!mails || pass.newIndexer) {
      mails.reset();
      mails = std::make_unique<MailMgr>(Account(), kModuleAllMail, db());
    }
    // The scripted server reads its script when the folder is selected.
    ASSERT_EQ(1, mails->OpenMailbox("INBOX")) << Status();
    ASSERT_EQ(1, SQLiteMgr::ExecuteQuery(db(), "DELETE FROM unseen_write"));
    auto count = [this]() {
      std::string commands = server_.Commands();
      size_t found = 0;
      for (size_t at = 0; (at = commands.find(" SEARCH UNSEEN", at)) != std::string::npos; ++at) ++found;
      return found;
    };
    size_t before = count();
    ASSERT_EQ(1, mails->SaveNewMessages(&stop, 1, &mailPass)) << LogText();
    EXPECT_EQ(1u, count() - before) << "pass " << i;
    EXPECT_EQ(pass.flagged, Column("SELECT uid FROM mail WHERE unseen = 1 ORDER BY uid")) << "pass " << i;
    EXPECT_EQ(pass.written, Column("SELECT DISTINCT uid FROM unseen_write ORDER BY uid")) << "pass " << i;
  }
}

// Bob's daily "report.pdf": the mail whose "(n)" names have all been
// taken is stored, its part under its uid and section or, when even that
// name is taken, left out; so is every mail after it.
TEST_F(ScriptedIndexTest, AnAttachmentOutOfNamesHoldsNoMailBack) {
  auto report = [](int n) {
    return "Delivered-To: " + std::string(kAccount) + "\r\nFrom: Bob <bob@example.org>\r\nTo: " + kAccount +
           "\r\nSubject: Report " + std::to_string(n) + "\r\nMessage-ID: <r" + std::to_string(n) +
           "@example.org>\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n\r\n--b\r\n"
           "Content-Type: text/plain\r\n\r\nToday's.\r\n--b\r\nContent-Type: application/pdf; name=\"report.pdf\"\r\n"
           "Content-Disposition: attachment; filename=\"report.pdf\"\r\n\r\n%PDF-1.4 day " +
           std::to_string(n) + "\r\n--b--\r\n";
  };
  koEvent stop;
  int mailPass = 1;
  auto index = [&](int messages) {
    std::vector<std::string> texts;
    for (int n = 1; n <= messages; ++n) texts.push_back(report(n));
    ASSERT_TRUE(server_.SetScript("{\"messages\": " + Messages(texts) + "}"));
    AccountInfo& account = Account();
    account.downloadAttachments = 1;
    MailMgr mails(account, kModuleAllMail, db());
    ASSERT_EQ(1, mails.OpenMailbox("INBOX")) << Status();
    for (int pass = 0; pass < 3 && (pass == 0 || ModuleValue(kModuleAttachments, "indexing_status") != 1); ++pass)
      ASSERT_EQ(1, mails.SaveNewMessages(&stop, 1, &mailPass)) << LogText();
  };
  index(1);
  ASSERT_EQ(0, mailPass);
  koString root;
  PathMgr::GetAttachmentsDir(root);
  const std::string folder = std::string(root.GetString()) + "/" + kAccount + "/recv/attachments/Bob (bob@example.org)";
  for (int n = 1; n <= 998; ++n) pvtest::WriteFile(folder + "/report(" + std::to_string(n) + ").pdf", "other");
  pvtest::WriteFile(folder + "/3-2.pdf", "other");
  // New arrivals, fetched with their attachments at once.
  index(4);
  EXPECT_EQ((std::vector<int64_t>{1, 2, 3, 4}), StoredUids());
  EXPECT_EQ("%PDF-1.4 day 2", pvtest::ReadFile(folder + "/2-2.pdf"));
  EXPECT_EQ("other", pvtest::ReadFile(folder + "/3-2.pdf"));
  EXPECT_EQ("%PDF-1.4 day 4", pvtest::ReadFile(folder + "/4-2.pdf"));
  EXPECT_EQ((std::vector<int64_t>{1, 2, 4}),
            Column("SELECT mail.uid FROM file JOIN mail ON mail.id = file.mail_id WHERE file_name = 'report.pdf' "
                   "ORDER BY mail.uid"));
  EXPECT_TRUE(log_.Has("left out [MailUid: 3,")) << LogText();
  EXPECT_EQ(4, ModuleValue(kModuleAttachments, "last_processed_uid_to"));
}

}  // namespace
