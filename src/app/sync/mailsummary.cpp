#include "app/sync/mailsummary.h"

#include <algorithm>
#include <cstring>

#include "app/store/contactemailmgr.h"
#include "app/sync/mailmessage.h"
#include "app/sync/mimetext.h"
#include "core/klog.h"
#include "core/ksqlite.h"
#include "core/sqlitemgr.h"

extern "C" {
#include <c-client/c-client.h>
}

namespace {

const char* const kInsertMail =
    "INSERT INTO [mail]([uid],[message_id],[account_id],[module_id],[received_date],[subject])"
    "VALUES(?, ?, ?, ?, ?, ?)";
const char* const kInsertMailEmail =
    "INSERT INTO mail_email_link ([mail_id],[email_address_id]) VALUES (?, ?)";
const char* const kInsertReference =
    " INSERT INTO [reference_master] ( [mail_id] , [parent_message_id]) VALUES(?, ?)";
const char* const kMailByMessageId =
    "SELECT [id] mailid  ,[module_id] moduleid FROM mail WHERE [message_id] = ? AND account_id = ?";

// Text of the mail that goes into a row: valid UTF-8 whatever the mail held.
void CopyRepaired(const char* text, koString& out) {
  out.SetAs(text != nullptr ? text : "");
  MimeText::RepairUtf8(out);
}

bool IsWrapper(char c) { return c == '"' || c == '\'' || c == '<' || c == '>'; }

void LogUid(const char* format, uint32_t uid) {
  koString msg;
  msg.Format(format, uid);
  KO_LOG(-1, msg.GetString());
}

}  // namespace

MailSummary::MailSummary(koSQLite* db, const char* accountEmail, int accountId)
    : accountEmail_(accountEmail), accountId_(accountId), db_(db),
      contacts_(new ContactEmailMgr(db)) {}

MailSummary::~MailSummary() { delete contacts_; }

void MailSummary::FormatAddress(const ADDRESS* entry, koString& name, koString& address) {
  name.Clear();
  address.Clear();
  if (entry->personal != nullptr) {
    MimeText::DecodeWords(entry->personal, static_cast<uint32_t>(strlen(entry->personal)), name);
    name.Trim();
    if (name.GetLength() > 0 && IsWrapper(name.GetString()[0])) name.TrimLeftChar(name.GetString()[0]);
    uint32_t n = name.GetLength();
    if (n > 0 && IsWrapper(name.GetString()[n - 1])) name.RemoveLast(1);
  }
  // A group's start and end markers have no host at all: no address.
  if (entry->mailbox == nullptr || entry->host == nullptr) return;
  if (entry->host[0] != '\0') {
    address.Format("%s@%s", entry->mailbox, entry->host);
  } else {
    address.SetAs(entry->mailbox);
  }
  MimeText::RepairUtf8(address);
}

bool MailSummary::IsUsableAddress(const koString& address) {
  // Without a domain it is a name the library took for a mailbox, never an address to keep.
  const char* at = strrchr(address.GetString(), '@');
  if (at == nullptr || at == address.GetString() || at[1] == '\0') return false;
  return strcmp(at + 1, ERRHOST) != 0 && strcmp(at + 1, BADHOST) != 0;
}

int MailSummary::SaveMailSummary(MailHeaderDetails& record, const MailMessage& message) {
  if (!SaveMail(record, message)) {
    KO_LOG(-1, "SaveMail");
    return 0;
  }
  if (!InsertReferencesDetails(record, message)) {
    KO_LOG(-1, "InsertReferencesDetails");
    return 0;
  }
  return 1;
}

