#include "app/sync/mailmgr.h"

#include <ctime>

#include "app/store/commonhelper.h"
#include "app/store/downloadperiodmgr.h"
#include "app/sync/callbacks.h"
#include "app/sync/mailext.h"
#include "app/sync/mailfetcher.h"
#include "app/sync/mailpreparer.h"
// After the standard headers: the mail library defines min and max.
#include "app/sync/mailmgr_internal.h"
#include "app/sync/mailsummary.h"
#include "app/sync/processattachment.h"
#include "core/ksqlite.h"
#include "core/kthread.h"
#include "core/pathmgr.h"
#include "core/sqlitemgr.h"
#include "core/unnamedfiles.h"

namespace {

// Texts fetched ahead in one command: at most this many messages and, for
// whole messages, this many bytes (one message more when it alone is larger).
constexpr unsigned long kPrefetchMessages = 64;
constexpr unsigned long kPrefetchBytes = 4u << 20;

// The walk pings the server (which also tells of new and expunged mail) at
// most this often rather than after every message: a round trip each would
// double the pass's time on a distant server.
constexpr time_t kPingIntervalSeconds = 1;

const char* ModuleDescription(int module) {
  switch (module) {
    case kModuleAllMail: return "ALL MAILS";
    case kModuleSpam: return "SPAM MAILS";
    case kModuleTrash: return "TRASH MAILS";
    case kModuleAttachments: return "ATTACHMENTS";
    default: return nullptr;
  }
}

}  // namespace

unsigned long FirstMessageAbove(unsigned long count, uint32_t uid, const UidOfMessage& uidOf) {
  unsigned long lo = 1;
  unsigned long hi = count + 1;  // the answer lies in [lo, hi]; count + 1 = none
  while (lo < hi) {
    unsigned long mid = lo + (hi - lo) / 2;
    if (uidOf(mid) > uid)
      hi = mid;
    else
      lo = mid + 1;
  }
  return lo <= count ? lo : 0;
}

unsigned long LastMessageBelow(unsigned long count, uint32_t uid, uint32_t boundary, const UidOfMessage& uidOf) {
  unsigned long lo = 0;  // the answer lies in [lo, hi]; 0 = none
  unsigned long hi = count;
  while (lo < hi) {
    unsigned long mid = hi - (hi - lo) / 2;
    if (uidOf(mid) < uid)
      lo = mid;
    else
      hi = mid - 1;
  }
  return lo > 0 && uidOf(lo) >= boundary ? lo : 0;
}

void FormatSinceCriterion(int64_t when, koString& out) {
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  out.Clear();
  time_t t = static_cast<time_t>(when);
  struct tm local;
  if (localtime_r(&t, &local) == nullptr) {
    KO_LOG(-1, "Failed to get localtime");
    return;
  }
  // Not strftime's %b: the server wants English names whatever the locale.
  out.Format("since %d-%s-%d", local.tm_mday, kMonths[local.tm_mon], local.tm_year + 1900);
}

MailMgr::MailMgr(const AccountInfo& account, int module, koSQLite* db)
    : db_(db),
      mailStatus_(account.mailIndexingStatus),
      attachmentStatus_(account.attachmentIndexingStatus),
      accountId_(account.id),
      module_(module),
      downloadAll_(account.downloadAll) {
  account_.Assign(account);
  if (db_) db_->SetLog(gLog);
  email_.SetAs(account.email);
  password_.SetAs(account.password);
  // The password reaches the library through mm_login (callbacks.h), never
  // through the mailbox name.
  koString host;
  ConfigMgr::GetImapHost(host);
  mailbox_.Format("{%s:%d/imap/ssl/novalidate-cert/user=\"%s\"}", host.GetString(), ConfigMgr::GetImapPort(),
                  email_.GetString());
  if (!account.downloadAll && account.downloadSince != 0) FormatSinceCriterion(account.downloadSince, since_);
  message_.SetAccountEmail(email_.GetString());
  summary_ = new MailSummary(db_, email_.GetString(), accountId_);
}

MailMgr::~MailMgr() {
  EndWorkAhead();
  if (stream_) mail_close(stream_);
  delete summary_;
  delete attachments_;
}

