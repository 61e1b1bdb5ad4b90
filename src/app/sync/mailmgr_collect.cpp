// Collecting one message of the open folder: fetch, the decision to store,
// the summary and attachments in one transaction with the range that
// covers the message.
#include <strings.h>

#include <cstring>
#include <ctime>

#include "app/sync/callbacks.h"
#include "app/sync/mailmgr.h"
#include "app/sync/mailpreparer.h"
// After the standard headers: the mail library defines min and max.
#include "app/sync/mailmgr_internal.h"
#include "app/sync/mailsummary.h"
#include "app/sync/mimetext.h"
#include "app/sync/processattachment.h"
#include "core/kdate.h"
#include "core/ksqlite.h"
#include "core/sqlitemgr.h"

namespace {

// The server's words for a message it will not hand out; the rest of the
// pass goes on without it.
const char kRefused[] = "Some messages could not be FETCHed";

// The provider's own notices come without Delivered-To and are stored.
const char* const kNoticeFromLines[] = {
    "From: Gmail Team <mail-noreply@google.com>",
    "From: \"Gmail Team\" <mail-noreply@google.com>",
    "From: Google Mail Team <mail-noreply@google.com>",
    "From: \"Google Mail Team\" <mail-noreply@google.com>",
};

bool Contains(const char* text, size_t length, const char* needle) {
  return memmem(text, length, needle, strlen(needle)) != nullptr;
}

}  // namespace

int IsUndeliveredMessage(const char* text, uint32_t length, int* noDeliveredTo) {
  *noDeliveredTo = 0;
  // Only the header counts: a body may quote anything.
  const char* end = static_cast<const char*>(memmem(text, length, "\r\n\r\n", 4));
  size_t header = end ? static_cast<size_t>(end - text) + 2 : length;
  if ((header >= 13 && strncasecmp(text, "Delivered-To:", 13) == 0) || Contains(text, header, "\r\nDelivered-To:"))
    return 0;
  *noDeliveredTo = 1;
  for (const char* line : kNoticeFromLines)
    if (Contains(text, header, line)) return 0;
  return 1;
}

int MailMgr::GetMessageDateTime(int64_t* when) {
  ENVELOPE* envelope = message_.GetEnvelope();
  *when = 0;
  if (envelope == nullptr) {
    KO_LOG(-1, "Failed to get ENVELOPE");
    return 0;
  }
  const char* date = reinterpret_cast<const char*>(envelope->date);
  if (date == nullptr) {
    MAILMGR_LOGF("Invalid message date, msguid: %u", currentUid_);
  } else {
    MESSAGECACHE elt;
    memset(&elt, 0, sizeof elt);
    if (mail_parse_date(&elt, reinterpret_cast<unsigned char*>(const_cast<char*>(date)))) {
      *when = static_cast<int64_t>(mail_longdate(&elt));
    } else {
      KO_LOG(-1, "Failed in mail_parse_date, try with koDate::strptime");
      struct tm fields;
      memset(&fields, 0, sizeof fields);
      if (koDate::strptime(date, "%a, %b %d, %Y %H:%M:%S", &fields) ||
          (memset(&fields, 0, sizeof fields), koDate::strptime(date, "%a %b %d %H:%M:%S %Y", &fields))) {
        fields.tm_year += 70;
        *when = static_cast<int64_t>(timegm(&fields));
      } else {
        KO_LOG(-1, "Failed to koDate::strptime");
      }
    }
  }
  if (*when == 0) MAILMGR_LOGF("Invalid date, %s", date ? date : "NULL");
  return 1;
}

int MailMgr::ReadEnvelopeAddresses(MailHeaderDetails& record) {
  ENVELOPE* envelope = message_.GetEnvelope();
  if (envelope == nullptr) {
    KO_LOG(-1, "Failed to get ENVELOPE");
    return 0;
  }
  record.messageId.SetAs(envelope->message_id ? envelope->message_id : "");
  const ADDRESS* counterpart = record.direction == MailMessage::kSent
                                   ? (envelope->to ? envelope->to : envelope->bcc ? envelope->bcc : envelope->cc)
                                   : envelope->from;
  if (counterpart == nullptr) {
    KO_LOG(-1, "Failed to get ADDRESS");
    record.counterpartName.Clear();
    record.counterpartEmail.Clear();
    return 1;
  }
  MailSummary::FormatAddress(counterpart, record.counterpartName, record.counterpartEmail);
  return 1;
}

int MailMgr::CollectMailHeaderDetails(MailHeaderDetails& record) {
  int64_t when = 0;
  if (!GetMessageDateTime(&when)) {
    KO_LOG(-1, "GetMessageDateTime");
    return 0;
  }
  record.direction = message_.GetDirection();
  if (!ReadEnvelopeAddresses(record)) return 0;
  message_.GetSubject(record.subject);
  record.receivedDate = when;
  mailDate_ = when;
  record.uid = currentUid_;
  return 1;
}

