#include "app/web/contactreqhandler.h"

#include <strings.h>

#include <climits>
#include <cstring>
#include <functional>
#include <vector>

#include "app/store/configmgr.h"
#include "app/store/contact.h"
#include "app/store/contactemailmgr.h"
#include "app/store/tagmgr.h"
#include "app/sync/gdataclient.h"
#include "core/klog.h"
#include "core/ksqlite.h"
#include "core/sqlitemgr.h"

namespace {

const char kAddresses[] =
    "SELECT [address] emailaddress FROM [email_address] WHERE [id] IN (SELECT [email_address_id] FROM "
    "[contact_email_link] WHERE [contact_id] = ?)";
const char kStoredTags[] =
    "SELECT [tag].[name] name FROM [contact_tag_link] JOIN [TAG] ON [contact_tag_link].[tag_id] = [tag].[id] WHERE "
    "[contact_tag_link].[contact_id] = ? ";
const char kUpdateContact[] = "UPDATE contact SET [uid] = ?,[edit_url] = ?, [mark] = ?,[type] = ? WHERE [id] =  ?";
const char kUpdateContactNotes[] =
    "UPDATE contact SET [uid] = ?,[edit_url] = ?, [mark] = ?,[type] = ? ,[notes] = ? WHERE [id] =  ?";
const char kUpdateFts[] = "UPDATE [fts_contact] SET [is] = ?, [type] = ? WHERE [rowid] =  ?";
const char kUpdateFtsNotes[] = "UPDATE [fts_contact] SET [is] = ?, [type] = ?, [notes] = ? WHERE [rowid] =  ?";
const char kUpdateFtsTags[] = "UPDATE [fts_contact] SET tag = ? WHERE [rowid] = ?";
const char kNotFound[] = "contact not found";

// Exactly the name, over the whole parameter: a decoded zero byte must not
// end the comparison early.
bool IsAction(const koString& action, const char* name) {
  return action.GetLength() == strlen(name) && memcmp(action.GetString(), name, action.GetLength()) == 0;
}

// An id parameter; what is no id in range reads as 0, which names nothing.
int IdOf(const koString& text) {
  int64_t value = text.ToInt64();
  return value > 0 && value <= INT_MAX ? static_cast<int>(value) : 0;
}

// A column of every row of a statement with the contact id as its one
// parameter.
int ReadTexts(koSQLite& db, const char* sql, const char* column, int contactId, std::vector<koString>& out) {
  koStatement statement(&db, sql);
  statement.Int(contactId);
  while (statement.Step()) {
    if (!statement.HasRow()) return 1;
    const char* text = db.GetText(statement.Handle(), column);
    out.emplace_back(text != nullptr ? text : "");
  }
  return 0;
}

// The page's tag list: names between blanks, each once (ignoring case, as
// the tag table compares them).
void SplitTags(const koString& text, std::vector<koString>& tags) {
  koString list(text.GetString());
  koString name;
  while (list.CutToken(" ", name)) {
    if (name.GetLength() == 0) continue;
    bool known = false;
    for (const koString& tag : tags) known = known || tag.EqualsNoCase(name.GetString());
    if (!known) tags.emplace_back(name.GetString());
  }
}

void JoinTags(const std::vector<koString>& tags, koString& out) {
  out.Clear();
  for (const koString& tag : tags) {
    if (out.GetLength() > 0) out += " ";
    out += tag;
  }
}

// The system's extended property with the mark and the tags.
void ExtendedProperty(int mark, const std::vector<koString>& tags, koString& out) {
  ContactField field;
  field.SetValue(mark);
  for (const koString& tag : tags) FormatTagXml(field, tag.GetString());
  FormatExtendedPropertyXml(field, out);
}

// One statement of the change's transaction; a failure is logged with the
// action's label.
bool Run(koStatement& statement, const char* label) {
  if (statement.Step()) return true;
  KO_LOG(-1, label);
  return false;
}

// Holds ConfigMgr's account lock as reader or writer for its scope.
class AccountLock {
 public:
  AccountLock(koRWLock& lock, bool exclusive) : lock_(lock) {
    if (exclusive)
      lock_.WriteLock();
    else
      lock_.ReadLock();
  }
  ~AccountLock() { lock_.Unlock(); }
  AccountLock(const AccountLock&) = delete;
  AccountLock& operator=(const AccountLock&) = delete;

 private:
  koRWLock& lock_;
};

}  // namespace

struct ContactReqHandler::Values {
  int contactId = 0;
  koString name;
  std::vector<koString> addresses;  // of a new entry
  koString editUrl;                 // empty: the service gets a new entry
  koString notes;
  int mark = 0;
  std::vector<koString> tags;
};

ContactReqHandler::ContactReqHandler(koHttpConnection* connection, int argument)
    : ObjectBase(connection, argument) {}

ContactReqHandler::~ContactReqHandler() = default;