int MailMgr::IsStreamAlive() { return stream_ != nullptr && mail_ping(stream_) ? 1 : 0; }

int MailMgr::OpenMailbox(const char* folder) {
  koString name;
  name.Format("%s%s", mailbox_.GetString(), folder ? folder : "");
  SetMailLoginPassword(password_);
  prefetchPause_ = 0;
  EndWorkAhead();
  openName_.SetAs(name);
  stream_ = mail_open(stream_, const_cast<char*>(name.GetString()), NIL);
  ClearMailLoginPassword();
  if (stream_ == nullptr) {
    KO_LOG(-1, "Failed to connect MailBox");
    return 0;
  }
  return 1;
}

int MailMgr::IsStopped() const { return stop_ != nullptr && stop_->Wait(0) ? 1 : 0; }

// With the texts goes the envelope the library parsed from every header it
// received and keeps with the message (about a kilobyte each): nothing
// reads it, and kept it grows with the mailbox.
void MailMgr::ReleaseTexts() {
  if (stream_) mail_gc(stream_, GC_TEXTS | GC_ENV);
}

void MailMgr::ReleaseTexts(unsigned long msgno) {
  if (stream_ && msgno >= 1 && msgno <= stream_->nmsgs)
    mail_gc_msg(&mail_elt(stream_, msgno)->cclientPrivate.msg, GC_TEXTS | GC_ENV);
}

int MailMgr::IsCached(unsigned long msgno, int whole) {
  if (CachedText(stream_, msgno, whole)->data != nullptr) return 1;
  // Handed on to be parsed: as good as cached.
  return preparer_ != nullptr && preparer_->IsSubmitted(static_cast<uint32_t>(mail_uid(stream_, msgno)), whole);
}

unsigned long MailMgr::Stretch(unsigned long msgno, int whole, int step) {
  unsigned long last = msgno;
  unsigned long count = 1;
  unsigned long bytes = 0;
  if (whole && mail_elt(stream_, msgno)->rfc822_size == 0) {
    // Sizes first (one command for a stretch), so that the batch stays small.
    unsigned long lo = step < 0 ? (msgno > 4 * kPrefetchMessages ? msgno - 4 * kPrefetchMessages : 1) : msgno;
    unsigned long hi = step < 0 ? msgno : msgno + 4 * kPrefetchMessages;
    if (hi > stream_->nmsgs) hi = stream_->nmsgs;
    koString range;
    range.Format("%lu:%lu", lo, hi);
    mail_fetch_fast(stream_, const_cast<char*>(range.GetString()), NIL);
    if (stream_ == nullptr || msgno > stream_->nmsgs) return 0;
  }
  if (whole) bytes = mail_elt(stream_, msgno)->rfc822_size;
  for (;;) {
    unsigned long next = step < 0 ? last - 1 : last + 1;
    if (next == 0 || next > stream_->nmsgs || count >= kPrefetchMessages || IsCached(next, whole)) break;
    if (whole) {
      unsigned long size = mail_elt(stream_, next)->rfc822_size;
      if (size == 0 || bytes + size > kPrefetchBytes) break;
      bytes += size;
    }
    last = next;
    ++count;
  }
  return last;
}

void MailMgr::Prefetch(unsigned long msgno, int whole, int step) {
  FetchStretch(msgno, whole, step);
  PrepareAhead(msgno, whole, step);
}

void MailMgr::PrepareAhead(unsigned long msgno, int whole, int step) {
  if (stream_ == nullptr || preparer_ == nullptr) return;
  // The texts handed over are gone from the cache; the walk takes them back
  // parsed. Past the preparer's room the rest wait in the cache.
  for (size_t seen = 0; seen <= MailPreparer::kMaxAhead && msgno > 0 && msgno <= stream_->nmsgs; ++seen) {
    uint32_t uid = static_cast<uint32_t>(mail_uid(stream_, msgno));
    if (!preparer_->IsSubmitted(uid, whole)) {
      SIZEDTEXT* text = CachedText(stream_, msgno, whole);
      if (text->data == nullptr || text->size == 0 ||
          !preparer_->Submit(uid, whole, reinterpret_cast<char*>(text->data), text->size))
        return;
      text->data = nullptr;
      text->size = 0;
    }
    msgno = step < 0 ? msgno - 1 : msgno + 1;
  }
}

