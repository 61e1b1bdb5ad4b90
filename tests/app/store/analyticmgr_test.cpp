#include "app/store/analyticmgr.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <memory>
#include <set>
#include <string>

#include "app/store/contactemailmgr.h"
#include "app/store/store_fixture.h"

namespace {

const int kReceived = 1;
const int kSent = 2;

// Stores mails the way the mail summary store does: the mail row, one link
// per address occurrence, and the counters once per mail and address.
class AnalyticsTest : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    OpenWithSchema();
    emails_ = std::make_unique<ContactEmailMgr>(db_.get());
  }
  void TearDown() override {
    emails_.reset();
    StoreTest::TearDown();
  }

  int Address(const char* address, int account = 1) {
    int id = 0, isNew = 0;
    EXPECT_EQ(emails_->GetEmailUniqueId(koString(address), account, &id, &isNew), 1);
    return id;
  }

  // Mail `id` of `direction` dated `date`, naming each address given
  // (an address may be named twice).
  void StoreMail(int id, int direction, int64_t date, std::initializer_list<const char*> names,
                 int account = 1) {
    const std::string n = std::to_string(id);
    Exec("INSERT INTO mail VALUES (" + n + ", " + n + ", '<" + n + ">', " +
         std::to_string(account) + ", " + std::to_string(direction) + ", " + std::to_string(date) +
         ", '', 0)");
    std::set<int> counted;
    for (const char* name : names) {
      int addressId = 0, isNew = 0;
      ASSERT_EQ(emails_->GetEmailUniqueId(koString(name), account, &addressId, &isNew), 1);
      Exec("INSERT INTO mail_email_link (mail_id, email_address_id) VALUES (" + n + ", " +
           std::to_string(addressId) + ")");
      if (!counted.insert(addressId).second) continue;
      ASSERT_TRUE(!isNew || analytics_.InsertWithFirstMail(db_.get(), addressId, id, direction));
      ASSERT_EQ(analytics_.UpdateAnalyticEmailSendRecvCount(db_.get(), id, addressId, date,
                                                            direction, isNew),
                1);
    }
  }

  // Takes the mail out of the counters, then deletes it with its links.
  void DeleteMail(int id) {
    int direction =
        static_cast<int>(QueryInt("SELECT module_id FROM mail WHERE id = " + std::to_string(id)));
    ASSERT_EQ(analytics_.RebuildAnalyticsEmailOnDeleteMail(db_.get(), id, direction), 1);
    Exec("DELETE FROM mail_email_link WHERE mail_id = " + std::to_string(id) +
         "; DELETE FROM mail WHERE id = " + std::to_string(id));
  }

  // "total first last" of one direction.
  std::string Counters(const char* address, int direction) {
    const char* f = direction == kReceived
                        ? "total_received || ' ' || recv_first_mail_id || ' ' || recv"
                        : "total_sent || ' ' || sent_first_mail_id || ' ' || sent";
    return Query(std::string("SELECT ") + f +
                 "_last_mail_id FROM analytics_email WHERE email_address_id = " +
                 std::to_string(Address(address)));
  }

  AnalyticMgr analytics_;
  std::unique_ptr<ContactEmailMgr> emails_;
};

TEST_F(AnalyticsTest, FirstAndLastFollowTheDatesAndDeletingPromotesTheNext) {
  StoreMail(1, kReceived, 20, {"ann@example.com"});
  StoreMail(2, kReceived, 10, {"ann@example.com"});
  StoreMail(3, kReceived, 30, {"ann@example.com"});
  EXPECT_EQ(Counters("ann@example.com", kReceived), "3 2 3");
  EXPECT_EQ(Counters("ann@example.com", kSent), "0 0 0");
  DeleteMail(2);
  EXPECT_EQ(Counters("ann@example.com", kReceived), "2 1 3");
  DeleteMail(3);
  EXPECT_EQ(Counters("ann@example.com", kReceived), "1 1 1");
  // A mail dated like the stored first or last does not replace it.
  StoreMail(4, kReceived, 20, {"ann@example.com"});
  EXPECT_EQ(Counters("ann@example.com", kReceived), "2 1 1");
  DeleteMail(1);
  DeleteMail(4);
  EXPECT_EQ(Counters("ann@example.com", kReceived), "0 0 0");
}

