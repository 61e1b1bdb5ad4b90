#include "app/sync/contactservice.h"

#include <cstring>
#include <ctime>
#include <utility>

#include "app/store/configmgr.h"
#include "app/store/groupmgr.h"
#include "app/store/tagmgr.h"
#include "app/sync/gdataclient.h"
#include "core/klog.h"
#include "core/ksqlite.h"
#include "core/kthread.h"
#include "core/sqlitemgr.h"

namespace {

const char kSystemGroupPrefix[] = "System Group:";

bool IsSet(koEvent* event) { return event != nullptr && event->Wait(0) == 1; }

int64_t Now() { return static_cast<int64_t>(time(nullptr)); }

// ExecuteQuery logs the statement's own text on failure.
int BeginTransaction(koSQLite* db) {
  return SQLiteMgr::ExecuteQuery(db, "BEGIN IMMEDIATE TRANSACTION");
}

int EndTransaction(koSQLite* db) { return SQLiteMgr::ExecuteQuery(db, "END TRANSACTION"); }

void RollbackTransaction(koSQLite* db) {
  if (!SQLiteMgr::ExecuteQuery(db, "ROLLBACK TRANSACTION")) KO_LOG(-1, "ROLLBACK_TRANS");
}

// Addresses go into IN (...) as bound values: one may hold an apostrophe.
void AppendPlaceholders(size_t n, koString& sql) {
  for (size_t i = 0; i < n; ++i) sql += i == 0 ? "?" : ",?";
}

void BindAll(koStatement& s, const std::vector<koString>& values) {
  for (const koString& v : values) s.Text(v);
}

void SetContactStatus(const koString& email, const char* text) {
  if (gConfigMgr != nullptr) gConfigMgr->SetContactStatusByEmail(email.GetString(), text);
}

int StoreUpdatedTime(int accountId, int64_t now) {
  return gConfigMgr == nullptr || gConfigMgr->SetContactUpdatedTime(accountId, now);
}

void LogClientError(const GDataClient& client, koString& error) {
  client.GetLastError(error);
  KO_LOG(-1, error.GetString());
}

}  // namespace

ContactService::ContactService(const AccountInfo& account, koSQLite* db)
    : email_(account.email.GetString()),
      password_(account.password.GetString()),
      accountId_(account.id),
      db_(db) {}

ContactService::~ContactService() {
  delete contacts_;
  delete groups_;
  delete emailMgr_;
}

int ContactService::Initialize() {
  delete contacts_;
  delete groups_;
  delete emailMgr_;
  contacts_ = new GDataClient(email_.GetString(), password_.GetString());
  groups_ = new GDataClient(email_.GetString(), password_.GetString());
  emailMgr_ = new ContactEmailMgr(db_);
  signedIn_ = 0;
  return 1;
}

int ContactService::SyncContacts(koEvent* stop, koEvent* wake) {
  if (stop == nullptr || !Initialize()) return 1;
  if (IsSet(stop)) return 1;
  for (;;) {
    RunPass(stop);
    if (IsSet(stop)) break;
    // Without a wake event only the stop event ends the wait early. A wake is
    // taken once: still set, it would run pass after pass until cleared.
    if (wake == nullptr)
      stop->Wait(kPassIntervalMs);
    else if (wake->Wait(kPassIntervalMs))
      wake->Reset();
    if (IsSet(stop)) break;
  }
  return 1;
}

int ContactService::RunPass(koEvent* stop) {
  if (contacts_ == nullptr && !Initialize()) return 0;
  int ok = ReadAndStore(stop);
  ReleaseFeeds();
  return ok;
}

void ContactService::ReleaseFeeds() {
  if (contacts_ != nullptr) contacts_->ReleaseFeed();
  if (groups_ != nullptr) groups_->ReleaseFeed();
  entry_.SetEntry(nullptr);
}