void MailMgr::FetchStretch(unsigned long msgno, int whole, int step) {
  if (stream_ == nullptr || msgno == 0 || msgno > stream_->nmsgs) return;
  if (prefetchPause_ > 0) {
    --prefetchPause_;
    return;
  }
  if (IsCached(msgno, whole)) return;
  // A new stretch: what the last one's rows needed of the database need not
  // stay cached, so the cache holds a stretch's pages, not the whole file's.
  db_->ReleaseCache();
  if (fetcher_ != nullptr && fetcher_->IsRequested()) {
    AdoptFetchedTexts(whole);
    if (stream_ == nullptr || msgno > stream_->nmsgs) return;
    if (IsCached(msgno, whole)) {
      FetchAhead(aheadLast_, whole, step);
      return;
    }
  }
  unsigned long last = Stretch(msgno, whole, step);
  if (last == 0 || last == msgno) return;
  koString range;
  range.Format("%lu:%lu", msgno < last ? msgno : last, msgno < last ? last : msgno);
  // A refusal or a failure leaves the texts that did not come to the
  // fetches one by one, which tell what happened to each message; the
  // stretch is not asked for again.
  if (!imap_fetch_texts(stream_, range.GetString(), FetchItem(whole), 0)) {
    prefetchPause_ = msgno < last ? last - msgno + 1 : msgno - last + 1;
    return;
  }
  FetchAhead(last, whole, step);
}

void MailMgr::FetchAhead(unsigned long after, int whole, int step) {
  if (stream_ == nullptr || after > stream_->nmsgs) return;
  unsigned long next = step < 0 ? after - 1 : after + 1;
  if (next == 0 || next > stream_->nmsgs || IsCached(next, whole)) return;
  if (fetcher_ == nullptr) {
    // A walk longer than a stretch: worth the threads that work ahead of it.
    fetcher_ = new MailFetcher(openName_.GetString(), password_);
    if (!fetcher_->Start()) KO_LOG(-1, "Unable to start the thread that fetches mail ahead");
    preparer_ = new MailPreparer(email_.GetString());
    if (!preparer_->Start()) KO_LOG(-1, "Unable to start the thread that parses mail ahead");
    if (whole) MakeFilesAhead();
  }
  if (fetcher_->IsFailed()) return;
  unsigned long last = Stretch(next, whole, step);
  if (last == 0) return;
  uint32_t from = static_cast<uint32_t>(mail_uid(stream_, next < last ? next : last));
  uint32_t to = static_cast<uint32_t>(mail_uid(stream_, next < last ? last : next));
  if (fetcher_->Request(from, to, whole)) aheadLast_ = last;
}

void MailMgr::AdoptFetchedTexts(int whole) {
  std::vector<MailFetcher::Text> texts;
  if (!fetcher_->Take(texts, stop_)) return;
  auto uidOf = [this](unsigned long n) { return static_cast<uint32_t>(mail_uid(stream_, n)); };
  unsigned long n = texts.empty() ? 0 : FirstMessageAbove(stream_->nmsgs, texts.front().uid - 1, uidOf);
  for (MailFetcher::Text& text : texts) {
    while (n > 0 && n <= stream_->nmsgs && uidOf(n) < text.uid) ++n;
    if (n == 0 || n > stream_->nmsgs) break;
    if (uidOf(n) != text.uid) continue;
    SIZEDTEXT* cached = CachedText(stream_, n, whole);
    if (cached->data != nullptr) continue;
    cached->data = reinterpret_cast<unsigned char*>(text.data);
    cached->size = text.size;
    text.data = nullptr;
  }
  MailFetcher::FreeTexts(texts);
}

void MailMgr::EndWorkAhead() {
  delete fetcher_;
  fetcher_ = nullptr;
  delete preparer_;
  preparer_ = nullptr;
  if (attachments_ != nullptr) attachments_->SetUnnamedFiles(nullptr, nullptr);
  delete attachmentFiles_;
  delete pictureFiles_;
  attachmentFiles_ = pictureFiles_ = nullptr;
}

