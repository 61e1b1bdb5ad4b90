#include "app/sync/historymgr.h"

#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "app/store/productinfo.h"
#include "app/store/summaryschema.h"
#include "app/sync/contactservice.h"
#include "app/sync/mailmgr.h"
#include "core/kcrash.h"
#include "core/klog.h"
#include "core/kmap.h"
#include "core/ksqlite.h"
#include "core/pathmgr.h"
#include "core/sqlitemgr.h"
#include "platform/os/thread_id.h"

extern "C" {
#include <c-client/c-client.h>
}

HistoryMgr* gHistoryMgr = nullptr;

namespace {

// The abort event of the live manager, for the library's time-out callback
// on any thread.
std::atomic<koEvent*> gAbortEvent{nullptr};
std::atomic<UpgradeCheckFactory> gUpgradeCheckFactory{nullptr};

const long kLibraryTimeoutSeconds = 15;

const char kHiddenAllMail[] =
    "\nThe IMAP folder \"All Mail\" is hidden for your account. Postvane indexes mails from 'All Mail' folder. You "
    "can fix this by changing the settings from Gmail -> Settings -> Labels. We will get rid of this limitation "
    "soon.";

void FreeRecord(void* item, void* /*arg*/) {
  koMapItem* entry = static_cast<koMapItem*>(item);
  delete entry->key;
  delete static_cast<AccountThreadInfo*>(entry->value);
  free(entry);
}

int IsSet(koEvent* event) { return event != nullptr && event->Wait(0) ? 1 : 0; }

// Waits for the wake event (ms -1: without limit) and takes the wake-up, so
// that a pass shorter than the waker's pulse does not run twice.
void WaitForWake(koEvent* wake, int ms) {
  if (wake->Wait(ms)) wake->Reset();
}

}  // namespace

AccountThreadInfo::~AccountThreadInfo() {
  delete thread;
  delete stop;
  delete wake;
}

HistoryMgr::HistoryMgr()
    : mailThreads_(new koMap(0, FreeRecord)), contactThreads_(new koMap(0, FreeRecord)) {
  gAbortEvent.store(&abort_);
  mail_parameters(NIL, SET_READTIMEOUT, reinterpret_cast<void*>(kLibraryTimeoutSeconds));
  mail_parameters(NIL, SET_WRITETIMEOUT, reinterpret_cast<void*>(kLibraryTimeoutSeconds));
  mail_parameters(NIL, SET_TIMEOUT, reinterpret_cast<void*>(&HistoryMgr::MailTimeoutCallback));
  mail_parameters(NIL, SET_MAXLOGINTRIALS, reinterpret_cast<void*>(1));
}

HistoryMgr::~HistoryMgr() {
  if (stopped_ == 0) Stop();
  koEvent* mine = &abort_;
  gAbortEvent.compare_exchange_strong(mine, nullptr);
  delete mailThreads_;
  delete contactThreads_;
}

long HistoryMgr::MailTimeoutCallback(long overall, long /*last*/) {
  if (overall >= kMaxSilenceSeconds) return 0;
  koEvent* abort = gAbortEvent.load();
  return abort != nullptr && abort->Wait(0) ? 0 : 1;
}

void HistoryMgr::SetUpgradeCheckFactory(UpgradeCheckFactory factory) { gUpgradeCheckFactory.store(factory); }

int HistoryMgr::GetSqliteSchemaVersion(koSQLite* db, koString& major, koString& minor) {
  major.Clear();
  minor.Clear();
  const char* sql =
      "SELECT [major_version] majorversion, [minor_version] minorversion FROM [schema_version] WHERE rowid = 1";
  koStatement s(db, sql);
  if (!s.Step()) return 0;
  if (s.HasRow()) {
    const char* text = db->GetText(s.Handle(), "majorversion");
    major.SetAs(text ? text : "");
    text = db->GetText(s.Handle(), "minorversion");
    minor.SetAs(text ? text : "");
  }
  return 1;
}

