// A mail's summary rows: addresses, contacts, counters, conversation root,
// and taking them out again.
#include "app/sync/mailsummary.h"

#include <gtest/gtest.h>
#include <utime.h>

#include <string>

#include "store_fixture.h"

namespace {

class MailSummaryTest : public StoreTest {
 protected:
  // Bob's first report, stored as mail `uid`.
  std::string StoreBobsReport(int uid) {
    EXPECT_EQ(1, Store("bob1.eml", uid));
    return root_ + "/" + Recv("Bob Smith (bob@example.org)") + "/report.pdf";
  }
};

const char* const kRowCounts =
    "SELECT (SELECT COUNT(*) FROM email_address) || ',' || (SELECT COUNT(*) FROM analytics_email)"
    " || ',' || (SELECT COUNT(*) FROM contact) || ',' || (SELECT COUNT(*) FROM contact_email_link)"
    " || ',' || (SELECT COUNT(*) FROM mail_email_link) || ',' || (SELECT COUNT(*) FROM reference_master)";

TEST_F(MailSummaryTest, ReceivedMailFromNewSender) {
  ASSERT_EQ(1, Store("bob1.eml", 11));
  const std::string id = std::to_string(last_mail_id_);
  EXPECT_EQ("1,1,1,1,1,1", Q(kRowCounts));
  EXPECT_EQ("11|<first@example.org>|1|" + std::to_string(kDate) + "|Quarterly report",
            Q("SELECT uid || '|' || message_id || '|' || module_id || '|' || received_date || '|' || subject FROM mail"));
  EXPECT_EQ("bob@example.org", Q("SELECT address FROM email_address"));
  EXPECT_EQ("Bob Smith", Q("SELECT name FROM fts_contact"));
  EXPECT_EQ("bob@example.org", Q("SELECT email FROM fts_contact"));
  EXPECT_EQ("1|0|" + id + "|" + id,
            Q("SELECT total_received || '|' || total_sent || '|' || recv_first_mail_id || '|' || "
              "recv_last_mail_id FROM analytics_email"));
  // A mail without References starts its own conversation.
  EXPECT_EQ("<first@example.org>", Q("SELECT parent_message_id FROM reference_master"));
  // The participants text goes into the file index.
  EXPECT_EQ("Bob Smith bob@example.org", Q("SELECT [from] FROM fts_file"));
  // A date past 2038 stays what it is, and is the sender's last mail now.
  ASSERT_EQ(1, Store("bob2.eml", 12, 4102444800));
  EXPECT_EQ("4102444800", Q("SELECT received_date FROM mail WHERE uid = 12"));
  EXPECT_EQ("2|" + std::to_string(last_mail_id_),
            Q("SELECT total_received || '|' || recv_last_mail_id FROM analytics_email"));
}

TEST_F(MailSummaryTest, SentMailLinksEveryRecipientOnceCounted) {
  ASSERT_EQ(1, Store("sent_six.eml", 20));
  EXPECT_EQ("2", Q("SELECT module_id FROM mail"));
  // To, then Bcc, then Cc; the address named twice is linked twice.
  EXPECT_EQ("ann,bob,cid,dan,eve,ann",
            Q("SELECT group_concat(substr(address, 1, instr(address, '@') - 1), ',') FROM (SELECT "
              "lower(e.address) address FROM mail_email_link l JOIN email_address e ON e.id = "
              "l.email_address_id ORDER BY l.id)"));
  // ... but counted once; the account itself gets no row.
  EXPECT_EQ("5", Q("SELECT COUNT(*) FROM analytics_email WHERE total_sent = 1 AND total_received = 0"));
  EXPECT_EQ("0", Q("SELECT COUNT(*) FROM email_address WHERE address LIKE 'someone@%'"));
  // Wrapping quotes and brackets leave the names.
  EXPECT_EQ("Ann,bob@example.org,Cid,Dan,eve@example.org",
            Q("SELECT group_concat(name, ',') FROM (SELECT name FROM contact ORDER BY id)"));
  EXPECT_EQ("<first@example.org>", Q("SELECT parent_message_id FROM reference_master"));
}

TEST_F(MailSummaryTest, FailureInsideTheMailLeavesNothing) {
  const struct {
    const char* fixture;
    const char* trigger;
  } kCases[] = {
      // The third recipient's link.
      {"sent_six.eml",
       "CREATE TEMP TRIGGER fault BEFORE INSERT ON mail_email_link WHEN (SELECT COUNT(*) FROM "
       "mail_email_link) >= 2 BEGIN SELECT RAISE(ABORT, 'injected'); END"},
      {"bob1.eml", "CREATE TEMP TRIGGER fault BEFORE INSERT ON reference_master BEGIN SELECT RAISE(ABORT, 'injected'); END"},
      {"bob1.eml", "CREATE TEMP TRIGGER fault BEFORE INSERT ON contact BEGIN SELECT RAISE(ABORT, 'injected'); END"},
  };
  for (const auto& c : kCases) {
    Exec(c.trigger);
    EXPECT_EQ(0, Store(c.fixture, 30)) << c.trigger;
    Exec("DROP TRIGGER fault");
    EXPECT_EQ("0", Q("SELECT COUNT(*) FROM mail")) << c.trigger;
    EXPECT_EQ("0,0,0,0,0,0", Q(kRowCounts)) << c.trigger;
  }
  EXPECT_NE(std::string::npos, LogText().find("SaveMail"));
}

TEST_F(MailSummaryTest, ConversationRoot) {
  const struct {
    const char* headers;
    const char* root;  // "" = no row
  } kCases[] = {
      {"Message-ID: <own@x>\r\nReferences: <a@x> <b@x>\r\n", "<a@x>"},
      {"Message-ID: <own@x>\r\nReferences:\r\n\t<folded@x>\r\n", "<folded@x>"},
      {"Message-ID: <own@x>\r\n", "<own@x>"},
      {"", ""},
  };
  int uid = 40;
  for (const auto& c : kCases) {
    std::string text = std::string("Delivered-To: someone@example.com\r\nFrom: a@example.org\r\n") + c.headers +
                       "Subject: s\r\n\r\nbody\r\n";
    ASSERT_EQ(1, StoreText(text, ++uid)) << c.headers;
    EXPECT_EQ(c.root, Q("SELECT parent_message_id FROM reference_master WHERE mail_id = " +
                        std::to_string(last_mail_id_)))
        << c.headers;
  }
}

TEST_F(MailSummaryTest, MailsWithoutUsableAddressesMakeNoAddressRows) {
  const char* const kCases[] = {
      // No From at all, and an empty one: the library's stand-in address.
      "Delivered-To: someone@example.com\r\nSubject: s\r\n\r\nx\r\n",
      "Delivered-To: someone@example.com\r\nFrom: <>\r\nSubject: s\r\n\r\nx\r\n",
      "Delivered-To: someone@example.com\r\nFrom: Broken <a b@c>\r\nSubject: s\r\n\r\nx\r\n",
      // Sent to a group marker and an address the library could not read.
      "From: someone@example.com\r\nTo: undisclosed-recipients:;\r\nCc: @@\r\nSubject: s\r\n\r\nx\r\n",
  };
  int uid = 50;
  for (const char* text : kCases) {
    ASSERT_EQ(1, StoreText(text, ++uid)) << text;
  }
  EXPECT_EQ("4", Q("SELECT COUNT(*) FROM mail"));
  // "Broken <a b@c>" leaves the mailbox "a" without a domain: no address either.
  EXPECT_EQ("0", Q("SELECT COUNT(*) FROM email_address"));
  EXPECT_EQ("0", Q("SELECT COUNT(*) FROM contact"));
}

TEST_F(MailSummaryTest, EqualNameJoinsTheExistingContact) {
  ASSERT_EQ(1, StoreText("Delivered-To: someone@example.com\r\nFrom: Pat O <pat@example.org>\r\n\r\nx\r\n", 61));
  ASSERT_EQ(1, StoreText("Delivered-To: someone@example.com\r\nFrom: \"PAT o\" <o'brien@example.org>\r\n\r\nx\r\n", 62));
  EXPECT_EQ("1", Q("SELECT COUNT(*) FROM contact"));
  EXPECT_EQ("2", Q("SELECT COUNT(*) FROM contact_email_link"));
  // The address is bound as it is: one apostrophe, after a line feed.
  EXPECT_EQ("pat@example.org\no'brien@example.org", Q("SELECT email FROM fts_contact"));
  // An address without display name that a contact knows stays with it.
  ASSERT_EQ(1, StoreText("Delivered-To: someone@example.com\r\nFrom: pat@example.org\r\n\r\nx\r\n", 63));
  EXPECT_EQ("1", Q("SELECT COUNT(*) FROM contact"));
}

TEST_F(MailSummaryTest, DeleteMail) {
  ASSERT_EQ(1, Store("bob1.eml", 71, kDate));
  const int first = last_mail_id_;
  ASSERT_EQ(1, Store("bob2.eml", 72, kDate + 86400));
  const int second = last_mail_id_;
  const std::string folder = root_ + "/" + Recv("Bob Smith (bob@example.org)");
  ASSERT_TRUE(IsFile(folder + "/report.pdf"));

  ASSERT_EQ(1, summary_->DeleteMail(first, MailMessage::kReceived));
  EXPECT_EQ(std::to_string(second), Q("SELECT group_concat(id) FROM mail"));
  EXPECT_EQ("1|" + std::to_string(second) + "|" + std::to_string(second),
            Q("SELECT total_received || '|' || recv_first_mail_id || '|' || recv_last_mail_id FROM analytics_email"));
  EXPECT_EQ("0", Q("SELECT COUNT(*) FROM file WHERE mail_id = " + std::to_string(first)));
  EXPECT_EQ("0", Q("SELECT COUNT(*) FROM reference_master WHERE mail_id = " + std::to_string(first)));
  EXPECT_FALSE(IsFile(folder + "/report.pdf"));

  // A file the user changed after it was written stays.
  const std::string kept = folder + "/report(1).pdf";
  utimbuf later{time(nullptr) + 60, time(nullptr) + 60};
  ASSERT_EQ(0, utime(kept.c_str(), &later));
  ASSERT_EQ(1, summary_->DeleteMail(second, MailMessage::kReceived));
  EXPECT_EQ("0", Q("SELECT COUNT(*) FROM mail"));
  EXPECT_EQ("0|0|0", Q("SELECT total_received || '|' || recv_first_mail_id || '|' || recv_last_mail_id FROM analytics_email"));
  EXPECT_TRUE(IsFile(kept));
}

TEST_F(MailSummaryTest, DeleteInsideAFailedTransactionKeepsEverything) {
  const std::string file = StoreBobsReport(81);
  // A write lock held elsewhere: BEGIN IMMEDIATE cannot start, nothing goes.
  Exec("BEGIN IMMEDIATE TRANSACTION");
  EXPECT_EQ(0, summary_->DeleteMail(last_mail_id_, MailMessage::kReceived));
  Exec("ROLLBACK TRANSACTION");
  // A failing step rolls the deletion back and keeps the file.
  Exec("CREATE TEMP TRIGGER fault BEFORE DELETE ON reference_master BEGIN SELECT RAISE(ABORT, 'injected'); END");
  EXPECT_EQ(0, summary_->DeleteMail(last_mail_id_, MailMessage::kReceived));
  Exec("DROP TRIGGER fault");
  EXPECT_EQ("1", Q("SELECT COUNT(*) FROM mail"));
  EXPECT_EQ("1", Q("SELECT total_received FROM analytics_email"));
  EXPECT_TRUE(IsFile(file));
}

TEST_F(MailSummaryTest, MailFoundInTrashLeavesTheSummary) {
  const std::string file = StoreBobsReport(91);
  MailMessage trashed;
  std::string text = Fixture("bob1.eml");
  trashed.Parse(text.data(), static_cast<uint32_t>(text.size()), 0);
  SavedFileList files;
  Exec("BEGIN IMMEDIATE TRANSACTION");
  ASSERT_EQ(1, summary_->CleanTrashAndSpamMovedMailsFromAllMail(trashed, files));
  // The files wait for the caller's commit.
  ASSERT_EQ(1u, files.size());
  EXPECT_STREQ((Recv("Bob Smith (bob@example.org)") + "/report.pdf").c_str(), files[0].GetString());
  EXPECT_TRUE(IsFile(file));
  Exec("END TRANSACTION");
  config_->DeleteSavedFiles(files);
  EXPECT_FALSE(IsFile(file));
  EXPECT_EQ("0", Q("SELECT COUNT(*) FROM mail"));
  EXPECT_EQ("0", Q("SELECT total_received FROM analytics_email"));
  // Unknown or missing Message-IDs change nothing.
  files.clear();
  EXPECT_EQ(1, summary_->CleanTrashAndSpamMovedMailsFromAllMail(trashed, files));
  EXPECT_TRUE(files.empty());
}

}  // namespace

