// The jobs of MailMgr besides the All-Mail pass: discovery of the special
// folders, the Spam and Trash watch, removal of mails deleted on the
// server and the unseen flags.
#include <algorithm>
#include <iterator>
#include <vector>

#include "app/store/commonhelper.h"
#include "app/sync/mailext.h"
#include "app/sync/mailmgr.h"
#include "app/sync/mailmgr_internal.h"
#include "app/sync/mailsummary.h"
#include "core/ksqlite.h"
#include "core/sqlitemgr.h"

namespace {

// Unseen UIDs per statement; all of them change in one transaction.
constexpr int kUnseenBatch = 10000;

}  // namespace

int MailMgr::SetOriginalMailBoxNames() {
  if (!OpenMailbox("")) {
    KO_LOG(-1, "OpenMailbox");
    return 0;
  }
  if (!mail_xlist(stream_)) {
    KO_LOG(-1, "mail_xlist");
    return 0;
  }
  return 1;
}

int MailMgr::UpdateLastProcessedUid(int module, uint32_t uid) {
  const char* sql = "UPDATE [module] SET [last_processed_uid_to] = ?WHERE [account_id] = ? AND [id] = ?";
  return koStatement(db_, sql).Int64(uid).Int(accountId_).Int(module).Step() ? 1 : 0;
}

int MailMgr::IndexSpamOrTrashMailBox(const char* folder) {
  uint32_t current = 0;
  if (folder != nullptr && *folder != '\0') {
    if (!IsStreamAlive()) {
      if (!OpenMailbox(folder)) {
        KO_LOG(-1, "OpenMailbox");
        return 0;
      }
      if (gConfigMgr) gConfigMgr->SetStatusByEmail(email_.GetString(), "");
    }
    current = NewestUid();
  }
  currentUid_ = current;
  if (!InitSpamTrashModule()) {
    KO_LOG(-1, "OpenMailbox");
    return 0;
  }
  return 1;
}

int MailMgr::InitSpamTrashModule() {
  if (!AddModule(module_)) {
    KO_LOG(-1, "AddModule");
    return 0;
  }
  // Only the row: the account's in-memory statuses are those of All Mail
  // and the attachments.
  const char* done = "UPDATE module SET indexing_status = 1 WHERE [module].[account_id] = ? AND [module].[id] = ?";
  if (currentUid_ == 0) {
    if (!koStatement(db_, done).Int(accountId_).Int(module_).Step("UpdateLastProcessedUid")) return 0;
    return 1;
  }
  if (!SQLiteMgr::BeginTransaction(db_)) return 0;
  int ok = UpdateLastProcessedUid(module_, currentUid_);
  if (!ok) KO_LOG(-1, "UpdateLastProcessedUid");
  if (ok && !koStatement(db_, done).Int(accountId_).Int(module_).Step("UpdateLastProcessedUid")) ok = 0;
  if (ok && !SQLiteMgr::EndTransaction(db_)) ok = 0;
  if (!ok) {
    SQLiteMgr::RollbackTransaction(db_);
    return 0;
  }
  mailTo_ = currentUid_;
  return 1;
}

int MailMgr::SyncSpamOrTrashMailBox(koEvent* stop, const char* folder) {
  stop_ = stop;
  if (folder == nullptr || *folder == '\0') return 1;
  if (!IsStreamAlive() && !OpenMailbox(folder)) {
    KO_LOG(-1, "OpenMailbox");
    return 0;
  }
  if (!DownloadSpamAndTrashMails()) {
    KO_LOG(-1, "DownloadSpamAndTrashMails");
    return 0;
  }
  return 1;
}

int MailMgr::DownloadSpamAndTrashMails() {
  EnsureWriters();
  if (stream_ == nullptr) {
    KO_LOG(-1, "Invalid IMAP stream");
    return 0;
  }
  if (firstPass_) {
    if (!AddModule(module_)) {
      KO_LOG(-1, "AddModule");
      return 0;
    }
    int64_t from = 0;
    int64_t to = 0;
    if (!GetModuleUidRanges(db_, accountId_, module_, &from, &to)) {
      KO_LOG(-1, "GetModuleUidRanges");
      return 0;
    }
    mailFrom_ = static_cast<uint32_t>(from);
    mailTo_ = static_cast<uint32_t>(to);
    firstPass_ = 0;
  }
  while (stream_ != nullptr && stream_->nmsgs > 0) {
    uint32_t newest = NewestUid();
    if (!SetAccountlastUpdateTime()) return 0;
    if (newest <= mailTo_) return 1;
    unsigned long msgno = 1;
    if (mailTo_ != 0) {
      if (!GetNextHigherMsgno(mailTo_, &msgno, 0)) {
        KO_LOG(-1, "GetNextHigherMsgno");
        return 0;
      }
      if (msgno == 0) return 1;
    }
    if (!SaveSpamAndTrashMailsInfo(msgno)) {
      KO_LOG(-1, "SaveSpamAndTrashMailsInfo");
      return 0;
    }
    if (IsStopped()) return 1;
    mailTo_ = currentUid_;
    if (stream_ == nullptr || !mail_ping(stream_)) return 0;
  }
  return 1;
}