void ContactReqHandler::RunAction(const koString& action) {
  Action which;
  if (IsAction(action, "EditInfo")) {
    which = kEditInfo;
  } else if (IsAction(action, "UpdateMark")) {
    which = kUpdateMark;
  } else if (IsAction(action, "Create")) {
    which = kCreate;
  } else {
    SetRedirect("/index.html");
    return;
  }
  if (gConfigMgr == nullptr) {
    KO_LOG(-1, "ContactReqHandler: no configuration");
    response_.SetAs("0");
    return;
  }
  response_.SetAs(Change(which) ? "1" : "0");
}

int ContactReqHandler::SetContactLoginAuthToken(GDataClient& client, AccountInfo& account) {
  if (account.contactAuthToken.GetLength() > 0) {
    client.SetAuthToken(account.contactAuthToken.GetString());
    return 1;
  }
  if (!client.Login()) {
    koString error;
    client.GetLastError(error);
    KO_LOG(-1, error.GetString());
    return 0;
  }
  client.GetAuthToken(account.contactAuthToken);
  if (!gConfigMgr->SetContactAuthToken(account.id, account.contactAuthToken.GetString())) {
    KO_LOG(-1, "SetContactLoginAuthToken");
    return 0;
  }
  return 1;
}

int ContactReqHandler::GetContactDetailsFromXMLResponse(const koString& answer, koString& uid, koString& editUrl) {
  Contact entry;
  if (!entry.Load(answer)) {
    KO_LOG(-1, "Invalid xml");
    return 0;
  }
  if (!entry.GetId(uid) || uid.GetLength() == 0) {
    KO_LOG(-1, "GetContactId");
    return 0;
  }
  if (!entry.GetEditUrl(editUrl) || editUrl.GetLength() == 0) {
    KO_LOG(-1, "GetContactEditUrl");
    return 0;
  }
  return 1;
}

int ContactReqHandler::Change(Action action) {
  koSQLite db(gLog);
  if (!SQLiteMgr::Open(&db, SQLiteMgr::kSummaryDatabase)) {
    KO_LOG(-1, SQLiteMgr::kSummaryDatabase);
    return 0;
  }
  AccountLock accounts(*gConfigMgr->GetAccountsLock(), action == kUpdateMark);
  return ChangeLocked(action, db);
}

int ContactReqHandler::ChangeLocked(Action action, koSQLite& db) {
  AccountInfo account;
  if (!gConfigMgr->GetAccountById(IdOf(*connection_->GetParameter("accountid")), account)) {
    KO_LOG(-1, "Invalid Account id");
    return 0;
  }
  Values values;
  values.contactId = IdOf(*connection_->GetParameter("contactid"));
  ContactEmailMgr contacts(&db);
  int type = -1;
  int storedMark = 0;
  koString storedNotes;
  if (!contacts.GetContactDetails(values.contactId, &type, &storedMark, values.editUrl, values.name, storedNotes)) {
    KO_LOG(-1, "GetContactDetails");
    return 0;
  }
  // No such contact: nothing is sent anywhere.
  if (type == -1) {
    KO_LOG(-1, "GetContactDetails: no such contact");
    return 0;
  }
  if (action == kCreate) values.editUrl.Clear();
  // A new entry carries what is stored besides the change, so that the next
  // synchronisation, which stores the service's entry, keeps it.
  values.notes.SetAs(action == kEditInfo ? *connection_->GetParameter("notes") : storedNotes);
  values.mark = action == kUpdateMark ? (connection_->GetParameter("mark")->ToInt64() != 0 ? 1 : 0) : storedMark;
  int ok = 1;
  if (action == kEditInfo) {
    SplitTags(*connection_->GetParameter("tags"), values.tags);
  } else {
    ok = ReadTexts(db, kStoredTags, "name", values.contactId, values.tags);
  }
  if (ok && values.editUrl.GetLength() == 0)
    ok = ReadTexts(db, kAddresses, "emailaddress", values.contactId, values.addresses);
  if (!ok) {
    KO_LOG(-1, "GetContactDetails");
    return 0;
  }

  GDataClient client(account.email.GetString(), account.password.GetString());
  koString answer;
  if (!SendToService(client, account, values, answer)) return 0;
  koString uid;
  koString editUrl;
  if (!GetContactDetailsFromXMLResponse(answer, uid, editUrl)) {
    KO_LOG(-1, "GetContactDetailsFromXMLResponse");
    // A new entry exists at the service all the same.
    return action == kCreate ? 1 : 0;
  }
  const int newType = type == 1 ? 1 : 2;
  // The service has the change: a failed write is the next synchronisation's
  // to mend.
  StoreChange(db, action, values.contactId, uid, editUrl, values, newType, storedNotes);
  return 1;
}

