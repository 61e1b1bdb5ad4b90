#include "app/store/contactemailmgr.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "app/store/store_fixture.h"

namespace {

class ContactEmailTest : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    OpenWithSchema();
    mgr_ = std::make_unique<ContactEmailMgr>(db_.get());
  }
  void TearDown() override {
    mgr_.reset();
    StoreTest::TearDown();
  }

  int NewContact(const char* name, int account, int type = 0) {
    ContactDetails details;
    details.name.SetAs(name);
    details.accountId = account;
    details.type = type;
    int id = -1;
    EXPECT_EQ(mgr_->InsertContactDetails(details, &id), 1);
    return id;
  }

  std::unique_ptr<ContactEmailMgr> mgr_;
};

TEST_F(ContactEmailTest, AddressIdsArePerAccountAndIgnoreLetterCase) {
  int first = 0, isNew = 0;
  ASSERT_EQ(mgr_->GetEmailUniqueId(koString("Ann.Lee@Example.COM"), 1, &first, &isNew), 1);
  EXPECT_EQ(isNew, 1);

  int again = 0;
  isNew = 0;
  ASSERT_EQ(mgr_->GetEmailUniqueId(koString("ann.lee@example.com"), 1, &again, &isNew), 1);
  EXPECT_EQ(again, first);
  EXPECT_EQ(isNew, 0);
  // A known address leaves whatever the caller preset.
  isNew = 7;
  ASSERT_EQ(mgr_->GetEmailUniqueId(koString("ANN.LEE@EXAMPLE.COM"), 1, &again, &isNew), 1);
  EXPECT_EQ(isNew, 7);

  int other = 0;
  isNew = 0;
  ASSERT_EQ(mgr_->GetEmailUniqueId(koString("ann.lee@example.com"), 2, &other, &isNew), 1);
  EXPECT_NE(other, first);
  EXPECT_EQ(isNew, 1);
  // Stored as first seen.
  EXPECT_EQ(Query("SELECT address FROM email_address WHERE id = " + std::to_string(first)),
            "Ann.Lee@Example.COM");
  EXPECT_EQ(Query("SELECT COUNT(*) FROM email_address"), "2");

  int unknown = -1;
  ASSERT_EQ(mgr_->GetEmailDetails(koString("nobody@example.com"), 1, &unknown), 1);
  EXPECT_EQ(unknown, -1);
}

TEST_F(ContactEmailTest, AnAddressWithAnApostropheIsStoredAndFound) {
  const koString address("o'neil@example.com");
  int id = 0, isNew = 0;
  ASSERT_EQ(mgr_->GetEmailUniqueId(address, 1, &id, &isNew), 1);
  int found = -1;
  ASSERT_EQ(mgr_->GetEmailDetails(koString("O'Neil@example.com"), 1, &found), 1);
  EXPECT_EQ(found, id);

  // Appended to a contact's full-text address list exactly as written; a
  // quote that would end an SQL text changes nothing either.
  const int contact = NewContact("O'Neil", 1);
  ASSERT_EQ(mgr_->InsertFtsContactDetails(koString("O'Neil"), contact, koString("first@x.org"),
                                          koString(""), koString(""), koString(""), 0, 0),
            1);
  ASSERT_EQ(mgr_->UpdateFtsContactEmailList(address, contact), 1);
  ASSERT_EQ(mgr_->UpdateFtsContactEmailList(koString("x' || 'y@z.org"), contact), 1);
  EXPECT_EQ(Query("SELECT email FROM fts_contact WHERE rowid = " + std::to_string(contact)),
            "first@x.org\no'neil@example.com\nx' || 'y@z.org");
  EXPECT_EQ(Query("SELECT rowid FROM fts_contact WHERE fts_contact MATCH 'neil'"),
            std::to_string(contact));
}

TEST_F(ContactEmailTest, AnEmptyAddressListStartsWithTheAddress) {
  Exec("INSERT INTO fts_contact (rowid, name) VALUES (5, 'no list')");
  ASSERT_EQ(mgr_->UpdateFtsContactEmailList(koString("a@b.org"), 5), 1);
  EXPECT_EQ(Query("SELECT email FROM fts_contact WHERE rowid = 5"), "\na@b.org");
}

