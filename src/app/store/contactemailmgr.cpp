#include "app/store/contactemailmgr.h"

#include "app/store/analyticmgr.h"
#include "core/klog.h"
#include "core/ksqlite.h"

namespace {

const char* const kStarredWord = "STARRED";
const char* const kServiceWord = "GOOGLE";

void CopyText(koSQLite* db, sqlite3_stmt** stmt, const char* column, koString& out) {
  const char* text = db->GetText(stmt, column);
  if (text != nullptr) out.SetAs(text);
}

}  // namespace

ContactEmailMgr::ContactEmailMgr(koSQLite* db) : db_(db) { db_->SetLog(gLog); }

int ContactEmailMgr::GetEmailDetails(const koString& address, int accountId, int* id) {
  koStatement s(db_,
              "SELECT  [id] emailid FROM email_address WHERE address = ? COLLATE NOCASE AND "
              "account_id = ?");
  if (!s.Text(address).Int(accountId).Step()) return 0;
  if (s.HasRow()) *id = db_->GetInt(s.Handle(), "emailid");
  return 1;
}

int ContactEmailMgr::InsertEmailValues(const koString& address, int accountId, int* id) {
  koStatement s(db_, "INSERT INTO [email_address]([address],[account_id])VALUES (?,?)");
  if (!s.Text(address).Int(accountId).Step()) return 0;
  *id = static_cast<int>(db_->GetLastInsertRowId());
  return 1;
}

int ContactEmailMgr::GetEmailUniqueId(const koString& address, int accountId, int* id, int* isNew) {
  int found = -1;
  if (!GetEmailDetails(address, accountId, &found)) {
    KO_LOG(-1, "GetEmailDetails");
    return 0;
  }
  if (found != -1) {
    *id = found;
    return 1;
  }
  *isNew = 1;
  if (!InsertEmailValues(address, accountId, id)) {
    KO_LOG(-1, "InsertEmailValues");
    return 0;
  }
  return 1;
}

int ContactEmailMgr::IsContactEmail(int addressId, int accountId, int* count) {
  koStatement s(db_,
              "SELECT COUNT(*) cnt FROM contact JOIN contact_email_link ON "
              "[contact_email_link].[contact_id] = [contact].[id] AND [contact].[account_id] = ? "
              "AND [contact_email_link].[email_address_id] = ? LIMIT 1");
  if (!s.Int(accountId).Int(addressId).Step()) return 0;
  if (s.HasRow()) *count = db_->GetInt(s.Handle(), "cnt");
  return 1;
}

int ContactEmailMgr::IsEmailMappedWithContact(int addressId, int* mapped) {
  koStatement s(db_,
              "SELECT COUNT(*) cnt FROM contact_email_link WHERE "
              "[contact_email_link].[email_address_id] = ? limit 1");
  if (!s.Int(addressId).Step()) return 0;
  if (s.HasRow()) *mapped = db_->GetInt(s.Handle(), "cnt") != 0 ? 1 : 0;
  return 1;
}

int ContactEmailMgr::IsNonGoogleContactAlreadyExist(const koString& name, int accountId,
                                                    int* contactId) {
  koStatement s(db_,
              "SELECT [contact].[id] contactid  FROM contact WHERE [contact].[name] = ?  COLLATE "
              "NOCASE AND [contact].[account_id] = ? AND [contact].[type] != 1");
  if (!s.Text(name).Int(accountId).Step()) return 0;
  if (s.HasRow()) *contactId = db_->GetInt(s.Handle(), "contactid");
  return 1;
}

int ContactEmailMgr::MapContactToEmailDetails(int contactId, int addressId) {
  koStatement s(db_,
              "INSERT OR IGNORE INTO [contact_email_link]([contact_id], [email_address_id]) "
              "VALUES (?, ?)");
  return s.Int(contactId).Int(addressId).Step() ? 1 : 0;
}

int ContactEmailMgr::InsertNonGoogleContact(const koString& name, int accountId, int* contactId) {
  ContactDetails details;
  details.name.SetAs(name);
  details.accountId = accountId;
  if (!InsertContactDetails(details, contactId)) {
    KO_LOG(-1, "AddNewContactDetails");
    return 0;
  }
  return 1;
}

int ContactEmailMgr::InsertContactDetails(const ContactDetails& details, int* contactId) {
  koStatement s(db_,
              details.hasPhotoEtag
                  ? "INSERT INTO contact ( [name], [account_id],[uid],[edit_url],[mark],[type], "
                    "[notes], [photo_etag]) VALUES(?,?,?,?,?,?,?,?)"
                  : "INSERT INTO contact ( [name] , [account_id],[uid],[edit_url],[mark],[type],"
                    "[notes] ) VALUES(?,?,?,?,?,?,?)");
  s.Text(details.name)
      .Int(details.accountId)
      .Text(details.uid)
      .Text(details.editUrl)
      .Int(details.mark)
      .Int(details.type)
      .Text(details.notes);
  if (details.hasPhotoEtag) s.Text(details.photoEtag);
  if (!s.Step()) return 0;
  *contactId = static_cast<int>(db_->GetLastInsertRowId());
  return 1;
}

int ContactEmailMgr::UpdateContactDetails(const ContactDetails& details, int contactId) {
  koStatement s(db_,
              details.hasPhotoEtag
                  ? "UPDATE contact SET [name] = ?,[edit_url] = ?, [mark] = ?,[type] = ?, [notes] "
                    "= ?, [photo_etag] = ? WHERE [id] =  ?"
                  : "UPDATE contact SET [name] = ?,edit_url = ?, [mark] = ?,[type] = ? ,[notes] = "
                    "? WHERE [id] =  ?");
  s.Text(details.name)
      .Text(details.editUrl)
      .Int(details.mark)
      .Int(details.type)
      .Text(details.notes);
  if (details.hasPhotoEtag) s.Text(details.photoEtag);
  return s.Int(contactId).Step() ? 1 : 0;
}