void MailMgr::MakeFilesAhead() {
  if (attachments_ == nullptr || attachmentFiles_ != nullptr) return;
  koString root;
  PathMgr::GetAttachmentsDir(root);
  attachmentFiles_ = new UnnamedFiles(root.GetString());
  PathMgr::GetPictureCacheDir(root);
  pictureFiles_ = new UnnamedFiles(root.GetString());
  // Without their threads the files are made where they are written.
  if (!attachmentFiles_->Start() || !pictureFiles_->Start())
    KO_LOG(-1, "Unable to start the threads that make files ahead");
  attachments_->SetUnnamedFiles(attachmentFiles_, pictureFiles_);
}

uint32_t MailMgr::NewestUid() {
  return stream_ && stream_->nmsgs ? static_cast<uint32_t>(mail_uid(stream_, stream_->nmsgs)) : 0;
}

void MailMgr::EnsureWriters() {
  if (summary_ == nullptr) summary_ = new MailSummary(db_, email_.GetString(), accountId_);
  if (attachments_ == nullptr) attachments_ = new ProcessAttachment(db_, email_.GetString());
}

int MailMgr::Rollback(const char* label) {
  if (SQLiteMgr::ExecuteQuery(db_, kRollbackTransaction)) return 1;
  KO_LOG(-1, label);
  return 0;
}

// ---- Module rows.

int MailMgr::SetAccountIndexStatus(int status, int module) {
  const char* sql = "UPDATE module SET indexing_status = ? WHERE [module].[account_id] = ? AND [module].[id] = ?";
  if (!koStatement(db_, sql).Int(status).Int(accountId_).Int(module).Step("UpdateAccountModuleIndexStatus"))
    return 0;
  if (gConfigMgr) gConfigMgr->SetModuleIndexingStatus(accountId_, status, module);
  (module == kModuleAllMail ? mailStatus_ : attachmentStatus_) = status;
  return 1;
}

int MailMgr::UpdateAccountIndexingValues(int total, int processed, int module) {
  if (!UpdateModuleIndexingValues(db_, total, processed, accountId_, module)) {
    KO_LOG(-1, "UpdateModuleIndexingValues");
    return 0;
  }
  if (gConfigMgr) gConfigMgr->SetModuleProgress(accountId_, total, processed, module);
  return 1;
}

int MailMgr::SetAccountlastUpdateTime() {
  int64_t now = static_cast<int64_t>(time(nullptr));
  const char* sql = "UPDATE account_status SET [mail_updated_time] = ? WHERE [account_id] = ?";
  if (!koStatement(db_, sql).Int64(now).Int(accountId_).Step()) {
    KO_LOG(-1, "SetAccountlastUpdateTime");
    return 0;
  }
  if (gConfigMgr) gConfigMgr->SetMailUpdatedTime(accountId_, now);
  return 1;
}

int MailMgr::AddModule(int module) {
  koString description;
  const char* name = ModuleDescription(module);
  if (name) description.Format("%s extraction", name);
  const char* sql = "INSERT OR IGNORE INTO [module]([id],[account_id],[description])VALUES (?, ?, ?)";
  return koStatement(db_, sql).Int(module).Int(accountId_).Text(description).Step() ? 1 : 0;
}

int MailMgr::GetAccountModuleIndexStatus(int* status) {
  const char* sql = "SELECT indexing_status FROM module WHERE [module].[account_id] = ? AND [module].[id] = ?";
  koStatement s(db_, sql);
  if (!s.Int(accountId_).Int(module_).Step()) return 0;
  if (s.HasRow()) *status = db_->GetInt(s.Handle(), "indexing_status");
  return 1;
}

int MailMgr::ReadRanges() {
  int64_t from = 0;
  int64_t to = 0;
  if (!GetModuleUidRanges(db_, accountId_, kModuleAllMail, &from, &to)) return 0;
  mailFrom_ = static_cast<uint32_t>(from);
  mailTo_ = static_cast<uint32_t>(to);
  if (!GetModuleUidRanges(db_, accountId_, kModuleAttachments, &from, &to)) return 0;
  attachmentFrom_ = static_cast<uint32_t>(from);
  attachmentTo_ = static_cast<uint32_t>(to);
  return 1;
}