void HistoryMgr::CheckSchemaVersion() {
  koString major;
  koString minor;
  {
    koSQLite db(gLog);
    if (!SQLiteMgr::Open(&db, SQLiteMgr::kSummaryDatabase) || !db.CheckIfTableExists("schema_version")) return;
    if (!GetSqliteSchemaVersion(&db, major, minor)) {
      KO_LOG(-1, "GetSqliteSchemaVersion");
      return;
    }
  }
  if (major.GetLength() == 0) return;
  koString stored;
  stored.Format("%s.%s", major.GetString(), minor.GetString());
  if (ParseSchemaVersion(stored.GetString()) <= ParseSchemaVersion(kSchemaVersion)) return;
  koString text;
  text.Format("Data file version mismatched (Current Version:%s, Existing Version:%s), application terminated!.",
              kSchemaVersion, stored.GetString());
  KO_LOG(-1, text.GetString());
  // Nothing of this program may write into a newer file.
  CrashHandler::Cleanup();
  exit(1);
}

int HistoryMgr::InitSQLiteMailSummaryDB(koString* why) {
  koString dir;
  koString ignored;
  if (why == nullptr) why = &ignored;
  if (!PathMgr::GetConfigDir(dir)) {
    why->SetAs("the data directory is unknown (no home folder)");
    return 0;
  }
  dir += "/data";
  if (mkdir(dir.GetString(), 0700) != 0 && errno != EEXIST) {
    int err = errno;
    KO_LOG(err, dir.GetString());
    why->Format("%s: %s", dir.GetString(), strerror(err));
    return 0;
  }
  koSQLite db(gLog);
  if (!SQLiteMgr::OpenAndInitialize(&db, SQLiteMgr::kSummaryDatabase)) {
    KO_LOG(-1, "OpenAndInitialize");
    why->Format("%s/%s: %s", dir.GetString(), SQLiteMgr::kSummaryDatabase, db.GetErrMsg());
    return 0;
  }
  // Write-ahead logging belongs to the file: every later opening runs with
  // it. A mail's transaction then commits with one sync of the log, and the
  // pages still read whole mails only, without waiting for the writer.
  if (!SQLiteMgr::ExecuteQuery(&db, "PRAGMA journal_mode = WAL")) KO_LOG(-1, "PRAGMA journal_mode = WAL");
  if (CreateSummarySchema(&db)) return 1;
  why->Format("%s/%s: %s", dir.GetString(), SQLiteMgr::kSummaryDatabase, db.GetErrMsg());
  return 0;
}

void HistoryMgr::Start() {
  stopped_ = 0;
  CheckSchemaVersion();
  int count = gConfigMgr ? gConfigMgr->GetAccountCount() : 0;
  koString why;
  if (!InitSQLiteMailSummaryDB(&why)) {
    KO_LOG(-1, "InitSQLiteMailSummaryDB");
    koString problem;
    problem.Format("The summary database cannot be opened or made (%s)", why.GetString());
    if (gConfigMgr) gConfigMgr->SetServiceProblem(problem.GetString());
    return;
  }
  if (gConfigMgr) gConfigMgr->SetServiceProblem("");
  {
    koWriteGuard guard(lock_);
    if (upgradeThread_ == nullptr) {
      upgradeThread_ = new koThread();
      upgradeStop_ = new koEvent();
      upgradeWake_ = new koEvent();
      upgradeEvents_ = {upgradeStop_, upgradeWake_};
      if (!upgradeThread_->Create(PR_USER_THREAD, UpgradeVersionCheckThread, &upgradeEvents_, PR_PRIORITY_LOW,
                                  PR_GLOBAL_THREAD, PR_JOINABLE_THREAD, 0)) {
        KO_LOG(-1, "Unable to Start upgrade version check service thread");
        delete upgradeThread_;
        delete upgradeStop_;
        delete upgradeWake_;
        upgradeThread_ = nullptr;
        upgradeStop_ = upgradeWake_ = nullptr;
        return;
      }
    }
  }
  koString attachments;
  PathMgr::GetAttachmentsDir(attachments);
  for (int i = 0; i < count; ++i) {
    AccountInfo account;
    if (!gConfigMgr->GetAccountAt(i, account)) continue;
    if (!StartAccountServices(account)) {
      koString text;
      text.Format("Unable to start mail extraction service for : %s\n", account.email.GetString());
      KO_LOG(-1, text.GetString());
    }
  }
}