int ContactService::ReadAndStore(koEvent* stop) {
  // Read once per thread, but a failed read is retried with the next pass
  // instead of ending the thread.
  if (!timeLoaded_) {
    if (!GetLastModifiedTimeFromSQLite()) {
      KO_LOG(-1, "GetLastModifiedTimeFromSQLite");
      return 0;
    }
    timeLoaded_ = 1;
  }

  koString error;
  if (!signedIn_) {
    if (!contacts_->Login()) {
      LogClientError(*contacts_, error);
      SetContactStatus(email_, error.GetString());
      return 0;
    }
    koString token;
    contacts_->GetAuthToken(token);
    if (gConfigMgr != nullptr && !gConfigMgr->SetContactAuthToken(accountId_, token.GetString())) {
      KO_LOG(-1, "SetContactLoginAuthToken");
      return 0;
    }
  }
  if (IsSet(stop)) return 1;

  const char* since = modifiedTime_.GetLength() > 0 ? modifiedTime_.GetString() : nullptr;
  int isFeed = 0;
  if (!contacts_->FetchContacts(since, &isFeed)) {
    LogClientError(*contacts_, error);
    SetContactStatus(email_, error.GetString());
    // A token the service stopped accepting would fail every later pass.
    signedIn_ = 0;
    return 0;
  }
  if (!isFeed) {
    KO_LOG(-1, "FetchContacts");
    signedIn_ = 0;
    return 0;
  }

  GDataClient::CopyAuthToken(*contacts_, *groups_);
  if (!groups_->FetchGroups(since, &isFeed) || !isFeed) {
    LogClientError(*groups_, error);
    KO_LOG(-1, "SetContactLoginAuthToken");
    signedIn_ = 0;
    return 0;
  }
  if (!SyncGroups(stop)) {
    KO_LOG(-1, "SetContactLoginAuthToken");
    signedIn_ = 0;
    return 0;
  }
  SetContactStatus(email_, "");
  signedIn_ = 1;
  if (IsSet(stop)) return 1;

  if (!StoreContacts(stop)) {
    KO_LOG(-1, "StoreContacts");
    contacts_->GetLastError(error);
    SetContactStatus(email_, error.GetString());
    signedIn_ = 0;
    return 0;
  }
  return 1;
}

int ContactService::GetLastModifiedTimeFromSQLite() {
  koStatement s(db_,
                "SELECT [last_contact_modified_time]  modify_time FROM account_status  WHERE "
                "account_id = ?");
  if (!s.Int(accountId_).Step()) return 0;
  modifiedTime_.Clear();
  const char* text = s.HasRow() ? db_->GetText(s.Handle(), "modify_time") : nullptr;
  if (text != nullptr) modifiedTime_.SetAs(text);
  return 1;
}

int ContactService::SetLastModifiedTime(const koString& modified, int64_t now, int withStop) {
  if (modified.GetLength() == 0) return 1;
  if (withStop) {
    koStatement s(db_,
                  "UPDATE account_status SET [last_contact_modified_time] = ?  WHERE [account_id] "
                  "= ?");
    return s.Text(modified).Int(accountId_).Step() ? 1 : 0;
  }
  koStatement s(db_,
                "UPDATE account_status SET [last_contact_modified_time] = ?, "
                "[contact_updated_time] = ?  WHERE [account_id] = ?");
  return s.Text(modified).Int64(now).Int(accountId_).Step() ? 1 : 0;
}

int ContactService::UpdateContactUpdatedTime(int64_t now) {
  koStatement s(db_, "UPDATE account_status SET [contact_updated_time] = ? WHERE [account_id] = ?");
  return s.Int64(now).Int(accountId_).Step() ? 1 : 0;
}