void MailMgr::TakeCountersFromAccount() {
  mailTotal_ = account_.mailTotal;
  mailProcessed_ = account_.mailProcessed;
  attachmentTotal_ = account_.attachmentTotal;
  attachmentProcessed_ = account_.attachmentProcessed;
}

// ---- Navigation.

int MailMgr::GetNextHigherMsgno(uint32_t uid, unsigned long* result, int flag) {
  if (stream_ == nullptr || stream_->nmsgs == 0) {
    *result = 0;
    return 1;
  }
  if (NewestUid() <= uid) return flag == 1 ? 1 : 0;
  MAILSTREAM* stream = stream_;
  *result = FirstMessageAbove(stream->nmsgs, uid,
                              [stream](unsigned long n) { return static_cast<uint32_t>(mail_uid(stream, n)); });
  return 1;
}

int MailMgr::GetNextLowerMsgno(uint32_t uid, unsigned long* result, int status) {
  *result = 0;
  if (status == 1 || stream_ == nullptr || stream_->nmsgs == 0) return 1;
  MAILSTREAM* stream = stream_;
  uint32_t boundary = lowerBoundary_ ? lowerBoundary_ : static_cast<uint32_t>(mail_uid(stream, 1));
  if (boundary >= uid) return 1;
  *result = LastMessageBelow(stream->nmsgs, uid, boundary,
                             [stream](unsigned long n) { return static_cast<uint32_t>(mail_uid(stream, n)); });
  return 1;
}

int MailMgr::GetNextProcessedMsgNo(int mode, unsigned long* result) {
  if (mode == kWalkMails) {
    if (mailTo_ == 0) {
      *result = stream_ ? stream_->nmsgs : 0;
      return 1;
    }
    return GetNextLowerMsgno(mailFrom_, result, mailStatus_);
  }
  if (attachmentTo_ == 0) {
    *result = stream_ ? stream_->nmsgs : 0;
    return 1;
  }
  // The attachment walk follows the mail walk and never passes it.
  if (attachmentFrom_ <= mailFrom_) {
    *result = 0;
    return 1;
  }
  return GetNextLowerMsgno(attachmentFrom_, result, 0);
}

// ---- The All-Mail pass.

int MailMgr::SaveNewMessages(koEvent* stop, int downloadAll, int* mailPass) {
  stop_ = stop;
  streamLost_ = 0;
  if (IsStopped()) return 1;
  EnsureWriters();
  if (stream_ == nullptr) {
    KO_LOG(-1, "Invalid IMAP stream");
    return 0;
  }
  downloadAll_ = downloadAll;
  const int attachments = account_.downloadAttachments;
  if (firstPass_) {
    if (!AddModule(module_) || !AddModule(kModuleAttachments)) {
      KO_LOG(-1, "AddModule");
      return 0;
    }
    if (!ReadRanges()) {
      KO_LOG(-1, "GetModuleUidRanges");
      return 0;
    }
  }
  if (stream_->nmsgs == 0) {
    if (!SetAccountlastUpdateTime()) {
      KO_LOG(-1, "UpdateLastMailDownloadTime");
      return 0;
    }
    if (!SetAccountIndexStatus(1, kModuleAllMail) || !SetAccountIndexStatus(1, kModuleAttachments)) {
      KO_LOG(-1, "SetAccountIndexStatus");
      return 0;
    }
    return 1;
  }
  if (firstPass_) {
    if (!(downloadAll_ == 1 ? InitIndexingRange() : IndexOlderMails())) {
      KO_LOG(-1, "Indexing is failed");
      return 0;
    }
    firstPass_ = 0;
  }
  if (IsStopped()) return 1;
  if (*mailPass == 1 || !attachments) {
    if (!IndexMailBox(kWalkMails)) {
      KO_LOG(-1, "IndexMailBox");
      return 0;
    }
  }
  if (Interrupted()) return 1;
  if (mailStatus_ == 1) *mailPass = 0;
  if (attachments && !IndexMailBox(kWalkAttachments)) {
    KO_LOG(-1, "IndexMailBox");
    return 0;
  }
  return 1;
}

