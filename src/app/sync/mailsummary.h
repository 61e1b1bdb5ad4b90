// MailSummary: one downloaded mail as rows of the summary database: its
// [mail] row, the counterpart's or recipients' addresses with their
// mail_email_link rows, the per-address counters of analytics_email,
// contacts for addresses no contact knows yet, and the reference_master row
// that names its conversation. It also takes a mail's summary out again.
//
// The indexer makes one per account on first use and calls it on the
// account's mail thread only, over that thread's connection (borrowed; it
// must outlive the object). SaveMailSummary and
// CleanTrashAndSpamMovedMailsFromAllMail work inside the caller's
// transaction and leave the rollback to the caller; DeleteMail runs its own.
// Every failure is logged through gLog with the step that failed, and the
// operation answers 0. Not thread-safe.
#ifndef PV_APP_SYNC_MAILSUMMARY_H
#define PV_APP_SYNC_MAILSUMMARY_H

#include <cstdint>
#include <vector>

#include "app/store/analyticmgr.h"
#include "app/store/configmgr.h"
#include "core/kstring.h"

class ContactEmailMgr;
class MailMessage;
class koSQLite;
struct mail_address;

// The header fields of one mail that collecting a message fills and the
// summary store reads and completes.
struct MailHeaderDetails {
  uint32_t uid = 0;  // IMAP UIDs are unsigned 32-bit
  // Set by SaveMailSummary to the new [mail] row; attachments link to it.
  int mailId = 0;
  int direction = 1;  // 1 received, 2 sent; kept in mail.module_id
  koString subject;   // decoded
  int64_t receivedDate = 0;  // seconds since 1970-01-01 UTC
  // Built by SaveMailSummary: "name address" of the counterpart (received),
  // "name address " of every recipient in turn (sent). Indexed with the files.
  koString participants;
  // Received: the From address; sent: the first of To, Bcc, Cc.
  koString counterpartName;
  koString counterpartEmail;
  koString messageId;  // "" when the mail has none

  MailHeaderDetails() = default;
  MailHeaderDetails(const MailHeaderDetails&) = delete;
  MailHeaderDetails& operator=(const MailHeaderDetails&) = delete;
};

class MailSummary {
 public:
  MailSummary(koSQLite* db, const char* accountEmail, int accountId);
  ~MailSummary();
  MailSummary(const MailSummary&) = delete;
  MailSummary& operator=(const MailSummary&) = delete;

  // Stores the mail (record) with its addresses, contacts, counters and
  // conversation root; record.mailId and record.participants are set. Reads
  // only the message's envelope. Inside the caller's transaction: on 0 the
  // caller rolls back, so a mail is stored whole or not at all.
  int SaveMailSummary(MailHeaderDetails& record, const MailMessage& message);
  // Deletes a stored mail (its rows, its counters moved to the remaining
  // mails) in a transaction of its own; once that committed, its saved
  // files that no other mail uses and the user did not change are deleted.
  int DeleteMail(int mailId, int direction);
  // A stored mail whose Message-ID turns up again in Spam or Trash leaves
  // the summary, counters included, inside the caller's transaction. Its
  // saved files are appended to `files` (OUT): the caller passes them to
  // ConfigMgr::DeleteSavedFiles after its commit and drops them on rollback.
  int CleanTrashAndSpamMovedMailsFromAllMail(const MailMessage& message, SavedFileList& files);

  // Display name and address of an entry of an address list: the decoded
  // name trimmed of blanks and of wrapping quotes or angle brackets, and
  // "mailbox@host" (the mailbox alone without a host, empty without one).
  static void FormatAddress(const struct mail_address* entry, koString& name, koString& address);
  // True for an address that may become a row: a mailbox, '@' and a domain
  // that is none of the mail library's stand-ins for addresses it could not
  // parse.
  static bool IsUsableAddress(const koString& address);

 private:
  int SaveMail(MailHeaderDetails& record, const MailMessage& message);
  int SaveRecipients(MailHeaderDetails& record, const MailMessage& message, int counterpartId);
  int SaveAnalyticDetails(const MailHeaderDetails& record, int addressId, int isNew);
  int InsertMailEmailDetails(int mailId, int addressId);
  int SaveContactDetails(koString& name, const koString& address, int addressId);
  int InsertReferencesDetails(const MailHeaderDetails& record, const MailMessage& message);
  // Rows of one mail out, counters first while its links still exist.
  int RemoveMail(int mailId, int direction, SavedFileList& files);

  koString accountEmail_;
  int accountId_;
  koSQLite* db_;
  ContactEmailMgr* contacts_;
  AnalyticMgr analytics_;
  // Addresses whose counters this mail already moved (one count per mail).
  std::vector<int> counted_;
};

#endif  // PV_APP_SYNC_MAILSUMMARY_H