TEST_F(AnalyticsTest, DeletingAmongEqualDatesNeverKeepsTheDeletedMail) {
  // Mail 5 came first and stays first; mail 3 has the same date and a lower id.
  StoreMail(5, kReceived, 10, {"ann@example.com"});
  StoreMail(3, kReceived, 10, {"ann@example.com"});
  EXPECT_EQ(Counters("ann@example.com", kReceived), "2 5 5");
  // Mail 5 was both first and last: both move.
  DeleteMail(5);
  EXPECT_EQ(Counters("ann@example.com", kReceived), "1 3 3");

  // Sent mails keep their own counters.
  StoreMail(7, kSent, 40, {"ann@example.com", "bob@example.com"});
  StoreMail(6, kSent, 40, {"bob@example.com"});
  StoreMail(8, kSent, 50, {"bob@example.com"});
  DeleteMail(7);
  EXPECT_EQ(Counters("bob@example.com", kSent), "2 6 8");
  EXPECT_EQ(Counters("ann@example.com", kSent), "0 0 0");
  EXPECT_EQ(Counters("ann@example.com", kReceived), "1 3 3");
}

TEST_F(AnalyticsTest, RebuildCountsEachKeptMailOnce) {
  StoreMail(1, kReceived, 10, {"ann@example.com", "cat@example.com", "cat@example.com"});
  StoreMail(2, kReceived, 20, {"ann@example.com", "ann@example.com"});
  StoreMail(3, kReceived, 30, {"ann@example.com"});
  StoreMail(4, kSent, 25, {"ann@example.com", "ann@example.com"});
  StoreMail(5, kSent, 5, {"dan@example.com"});
  // Another account's mails stay out of it.
  StoreMail(6, kReceived, 1, {"ann@example.com"}, 2);

  ASSERT_EQ(analytics_.RebuildAnalyticsEmail(db_.get(), 1, 15), 1);
  EXPECT_EQ(Counters("ann@example.com", kReceived), "2 2 3");
  EXPECT_EQ(Counters("ann@example.com", kSent), "1 4 4");
  // Every mail of these lay before the cut-off, named twice or not.
  EXPECT_EQ(Counters("cat@example.com", kReceived), "0 0 0");
  EXPECT_EQ(Counters("dan@example.com", kSent), "0 0 0");
  EXPECT_EQ(Query("SELECT total_received || ' ' || recv_first_mail_id FROM analytics_email WHERE "
                  "email_address_id = (SELECT id FROM email_address WHERE account_id = 2)"),
            "1 6");
  // The helper table is gone, so a second rebuild runs as well; among kept
  // mails of one date the lower id is the earliest.
  StoreMail(9, kReceived, 40, {"ann@example.com"});
  StoreMail(7, kReceived, 40, {"ann@example.com"});
  EXPECT_EQ(analytics_.RebuildAnalyticsEmail(db_.get(), 1, 35), 1);
  EXPECT_EQ(Counters("ann@example.com", kReceived), "2 7 9");
  EXPECT_EQ(Counters("ann@example.com", kSent), "0 0 0");
}

TEST_F(AnalyticsTest, ContactAddressesStartWithEmptyCounters) {
  const int id = Address("eve@example.com");
  ASSERT_EQ(analytics_.InsertAnalyticEmailDetails(db_.get(), id), 1);
  EXPECT_EQ(Counters("eve@example.com", kReceived), "0 0 0");
  // The first mail then sets both ends although the row is not new.
  Exec("INSERT INTO mail VALUES (1, 1, '<1>', 1, 1, 50, '', 0)");
  ASSERT_EQ(analytics_.UpdateAnalyticEmailSendRecvCount(db_.get(), 1, id, 50, kReceived, 0), 1);
  EXPECT_EQ(Counters("eve@example.com", kReceived), "1 1 1");
  // A second counter row for the address is refused.
  EXPECT_EQ(analytics_.InsertAnalyticEmailDetails(db_.get(), id), 0);
  EXPECT_NE(LogText().find("Insert analytic_email failed"), std::string::npos);
}

TEST_F(AnalyticsTest, FailedStepsAnswerFailure) {
  StoreMail(1, kReceived, 20, {"ann@example.com"});
  const int id = Address("ann@example.com");
  Exec("DROP TABLE mail_email_link");
  Reopen();
  EXPECT_EQ(analytics_.UpdateAnalyticEmailSendRecvCount(db_.get(), 2, id, 30, kReceived, 0), 0);
  EXPECT_EQ(analytics_.RebuildAnalyticsEmailOnDeleteMail(db_.get(), 1, kReceived), 0);
  EXPECT_EQ(analytics_.RebuildAnalyticsEmail(db_.get(), 1, 10), 0);
  EXPECT_NE(LogText().find("UpdateAnalyticsEmailSendORRecvCount"), std::string::npos);
  EXPECT_NE(LogText().find("UPDATE_ANALYTICS_EMAIL_RECV_DETAILS_BEFORE_TIMESTAMP"),
            std::string::npos);
  // Nothing was counted.
  EXPECT_EQ(Query("SELECT total_received FROM analytics_email"), "1");
}

}  // namespace
