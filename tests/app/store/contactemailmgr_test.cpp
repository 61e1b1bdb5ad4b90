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
  // The address's id, and in *isNew (when given) whether it was made now.
  int AddressId(const char* address, int account, int* isNew = nullptr) {
    int id = 0, made = 7;
    EXPECT_EQ(mgr_->GetEmailUniqueId(koString(address), account, &id, &made), 1);
    if (isNew != nullptr) *isNew = made;
    return id;
  }

  std::unique_ptr<ContactEmailMgr> mgr_;
};

TEST_F(ContactEmailTest, AddressIdsArePerAccountAndIgnoreLetterCase) {
  int isNew = 0;
  const int first = AddressId("Ann.Lee@Example.COM", 1, &isNew);
  EXPECT_EQ(isNew, 1);
  EXPECT_EQ(AddressId("ann.lee@example.com", 1, &isNew), first);
  EXPECT_EQ(isNew, 7);  // a known address leaves whatever the caller preset
  EXPECT_NE(AddressId("ann.lee@example.com", 2, &isNew), first);
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
  const int id = AddressId(address.GetString(), 1);
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
  // An empty list starts with the address.
  Exec("INSERT INTO fts_contact (rowid, name) VALUES (500, 'no list')");
  ASSERT_EQ(mgr_->UpdateFtsContactEmailList(koString("a@b.org"), 500), 1);
  EXPECT_EQ(Query("SELECT email FROM fts_contact WHERE rowid = 500"), "\na@b.org");
}

TEST_F(ContactEmailTest, APhotoWithNulBytesRoundTrips) {
  const int contact = NewContact("Pic", 1);
  const std::string bytes("\x89PNG\0\0\x1a\n\0x", 10);
  auto stored = [&]() {
    sqlite3_stmt* stmt = nullptr;
    std::string out;
    const std::string sql =
        "SELECT photo FROM contact_photo WHERE contact_id = " + std::to_string(contact);
    EXPECT_EQ(db_->Prepare(&stmt, sql.c_str()), 1);
    if (db_->Step(&stmt, 1) && db_->GetErrCode() == SQLITE_ROW) {
      out.assign(static_cast<const char*>(db_->GetBlob(&stmt, 0)), db_->GetBytes(&stmt, 0));
    }
    db_->Finalize(&stmt);
    return out;
  };
  koString photo;
  photo.Append(bytes.data(), static_cast<uint32_t>(bytes.size()));
  ASSERT_EQ(mgr_->InsertContactPhotoDetails(contact, photo), 1);
  EXPECT_EQ(stored(), bytes);
  photo.Append("\0tail", 5);
  ASSERT_EQ(mgr_->UpdateContactPhotoDetails(contact, photo), 1);
  EXPECT_EQ(stored(), bytes + std::string("\0tail", 5));
}

TEST_F(ContactEmailTest, LinksKnowTheirAccountAndServiceAddressesGetCountersWhenNew) {
  const int address = AddressId("ann@example.com", 1);
  int mapped = -1, count = -1;
  ASSERT_EQ(mgr_->IsEmailMappedWithContact(address, &mapped), 1);
  EXPECT_EQ(mapped, 0);
  const int elsewhere = NewContact("Ann", 2);
  ASSERT_EQ(mgr_->MapContactToEmailDetails(elsewhere, address), 1);
  ASSERT_EQ(mgr_->MapContactToEmailDetails(elsewhere, address), 1);  // adds nothing
  ASSERT_EQ(mgr_->IsEmailMappedWithContact(address, &mapped), 1);
  EXPECT_EQ(mapped, 1);
  ASSERT_EQ(mgr_->IsContactEmail(address, 1, &count), 1);
  EXPECT_EQ(count, 0);
  ASSERT_EQ(mgr_->IsContactEmail(address, 2, &count), 1);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(Query("SELECT COUNT(*) FROM contact_email_link"), "1");

  const int contact = NewContact("Ann", 1, 1);
  ASSERT_EQ(mgr_->AddEmailForAnalytics(koString("new@x.org"), 1, contact), 1);
  ASSERT_EQ(mgr_->AddEmailForAnalytics(koString("ANN@example.com"), 1, contact), 1);
  EXPECT_EQ(Query("SELECT COUNT(*) FROM analytics_email"), "1");
  EXPECT_EQ(Query("SELECT total_sent + total_received + recv_first_mail_id FROM analytics_email "
                  "JOIN email_address ON id = email_address_id WHERE address = 'new@x.org'"),
            "0");
  EXPECT_EQ(Query("SELECT COUNT(*) FROM contact_email_link WHERE contact_id = " +
                  std::to_string(contact)),
            "2");
}

TEST_F(ContactEmailTest, ContactsAreFoundByNameOrUidAndKeepWhatAnUpdateLeavesOut) {
  int local = -1, found = -1;
  ASSERT_EQ(mgr_->InsertNonGoogleContact(koString("Ann Lee"), 1, &local), 1);
  ASSERT_EQ(mgr_->IsNonGoogleContactAlreadyExist(koString("ann lee"), 1, &found), 1);
  EXPECT_EQ(found, local);

  ContactDetails details;
  details.name.SetAs("Ann");
  details.accountId = 1;
  details.uid.SetAs("uid-1");
  details.mark = details.type = details.hasPhotoEtag = 1;
  details.notes.SetAs("met at 'the' fair");
  details.photoEtag.SetAs("etag-1");
  int id = -1;
  ASSERT_EQ(mgr_->InsertContactDetails(details, &id), 1);
  // A service contact is no local one, and uids are per account.
  for (int account : {1, 2}) {
    found = -1;
    koString etag;
    ASSERT_EQ(mgr_->GetContactIdByUid(koString("uid-1"), account, &found, etag), 1);
    EXPECT_EQ(found, account == 1 ? id : -1);
    found = -1;
    ASSERT_EQ(mgr_->IsNonGoogleContactAlreadyExist(koString("Ann"), account, &found), 1);
    EXPECT_EQ(found, -1);
  }
  // Without the flag the stored etag stays.
  details.hasPhotoEtag = 0;
  details.photoEtag.SetAs("ignored");
  ASSERT_EQ(mgr_->UpdateContactDetails(details, id), 1);
  EXPECT_EQ(Query("SELECT photo_etag FROM contact WHERE id = " + std::to_string(id)), "etag-1");

  // Deleted on the service: a local contact remains, without the service's data and tags.
  ASSERT_EQ(mgr_->InsertFtsContactDetails(details.name, id, koString("a@x.org"), koString("555"),
                                          koString("friends"), details.notes, 1, 1),
            1);
  ASSERT_EQ(mgr_->UpdateContactFromServer(id), 1);
  ASSERT_EQ(mgr_->UpdateFtsTags(id), 1);
  EXPECT_EQ(
      Query("SELECT uid || '|' || ifnull(photo_etag, 'NULL') || '|' || mark || '|' || type || "
            "'|' || notes || '|' || name FROM contact WHERE id = " +
            std::to_string(id)),
      "|NULL|0|0||Ann");
  EXPECT_EQ(Query("SELECT [is] || '|' || [type] || '|' || tag || '|' || phone FROM fts_contact "
                  "WHERE rowid = " + std::to_string(id)),
            "|||555");
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
