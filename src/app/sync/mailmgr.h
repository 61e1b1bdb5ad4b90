// MailMgr: the IMAP indexer of one account and one folder.
//
// An account's mail thread keeps one object per module: 7 finds the special
// folders (XLIST), 3 indexes All Mail into the summary database (with module
// 6, the attachments of the same mails), 4 and 5 watch Spam and Trash and
// take the mails the user moved there out of the index. A request thread may
// build a short-lived All-Mail object to remove mails deleted on the server.
//
// The All-Mail pass walks the folder from the newest message downwards,
// widening the walked UID range kept in the module rows, and fetches
// messages that arrived above it upwards. Every stored message is one
// transaction: its summary, attachments and the range that covers it are
// committed together or not at all, so an interrupted pass resumes where the
// last commit left it.
//
// Ownership: the object owns its mail stream (closed by the destructor), the
// parsed message, the summary writer and the attachment extractor; it
// borrows the database connection and the account record's copy it was
// given. Not thread-safe: one object belongs to one thread, which must be
// the thread whose id the account registered with ConfigMgr (the mail
// library's callbacks find the account by it). The ConfigMgr calls take
// ConfigMgr's own locks.
//
// Every operation answers 1 for success and 0 for failure, logged with the
// step that failed.
#ifndef PV_APP_SYNC_MAILMGR_H
#define PV_APP_SYNC_MAILMGR_H

#include <cstdint>
#include <functional>
#include <vector>

#include "app/store/configmgr.h"
#include "app/sync/mailmessage.h"
#include "core/kstring.h"

struct mail_stream;
class koEvent;
class koLog;
class koSQLite;
class MailFetcher;
class MailPreparer;
class UnnamedFiles;
class MailSummary;
class ProcessAttachment;
struct MailHeaderDetails;

// Module numbers of the [module] rows a mail thread keeps.
enum {
  kModuleAllMail = 3,
  kModuleSpam = 4,
  kModuleTrash = 5,
  kModuleAttachments = 6,
  kModuleDiscovery = 7
};

// UID of message n (1 .. count) of an open folder; UIDs increase with n.
typedef std::function<uint32_t(unsigned long)> UidOfMessage;

// The first message whose UID is above `uid`, or 0 when none is.
unsigned long FirstMessageAbove(unsigned long count, uint32_t uid, const UidOfMessage& uidOf);
// The last message whose UID is below `uid` and not below `boundary`, or 0.
unsigned long LastMessageBelow(unsigned long count, uint32_t uid, uint32_t boundary, const UidOfMessage& uidOf);

// "since 1-Jun-2010" for the local date of `when` (seconds since 1970),
// with English month names whatever the locale; empty when the date cannot
// be had (logged).
void FormatSinceCriterion(int64_t when, koString& out);

// 1 when a fetched message is not to be stored: no "Delivered-To:" line
// starts the header or one of its lines (within the header only), and it is
// not from the provider's notice sender. *noDeliveredTo (OUT): 1 when the
// header has no such line.
int IsUndeliveredMessage(const char* text, uint32_t length, int* noDeliveredTo);

class MailMgr {
 public:
  // What CollectMail does with one message.
  enum { kSummaryOnly = 0, kSummaryAndAttachments = 1, kAttachmentsOnly = 2 };
  // IndexMailBox modes: the mail walk and the attachment walk.
  enum { kWalkMails = 0, kWalkAttachments = 2 };

  // account is copied; db is borrowed and must outlive the object.
  MailMgr(const AccountInfo& account, int module, koSQLite* db);
  ~MailMgr();
  MailMgr(const MailMgr&) = delete;
  MailMgr& operator=(const MailMgr&) = delete;

  // ---- Connection.
  int IsStreamAlive();
  // Opens `folder` ("" selects the library's default) on the account's
  // server, reusing the old stream.
  int OpenMailbox(const char* folder);

  // ---- The All-Mail pass. stop is set by another thread to end it early
  // (1 then); mailPass (IN/OUT) starts at 1 and is cleared once the mail
  // module is complete, after which only new mail and attachments are walked.
  int SaveNewMessages(koEvent* stop, int downloadAll, int* mailPass);