AccountThreadInfo* HistoryMgr::NewRecord(const AccountInfo& account) {
  AccountThreadInfo* record = new AccountThreadInfo();
  record->thread = new koThread();
  record->stop = new koEvent();
  record->wake = new koEvent();
  record->email.SetAs(account.email);
  if (gConfigMgr == nullptr || !gConfigMgr->CopyAccount(record->account, account)) {
    delete record;
    return nullptr;
  }
  return record;
}

int HistoryMgr::StartThread(koMap* map, AccountThreadInfo* record, void (*run)(void*)) {
  koString* key = new koString(record->email.GetString());
  if (map->Set(key, record) != 0) return 0;
  if (record->thread->Create(PR_USER_THREAD, run, record, PR_PRIORITY_LOW, PR_GLOBAL_THREAD, PR_JOINABLE_THREAD,
                             0))
    return 1;
  map->Erase(record->email);
  return 0;
}

int HistoryMgr::StartAccountServices(const AccountInfo& account) {
  koWriteGuard guard(lock_);
  // A second pair would take the running pair's records from under it.
  if (mailThreads_->Get(account.email) != nullptr || contactThreads_->Get(account.email) != nullptr) return 0;
  AccountThreadInfo* mail = NewRecord(account);
  AccountThreadInfo* contact = mail ? NewRecord(account) : nullptr;
  if (contact == nullptr) {
    delete mail;
    return 0;
  }
  if (!StartThread(mailThreads_, mail, MailExtractionThread)) {
    delete contact;
    return 0;
  }
  if (!StartThread(contactThreads_, contact, ContactSyncThread)) {
    SetEvents(mail, 1);
    JoinRecord(mail);
    mailThreads_->Erase(account.email);
    return 0;
  }
  return 1;
}

void HistoryMgr::SetEvents(AccountThreadInfo* record, int stop) {
  if (record == nullptr) return;
  if (stop) record->stop->Set();
  record->wake->Set();
}

int HistoryMgr::JoinRecord(AccountThreadInfo* record) {
  if (record == nullptr || record->thread == nullptr) return 1;
  if (!record->thread->Join()) return 0;
  delete record->thread;
  record->thread = nullptr;
  return 1;
}

int HistoryMgr::Stop() {
  koWriteGuard guard(lock_);
  abort_.Set();
  if (upgradeThread_) {
    upgradeStop_->Set();
    upgradeWake_->Set();
  }
  koMapIter it = mailThreads_->IterFirst();
  for (koMapItem* item = mailThreads_->IterRewind(&it); item; item = mailThreads_->IterNext(&it)) {
    SetEvents(static_cast<AccountThreadInfo*>(item->value), 1);
    SetEvents(static_cast<AccountThreadInfo*>(contactThreads_->Get(*item->key)), 1);
  }
  if (upgradeThread_) {
    upgradeThread_->Join();
    delete upgradeThread_;
    delete upgradeStop_;
    delete upgradeWake_;
    upgradeThread_ = nullptr;
    upgradeStop_ = upgradeWake_ = nullptr;
  }
  it = mailThreads_->IterFirst();
  for (koMapItem* item = mailThreads_->IterRewind(&it); item; item = mailThreads_->IterNext(&it)) {
    if (!JoinRecord(static_cast<AccountThreadInfo*>(item->value)) ||
        !JoinRecord(static_cast<AccountThreadInfo*>(contactThreads_->Get(*item->key)))) {
      abort_.Reset();
      return 0;
    }
  }
  // A contact thread whose mail thread never started has no key above.
  it = contactThreads_->IterFirst();
  for (koMapItem* item = contactThreads_->IterRewind(&it); item; item = contactThreads_->IterNext(&it)) {
    SetEvents(static_cast<AccountThreadInfo*>(item->value), 1);
    JoinRecord(static_cast<AccountThreadInfo*>(item->value));
  }
  delete mailThreads_;
  delete contactThreads_;
  mailThreads_ = new koMap(0, FreeRecord);
  contactThreads_ = new koMap(0, FreeRecord);
  abort_.Reset();
  stopped_ = 1;
  return 1;
}

int HistoryMgr::Restart() {
  if (!Stop()) return 0;
  Start();
  return 1;
}