int ContactService::StoreContacts(koEvent* stop) {
  if (contacts_ == nullptr) {
    KO_LOG(-1, "StoreContacts");
    return 0;
  }
  const int groupCount = groups_ != nullptr ? groups_->GetEntryCount() : -1;
  const int contactCount = contacts_->GetEntryCount();
  perEntryTimes_ = 0;
  // The feed is newest first: a cut one lacks the oldest entries, which the
  // next pass would never ask for once the modification time moved past them.
  if (!contacts_->IsFeedComplete()) {
    KO_LOG(-1, "Failed to get Contact");
    return 0;
  }

  // The feed is newest first; deletions go first so that an address freed
  // by a deleted contact is free again for the contacts stored after.
  for (int i = contactCount - 1; i >= 0; --i) {
    if (!contacts_->GetEntry(i, entry_)) {
      KO_LOG(-1, "Failed to get Contact");
      return 0;
    }
    if (IsSet(stop)) return 1;
    if (entry_.IsDeleted()) {
      ClearCurrentContact();
      entry_.GetId(uid_);
      if (!ProcessDeletedContact(uid_)) {
        KO_LOG(-1, "Failed to Process Deleted Contacts");
        return 0;
      }
    }
    if (IsSet(stop)) return 1;
  }

  int handled = 0;
  for (int i = contactCount - 1; i >= 0; --i, ++handled) {
    if (!contacts_->GetEntry(i, entry_)) {
      KO_LOG(-1, "Failed to get Contact");
      return 0;
    }
    if (IsSet(stop)) return 1;
    // A pass that may be stopped shows its progress every 20 entries.
    perEntryTimes_ = stop != nullptr && handled % 20 == 0 ? 1 : 0;
    ClearCurrentContact();
    entry_.GetId(uid_);
    if (!SaveContact()) {
      KO_LOG(-1, "SaveContact");
      KO_LOG(-1, "Failed to StoreSingleContact");
      return 0;
    }
    if (IsSet(stop)) return 1;
  }

  const int64_t now = Now();
  if (groupCount == 0 && contactCount == 0) {
    if (!UpdateContactUpdatedTime(now)) KO_LOG(-1, "UpdateContactUpdatedTime");
  } else {
    contacts_->GetUpdated(modifiedTime_);
    if (!SetLastModifiedTime(modifiedTime_, now, stop != nullptr)) KO_LOG(-1, "SetLastModifiedTime");
  }
  if (!StoreUpdatedTime(accountId_, now)) KO_LOG(-1, "SetAccountlastUpdateTime");
  return 1;
}

int ContactService::SyncGroups(koEvent* stop) {
  const int n = groups_ != nullptr ? groups_->GetEntryCount() : 0;
  if (n <= 0) return 1;
  if (!BeginTransaction(db_)) return 0;
  Contact group;
  for (int i = 0; i < n; ++i) {
    // Stopped: nothing of this feed is kept, and the connection is left
    // without an open transaction for whoever uses it next.
    if (IsSet(stop)) {
      RollbackTransaction(db_);
      return 1;
    }
    int ok = groups_->GetEntry(i, group);
    if (!ok) {
      KO_LOG(-1, "Failed to get Contact");
    } else if (group.IsDeleted()) {
      koString uid;
      group.GetId(uid);
      ok = GroupMgr::DeleteGroup(db_, uid.GetString(), accountId_);
      if (!ok) KO_LOG(-1, "DeleteGroup");
    } else {
      ok = AddGroup(group);
      if (!ok) KO_LOG(-1, "InsertGroupDetails");
    }
    if (!ok) {
      RollbackTransaction(db_);
      return 0;
    }
  }
  if (!EndTransaction(db_)) {
    RollbackTransaction(db_);
    return 0;
  }
  return 1;
}

int ContactService::AddGroup(const Contact& entry) {
  GroupDetails group;
  entry.GetTitle(group.name);
  int at = group.name.Find(kSystemGroupPrefix);
  if (at >= 0) {
    koString plain(group.name.GetString() + at + strlen(kSystemGroupPrefix));
    plain.TrimLeft();
    group.name.SetAs(plain);
  }
  entry.GetId(group.uid);
  group.accountId = accountId_;
  if (!GroupMgr::GetGroupId(db_, group.uid.GetString(), accountId_, &group.id)) {
    KO_LOG(-1, "GetGroupDetails");
    return 0;
  }
  return group.id == -1 ? GroupMgr::InsertGroupDetails(db_, group)
                        : GroupMgr::UpdateGroupName(db_, group);
}

void ContactService::ClearCurrentContact() {
  id_ = -1;
  details_.name.Clear();
  details_.accountId = 0;
  details_.editUrl.Clear();
  details_.mark = 0;
  details_.type = 0;
  details_.uid.Clear();
  details_.hasPhotoEtag = 0;
  details_.photoEtag.Clear();
  details_.notes.Clear();
  uid_.Clear();
  photo_.Clear();
  photoEtag_.Clear();
  photoChanged_ = 0;
  tags_.Clear();
  notes_.Clear();
  emailList_.Clear();
  phoneList_.Clear();
  mark_ = 0;
  type_ = 1;
}

int ContactService::GetAddresses(std::vector<koString>& out) const {
  out.clear();
  const int n = entry_.GetEmailCount();
  for (int i = 0; i < n; ++i) {
    koString address;
    int primary = 0;
    if (!entry_.GetEmail(i, address, &primary)) return 0;
    // An element without an address would become an address row "".
    if (address.GetLength() > 0) out.push_back(std::move(address));
  }
  return 1;
}