TEST_F(ContactEmailTest, APhotoWithNulBytesRoundTrips) {
  const int contact = NewContact("Pic", 1);
  koString photo;
  const char bytes[] = {'\x89', 'P', 'N', 'G', '\0', '\0', '\x1a', '\n', '\0', 'x'};
  photo.Append(bytes, sizeof bytes);
  ASSERT_EQ(mgr_->InsertContactPhotoDetails(contact, photo), 1);

  auto stored = [&]() {
    sqlite3_stmt* stmt = nullptr;
    std::string out;
    koSQLite* db = db_.get();
    const std::string sql =
        "SELECT photo FROM contact_photo WHERE contact_id = " + std::to_string(contact);
    EXPECT_EQ(db->Prepare(&stmt, sql.c_str()), 1);
    if (db->Step(&stmt, 1) && db->GetErrCode() == SQLITE_ROW) {
      const void* data = db->GetBlob(&stmt, 0);
      out.assign(static_cast<const char*>(data), db->GetBytes(&stmt, 0));
    }
    db->Finalize(&stmt);
    return out;
  };
  EXPECT_EQ(stored(), std::string(bytes, sizeof bytes));

  photo.Append("\0tail", 5);
  ASSERT_EQ(mgr_->UpdateContactPhotoDetails(contact, photo), 1);
  EXPECT_EQ(stored(), std::string(bytes, sizeof bytes) + std::string("\0tail", 5));
}

TEST_F(ContactEmailTest, LinksKnowTheirAccount) {
  int address = 0, isNew = 0;
  ASSERT_EQ(mgr_->GetEmailUniqueId(koString("ann@example.com"), 1, &address, &isNew), 1);
  int mapped = -1, count = -1;
  ASSERT_EQ(mgr_->IsEmailMappedWithContact(address, &mapped), 1);
  EXPECT_EQ(mapped, 0);

  const int elsewhere = NewContact("Ann", 2);
  ASSERT_EQ(mgr_->MapContactToEmailDetails(elsewhere, address), 1);
  ASSERT_EQ(mgr_->IsEmailMappedWithContact(address, &mapped), 1);
  EXPECT_EQ(mapped, 1);
  ASSERT_EQ(mgr_->IsContactEmail(address, 1, &count), 1);
  EXPECT_EQ(count, 0);
  ASSERT_EQ(mgr_->IsContactEmail(address, 2, &count), 1);
  EXPECT_EQ(count, 1);

  // Linking again succeeds and adds nothing.
  ASSERT_EQ(mgr_->MapContactToEmailDetails(elsewhere, address), 1);
  EXPECT_EQ(Query("SELECT COUNT(*) FROM contact_email_link"), "1");
}

TEST_F(ContactEmailTest, LocalContactsAreFoundByNameIgnoringCase) {
  int local = -1;
  ASSERT_EQ(mgr_->InsertNonGoogleContact(koString("Ann Lee"), 1, &local), 1);
  NewContact("Bob", 1, 1);  // a service contact

  int found = -1;
  ASSERT_EQ(mgr_->IsNonGoogleContactAlreadyExist(koString("ann lee"), 1, &found), 1);
  EXPECT_EQ(found, local);
  found = -1;
  ASSERT_EQ(mgr_->IsNonGoogleContactAlreadyExist(koString("Bob"), 1, &found), 1);
  EXPECT_EQ(found, -1);
  ASSERT_EQ(mgr_->IsNonGoogleContactAlreadyExist(koString("Ann Lee"), 2, &found), 1);
  EXPECT_EQ(found, -1);
  EXPECT_EQ(Query("SELECT type || ' ' || mark || ' ' || ifnull(photo_etag, 'NULL') FROM contact "
                  "WHERE id = " +
                  std::to_string(local)),
            "0 0 NULL");
}