int MailMgr::GetMailHeaderDetailsFromSqlite(MailHeaderDetails& record, int* notFound) {
  const char* byUid = "SELECT id ,uid  ,subject ,received_date ,module_id FROM mail WHERE [account_id] = ? AND [uid] = ?";
  // The mail table has no index on uid: by it, every mail of the account is
  // read. The message's own identifier, as the mail walk stored it, has one
  // (the "+" keeps SQLite on that index); a uid names one mail of the
  // account, so both find the same row. A mail not found so (gone, or never
  // stored) is searched for by uid alone.
  const char* byMessageId =
      "SELECT id ,uid  ,subject ,received_date ,module_id FROM mail WHERE [message_id] = ? AND +[account_id] = ? AND "
      "+[uid] = ?";
  ENVELOPE* envelope = message_.GetEnvelope();
  // As the summary store writes it.
  koString messageId(envelope && envelope->message_id ? envelope->message_id : "");
  MimeText::RepairUtf8(messageId);
  for (int pass = 0; pass < 2; ++pass) {
    koStatement s(db_, pass == 0 ? byMessageId : byUid);
    if (pass == 0) s.Text(messageId);
    // Either way a failure is reported as the search by uid.
    if (!s.Int(accountId_).Int64(currentUid_).Step(byUid)) return 0;
    if (!s.HasRow()) continue;
    *notFound = 0;
    record.mailId = db_->GetInt(s.Handle(), "id");
    record.uid = currentUid_;
    const char* subject = db_->GetText(s.Handle(), "subject");
    record.subject.SetAs(subject ? subject : "");
    record.receivedDate = db_->GetInt64(s.Handle(), "received_date");
    record.direction = db_->GetInt(s.Handle(), "module_id");
    return 1;
  }
  *notFound = 1;
  return 1;
}

void MailMgr::FormatAddressList(MailHeaderDetails& record) {
  record.participants.Clear();
  if (record.direction != MailMessage::kSent) {
    record.participants.Format("%s %s", record.counterpartName.GetString(), record.counterpartEmail.GetString());
    return;
  }
  ENVELOPE* envelope = message_.GetEnvelope();
  if (envelope == nullptr) return;
  for (const ADDRESS* list : {envelope->to, envelope->bcc, envelope->cc})
    for (const ADDRESS* a = list; a != nullptr; a = a->next) {
      koString name;
      koString address;
      MailSummary::FormatAddress(a, name, address);
      record.participants.AppendFormat("%s %s ", name.GetString(), address.GetString());
    }
}

int MailMgr::ProcessMail(MailHeaderDetails& record, int kind) {
  if (kind != kAttachmentsOnly && !summary_->SaveMailSummary(record, message_)) {
    KO_LOG(-1, "SaveMailSummary");
    return 0;
  }
  if (kind == kAttachmentsOnly) FormatAddressList(record);
  if (kind != kSummaryOnly && !attachments_->SaveAttachmentSummary(record, message_)) {
    KO_LOG(-1, "SaveAttachmentSummary");
    return 0;
  }
  return 1;
}

void MailMgr::NextRange(int module, int walking, uint32_t* from, uint32_t* to) const {
  const bool mail = module == kModuleAllMail;
  *from = mail ? mailFrom_ : attachmentFrom_;
  *to = mail ? mailTo_ : attachmentTo_;
  // The walk moves the lower end, arrivals the upper one; a range's first
  // message sets both.
  if (walking || *from == 0) *from = currentUid_;
  if (!walking || *to == 0) *to = currentUid_;
}

int MailMgr::UpdateModuleColumns(int module, int walking, int stored) {
  const bool mail = module == kModuleAllMail;
  uint32_t from = 0;
  uint32_t to = 0;
  NextRange(module, walking, &from, &to);
  const int processed = (mail ? mailProcessed_ : attachmentProcessed_) + (walking && countThis_ ? 1 : 0);
  if (from != (mail ? mailFrom_ : attachmentFrom_)) {
    const char* sql = stored && mail
                          ? "UPDATE [module] SET [last_processed_uid_from] = ?, [processed_uid_from] = ? , "
                            "[processed_msgs] = ? WHERE [account_id] = ? AND [id] = ?"
                          : "UPDATE [module] SET [last_processed_uid_from] = ? , [processed_msgs] = ? WHERE "
                            "[account_id] = ? AND [id] = ?";
    koStatement s(db_, sql);
    s.Int64(from);
    if (stored && mail) s.Int64(from);
    if (!s.Int(processed).Int(accountId_).Int(module).Step()) return 0;
  }
  if (to != (mail ? mailTo_ : attachmentTo_)) {
    const char* sql = stored && mail ? "UPDATE [module] SET [last_processed_uid_to] = ?,[processed_uid_to] = ? WHERE "
                                       "[account_id] = ? AND [id] = ? "
                                     : "UPDATE [module] SET [last_processed_uid_to] = ?WHERE [account_id] = ? AND "
                                       "[id] = ?";
    koStatement s(db_, sql);
    s.Int64(to);
    if (stored && mail) s.Int64(to);
    if (!s.Int(accountId_).Int(module).Step()) return 0;
  }
  return 1;
}