int ContactService::SaveContact() {
  koString name;
  entry_.GetTitle(name);
  if (name.GetLength() == 0) {
    const int n = entry_.GetEmailCount();
    koString first;
    for (int i = 0; i < n; ++i) {
      koString address;
      int primary = 0;
      if (!entry_.GetEmail(i, address, &primary)) {
        KO_LOG(-1, "GetEmail");
        return 0;
      }
      if (i == 0) first.SetAs(address);
      if (primary) {
        name.SetAs(address);
        break;
      }
    }
    if (name.GetLength() == 0) name.SetAs(first);
  }
  entry_.GetEditUrl(details_.editUrl);
  entry_.GetMark(&mark_);
  entry_.GetContent(notes_);
  const int64_t now = Now();

  if (entry_.IsDeleted() || name.GetLength() == 0) return 1;

  details_.name.SetAs(name);
  details_.accountId = accountId_;
  details_.uid.SetAs(uid_);
  details_.mark = mark_;
  details_.type = type_;
  details_.notes.SetAs(notes_);
  if (!emailMgr_->GetContactIdByUid(uid_, accountId_, &id_, photoEtag_)) {
    KO_LOG(-1, "GetContactDetails");
    return 0;
  }
  if (!GetContactPhoto()) {
    KO_LOG(-1, "GetContactPhoto");
    return 0;
  }
  details_.hasPhotoEtag = photoChanged_;
  details_.photoEtag.SetAs(photoEtag_);
  BuildTags();

  if (!BeginTransaction(db_)) return 0;
  if (!SaveContactDetails()) {
    KO_LOG(-1, "SaveContactDetails");
    RollbackTransaction(db_);
    return 0;
  }
  if (!EndTransaction(db_)) {
    RollbackTransaction(db_);
    return 0;
  }

  if (perEntryTimes_) {
    if (!UpdateContactUpdatedTime(now)) KO_LOG(-1, "UpdateContactUpdatedTime(");
    if (!StoreUpdatedTime(accountId_, now)) KO_LOG(-1, "SetAccountlastUpdateTime");
  }
  return 1;
}

int ContactService::GetContactPhoto() {
  koString raw;
  const int hasEtag = entry_.GetPhotoEtag(raw);
  koString etag;
  for (const char* p = raw.GetString(); *p != 0; ++p) {
    if (*p != '"') etag.Append(p, 1);
  }
  const bool differs = strcmp(etag.GetString(), photoEtag_.GetString()) != 0;
  photoEtag_.SetAs(etag);
  const bool due = id_ == -1 ? hasEtag != 0 : differs;
  if (!due) return 1;

  photoChanged_ = 1;
  // Removed at the service: the stored photo becomes empty.
  if (photoEtag_.GetLength() == 0) return 1;
  koString url;
  entry_.GetPhotoUrl(url);
  uint32_t count = 0;
  if (!contacts_->GetPhoto(url.GetString(), photo_, &count)) {
    koString error;
    LogClientError(*contacts_, error);
    return 0;
  }
  // Without the etag the next change of the entry asks again.
  if (count == 0) photoEtag_.Clear();
  return 1;
}

void ContactService::BuildTags() {
  tags_.Clear();
  const int n = entry_.GetTagCount();
  koString tag;
  for (int i = 0; i < n; ++i) {
    if (!entry_.GetTag(i, tag) || tag.GetLength() == 0) continue;
    if (tags_.GetLength() > 0) tags_ += " ";
    tags_ += tag;
  }
}

int ContactService::BuildPhoneList() {
  phoneList_.Clear();
  const int n = entry_.GetPhoneCount();
  koString phone;
  for (int i = 0; i < n; ++i) {
    if (!entry_.GetPhone(i, phone)) return 0;
    if (i > 0) phoneList_ += "\n";
    phoneList_ += phone;
  }
  return 1;
}

int ContactService::SaveContactDetails() {
  std::vector<koString> addresses;
  if (!GetAddresses(addresses)) {
    KO_LOG(-1, "GetEmail");
    return 0;
  }
  if (!addresses.empty() && !CleanUpNonGoogleContacts(addresses)) {
    KO_LOG(-1, "CleanUpNonGoogleContacts");
    return 0;
  }
  return id_ == -1 ? InsertContact() : UpdateContact();
}