int ContactReqHandler::SendToService(GDataClient& client, AccountInfo& account, const Values& values,
                                     koString& answer) {
  koString property;
  ExtendedProperty(values.mark, values.tags, property);
  koString groupId;
  // One attempt: 1 done, 0 failed (failure says why; a fresh sign-in may
  // help), -1 failed for good (logged).
  std::function<int(koString&)> attempt;
  if (values.editUrl.GetLength() == 0) {
    attempt = [&](koString& failure) {
      if (groupId.GetLength() == 0 && !client.GetMyContactsGroupId(groupId)) {
        failure.SetAs("Failed to get my contact group id");
        return 0;
      }
      ContactFields fields;
      fields.FormatNameXml(values.name.GetString());
      for (size_t i = 0; i < values.addresses.size(); ++i)
        fields.FormatEmailXml(values.addresses[i].GetString(), "home", i == 0);
      fields.FormatContentXml(values.notes.GetString());
      fields.GetMarkField().SetValue(values.mark);
      for (const koString& tag : values.tags) FormatTagXml(fields.GetMarkField(), tag.GetString());
      koString text;
      fields.BuildContactEntryXml(text);
      Contact entry;
      if (!entry.Load(text) || !entry.AddGroupMembership(groupId.GetString()) || !entry.ToXmlString(text)) {
        KO_LOG(-1, "BuildContactEntryXml");
        return -1;
      }
      // An error page is a transfer that succeeded with no entry.
      if (!client.CreateContact(text.GetString(), answer) || answer.GetLength() == 0) {
        client.GetLastError(failure);
        return 0;
      }
      return 1;
    };
  } else {
    attempt = [&](koString& failure) {
      koString body;
      if (!client.Get(values.editUrl.GetString(), body)) {
        failure.SetAs("Failed to get contact XML");
        return 0;
      }
      if (strncasecmp(body.GetString(), kNotFound, strlen(kNotFound)) == 0) {
        KO_LOG(-1, "Contact cannot found");
        return -1;
      }
      // What is no entry is most likely the service refusing the token.
      Contact entry;
      if (!entry.Load(body)) {
        failure.SetAs("Invalid XML");
        return 0;
      }
      if (!entry.SetContent(values.notes.GetString()) || !entry.ReplaceExtendedProperty(property.GetString())) {
        KO_LOG(-1, "ReplacePostvaneProperties");
        return -1;
      }
      if (!client.UpdateContact(values.editUrl.GetString(), entry, answer)) {
        client.GetLastError(failure);
        return 0;
      }
      return 1;
    };
  }
  for (int round = 1;; ++round) {
    if (!SetContactLoginAuthToken(client, account)) {
      KO_LOG(-1, "SetAuthenticationDetails");
      return 0;
    }
    koString failure;
    int rc = attempt(failure);
    if (rc == 1) return 1;
    if (rc < 0) return 0;
    if (round == 2) {
      KO_LOG(-1, failure.GetLength() > 0 ? failure.GetString() : "contacts service");
      return 0;
    }
    // The cached token may be stale: the second round signs in anew.
    account.contactAuthToken.Clear();
    if (!gConfigMgr->SetContactAuthToken(account.id, "")) {
      KO_LOG(-1, "SetContactLoginAuthToken");
      return 0;
    }
  }
}

int ContactReqHandler::StoreChange(koSQLite& db, Action action, int contactId, const koString& uid,
                                   const koString& editUrl, const Values& values, int type,
                                   const koString& storedNotes) {
  const char* starred = values.mark == 1 ? "STARRED" : "";
  const char* service = type != 0 ? "GOOGLE" : "";
  // Notes are written only when the page changed them.
  const bool notes = action == kEditInfo && strcmp(values.notes.GetString(), storedNotes.GetString()) != 0;
  if (!SQLiteMgr::ExecuteQuery(&db, "BEGIN IMMEDIATE TRANSACTION")) {
    KO_LOG(-1, "BEGIN IMMEDIATE TRANSACTION");
    return 0;
  }
  bool ok = true;
  if (action == kEditInfo) {
    koString tags;
    JoinTags(values.tags, tags);
    koStatement fts(&db, kUpdateFtsTags);
    fts.Text(tags).Int(contactId);
    if (!TagMgr::UpdateContactTags(&db, contactId, tags.GetString())) {
      KO_LOG(-1, "UpdateContactTags");
      ok = false;
    }
    ok = ok && fts.Step();
    if (!ok) KO_LOG(-1, "UpdateTags");
  }
  if (ok) {
    koStatement contact(&db, notes ? kUpdateContactNotes : kUpdateContact);
    contact.Text(uid).Text(editUrl).Int(values.mark).Int(type);
    if (notes) contact.Text(values.notes);
    contact.Int(contactId);
    ok = Run(contact, "UpdateContactDetails");
  }
  if (ok) {
    koStatement fts(&db, notes ? kUpdateFtsNotes : kUpdateFts);
    fts.Text(starred).Text(service);
    if (notes) fts.Text(values.notes);
    fts.Int(contactId);
    ok = Run(fts, action == kCreate ? "UpdateContactDetails" : "UpdateFTSContactDetails");
  }
  if (ok && SQLiteMgr::ExecuteQuery(&db, "END TRANSACTION")) return 1;
  if (ok) KO_LOG(-1, "END TRANSACTION");
  if (!SQLiteMgr::ExecuteQuery(&db, "ROLLBACK TRANSACTION")) KO_LOG(-1, "END TRANSACTION");
  return 0;
}