  // ---- Module rows and the account's live state in ConfigMgr.
  int SetAccountIndexStatus(int status, int module);
  int UpdateAccountIndexingValues(int total, int processed, int module);
  int SetAccountlastUpdateTime();
  int AddModule(int module);
  // status (OUT): the module row's indexing_status; unchanged without a row.
  int GetAccountModuleIndexStatus(int* status);

  // ---- Special folders, Spam and Trash, deleted mails, unseen flags.
  // Discovery (module 7): the names reach ConfigMgr through the callbacks.
  int SetOriginalMailBoxNames();
  // First pass of a Spam or Trash object: records where watching starts.
  int IndexSpamOrTrashMailBox(const char* folder);
  // Later passes: mails that arrived there leave the All-Mail index.
  int SyncSpamOrTrashMailBox(koEvent* stop, const char* folder);
  // All-Mail object with the folder open: removes the stored mails whose
  // UID the folder no longer has. 0 when the stored mails cannot be read at
  // all; a walk cut short by a failure keeps what it removed and answers 1.
  int SyncDeletedMailsToLocalRepository();
  // The first refresh of an object rewrites the account's flags; later
  // ones write only what changed since (same rows).
  int UpdateUnseenMailStatus();

  // ---- One message (number msgno of the open folder).
  int CollectMail(unsigned long msgno, int walking, int kind);

  // ---- Navigation over the open folder. result (OUT).
  int GetNextHigherMsgno(uint32_t uid, unsigned long* result, int flag);
  int GetNextLowerMsgno(uint32_t uid, unsigned long* result, int status);
  int GetNextProcessedMsgNo(int mode, unsigned long* result);

  // The walked ranges as this object holds them (tests, diagnostics).
  int MailStatus() const { return mailStatus_; }
  uint32_t MailLower() const { return mailFrom_; }
  uint32_t MailUpper() const { return mailTo_; }
  uint32_t LowerBoundary() const { return lowerBoundary_; }
  struct mail_stream* Stream() const { return stream_; }

 private:
  // The pass's steps.
  int IndexMailBox(int mode);
  int WalkMailBox(int mode);
  // Fetches the texts (headers, or whole messages) of msgno and the
  // messages after it in the direction step (-1 down, 1 up) in one command,
  // unless msgno's text is cached already.
  // The texts of the stretch after it are then asked of the fetcher, which
  // brings them while this stretch is stored.
  // Then hands the cached texts from msgno on to the preparer, which parses
  // them while the messages before are stored.
  void Prefetch(unsigned long msgno, int whole, int step);
  void FetchStretch(unsigned long msgno, int whole, int step);
  void PrepareAhead(unsigned long msgno, int whole, int step);
  int IsCached(unsigned long msgno, int whole);
  // The last message of the stretch that starts at msgno in the direction
  // step (msgno alone when nothing more fits); 0 when the stream went.
  unsigned long Stretch(unsigned long msgno, int whole, int step);
  // Asks the fetcher (started on first use) for the stretch after `after`.
  void FetchAhead(unsigned long after, int whole, int step);
  // Gives the texts the fetcher brought to the stream's cache.
  void AdoptFetchedTexts(int whole);
  // Ends the fetching and parsing ahead; what they hold that the walk did
  // not reach is freed.
  void EndWorkAhead();
  // Files for the attachments and their pictures, made ahead while a long
  // walk saves attachments.
  void MakeFilesAhead();
  int InitIndexingRange();
  int IndexOlderMails();
  // counter: the pass's message counter (UpDateMailSeenAndDownloadTimeStatus).
  int DownLoadNewlyArrivedMails(unsigned long from, int kind, int* counter);
  int DownLoadNewlyArrivedAttachments(unsigned long from, int* counter);
  int UpDateMailSeenAndDownloadTimeStatus(int* counter);
  int UpdateIndexingProgress(int mode, int* counter);
  int ReadRanges();
  void TakeCountersFromAccount();
  // Runs a search program built from `criterion` on the stream; the
  // messages it marks have their `searched` flag set.
  int Search(const char* criterion);
  uint32_t NewestUid();
  int IsStopped() const;
  // Stopped, or the connection died under the current pass.
  int Interrupted() const { return IsStopped() || streamLost_; }
  // Frees the fetched texts (and the library's envelopes) of every message,
  // or of one.
  void ReleaseTexts();
  void ReleaseTexts(unsigned long msgno);
  int Rollback(const char* label);