int ContactService::CleanUpNonGoogleContacts(const std::vector<koString>& addresses) {
  // Local contacts all of whose addresses the service contact has: it takes
  // their place. Addresses compare ignoring case, as everywhere.
  koString sql(
      "SELECT mappingdetails.contact_id contactid FROM (SELECT [contact].[id] contactid, "
      "count([contact_email_link].[contact_id]) cnt FROM contact_email_link, contact, "
      "email_address WHERE [contact].[id]  = [contact_email_link].[contact_id] AND "
      "[contact].[account_id] = ? AND [contact].[type] = 0 AND "
      "[contact_email_link].[email_address_id] = [email_address].[id] AND email_address.address "
      "COLLATE NOCASE IN (");
  AppendPlaceholders(addresses.size(), sql);
  sql +=
      ") GROUP BY contactid) AS contactsubsets , (SELECT contact_id, count(contact_id) cnt FROM "
      "contact_email_link GROUP BY contact_id) AS mappingdetails WHERE contactsubsets.contactid = "
      "mappingdetails.contact_id AND contactsubsets.cnt = mappingdetails.cnt ";
  std::vector<int> replaced;
  {
    koStatement s(db_, sql.GetString());
    s.Int(accountId_);
    BindAll(s, addresses);
    while (s.Step() && s.HasRow()) replaced.push_back(db_->GetInt(s.Handle(), "contactid"));
    if (!s.Ready()) return 0;
  }
  for (int contactId : replaced) {
    if (!RemoveContact(contactId, 0)) {
      KO_LOG(-1, "RemoveContact");
      return 0;
    }
  }
  return 1;
}

int ContactService::InsertContact() {
  if (!emailMgr_->InsertContactDetails(details_, &id_)) {
    KO_LOG(-1, "InsertContactDetails");
    return 0;
  }
  if (photoChanged_ && !emailMgr_->InsertContactPhotoDetails(id_, photo_)) {
    KO_LOG(-1, "InsertContactPhotoDetails");
    return 0;
  }
  if (!UpdateEmailDetails()) {
    KO_LOG(-1, "UpdateEmailDetails");
    return 0;
  }
  if (!AddContactGroupDetails()) {
    KO_LOG(-1, "AddContactGroupDetails");
    return 0;
  }
  return StoreTagsAndFullText(1);
}

int ContactService::StoreTagsAndFullText(int isNew) {
  if (!TagMgr::UpdateContactTags(db_, id_, tags_.GetString())) {
    KO_LOG(-1, "InsertContactTags");
    return 0;
  }
  if (!BuildPhoneList()) {
    KO_LOG(-1, isNew ? "Unable to retrieve contact phone numbers" : "Unable to get Phone Number");
    return 0;
  }
  int ok = isNew ? emailMgr_->InsertFtsContactDetails(details_.name, id_, emailList_, phoneList_,
                                                      tags_, notes_, mark_, type_)
                 : emailMgr_->UpdateFtsContactDetails(id_, details_.name, emailList_, phoneList_,
                                                      tags_, notes_, mark_, type_);
  if (!ok) KO_LOG(-1, isNew ? "InsertFtsContactDetails" : "UpdateFtsContactDetails");
  return ok;
}

int ContactService::UpdateContact() {
  if (!emailMgr_->UpdateContactDetails(details_, id_)) {
    KO_LOG(-1, "UpdateContactDetails");
    return 0;
  }
  if (photoChanged_ && !UpdateContactPhotoDetails()) {
    KO_LOG(-1, "UpdateContactPhotoDetails");
    return 0;
  }
  if (!SyncContactEmailDetails()) {
    KO_LOG(-1, "SyncContactEmailDetails");
    return 0;
  }
  if (!UpdateEmailDetails()) {
    KO_LOG(-1, "UpdateEmailDetails");
    return 0;
  }
  if (!UpdateContactGroupDetails()) {
    KO_LOG(-1, "UpdateContactGroupDetails");
    return 0;
  }
  return StoreTagsAndFullText(0);
}