TEST_F(ContactEmailTest, ServiceContactsAreWrittenAndReadBack) {
  ContactDetails details;
  details.name.SetAs("Ann");
  details.accountId = 1;
  details.uid.SetAs("uid-1");
  details.editUrl.SetAs("http://edit/1");
  details.mark = 1;
  details.type = 1;
  details.notes.SetAs("met at 'the' fair");
  details.hasPhotoEtag = 1;
  details.photoEtag.SetAs("etag-1");
  int id = -1;
  ASSERT_EQ(mgr_->InsertContactDetails(details, &id), 1);

  int found = -1;
  koString etag;
  ASSERT_EQ(mgr_->GetContactIdByUid(koString("uid-1"), 1, &found, etag), 1);
  EXPECT_EQ(found, id);
  EXPECT_STREQ(etag.GetString(), "etag-1");
  found = -1;
  ASSERT_EQ(mgr_->GetContactIdByUid(koString("uid-1"), 2, &found, etag), 1);
  EXPECT_EQ(found, -1);

  // Without the flag the stored etag stays.
  details.name.SetAs("Ann B.");
  details.hasPhotoEtag = 0;
  details.photoEtag.SetAs("ignored");
  ASSERT_EQ(mgr_->UpdateContactDetails(details, id), 1);
  int type = -1, mark = -1;
  koString url, name, notes;
  ASSERT_EQ(mgr_->GetContactDetails(id, &type, &mark, url, name, notes), 1);
  EXPECT_EQ(type, 1);
  EXPECT_EQ(mark, 1);
  EXPECT_STREQ(url.GetString(), "http://edit/1");
  EXPECT_STREQ(name.GetString(), "Ann B.");
  EXPECT_STREQ(notes.GetString(), "met at 'the' fair");
  EXPECT_EQ(Query("SELECT photo_etag FROM contact WHERE id = " + std::to_string(id)), "etag-1");

  ASSERT_EQ(mgr_->InsertFtsContactDetails(details.name, id, koString("a@x.org"), koString("555"),
                                          koString("friends"), details.notes, 1, 1),
            1);
  EXPECT_EQ(Query("SELECT [is] || '|' || [type] || '|' || tag FROM fts_contact WHERE rowid = " +
                  std::to_string(id)),
            "STARRED|GOOGLE|friends");

  // Deleted on the service: a local contact remains.
  ASSERT_EQ(mgr_->UpdateContactFromServer(id), 1);
  ASSERT_EQ(mgr_->UpdateFtsTags(id), 1);
  EXPECT_EQ(Query("SELECT uid || '|' || edit_url || '|' || ifnull(photo_etag, 'NULL') || '|' || "
                  "mark || '|' || type || '|' || notes || '|' || name FROM contact WHERE id = " +
                  std::to_string(id)),
            "||NULL|0|0||Ann B.");
  EXPECT_EQ(Query("SELECT [is] || '|' || [type] || '|' || tag || '|' || phone FROM fts_contact "
                  "WHERE rowid = " +
                  std::to_string(id)),
            "|||555");
}

TEST_F(ContactEmailTest, ServiceAddressesGetCountersOnlyWhenNew) {
  const int contact = NewContact("Ann", 1, 1);
  int known = 0, isNew = 0;
  ASSERT_EQ(mgr_->GetEmailUniqueId(koString("known@x.org"), 1, &known, &isNew), 1);

  ASSERT_EQ(mgr_->AddEmailForAnalytics(koString("new@x.org"), 1, contact), 1);
  ASSERT_EQ(mgr_->AddEmailForAnalytics(koString("KNOWN@x.org"), 1, contact), 1);
  EXPECT_EQ(Query("SELECT COUNT(*) FROM analytics_email"), "1");
  EXPECT_EQ(Query("SELECT total_sent + total_received + recv_first_mail_id FROM analytics_email "
                  "JOIN email_address ON id = email_address_id WHERE address = 'new@x.org'"),
            "0");
  EXPECT_EQ(Query("SELECT COUNT(*) FROM contact_email_link WHERE contact_id = " +
                  std::to_string(contact)),
            "2");
}

TEST_F(ContactEmailTest, FailedStepsAnswerFailure) {
  const int contact = NewContact("Ann", 1);
  Exec("DROP TABLE fts_contact; DROP TABLE contact_photo; DROP TABLE contact;");
  Reopen();
  ContactEmailMgr mgr(db_.get());
  EXPECT_EQ(mgr.UpdateContactFromServer(contact), 0);
  EXPECT_EQ(mgr.UpdateFtsTags(contact), 0);
  EXPECT_EQ(mgr.UpdateFtsContactEmailList(koString("a@b.org"), contact), 0);
  EXPECT_EQ(mgr.InsertContactPhotoDetails(contact, koString("x")), 0);
  int id = -1;
  EXPECT_EQ(mgr.InsertNonGoogleContact(koString("Bob"), 1, &id), 0);
  EXPECT_EQ(id, -1);
  EXPECT_NE(LogText().find("AddNewContactDetails"), std::string::npos);
  EXPECT_NE(LogText().find("UPDATE fts_contact SET [tag] =?"), std::string::npos);
}

}  // namespace