int MailSummary::SaveMail(MailHeaderDetails& record, const MailMessage& message) {
  counted_.clear();
  record.participants.Clear();
  // A mail without a usable counterpart is stored all the same, but no
  // address, contact or counter is made of nothing.
  const bool hasCounterpart = IsUsableAddress(record.counterpartEmail);
  int counterpartId = 0;
  int isNew = 0;
  if (hasCounterpart &&
      !contacts_->GetEmailUniqueId(record.counterpartEmail, accountId_, &counterpartId, &isNew)) {
    KO_LOG(-1, "GetEmailUniqueId");
    return 0;
  }

  koString subject;
  koString messageId;
  CopyRepaired(record.subject.GetString(), subject);
  CopyRepaired(record.messageId.GetString(), messageId);
  {
    koStatement insert(db_, kInsertMail);
    // The date as 64 bits: a 32-bit column value would turn negative in 2038.
    insert.Int64(record.uid).Text(messageId).Int(accountId_).Int(record.direction)
        .Int64(record.receivedDate).Text(subject);
    koString label;
    label.Format("INSERT_MAIL [MailUid: %u]", record.uid);
    if (!insert.Step(label.GetString())) return 0;
    record.mailId = static_cast<int>(db_->GetLastInsertRowId());
  }

  if (hasCounterpart && !SaveAnalyticDetails(record, counterpartId, isNew)) {
    KO_LOG(-1, "SaveAnalyticDetails");
    return 0;
  }
  if (record.direction == MailMessage::kSent) return SaveRecipients(record, message, counterpartId);
  if (!hasCounterpart) return 1;
  if (!SaveContactDetails(record.counterpartName, record.counterpartEmail, counterpartId)) {
    KO_LOG(-1, "SaveContactDetails");
    return 0;
  }
  record.participants.Format("%s %s", record.counterpartName.GetString(),
                             record.counterpartEmail.GetString());
  if (!InsertMailEmailDetails(record.mailId, counterpartId)) {
    KO_LOG(-1, "InsertMailEmailDetails");
    return 0;
  }
  return 1;
}

int MailSummary::SaveRecipients(MailHeaderDetails& record, const MailMessage& message,
                                int counterpartId) {
  const ENVELOPE* envelope = message.GetEnvelope();
  if (envelope == nullptr) return 1;
  // A failure anywhere fails the mail: the caller's rollback then leaves no
  // half-linked mail behind.
  const ADDRESS* lists[3] = {envelope->to, envelope->bcc, envelope->cc};
  for (const ADDRESS* list : lists) {
    for (const ADDRESS* entry = list; entry != nullptr; entry = entry->next) {
      koString name;
      koString address;
      FormatAddress(entry, name, address);
      address.Trim();
      if (!IsUsableAddress(address)) continue;
      int id = 0;
      int isNew = 0;
      if (!contacts_->GetEmailUniqueId(address, accountId_, &id, &isNew)) {
        LogUid("GetEmailUniqueId [MailUid: %u]", record.uid);
        return 0;
      }
      if (!SaveContactDetails(name, address, id)) {
        KO_LOG(-1, "SaveContactDetails");
        return 0;
      }
      if (!InsertMailEmailDetails(record.mailId, id)) {
        KO_LOG(-1, "InsertMailEmailDetails");
        return 0;
      }
      // The counterpart was counted with the mail; an address named twice
      // counts once.
      if (id != counterpartId && !SaveAnalyticDetails(record, id, isNew)) {
        KO_LOG(-1, "SaveAnalyticDetails");
        return 0;
      }
      record.participants.AppendFormat("%s %s ", name.GetString(), address.GetString());
    }
  }
  return 1;
}

int MailSummary::SaveAnalyticDetails(const MailHeaderDetails& record, int addressId, int isNew) {
  if (std::find(counted_.begin(), counted_.end(), addressId) != counted_.end()) return 1;
  if (isNew && !analytics_.InsertWithFirstMail(db_, addressId, record.mailId, record.direction)) {
    KO_LOG(-1, "InsertAnalyticEmailDetails");
    return 0;
  }
  if (!analytics_.UpdateAnalyticEmailSendRecvCount(db_, record.mailId, addressId,
                                                   record.receivedDate, record.direction, isNew)) {
    KO_LOG(-1, "UpdateAnalyticEmailSendRecvCount");
    return 0;
  }
  counted_.push_back(addressId);
  return 1;
}

int MailSummary::InsertMailEmailDetails(int mailId, int addressId) {
  return koStatement(db_, kInsertMailEmail).Int(mailId).Int(addressId).Step() ? 1 : 0;
}