int MailMgr::InitIndexingRange() {
  const int attachments = account_.downloadAttachments;
  const unsigned long count = stream_->nmsgs;
  if (mailStatus_ != 2) {
    if (mailTo_ != 0) {
      TakeCountersFromAccount();
      return 1;
    }
    mailTotal_ = attachmentTotal_ = static_cast<int>(count);
  } else {
    unsigned long below = count;
    if (mailFrom_ != 0 && !GetNextLowerMsgno(mailFrom_, &below, 0)) return 0;
    mailTotal_ = static_cast<int>(below);
    if (attachments) {
      below = count;
      if (attachmentFrom_ != 0 && !GetNextLowerMsgno(attachmentFrom_, &below, 0)) return 0;
      attachmentTotal_ = static_cast<int>(below);
    }
    if (!SetAccountIndexStatus(0, kModuleAllMail) || (attachments && !SetAccountIndexStatus(0, kModuleAttachments))) {
      KO_LOG(-1, "SetAccountIndexStatus");
      return 0;
    }
  }
  mailProcessed_ = attachmentProcessed_ = 0;
  if (!UpdateAccountIndexingValues(mailTotal_, 0, kModuleAllMail) ||
      (attachments && !UpdateAccountIndexingValues(attachmentTotal_, 0, kModuleAttachments))) {
    KO_LOG(-1, "UpdateAccountIndexingValues");
    return 0;
  }
  return 1;
}

int MailMgr::Search(const char* criterion) {
  SEARCHPGM* program = mail_criteria(const_cast<char*>(criterion));
  if (program == nullptr) {
    KO_LOG(-1, "mail_criteria");
    KO_LOG(-1, criterion);
    return 0;
  }
  if (stream_ == nullptr) {
    mail_free_searchpgm(&program);
    return 0;
  }
  int ok = 1;
  if (stream_->nmsgs > 0 && !mail_search_full(stream_, NIL, program, SE_NOPREFETCH)) {
    KO_LOG(-1, "mail_search_full");
    ok = 0;
  }
  mail_free_searchpgm(&program);
  return ok;
}