namespace {

// Addresses of real-world headers: every one is kept, and what has no
// domain is no address (and so no contact).
TEST_F(MailSummaryTest, RealWorldAddressShapes) {
  const struct {
    const char* from;
    const char* to;
    const char* addresses;  // stored, in order
    const char* contacts;   // names, in order
  } kCases[] = {
      {"John Q Public jqp@example.com", "someone@example.com", "jqp@example.com", "John Q Public"},
      {"Support @ Example <help@example.net>", "someone@example.com", "help@example.net", "Support @ Example"},
      {"John", "someone@example.com", "", ""},
      {"someone@example.com", ", ann@example.org,, Bo Lee bo@example.org, Cy,",
       "ann@example.org,bo@example.org", "ann@example.org,Bo Lee"},
  };
  int uid = 40;
  for (const auto& c : kCases) {
    Exec("DELETE FROM contact_email_link");
    Exec("DELETE FROM contact");
    Exec("DELETE FROM email_address");
    std::string text = std::string("Delivered-To: someone@example.com\r\nFrom: ") + c.from + "\r\nTo: " + c.to +
                       "\r\nSubject: shapes\r\nMessage-ID: <s" + std::to_string(uid) + "@example.org>\r\n\r\nbody\r\n";
    ASSERT_EQ(1, StoreText(text, ++uid)) << c.from;
    EXPECT_EQ(c.addresses, Q("SELECT ifnull(group_concat(address, ','), '') FROM (SELECT address FROM "
                             "email_address ORDER BY id)"))
        << c.from << " / " << c.to;
    EXPECT_EQ(c.contacts, Q("SELECT ifnull(group_concat(name, ','), '') FROM (SELECT name FROM contact ORDER BY id)"))
        << c.from << " / " << c.to;
  }
}

}  // namespace