  // Unseen flags.
  int RewriteUnseen(std::vector<uint32_t>& unseen);
  void NoteStoredMail(uint32_t uid, int64_t mailId);
  void ForgetUnseen();

  // CollectMail's steps.
  int CollectMailHeaderDetails(MailHeaderDetails& record);
  int ReadEnvelopeAddresses(MailHeaderDetails& record);
  int GetMessageDateTime(int64_t* when);
  int GetMailHeaderDetailsFromSqlite(MailHeaderDetails& record, int* notFound);
  int ProcessMail(MailHeaderDetails& record, int kind);
  void FormatAddressList(MailHeaderDetails& record);
  // The range moves of one collected message: written inside its
  // transaction, applied to the fields once it committed.
  int UpdateModuleProcessedInfo(int walking, int kind, int skipped);
  int UpdateModuleColumns(int module, int walking, int stored);
  void ApplyModuleProcessedInfo(int walking, int kind);
  // from, to (OUT): module 3's or 6's range once currentUid_ is collected.
  void NextRange(int module, int walking, uint32_t* from, uint32_t* to) const;

  // Spam and Trash.
  int InitSpamTrashModule();
  int DownloadSpamAndTrashMails();
  int SaveSpamAndTrashMailsInfo(unsigned long msgno);
  int UpdateLastProcessedUid(int module, uint32_t uid);
  void EnsureWriters();

  koSQLite* db_;
  int mailStatus_;
  int attachmentStatus_;
  struct mail_stream* stream_ = nullptr;
  MailMessage message_;
  koString mailbox_;
  koString openName_;  // the open folder's full name
  koString email_;
  koString password_;
  int mailProcessed_ = 0;
  int mailTotal_ = 0;
  int attachmentProcessed_ = 0;
  int attachmentTotal_ = 0;
  uint32_t currentUid_ = 0;
  int accountId_;
  int module_;
  AccountInfo account_;
  // Walked ranges; 0 = nothing walked yet.
  uint32_t mailTo_ = 0;
  uint32_t mailFrom_ = 0;
  uint32_t attachmentFrom_ = 0;
  uint32_t attachmentTo_ = 0;
  uint32_t lowerBoundary_ = 0;  // 0 = not searched yet
  int firstPass_ = 1;
  MailSummary* summary_ = nullptr;        // owned
  ProcessAttachment* attachments_ = nullptr;  // owned
  koString since_;
  int downloadAll_;
  int64_t mailDate_ = 0;
  int noDeliveredTo_ = 0;
  koEvent* stop_ = nullptr;
  // Set by the walk while its module is in progress: the message collected
  // next counts as processed once its range update committed.
  int countThis_ = 0;
  // Prefetch calls to pass over after a batch the server did not fully answer.
  unsigned long prefetchPause_ = 0;
  MailFetcher* fetcher_ = nullptr;  // owned; while a walk fetches ahead
  unsigned long aheadLast_ = 0;     // the last message asked of it
  MailPreparer* preparer_ = nullptr;  // owned; while a walk parses ahead
  UnnamedFiles* attachmentFiles_ = nullptr;  // owned; while a walk saves attachments
  UnnamedFiles* pictureFiles_ = nullptr;     // owned; the same for their pictures
  // The fetch of a message found the connection dead: the pass ends quietly.
  int streamLost_ = 0;
  // The unseen UIDs of the last refresh (ascending) and whether the rows
  // match them; the mails stored since, whose rows are still unflagged.
  struct StoredMail {
    uint32_t uid;
    int64_t id;
  };
  int unseenKnown_ = 0;
  std::vector<uint32_t> unseenUids_;
  std::vector<StoredMail> storedSinceRefresh_;
};

#endif  // PV_APP_SYNC_MAILMGR_H