int MailMgr::SaveSpamAndTrashMailsInfo(unsigned long msgno) {
  if (msgno == 0) {
    KO_LOG(-1, "Failed to fetch header[MsgNo: 0]");
    ReleaseTexts();
    return 0;
  }
  currentUid_ = static_cast<uint32_t>(mail_uid(stream_, msgno));
  unsigned long length = 0;
  char* header = mail_fetch_header(stream_, msgno, NIL, NIL, &length, FT_PEEK);
  if (header == nullptr || length == 0) {
    MAILMGR_LOGF("Failed to fetch message header[MsgNo: %lu]", msgno);
    ReleaseTexts();
    return 0;
  }
  message_.Parse(header, static_cast<uint32_t>(length), 0);
  int result = 1;
  if (!IsStopped()) {
    SavedFileList files;
    int ok = SQLiteMgr::BeginTransaction(db_);
    int opened = ok;
    if (ok && !summary_->CleanTrashAndSpamMovedMailsFromAllMail(message_, files)) {
      KO_LOG(-1, "CleanTrashAndSpamMovedMailsFromAllMail");
      ok = 0;
    }
    if (ok && !UpdateLastProcessedUid(module_, currentUid_)) {
      KO_LOG(-1, "UpdateLastProcessedUid");
      ok = 0;
    }
    if (ok && !SQLiteMgr::EndTransaction(db_)) ok = 0;
    if (ok && gConfigMgr) gConfigMgr->DeleteSavedFiles(files);
    // A message that cannot be handled is passed over, unless the database
    // is left inside its transaction.
    if (!ok && opened && !Rollback(kRollbackTransaction)) result = 0;
  }
  message_.Clear();
  ReleaseTexts();
  return result;
}

int MailMgr::SyncDeletedMailsToLocalRepository() {
  EnsureWriters();
  if (stream_ == nullptr) {
    KO_LOG(-1, "Invalid IMAP stream");
    return 0;
  }
  std::vector<uint32_t> present;
  present.reserve(stream_->nmsgs);
  for (unsigned long n = 1; n <= stream_->nmsgs; ++n) {
    uint32_t uid = static_cast<uint32_t>(mail_uid(stream_, n));
    if (uid == 0) {
      KO_LOG(-1, "Caching mail uid is failed");
      ReleaseTexts();
      return 0;
    }
    present.push_back(uid);
  }
  std::sort(present.begin(), present.end());
  struct Gone {
    int id;
    int direction;
  };
  std::vector<Gone> gone;
  {
    const char* sql = "SELECT [id] mailid,[uid] mailuid,[module_id] moduleid FROM mail WHERE [account_id] = ?";
    koStatement s(db_, sql);
    s.Int(accountId_);
    if (!s.Ready()) {
      KO_LOG(-1, sql);
      ReleaseTexts();
      return 0;
    }
    while (s.Step() && s.HasRow()) {
      uint32_t uid = static_cast<uint32_t>(db_->GetInt64(s.Handle(), "mailuid"));
      if (!std::binary_search(present.begin(), present.end(), uid))
        gone.push_back({db_->GetInt(s.Handle(), "mailid"), db_->GetInt(s.Handle(), "moduleid")});
    }
  }
  // Deleted after the walk: the statement never sees its own table change.
  for (const Gone& mail : gone)
    if (!summary_->DeleteMail(mail.id, mail.direction)) {
      KO_LOG(-1, "DeleteMail");
      break;
    }
  ReleaseTexts();
  return 1;
}

