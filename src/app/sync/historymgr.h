// HistoryMgr: every background thread of the program. Per account one mail
// thread (the IMAP indexer, MailMgr) and one contact thread (ContactService),
// plus one upgrade-check thread for the process. It sets the mail library's
// time-outs, checks the stored schema version and creates missing tables
// when it starts, and gives the request handlers the operations to start,
// stop, restart, remove and wake these threads.
//
// One instance, in gHistoryMgr: the service start-up makes it and calls
// Start, shut-down deletes it (the destructor stops what still runs).
//
// Thread-safety: Start, Stop, Restart, StartAccountServices,
// RemoveAccountServices, WakeAccount and CheckUpgradeNow may be called from
// any thread. They take this object's writer lock, which ranks after
// ConfigMgr's account lock and before ConfigMgr's data lock; Stop and
// RemoveAccountServices hold it across the joins. The background threads
// never take it: each reads only its own record and the abort event, and
// uses its own database connection.
#ifndef PV_APP_SYNC_HISTORYMGR_H
#define PV_APP_SYNC_HISTORYMGR_H

#include "app/store/configmgr.h"
#include "core/kstring.h"
#include "core/kthread.h"

class koMap;
class koSQLite;

// The upgrade-information request as the web layer makes it: url in, link
// in/out (kept unless a new link arrives); 1 on success. One object belongs
// to the upgrade thread for its whole life.
class UpgradeCheck {
 public:
  virtual ~UpgradeCheck() = default;
  virtual int Run(const char* url, koString& link) = 0;
};
// Makes the upgrade thread's check (the caller owns it); null: no check.
typedef UpgradeCheck* (*UpgradeCheckFactory)();

// One background thread of an account; the thread map owns it, and with it
// the thread object and both events. The thread reads the record; nothing
// writes it while the thread runs.
struct AccountThreadInfo {
  koThread* thread = nullptr;
  koEvent* stop = nullptr;
  koEvent* wake = nullptr;
  koString email;
  int flag = 0;
  AccountInfo account;  // taken from ConfigMgr when the thread started

  AccountThreadInfo() = default;
  ~AccountThreadInfo();
  AccountThreadInfo(const AccountThreadInfo&) = delete;
  AccountThreadInfo& operator=(const AccountThreadInfo&) = delete;
};

class HistoryMgr {
 public:
  // The schema version this program writes, "major.minor".
  static constexpr const char* kSchemaVersion = "1.2";
  // How long a mail thread waits between passes.
  static const int kMailPassIntervalMs = 60000;
  // A mail-library read or write gives up after this much silence.
  static const long kMaxSilenceSeconds = 300;

  // Sets the mail library's time-outs (15 s read and write, the time-out
  // callback below, one login trial). No thread yet.
  HistoryMgr();
  // Stops what still runs.
  ~HistoryMgr();
  HistoryMgr(const HistoryMgr&) = delete;
  HistoryMgr& operator=(const HistoryMgr&) = delete;

  // Checks the stored schema (a newer one than the program's ends the
  // process with exit code 1), creates missing tables, starts the upgrade
  // thread and each account's threads. Failures are logged; the rest starts.
  void Start();
  // Signals and joins every thread; the maps are empty afterwards. Against a
  // silent server a mail thread gives up its read within about a second.
  int Stop();
  int Restart();
  // Starts the account's mail thread, then its contact thread. Fails, with
  // nothing left behind, when either cannot start or the account already
  // has threads.
  int StartAccountServices(const AccountInfo& account);
  // Stops, joins and forgets the account's two threads.
  int RemoveAccountServices(const char* email);
  // Wakes the account's threads, or every account's for a null address.
  int WakeAccount(const char* email);
  // Wakes the upgrade thread.
  int CheckUpgradeNow();

  // Number of account threads running (mail and contact), for tests.
  int ThreadCount();
  int IsAbortSet() { return abort_.Wait(0); }

  // "major" and "minor" (OUT) of the stored version row; empty without one.
  static int GetSqliteSchemaVersion(koSQLite* db, koString& major, koString& minor);
  // Creates the "data" folder and every missing table and index; on failure
  // *why (when not null) says what failed, for the user.
  static int InitSQLiteMailSummaryDB(koString* why = nullptr);
  // The mail library's time-out callback: 0 (give up) after
  // kMaxSilenceSeconds or while services are being stopped, else 1.
  static long MailTimeoutCallback(long overall, long last);
  // Set before Start by the web layer, which owns the upgrade request.
  static void SetUpgradeCheckFactory(UpgradeCheckFactory factory);

 private:
  struct UpgradeEvents {
    koEvent* stop;
    koEvent* wake;
  };
  static void MailExtractionThread(void* arg);
  static void ContactSyncThread(void* arg);
  static void UpgradeVersionCheckThread(void* arg);
  // Ends the process when the stored schema is newer than the program's.
  static void CheckSchemaVersion();
  // A record for one of the account's threads; null when the account
  // cannot be copied.
  static AccountThreadInfo* NewRecord(const AccountInfo& account);
  // Starts `run` for the record under its key; on failure the record is gone.
  static int StartThread(koMap* map, AccountThreadInfo* record, void (*run)(void*));
  // Joins and frees the threads of the record (from either map). Under lock_.
  static int JoinRecord(AccountThreadInfo* record);
  static void SetEvents(AccountThreadInfo* record, int stop);

  koEvent* upgradeStop_ = nullptr;
  koEvent* upgradeWake_ = nullptr;
  koThread* upgradeThread_ = nullptr;
  UpgradeEvents upgradeEvents_ = {nullptr, nullptr};
  koEvent abort_;
  int stopped_ = 0;
  koMap* mailThreads_;
  koMap* contactThreads_;
  koRWLock lock_;
};

// The one instance; set and cleared by the service start-up and shut-down.
extern HistoryMgr* gHistoryMgr;

#endif  // PV_APP_SYNC_HISTORYMGR_H