int HistoryMgr::RemoveAccountServices(const char* email) {
  if (email == nullptr) return 0;
  koWriteGuard guard(lock_);
  AccountThreadInfo* mail = static_cast<AccountThreadInfo*>(mailThreads_->Get(email));
  AccountThreadInfo* contact = static_cast<AccountThreadInfo*>(contactThreads_->Get(email));
  abort_.Set();
  SetEvents(mail, 1);
  SetEvents(contact, 1);
  int ok = JoinRecord(mail) && JoinRecord(contact);
  if (ok) {
    mailThreads_->Erase(email);
    contactThreads_->Erase(email);
  }
  abort_.Reset();
  return ok;
}

int HistoryMgr::WakeAccount(const char* email) {
  koWriteGuard guard(lock_);
  std::vector<AccountThreadInfo*> mails;
  std::vector<AccountThreadInfo*> contacts;
  for (koMap* map : {mailThreads_, contactThreads_}) {
    std::vector<AccountThreadInfo*>& woken = map == mailThreads_ ? mails : contacts;
    if (email != nullptr) {
      if (map->Get(email) != nullptr) woken.push_back(static_cast<AccountThreadInfo*>(map->Get(email)));
      continue;
    }
    koMapIter it = map->IterFirst();
    for (koMapItem* item = map->IterRewind(&it); item; item = map->IterNext(&it))
      woken.push_back(static_cast<AccountThreadInfo*>(item->value));
  }
  // A mail thread takes its wake-up when it next waits, so one that comes
  // during a pass is not lost; the contact thread's is a short pulse.
  for (AccountThreadInfo* record : mails) SetEvents(record, 0);
  for (AccountThreadInfo* record : contacts) SetEvents(record, 0);
  PR_Sleep(3);
  for (AccountThreadInfo* record : contacts) record->wake->Reset();
  return 1;
}

int HistoryMgr::CheckUpgradeNow() {
  koWriteGuard guard(lock_);
  if (upgradeWake_ == nullptr) return 0;
  // Taken by the upgrade thread when it next waits.
  upgradeWake_->Set();
  return 1;
}

int HistoryMgr::ThreadCount() {
  koWriteGuard guard(lock_);
  int count = 0;
  for (koMap* map : {mailThreads_, contactThreads_}) {
    koMapIter it = map->IterFirst();
    for (koMapItem* item = map->IterRewind(&it); item; item = map->IterNext(&it)) ++count;
  }
  return count;
}

void HistoryMgr::MailExtractionThread(void* arg) {
  AccountThreadInfo* info = static_cast<AccountThreadInfo*>(arg);
  const char* email = info->email.GetString();
  gConfigMgr->SetThreadIdByEmail(koCurrentThreadId(), email);
  {
    koSQLite db(gLog);
    if (!SQLiteMgr::OpenAndInitialize(&db, SQLiteMgr::kSummaryDatabase)) {
      KO_LOG(-1, "OpenSqliteHandle");
      koString text;
      text.Format("The summary database cannot be opened (%s)", db.GetErrMsg());
      gConfigMgr->SetStatusByEmail(email, text.GetString());
    } else {
      const AccountInfo& account = info->account;
      MailMgr* discovery = new MailMgr(account, kModuleDiscovery, &db);
      MailMgr allMail(account, kModuleAllMail, &db);
      MailMgr spam(account, kModuleSpam, &db);
      MailMgr trash(account, kModuleTrash, &db);
      int trashDone = 0;
      int spamDone = 0;
      int ready = trash.GetAccountModuleIndexStatus(&trashDone) && spam.GetAccountModuleIndexStatus(&spamDone);
      if (!ready) KO_LOG(-1, "GetAccountModuleIndexStatus");
      int mailPass = 1;
      AccountInfo current;
      current.Assign(account);
      while (ready) {
        int go = 1;
        if (discovery != nullptr) {
          if (!discovery->SetOriginalMailBoxNames()) {
            KO_LOG(-1, "SetOriginalMailBoxNames");
            go = 0;
          } else if (!gConfigMgr->GetAccountById(account.id, current)) {
            KO_LOG(-1, "GetAccountDetailsByAccountId");
            go = 0;
          } else {
            delete discovery;
            discovery = nullptr;
          }
        }
        for (auto folder : {std::make_pair(&trash, &trashDone), std::make_pair(&spam, &spamDone)}) {
          if (!go || *folder.second) continue;
          const koString& name = folder.first == &trash ? current.trashFolder : current.spamFolder;
          if (folder.first->IndexSpamOrTrashMailBox(name.GetString())) {
            *folder.second = 1;
          } else {
            KO_LOG(-1, "IndexSpamOrTrashMailBox");
            go = 0;
          }
        }
        if (go && current.allMailFolder.GetLength() > 0) {
          int open = allMail.IsStreamAlive() || allMail.OpenMailbox(current.allMailFolder.GetString());
          int saved = 0;
          if (!open) {
            KO_LOG(-1, "OpenMailbox");
          } else {
            gConfigMgr->SetStatusByEmail(email, "");
            saved = allMail.SaveNewMessages(info->stop, current.downloadAll, &mailPass);
            if (!saved) KO_LOG(-1, "SaveNewMessages");
          }
          if (IsSet(info->stop)) break;
          if (allMail.MailStatus() == 1 && open && saved) {
            int spamOk = spam.SyncSpamOrTrashMailBox(info->stop, current.spamFolder.GetString());
            if (IsSet(info->stop)) break;
            if (spamOk) trash.SyncSpamOrTrashMailBox(info->stop, current.trashFolder.GetString());
            if (IsSet(info->stop)) break;
          }
        } else if (go) {
          KO_LOG(-1, "Unknown All Mail box");
          gConfigMgr->SetStatusByEmail(email, kHiddenAllMail);
        }
        WaitForWake(info->wake, kMailPassIntervalMs);
        if (IsSet(info->stop)) break;
      }
      delete discovery;
    }
  }
  // The id may be reused by a later thread of another account.
  gConfigMgr->SetThreadIdByEmail(0, email);
}