int MailMgr::UpdateModuleProcessedInfo(int walking, int kind, int skipped) {
  if (kind != kAttachmentsOnly && !UpdateModuleColumns(kModuleAllMail, walking, !skipped)) return 0;
  if (kind != kSummaryOnly && !UpdateModuleColumns(kModuleAttachments, walking, !skipped)) return 0;
  return 1;
}

void MailMgr::ApplyModuleProcessedInfo(int walking, int kind) {
  for (int module : {kModuleAllMail, kModuleAttachments}) {
    if ((module == kModuleAllMail && kind == kAttachmentsOnly) ||
        (module == kModuleAttachments && kind == kSummaryOnly))
      continue;
    const bool mail = module == kModuleAllMail;
    NextRange(module, walking, mail ? &mailFrom_ : &attachmentFrom_, mail ? &mailTo_ : &attachmentTo_);
    if (walking && countThis_) {
      int& processed = mail ? mailProcessed_ : attachmentProcessed_;
      ++processed;
      if (gConfigMgr)
        gConfigMgr->SetModuleProgress(accountId_, mail ? mailTotal_ : attachmentTotal_, processed, module);
    }
  }
}

int MailMgr::CollectMail(unsigned long msgno, int walking, int kind) {
  if (msgno == 0) {
    KO_LOG(-1, "Failed to fetch message[MsgNo: 0]");
    return 1;
  }
  if (IsStopped() || stream_ == nullptr) return IsStopped();
  currentUid_ = static_cast<uint32_t>(mail_uid(stream_, msgno));
  // The library's own word on this fetch, not an older one: a broken
  // connection must never pass for a refusal.
  ClearLastMailMessage();
  MailPreparer::Prepared prepared;
  const int parsed = preparer_ != nullptr && preparer_->Take(currentUid_, kind != kSummaryOnly, prepared, stop_);
  if (!parsed && IsStopped()) return 1;
  unsigned long length = 0;
  char* text = parsed                ? nullptr
               : kind == kSummaryOnly ? mail_fetch_header(stream_, msgno, NIL, NIL, &length, FT_PEEK)
                                      : mail_fetch_message(stream_, msgno, &length, FT_PEEK);
  int skipped = 0;
  int transaction = 0;
  int ok = 1;
  MailHeaderDetails record;
  if (parsed) noDeliveredTo_ = prepared.noDeliveredTo;
  if (!parsed && (text == nullptr || length == 0)) {
    koString last;
    GetLastMailMessage(last);
    if (strncasecmp(last.GetString(), kRefused, sizeof kRefused - 1) != 0) {
      ReleaseTexts(msgno);
      // A dead connection is no fault of the message: the pass ends and
      // the folder is opened again next time. (No round trip: a stream
      // whose connection broke answers the ping at once.)
      if (stream_ == nullptr || !mail_ping(stream_)) {
        streamLost_ = 1;
        return 1;
      }
      MAILMGR_LOGF("Failed to fetch message[MailUid: %u]", currentUid_);
      return 0;
    }
    MAILMGR_LOGF("%s [MailUid: %u]", kRefused, currentUid_);
    skipped = 1;
  } else if (IsStopped()) {
    ReleaseTexts(msgno);
    return 1;
  } else if (parsed ? prepared.undelivered
                    : IsUndeliveredMessage(text, static_cast<uint32_t>(length), &noDeliveredTo_)) {
    skipped = 1;
  } else {
    if (parsed) {
      message_.TakeFrom(*prepared.message);
    } else {
      message_.Parse(text, static_cast<uint32_t>(length), noDeliveredTo_);
    }
    int notFound = 0;
    if (kind != kAttachmentsOnly) {
      ok = CollectMailHeaderDetails(record);
    } else {
      ok = GetMailHeaderDetailsFromSqlite(record, &notFound);
      if (ok && notFound) skipped = 1;
      if (ok && !notFound) ok = ReadEnvelopeAddresses(record);
    }
    if (!ok) KO_LOG(-1, "GetMailHeaderDetailsFromSqlite");
  }
  if (ok && !skipped) {
    ok = SQLiteMgr::BeginTransaction(db_);
    transaction = ok;
    if (ok && !ProcessMail(record, kind)) {
      KO_LOG(-1, "ProcessMail");
      ok = 0;
    }
  }
  // The range moves in the mail's own transaction: committed together, or
  // the next pass stores the mail again from scratch.
  if (ok && !UpdateModuleProcessedInfo(walking, kind, skipped)) {
    KO_LOG(-1, "UpdateModuleProcessedInfo");
    ok = 0;
  }
  if (ok && transaction && !SQLiteMgr::EndTransaction(db_)) ok = 0;
  if (!ok && transaction) SQLiteMgr::RollbackTransaction(db_);
  if (ok && transaction && kind != kAttachmentsOnly) NoteStoredMail(currentUid_, record.mailId);
  if (ok) ApplyModuleProcessedInfo(walking, kind);
  ReleaseTexts(msgno);
  message_.Clear();
  return ok;
}