int ContactService::UpdateContactPhotoDetails() {
  int count = 0;
  {
    koStatement s(db_, "SELECT count([contact_id]) cnt FROM contact_photo WHERE [contact_id] = ? LIMIT 1");
    if (!s.Int(id_).Step("GetContactPhotoCount")) return 0;
    if (s.HasRow()) count = db_->GetInt(s.Handle(), "cnt");
  }
  if (count == 0) {
    if (emailMgr_->InsertContactPhotoDetails(id_, photo_)) return 1;
    KO_LOG(-1, "InsertContactPhotoDetails");
    return 0;
  }
  if (emailMgr_->UpdateContactPhotoDetails(id_, photo_)) return 1;
  KO_LOG(-1, "UpdateContactDetails");
  return 0;
}

int ContactService::UpdateEmailDetails() {
  std::vector<koString> addresses;
  if (!GetAddresses(addresses)) {
    KO_LOG(-1, "GetEmail");
    return 0;
  }
  emailList_.Clear();
  for (const koString& address : addresses) {
    if (!emailMgr_->AddEmailForAnalytics(address, accountId_, id_)) {
      KO_LOG(-1, "AddEmail");
      return 0;
    }
    emailList_ += address;
    emailList_ += "\n";
  }
  emailList_.TrimRight();
  return 1;
}

int ContactService::SyncContactEmailDetails() {
  struct Stored {
    int id;
    koString address;
  };
  // Read all first: the links change while they are handled.
  std::vector<Stored> stored;
  {
    koStatement s(db_,
                  "SELECT [email_address].[id] emailid, [email_address].[address] emailaddress FROM "
                  "contact_email_link JOIN email_address ON [contact_email_link].[email_address_id] "
                  "= [email_address].[id] WHERE [contact_email_link].[contact_id] =?");
    s.Int(id_);
    while (s.Step() && s.HasRow()) {
      const char* address = db_->GetText(s.Handle(), "emailaddress");
      stored.push_back({db_->GetInt(s.Handle(), "emailid"), koString(address ? address : "")});
    }
    if (!s.Ready()) return 0;
  }
  for (const Stored& row : stored) {
    if (!HandleRemovedEmail(row.id, row.address)) {
      KO_LOG(-1, "HandleRemovedEmail");
      return 0;
    }
  }
  return 1;
}

int ContactService::HandleRemovedEmail(int addressId, const koString& address) {
  std::vector<koString> current;
  if (!GetAddresses(current)) {
    KO_LOG(-1, "GetEmail");
    return 0;
  }
  // The service may spell a stored address in another letter case.
  for (const koString& kept : current) {
    if (kept.EqualsNoCase(address.GetString())) return 1;
  }
  {
    koStatement s(db_, "DELETE FROM contact_email_link WHERE contact_id = ? AND email_address_id = ?");
    if (!s.Int(id_).Int(addressId).Step("DeleteContactToEmailMappingDetails")) return 0;
  }
  int others = 0;
  {
    koStatement s(db_,
                  "SELECT COUNT(*) as cnt FROM contact_email_link WHERE contact_id != ?AND "
                  "email_address_id = ?");
    if (!s.Int(id_).Int(addressId).Step("IsEmailMappedWithAnyContact")) return 0;
    if (s.HasRow()) others = db_->GetInt(s.Handle(), "cnt");
  }
  return others > 0 ? 1 : AddContactWithEmailAsContactName(addressId, address);
}

int ContactService::AddContactWithEmailAsContactName(int addressId, const koString& address) {
  int contactId = -1;
  if (!emailMgr_->InsertNonGoogleContact(address, accountId_, &contactId)) {
    KO_LOG(-1, "InsertNonGoogleContact");
    return 0;
  }
  koString empty;
  if (!emailMgr_->InsertFtsContactDetails(address, contactId, address, empty, empty, empty, 0, 0)) {
    KO_LOG(-1, "InsertFtsContactDetails");
    return 0;
  }
  if (!emailMgr_->MapContactToEmailDetails(contactId, addressId)) {
    KO_LOG(-1, "MapContactToEmailDetails");
    return 0;
  }
  return 1;
}

int ContactService::AddContactGroupDetails() { return LinkGroups(false); }

int ContactService::UpdateContactGroupDetails() { return LinkGroups(true); }