int MailMgr::IndexOlderMails() {
  int64_t stored = 0;
  if (!GetLowerBoundaryMailuid(db_, accountId_, kModuleAllMail, &stored)) {
    KO_LOG(-1, "GetLowerBoundaryMailuid");
    return 0;
  }
  if (stored != 0) {
    lowerBoundary_ = static_cast<uint32_t>(stored);
    TakeCountersFromAccount();
    return 1;
  }
  const int attachments = account_.downloadAttachments;
  const int widened = mailStatus_ == 2;
  const unsigned long count = stream_->nmsgs;
  unsigned long mailBelow = count;
  unsigned long attachmentBelow = count;
  if (widened) {
    if (mailFrom_ != 0 && !GetNextLowerMsgno(mailFrom_, &mailBelow, 0)) return 0;
    if (attachments && attachmentFrom_ != 0 && !GetNextLowerMsgno(attachmentFrom_, &attachmentBelow, 0)) return 0;
  }
  if (!Search(since_.GetString())) return 0;
  int marked = 0;
  int marked_mail = 0;
  int marked_attachments = 0;
  uint32_t boundary = 0;
  for (unsigned long n = 1; n <= stream_->nmsgs; ++n) {
    if (!mail_elt(stream_, n)->searched) continue;
    ++marked;
    if (boundary == 0) boundary = static_cast<uint32_t>(mail_uid(stream_, n));
    if (n <= mailBelow) ++marked_mail;
    if (n <= attachmentBelow) ++marked_attachments;
  }
  if (!SQLiteMgr::BeginTransaction(db_)) return 0;
  int mailTotal = widened ? marked_mail : marked;
  int attachmentTotal = widened ? marked_attachments : marked;
  uint32_t mailFrom = mailFrom_, mailTo = mailTo_, attachmentFrom = attachmentFrom_, attachmentTo = attachmentTo_;
  int ok = 1;
  const char* restart = "UPDATE module SET indexing_status = 0 WHERE [module].[account_id] = ? AND [module].[id] = ?";
  for (int module : {kModuleAllMail, kModuleAttachments})
    if (ok && widened && !koStatement(db_, restart).Int(accountId_).Int(module).Step("SetAccountIndexStatus")) ok = 0;
  if (ok && marked == 0) {
    // Nothing lies inside the period. The upper ends say that everything up
    // to the newest message was looked at, so the next arrival (whatever its
    // UID) is fetched as new; the lower ends and the boundary lie above it,
    // so the walk has nothing to do.
    uint32_t newest = NewestUid();
    boundary = newest + 1;
    mailTo = attachmentTo = newest;
    mailFrom = attachmentFrom = boundary;
    const char* sql =
        "UPDATE [module] SET [last_processed_uid_from] = ?, [last_processed_uid_to] = ? WHERE [account_id] = ? "
        "AND [id] = ?";
    for (int module : {kModuleAllMail, kModuleAttachments})
      if (ok && !koStatement(db_, sql).Int64(boundary).Int64(newest).Int(accountId_).Int(module).Step()) {
        KO_LOG(-1, "UpdateProcessedInfo");
        ok = 0;
      }
  }
  if (ok && !SetLowerBoundaryMailuid(db_, accountId_, kModuleAllMail, boundary)) {
    KO_LOG(-1, "SetLowerBoundaryMailuid");
    ok = 0;
  }
  const char* raise = "UPDATE [module] SET [last_processed_uid_from] = ? WHERE [account_id] = ? AND [id] = ?";
  if (ok && mailFrom != 0 && mailFrom < boundary) {
    mailFrom = boundary;
    ok = koStatement(db_, raise).Int64(mailFrom).Int(accountId_).Int(kModuleAllMail).Step();
  }
  if (ok && attachmentFrom != 0 && attachmentFrom < boundary) {
    attachmentFrom = boundary;
    ok = koStatement(db_, raise).Int64(attachmentFrom).Int(accountId_).Int(kModuleAttachments).Step();
  }
  if (ok && (!UpdateAccountIndexingValues(mailTotal, 0, kModuleAllMail) ||
             (attachments && !UpdateAccountIndexingValues(attachmentTotal, 0, kModuleAttachments)))) {
    KO_LOG(-1, "UpdateAccountIndexingValues");
    ok = 0;
  }
  if (ok && !SQLiteMgr::EndTransaction(db_)) ok = 0;
  if (!ok) {
    SQLiteMgr::RollbackTransaction(db_);
    return 0;
  }
  if (widened) {
    mailStatus_ = attachmentStatus_ = 0;
    if (gConfigMgr) {
      gConfigMgr->SetModuleIndexingStatus(accountId_, 0, kModuleAllMail);
      gConfigMgr->SetModuleIndexingStatus(accountId_, 0, kModuleAttachments);
    }
  }
  lowerBoundary_ = boundary;
  mailFrom_ = mailFrom;
  mailTo_ = mailTo;
  attachmentFrom_ = attachmentFrom;
  attachmentTo_ = attachmentTo;
  mailTotal_ = mailTotal;
  attachmentTotal_ = attachmentTotal;
  mailProcessed_ = attachmentProcessed_ = 0;
  return 1;
}

int MailMgr::UpDateMailSeenAndDownloadTimeStatus(int* counter) {
  int value = ++*counter;
  if (value == 1 || value % 5 == 0) {
    if (!SetAccountlastUpdateTime()) return 0;
    if (gConfigMgr) gConfigMgr->SetStatusByEmail(email_.GetString(), "");
  }
  if ((value == 1 || value % 50 == 0) && !UpdateUnseenMailStatus()) KO_LOG(-1, "UpdateUnseenMailStatus");
  return 1;
}