int ContactEmailMgr::UpdateContactFromServer(int contactId) {
  koStatement s(db_,
              "UPDATE contact SET [uid] = ? ,[edit_url] = ?,[photo_etag] = ?,[mark] = ? ,[type] = "
              "? ,[notes] = ? WHERE [id] = ?");
  return s.Text("").Text("").Null().Int(0).Int(0).Text("").Int(contactId).Step() ? 1 : 0;
}

int ContactEmailMgr::UpdateFtsTags(int contactId) {
  koStatement s(db_, "UPDATE fts_contact SET [tag] =?, [is] = ?,[type] = ? WHERE [rowid] = ?");
  return s.Text("").Text("").Text("").Int(contactId).Step() ? 1 : 0;
}

int ContactEmailMgr::GetContactIdByUid(const koString& uid, int accountId, int* contactId,
                                       koString& photoEtag) {
  koStatement s(db_,
              "SELECT  [id] contactid, photo_etag  etag FROM CONTACT WHERE [uid] = ? AND "
              "account_id = ?");
  if (!s.Text(uid).Int(accountId).Step()) return 0;
  if (s.HasRow()) {
    *contactId = db_->GetInt(s.Handle(), "contactid");
    CopyText(db_, s.Handle(), "etag", photoEtag);
  }
  return 1;
}

int ContactEmailMgr::GetContactDetails(int contactId, int* type, int* mark, koString& editUrl,
                                       koString& name, koString& notes) {
  koStatement s(db_,
              "SELECT [contact].[type] type,[contact].[mark] mark,[contact].[edit_url] url, "
              "[contact].[name] name ,[contact].[notes] notes FROM contact WHERE [contact].[id] = "
              "?");
  if (!s.Int(contactId).Step()) return 0;
  if (s.HasRow()) {
    *type = db_->GetInt(s.Handle(), "type");
    *mark = db_->GetInt(s.Handle(), "mark");
    CopyText(db_, s.Handle(), "url", editUrl);
    CopyText(db_, s.Handle(), "name", name);
    CopyText(db_, s.Handle(), "notes", notes);
  }
  return 1;
}

int ContactEmailMgr::InsertFtsContactDetails(const koString& name, int rowId, const koString& email,
                                             const koString& phone, const koString& tag,
                                             const koString& notes, int starred, int service) {
  koStatement s(db_,
              "INSERT INTO [fts_contact]([rowid],[name], [email],[phone],[tag],[notes],[is],"
              "[type]) VALUES(?,?,?,?,?,?,?,?) ");
  return s.Int(rowId)
                 .Text(name)
                 .Text(email)
                 .Text(phone)
                 .Text(tag)
                 .Text(notes)
                 .Text(starred == 1 ? kStarredWord : "")
                 .Text(service == 1 ? kServiceWord : "")
                 .Step()
             ? 1
             : 0;
}

int ContactEmailMgr::UpdateFtsContactDetails(int rowId, const koString& name, const koString& email,
                                             const koString& phone, const koString& tag,
                                             const koString& notes, int starred, int service) {
  koStatement s(db_,
              "UPDATE fts_contact  SET [name] = ?,[email] = ?,[phone] =?,[tag] = ? ,[notes] = ? "
              ",[is] = ?,[type] = ? WHERE rowid = ?");
  return s.Text(name)
                 .Text(email)
                 .Text(phone)
                 .Text(tag)
                 .Text(notes)
                 .Text(starred == 1 ? kStarredWord : "")
                 .Text(service == 1 ? kServiceWord : "")
                 .Int(rowId)
                 .Step()
             ? 1
             : 0;
}

int ContactEmailMgr::UpdateFtsContactEmailList(const koString& address, int contactId) {
  // The address comes from mail headers: it is bound, never spliced into the
  // SQL. A contact whose list is NULL starts one.
  koStatement s(db_, "UPDATE [fts_contact] SET [email] = ifnull([email], '') || ? WHERE [rowid] = ?");
  koString entry;
  entry.SetAs("\n");
  entry.Append(address);
  return s.Text(entry).Int(contactId).Step() ? 1 : 0;
}

int ContactEmailMgr::InsertContactPhotoDetails(int contactId, const koString& photo) {
  koStatement s(db_, "INSERT INTO contact_photo ( [contact_id], [photo]) VALUES(?,?)");
  return s.Int(contactId).Text(photo).Step() ? 1 : 0;
}

int ContactEmailMgr::UpdateContactPhotoDetails(int contactId, const koString& photo) {
  koStatement s(db_, "UPDATE contact_photo SET [photo] = ? WHERE [contact_id] = ?");
  return s.Text(photo).Int(contactId).Step() ? 1 : 0;
}

int ContactEmailMgr::AddEmailForAnalytics(const koString& address, int accountId, int contactId) {
  int addressId = 0;
  int isNew = 0;
  if (!GetEmailUniqueId(address, accountId, &addressId, &isNew)) {
    KO_LOG(-1, "GetEmailUniqueId");
    return 0;
  }
  if (isNew) {
    AnalyticMgr analytics;
    if (!analytics.InsertAnalyticEmailDetails(db_, addressId)) {
      KO_LOG(-1, "InsertAnalyticEmailDetails");
      return 0;
    }
  }
  if (!MapContactToEmailDetails(contactId, addressId)) {
    KO_LOG(-1, "MapContactToEmailDetails");
    return 0;
  }
  return 1;
}