int ContactService::LinkGroups(bool followDeletions) {
  const int n = entry_.GetGroupCount();
  koString href;
  for (int i = 0; i < n; ++i) {
    entry_.GetGroupMembership(i, href);
    int32_t groupId = -1;
    if (!GroupMgr::GetGroupId(db_, href.GetString(), accountId_, &groupId)) {
      KO_LOG(-1, "GetGroupId");
      return 0;
    }
    // A group that is not stored has no link to make or drop. Failing here
    // would fail every later pass as well, since the same entry comes back
    // until the pass completes.
    if (groupId == -1) continue;
    int deleted = 0;
    if (followDeletions) entry_.IsGroupDeleted(i, &deleted);
    int ok = deleted ? GroupMgr::UnlinkContactFromGroup(db_, id_, groupId)
                     : GroupMgr::LinkContactToGroup(db_, id_, groupId);
    if (!ok) {
      KO_LOG(-1, "MapContactToGroup");
      return 0;
    }
  }
  return 1;
}

int ContactService::ProcessDeletedContact(const koString& uid) {
  int contactId = -1;
  koString etag;
  if (emailMgr_ == nullptr || !emailMgr_->GetContactIdByUid(uid, accountId_, &contactId, etag)) {
    KO_LOG(-1, "GetContactDetails");
    return 0;
  }
  if (contactId == -1) return 1;

  std::vector<koString> addresses;
  {
    koStatement s(db_, "SELECT [email] emaillist FROM fts_contact WHERE [rowid] = ?");
    if (!s.Int(contactId).Step("GetFtsContactEmailList")) return 0;
    const char* text = s.HasRow() ? db_->GetText(s.Handle(), "emaillist") : nullptr;
    koString list(text != nullptr ? text : "");
    koString address;
    while (list.CutToken("\n", address)) {
      address.Trim();
      if (address.GetLength() > 0) addresses.push_back(std::move(address));
    }
  }

  int mailCount = 0;
  {
    koString sql(
        "SELECT count([email_address_id]) cnt FROM mail_email_link WHERE [email_address_id] IN "
        "(SELECT  [id]  FROM email_address WHERE  address COLLATE NOCASE IN ( ");
    AppendPlaceholders(addresses.size(), sql);
    sql += ")  AND [account_id] = ? )";
    koStatement s(db_, sql.GetString());
    BindAll(s, addresses);
    if (!s.Int(accountId_).Step("GetMailReferenceCountWithEmailList")) return 0;
    if (s.HasRow()) mailCount = db_->GetInt(s.Handle(), "cnt");
  }

  if (!BeginTransaction(db_)) {
    KO_LOG(-1, "BEGIN_TRANS");
    return 0;
  }
  const char* failed = nullptr;
  if (!emailMgr_->UpdateContactFromServer(contactId)) {
    failed = "MarkContactAsNonGoogleContact";
  } else if (!emailMgr_->UpdateFtsTags(contactId)) {
    failed = "MarkFtsContactAsNonGoogleContact";
  } else {
    koStatement s(db_, "DELETE FROM contact_photo WHERE [contact_id] = ?");
    if (!s.Int(contactId).Step()) failed = "MarkFtsContactAsNonGoogleContact";
  }
  if (failed == nullptr && mailCount == 0 && !RemoveContact(contactId, 1))
    failed = "GetMailReferenceCountWithEmailList";
  if (failed == nullptr && !EndTransaction(db_)) failed = "END_TRANS";
  if (failed != nullptr) {
    KO_LOG(-1, failed);
    RollbackTransaction(db_);
    return 0;
  }
  return 1;
}

int ContactService::RemoveContact(int contactId, int withPhoto) {
  static const char* const kDeletes[] = {
      "DELETE FROM contact WHERE [id] = ?",
      "DELETE FROM fts_contact WHERE rowid = ?",
      "DELETE FROM contact_photo WHERE [contact_id] = ?",
  };
  for (const char* sql : kDeletes) {
    if (!withPhoto && strstr(sql, "contact_photo") != nullptr) continue;
    koStatement s(db_, sql);
    if (!s.Int(contactId).Step("DeleteContact")) return 0;
  }
  {
    koStatement s(db_, "DELETE FROM contact_email_link WHERE contact_id = ?");
    if (!s.Int(contactId).Step("DeleteContactToEmailMappingDetails")) return 0;
  }
  if (!GroupMgr::UnlinkContactFromAllGroups(db_, contactId) ||
      !TagMgr::DeleteAllContactTags(db_, contactId)) {
    KO_LOG(-1, "DeleteAllContactToTagsMap");
    return 0;
  }
  return 1;
}