void HistoryMgr::ContactSyncThread(void* arg) {
  AccountThreadInfo* info = static_cast<AccountThreadInfo*>(arg);
  koSQLite db(gLog);
  if (!SQLiteMgr::OpenAndInitialize(&db, SQLiteMgr::kSummaryDatabase)) {
    KO_LOG(-1, "OpenAndInitialize");
    koString text;
    text.Format("The summary database cannot be opened (%s)", db.GetErrMsg());
    gConfigMgr->SetContactStatusByEmail(info->email.GetString(), text.GetString());
    return;
  }
  ContactService service(info->account, &db);
  service.SyncContacts(info->stop, info->wake);
}

void HistoryMgr::UpgradeVersionCheckThread(void* arg) {
  UpgradeEvents* events = static_cast<UpgradeEvents*>(arg);
  UpgradeCheckFactory factory = gUpgradeCheckFactory.load();
  UpgradeCheck* check = factory ? factory() : nullptr;
  // "1.89 Beta": number and beta word, the number's major and minor parts.
  koString number(kAppVersion);
  koString beta;
  const char* blank = strchr(kAppVersion, ' ');
  if (blank) {
    number.SetAs(kAppVersion, static_cast<int>(blank - kAppVersion));
    beta.SetAs(blank + 1);
  }
  koString major;
  number.CutToken(".", major);
  koString uuid;
  if (gConfigMgr) gConfigMgr->GetSystemUuid(uuid);
  uuid.UrlEncode(0);
  beta.UrlEncode(0);
  koString host;
  ConfigMgr::GetUpgradeHost(host);
  koString query;
  query.Format("http://%s/upgradeinfo/upgrade_info.php?", host.GetString());
  query.AppendFormat("majorver=%s&minorver=%s&beta=%s&os=%s&uuid=%s&action=upgrade", major.GetString(),
                     number.GetString(), beta.GetString(), "win", uuid.GetString());
  koString last;
  WaitForWake(events->wake, -1);
  while (!IsSet(events->stop)) {
    if (check != nullptr && host.GetLength() > 0) {
      koString browser;
      if (gConfigMgr) gConfigMgr->GetBrowserName(browser);
      browser.UrlEncode(0);
      koString url;
      url.Format("%s&browser=%s", query.GetString(), browser.GetString());
      koString link;
      link.SetAs(last);
      if (!check->Run(url.GetString(), link)) {
        KO_LOG(-1, "GetUpgradeVersionDownloadExeUrl");
      } else if (strcmp(link.GetString(), last.GetString()) != 0) {
        gConfigMgr->SetUpgradeUrl(link.GetString());
        last.SetAs(link);
      }
    }
    WaitForWake(events->wake, -1);
  }
  delete check;
}