namespace {

// "UPDATE ... IN (list)" over `uids`, kUnseenBatch at a time; 0 when a
// statement failed (logged with it).
int UpdateInBatches(koSQLite* db, const char* format, int accountId, const std::vector<uint32_t>& values) {
  koString list;
  koString sql;
  for (size_t i = 0; i < values.size(); ++i) {
    list.AppendFormat("%s%u", list.GetLength() ? "," : "", values[i]);
    if ((i + 1) % kUnseenBatch == 0 || i + 1 == values.size()) {
      sql.Format(format, accountId, list.GetString());
      list.Clear();
      if (!SQLiteMgr::ExecuteQuery(db, sql.GetString())) return 0;
    }
  }
  return 1;
}

// a \ b of two ascending lists.
std::vector<uint32_t> Without(const std::vector<uint32_t>& a, const std::vector<uint32_t>& b) {
  std::vector<uint32_t> out;
  std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(out));
  return out;
}

}  // namespace

void MailMgr::NoteStoredMail(uint32_t uid, int64_t mailId) {
  if (!unseenKnown_) return;
  // So many stores without a refresh: the next one starts over.
  if (storedSinceRefresh_.size() >= static_cast<size_t>(kUnseenBatch)) {
    ForgetUnseen();
    return;
  }
  storedSinceRefresh_.push_back({uid, mailId});
}

void MailMgr::ForgetUnseen() {
  unseenKnown_ = 0;
  std::vector<uint32_t>().swap(unseenUids_);
  std::vector<StoredMail>().swap(storedSinceRefresh_);
}

int MailMgr::UpdateUnseenMailStatus() {
  if (stream_ == nullptr) return 0;
  koString criterion("UNSEEN");
  if (!downloadAll_ && since_.GetLength() > 0) criterion.AppendFormat(" %s", since_.GetString());
  if (!Search(criterion.GetString())) return 0;
  std::vector<uint32_t> unseen;
  for (unsigned long n = 1; stream_ != nullptr && n <= stream_->nmsgs; ++n)
    if (mail_elt(stream_, n)->searched) unseen.push_back(static_cast<uint32_t>(mail_uid(stream_, n)));
  // UIDs grow with the message number; a server that breaks that gets the
  // whole rewrite.
  if (!std::is_sorted(unseen.begin(), unseen.end())) ForgetUnseen();
  if (!unseenKnown_) return RewriteUnseen(unseen);
  // Since the last refresh the rows match its set, except the mails stored
  // after it, which are all still 0: only those and the UIDs whose flag
  // changed on the server need a statement.
  std::vector<uint32_t> cleared = Without(unseenUids_, unseen);
  std::vector<uint32_t> marked = Without(unseen, unseenUids_);
  std::vector<uint32_t> stored;
  for (const StoredMail& mail : storedSinceRefresh_)
    if (std::binary_search(unseen.begin(), unseen.end(), mail.uid)) stored.push_back(static_cast<uint32_t>(mail.id));
  if (cleared.empty() && marked.empty() && stored.empty()) {
    storedSinceRefresh_.clear();
    return 1;
  }
  if (!SQLiteMgr::BeginTransaction(db_)) return 0;
  int ok = UpdateInBatches(db_, "UPDATE [mail] SET [unseen] = 0 WHERE [account_id] = %d AND [unseen] = 1 AND [uid] IN (%s)",
                           accountId_, cleared) &&
           UpdateInBatches(db_, "UPDATE [mail] SET [unseen] = 1 WHERE [account_id] = %d AND [uid] IN (%s)", accountId_,
                           marked) &&
           // By row id ("+": not by the account's index, which reads all its mails).
           UpdateInBatches(db_, "UPDATE [mail] SET [unseen] = 1 WHERE +[account_id] = %d AND [id] IN (%s)", accountId_,
                           stored);
  if (!SQLiteMgr::EndTransaction(db_)) ok = -1;
  if (ok != 1) {
    // What the rows hold now is not known: the next refresh rewrites them.
    ForgetUnseen();
    return ok == -1 ? 0 : 1;
  }
  unseenUids_.swap(unseen);
  storedSinceRefresh_.clear();
  return 1;
}

int MailMgr::RewriteUnseen(std::vector<uint32_t>& unseen) {
  if (!SQLiteMgr::BeginTransaction(db_)) return 0;
  koString sql;
  sql.Format("UPDATE [mail] SET [unseen] = 0 WHERE [account_id] = %d AND [unseen] = 1", accountId_);
  int ok = SQLiteMgr::ExecuteQuery(db_, sql.GetString()) &&
           UpdateInBatches(db_, "UPDATE [mail] SET [unseen] = 1 WHERE [account_id] = %d AND [uid] IN (%s)", accountId_,
                           unseen);
  if (!SQLiteMgr::EndTransaction(db_)) return 0;
  if (ok) {
    unseenKnown_ = 1;
    unseenUids_.swap(unseen);
    storedSinceRefresh_.clear();
  }
  return 1;
}