int MailMgr::UpdateIndexingProgress(int mode, int* counter) {
  const int module = mode == kWalkMails ? kModuleAllMail : kModuleAttachments;
  const int status = mode == kWalkMails ? mailStatus_ : attachmentStatus_;
  if (status != 1) {
    int& total = mode == kWalkMails ? mailTotal_ : attachmentTotal_;
    int& processed = mode == kWalkMails ? mailProcessed_ : attachmentProcessed_;
    processed = total;
    if (!UpdateAccountIndexingValues(total, processed, module)) KO_LOG(-1, "UpdateAccountIndexingValues");
    if (!SetAccountIndexStatus(1, module)) KO_LOG(-1, "SetAccountIndexStatus");
  }
  if (!UpDateMailSeenAndDownloadTimeStatus(counter)) KO_LOG(-1, "UpDateMailSeenAndDownloadTimeStatus");
  return 1;
}

int MailMgr::DownLoadNewlyArrivedMails(unsigned long from, int kind, int* counter) {
  for (unsigned long n = from; n > 0 && stream_ && n <= stream_->nmsgs; ++n) {
    Prefetch(n, kind != kSummaryOnly, 1);
    if (!CollectMail(n, 0, kind)) {
      KO_LOG(-1, "DownLoadNewlyArrivedMails");
      return 0;
    }
    if (Interrupted()) return 1;
    if (!UpDateMailSeenAndDownloadTimeStatus(counter)) return 0;
  }
  return 1;
}

int MailMgr::DownLoadNewlyArrivedAttachments(unsigned long from, int* counter) {
  for (unsigned long n = from; n > 0 && stream_ && n <= stream_->nmsgs; ++n) {
    int kind = static_cast<uint32_t>(mail_uid(stream_, n)) > mailTo_ ? kSummaryAndAttachments : kAttachmentsOnly;
    Prefetch(n, 1, 1);
    if (!CollectMail(n, 0, kind)) {
      KO_LOG(-1, "CollectMail");
      KO_LOG(-1, "DownLoadNewlyArrivedAttachments");
      return 0;
    }
    if (Interrupted()) return 1;
    if (!UpDateMailSeenAndDownloadTimeStatus(counter)) return 0;
  }
  return 1;
}

int MailMgr::IndexMailBox(int mode) {
  int result = WalkMailBox(mode);
  // Texts fetched ahead that the walk did not reach.
  EndWorkAhead();
  ReleaseTexts();
  return result;
}

int MailMgr::WalkMailBox(int mode) {
  int counter = 0;
  time_t lastPing = time(nullptr);
  while (stream_ != nullptr && stream_->nmsgs > 0) {
    unsigned long from = 0;
    if (mode == kWalkAttachments && attachmentTo_ != 0 && mailTo_ > attachmentTo_) {
      if (!GetNextHigherMsgno(attachmentTo_, &from, 1) || !DownLoadNewlyArrivedAttachments(from, &counter)) return 0;
      if (Interrupted()) return 1;
    }
    currentUid_ = NewestUid();
    if (mailTo_ != 0 && mailTo_ < currentUid_) {
      if (!GetNextHigherMsgno(mailTo_, &from, 1) ||
          !DownLoadNewlyArrivedMails(from, mode == kWalkMails ? kSummaryOnly : kSummaryAndAttachments, &counter))
        return 0;
      if (Interrupted()) return 1;
    }
    unsigned long msgno = 0;
    if (!GetNextProcessedMsgNo(mode, &msgno)) {
      KO_LOG(-1, "GetNextProcessedMsgNo");
      return 0;
    }
    if (msgno == 0) return UpdateIndexingProgress(mode, &counter);
    countThis_ = (mode == kWalkMails ? mailStatus_ : attachmentStatus_) == 0;
    Prefetch(msgno, mode == kWalkAttachments, -1);
    int ok = CollectMail(msgno, 1, mode == kWalkMails ? kSummaryOnly : kAttachmentsOnly);
    countThis_ = 0;
    if (!ok) {
      KO_LOG(-1, "DownloadMail");
      return 0;
    }
    if (Interrupted()) return 1;
    if (!UpDateMailSeenAndDownloadTimeStatus(&counter)) return 0;
    if (stream_ == nullptr || stream_->nmsgs == 0) return 1;
    time_t now = time(nullptr);
    if (now - lastPing >= kPingIntervalSeconds) {
      lastPing = now;
      if (!mail_ping(stream_)) return 1;
    }
  }
  return 1;
}
