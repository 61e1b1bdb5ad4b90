// The mail store under test: MailTest's private HOME, summary database and
// account, the database opened as the indexer opens it, and a MailSummary
// and ProcessAttachment of the account. Store() keeps an .eml fixture of
// data/store the way the indexer keeps a message: the record filled from
// the envelope, both writers in one transaction, rolled back on failure.
#ifndef PV_TESTS_APP_SYNC_STORE_FIXTURE_H
#define PV_TESTS_APP_SYNC_STORE_FIXTURE_H

#include <sys/stat.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "support/files.h"
#include "app/sync/mailmessage.h"
#include "app/sync/mailsummary.h"
#include "app/sync/processattachment.h"
#include "core/kfile.h"
#include "core/sqlitemgr.h"
#include "support/lsan_gio.h"
// Last: the mail library's headers define min and max as macros.
#include "mail_fixture.h"

class StoreTest : public MailTest {
 protected:
  // Thu, 5 Mar 2009 12:00:00 UTC, the date the records get unless told otherwise.
  static constexpr int64_t kDate = 1236254400;

  void SetUp() override {
    MailTest::SetUp();
    env_.Set("LANG", "C");
    env_.Set("LC_ALL", "C");
    env_.Set("LANGUAGE", nullptr);
    koString dir;
    PathMgr::GetConfigDir(dir);
    summary_path_ = std::string(dir.GetString()) + "/data/postvane.summary";
    PathMgr::GetAttachmentsDir(dir);
    root_ = dir.GetString();
    PathMgr::GetPictureCacheDir(dir);
    pictures_ = dir.GetString();
    db_ = std::make_unique<koSQLite>(gLog);
    ASSERT_EQ(1, SQLiteMgr::OpenAndInitialize(db_.get(), SQLiteMgr::kSummaryDatabase));
    summary_ = std::make_unique<MailSummary>(db_.get(), kAccount, accountId_);
    attachments_ = std::make_unique<ProcessAttachment>(db_.get(), kAccount);
  }
  void TearDown() override {
    attachments_.reset();
    summary_.reset();
    db_.reset();
    MailTest::TearDown();
  }

  static std::string Fixture(const std::string& name) {
    const char* root = getenv("PV_SOURCE_DIR");
    std::string text = pvtest::ReadFile(std::string(root ? root : ".") + "/tests/app/sync/data/store/" + name);
    EXPECT_FALSE(text.empty()) << name;
    return text;
  }

  // The record as collecting a message fills it from the parsed message.
  static void Fill(const MailMessage& message, int uid, int64_t date, MailHeaderDetails& record) {
    record.uid = uid;
    record.receivedDate = date;
    record.direction = message.GetDirection();
    message.GetSubject(record.subject);
    const ENVELOPE* envelope = message.GetEnvelope();
    record.messageId.SetAs(envelope->message_id ? envelope->message_id : "");
    const ADDRESS* counterpart = envelope->from;
    if (record.direction == MailMessage::kSent)
      counterpart = envelope->to ? envelope->to : envelope->bcc ? envelope->bcc : envelope->cc;
    if (counterpart != nullptr) {
      MailSummary::FormatAddress(counterpart, record.counterpartName, record.counterpartEmail);
    }
  }

  // Stores the message text as mail `uid`: 1 when committed, 0 when a
  // writer failed and the transaction was rolled back.
  int StoreText(const std::string& text, int uid, int64_t date = kDate) {
    MailMessage message;
    message.SetAccountEmail(kAccount);
    message.Parse(text.data(), static_cast<uint32_t>(text.size()), 0);
    MailHeaderDetails record;
    Fill(message, uid, date, record);
    EXPECT_EQ(1, SQLiteMgr::ExecuteQuery(db_.get(), "BEGIN IMMEDIATE TRANSACTION"));
    if (summary_->SaveMailSummary(record, message) && attachments_->SaveAttachmentSummary(record, message)) {
      EXPECT_EQ(1, SQLiteMgr::ExecuteQuery(db_.get(), "END TRANSACTION"));
      last_mail_id_ = record.mailId;
      return 1;
    }
    EXPECT_EQ(1, SQLiteMgr::ExecuteQuery(db_.get(), "ROLLBACK TRANSACTION"));
    return 0;
  }
  int Store(const std::string& fixture, int uid, int64_t date = kDate) {
    return StoreText(Fixture(fixture), uid, date);
  }

  // First column of the first row, through a connection of the test's own.
  std::string Q(const std::string& sql) { return pvtest::SqliteQuery(summary_path_, sql); }
  long long N(const std::string& sql) { return std::atoll(Q(sql).c_str()); }
  // Runs statements on the store's own connection (temporary triggers live there).
  void Exec(const char* sql) { ASSERT_EQ(1, SQLiteMgr::ExecuteQuery(db_.get(), sql)); }

  static std::string Recv(const std::string& sender) {
    return std::string(kAccount) + "/recv/attachments/" + sender;
  }
  static bool IsFile(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
  }

  ScopedEnv env_;
  std::string summary_path_, root_, pictures_;
  std::unique_ptr<koSQLite> db_;
  std::unique_ptr<MailSummary> summary_;
  std::unique_ptr<ProcessAttachment> attachments_;
  int last_mail_id_ = 0;
};

#endif  // PV_TESTS_APP_SYNC_STORE_FIXTURE_H