int MailSummary::SaveContactDetails(koString& name, const koString& address, int addressId) {
  if (name.GetLength() == 0) {
    int mapped = 0;
    if (!contacts_->IsEmailMappedWithContact(addressId, &mapped)) {
      KO_LOG(-1, "IsEmailMappedWithContact");
      return 0;
    }
    if (mapped) return 1;
    name.SetAs(address);
  }
  int count = 0;
  if (!contacts_->IsContactEmail(addressId, accountId_, &count)) {
    KO_LOG(-1, "IsContactEmail");
    return 0;
  }
  if (count > 0) return 1;
  int contactId = -1;
  if (!contacts_->IsNonGoogleContactAlreadyExist(name, accountId_, &contactId)) {
    KO_LOG(-1, "IsNonGoogleContactAlreadyExist");
    return 0;
  }
  if (contactId == -1) {
    koString empty;
    if (!contacts_->InsertNonGoogleContact(name, accountId_, &contactId)) {
      KO_LOG(-1, "InsertNonGoogleContact");
      return 0;
    }
    if (!contacts_->InsertFtsContactDetails(name, contactId, address, empty, empty, empty, 0, 0)) {
      KO_LOG(-1, "InsertFtsContactDetails");
      return 0;
    }
    if (!contacts_->MapContactToEmailDetails(contactId, addressId)) {
      KO_LOG(-1, "InsertNonGoogleContact");
      return 0;
    }
    return 1;
  }
  if (!contacts_->MapContactToEmailDetails(contactId, addressId)) {
    KO_LOG(-1, "MapContactToEmailDetails");
    return 0;
  }
  // Bound as a value: the address goes in exactly as it is.
  if (!contacts_->UpdateFtsContactEmailList(address, contactId)) {
    KO_LOG(-1, "UpdateFtsContactEmailList");
    return 0;
  }
  return 1;
}

int MailSummary::InsertReferencesDetails(const MailHeaderDetails& record,
                                         const MailMessage& message) {
  const ENVELOPE* envelope = message.GetEnvelope();
  if (envelope == nullptr) {
    KO_LOG(-1, "Failed to get ENVELOPE");
    return 0;
  }
  koString root;
  if (envelope->references != nullptr) {
    // The first id names the conversation; folding leaves line breaks and tabs.
    const char* refs = envelope->references;
    refs += strspn(refs, " \t\r\n");
    root.SetAs(refs, static_cast<int>(strcspn(refs, " \t\r\n")));
    MimeText::RepairUtf8(root);
  } else if (envelope->message_id != nullptr) {
    CopyRepaired(envelope->message_id, root);
  } else {
    return 1;
  }
  koStatement insert(db_, kInsertReference);
  if (!insert.Int(record.mailId).Text(root).Step()) {
    KO_LOG(-1, "InsertReferenceMaster");
    return 0;
  }
  return 1;
}

int MailSummary::RemoveMail(int mailId, int direction, SavedFileList& files) {
  if (!analytics_.RebuildAnalyticsEmailOnDeleteMail(db_, mailId, direction)) {
    KO_LOG(-1, "RebuildAnalyticsEmailOnDeleteMail");
    return 0;
  }
  if (gConfigMgr == nullptr || !gConfigMgr->DeleteMails(db_, mailId, files)) {
    KO_LOG(-1, "UpdateDbChangeOnMailCollectionTime");
    return 0;
  }
  return 1;
}

int MailSummary::DeleteMail(int mailId, int direction) {
  if (!SQLiteMgr::ExecuteQuery(db_, "BEGIN IMMEDIATE TRANSACTION")) {
    // Nothing was deleted: the caller must not take the mail as gone.
    KO_LOG(-1, "BEGIN IMMEDIATE TRANSACTION");
    return 0;
  }
  SavedFileList files;
  if (RemoveMail(mailId, direction, files)) {
    if (SQLiteMgr::ExecuteQuery(db_, "END TRANSACTION")) {
      // Only now are the rows gone for good.
      gConfigMgr->DeleteSavedFiles(files);
      return 1;
    }
    KO_LOG(-1, "END TRANSACTION");
  }
  if (!SQLiteMgr::ExecuteQuery(db_, "ROLLBACK TRANSACTION")) KO_LOG(-1, "ROLLBACK TRANSACTION");
  return 0;
}

int MailSummary::CleanTrashAndSpamMovedMailsFromAllMail(const MailMessage& message,
                                                       SavedFileList& files) {
  const ENVELOPE* envelope = message.GetEnvelope();
  if (envelope == nullptr || envelope->message_id == nullptr) return 1;
  koString messageId;
  CopyRepaired(envelope->message_id, messageId);
  int mailId = 0;
  int moduleId = 0;
  {
    koStatement select(db_, kMailByMessageId);
    select.Text(messageId).Int(accountId_);
    if (!select.Step()) {
      KO_LOG(-1, "CheckMailEntryWithMessageId");
      return 0;
    }
    if (!select.HasRow()) return 1;
    mailId = db_->GetInt(select.Handle(), "mailid");
    moduleId = db_->GetInt(select.Handle(), "moduleid");
  }
  return RemoveMail(mailId, moduleId, files);
}
