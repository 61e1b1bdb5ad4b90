// ConfigMgr: the one process-wide configuration object. It holds the account
// table with the accounts' live state, the cached preference and proxy
// records, status texts, the upgrade link, the browser name and the upgrade
// check's request counter, and it reads and writes the ini file
// "postvane.ini", kept in two copies (the data directory's and the one the
// browser side reads), and the port row of the browser extension's
// local-storage file.
//
// Lifetime: made once by the start-up code before any other thread needs
// configuration and deleted after every other thread stopped; the others
// reach it through gConfigMgr. Getters hand out copies, so nothing points into
// the object once a call returned.
//
// Thread-safety: every member function may be called from any thread. Locks,
// outermost first (see also the lock order of the whole program):
//  1. the account lock (GetAccountsLock): never taken here; request handlers
//     hold it as writer around an account change together with the stop and
//     start of that account's threads;
//  2. the change mutex: serialises account loads, adds, edits and deletes
//     and preference updates, including their database work; it ranks after
//     the account lock and HistoryMgr's lock, which nothing here takes;
//  3. the ini mutex: serialises the read-modify-write steps of the ini files;
//  4. the data lock: guards the fields; held only for memory work, never while
//     a database or an ini file is waited on. Mail threads call the setters
//     inside their own write transactions, so an account change that held it
//     across its transaction would stall both sides until the busy timeout.
// No member function is entered with the data lock held, and none of them
// calls back into code that could take it.
#ifndef PV_APP_STORE_CONFIGMGR_H
#define PV_APP_STORE_CONFIGMGR_H

#include <cstdint>
#include <vector>

#include "app/store/configrecords.h"
#include "app/store/productinfo.h"
#include "core/kstring.h"
#include "core/kthread.h"

class koSQLite;
class ConfigList;

class ConfigMgr {
 public:
  // Loads the preference and proxy records from the summary database (the
  // defaults stay where that fails). Reads no ini value.
  ConfigMgr();
  ~ConfigMgr();
  ConfigMgr(const ConfigMgr&) = delete;
  ConfigMgr& operator=(const ConfigMgr&) = delete;

  // ---- Account table. 1 for success, 0 for a failure logged through gLog.

  // Upgrades an older database and reads the accounts (statuses
  // "Connecting..."). Accounts read before a failure stay loaded.
  int LoadAccounts();
  // Writes the account and its status row, then appends it; record.id
  // (IN/OUT) is the new row's id. Refused before anything is written when 64
  // accounts exist or the address is taken (ignoring case).
  int AddAccount(AccountInfo& record);
  // Applies an edited account: record `changed` replaces the account named
  // by old.email, in the database and then in memory. A later download date
  // deletes the older mails with their rows and saved files (files the user
  // changed, and files still used by a kept mail, stay); a changed period
  // resets the mail module, switching extraction on recounts the attachment
  // module. changed (IN/OUT) gets the statuses it was stored with. On failure
  // database, memory and files are as before.
  int UpdateModuleOnTimePeriodChanges(AccountInfo& changed, const AccountInfo& old);
  // Deletes one stored mail (mailId) with its address links, reference,
  // file and full-text rows on the caller's connection, inside the caller's
  // transaction. Takes no lock. The files that no remaining row uses are
  // appended to `files` (OUT); pass them to DeleteSavedFiles once the
  // transaction committed, and drop them when it rolled back.
  int DeleteMails(koSQLite* db, int mailId, SavedFileList& files);
  // Deletes saved attachment files (relative paths) unless the user changed
  // them. Takes no lock.
  void DeleteSavedFiles(const SavedFileList& files);
  // Deletes the account's rows in every table, then its folders under the
  // attachments folder (files the user changed stay) and under the picture
  // cache; the accounts after it move down one place. An address that is not
  // configured, or whose row is missing, fails and changes nothing.
  int DeleteAccount(const char* email);

  int GetAccountCount();
  // out (OUT): copy of account i, 0 <= i < count.
  int GetAccountAt(int i, AccountInfo& out);
  int GetAccountById(int id, AccountInfo& out);
  int GetAccountByEmail(const char* email, AccountInfo& out);
  // Index, or -1.
  int FindAccountIndexByEmail(const char* email);
  int FindAccountIndexById(int id);
  // out = a copy of in.
  int CopyAccount(AccountInfo& out, const AccountInfo& in);

  // Live account state; 0 when no account matches.
  int SetThreadIdByEmail(uint32_t threadId, const char* email);
  // module 3: the mail module's values; any other: the attachment module's.
  int SetModuleIndexingStatus(int id, int status, int module);
  int SetModuleProgress(int id, int total, int processed, int module);
  // type 3 All Mail, 4 Spam, 5 Trash; other types change nothing and succeed.
  int SetSpecialFolderByThread(uint32_t threadId, const char* name, int type);
  int SetMailUpdatedTime(int id, int64_t when);
  int SetContactUpdatedTime(int id, int64_t when);
  // id 0: the smallest mail or contact update time of all accounts; else of
  // that account. 0 when no account matches.
  int64_t GetEarliestUpdatedTime(int id);
  int SetContactAuthToken(int id, const char* token);

  // ---- Statuses.

  // Mail status of the account; an address that is not configured sets the
  // general message instead (and answers 0).
  int SetStatusByEmail(const char* email, const char* text);
  // Status of the account whose mail thread this is. With force 0 a status
  // that is neither empty nor "Connecting..." stays. No such thread: the
  // general message, by the same rule (answers 0).
  int SetStatusByThread(uint32_t threadId, const char* text, int force);
  int SetContactStatusByEmail(const char* email, const char* text);
  // id 0: every account; else that account: a non-empty mail or contact
  // status makes both "Connecting...".
  int ResetStatusToConnecting(int id);
  void ClearAllStatuses();
  int GetStatusById(int id, koString& out);
  void GetGeneralMessage(koString& out);
  void ClearGeneralMessage();
  // Why the services cannot work at all (the summary database cannot be
  // opened or made), for the status the pages poll; empty while they work.
  // Apart from the general message, which an account test clears.
  void SetServiceProblem(const char* text);
  void GetServiceProblem(koString& out);

  // ---- Records and small values.

  void GetPreferences(Preferences& out);
  void GetProxySettings(ProxySettings& out);
  // Replace the cached records (the handlers wrote the rows already).
  void SetPreferences(const Preferences& record);
  void SetProxySettings(const ProxySettings& record);
  // Writes the row `name` (a missing row changes nothing and succeeds); on
  // success the cached record becomes `record`.
  int UpdatePreference(const Preferences& record, const char* name, const char* value);
  void GetSystemUuid(koString& out);
  void SetUpgradeUrl(const char* url);
  void GetUpgradeUrl(koString& out);
  void SetBrowserName(const char* name);
  void GetBrowserName(koString& out);
  // value (OUT): the counter plus one, where 120 becomes 10: 1 ... 119,
  // 10 ... 119, ... So 10 comes on the 10th call and every 110 calls after.
  int NextRequestCount(int* value);
  // The account lock (see above), once the data lock's reader side was
  // taken and released.
  koRWLock* GetAccountsLock();

  // ---- Ini files and port. No data lock: they touch no field.

  // path (OUT) of the data directory's "postvane.ini", made when missing
  // ("[GENERAL]" and "Port=40000"). 0 when the data directory is unknown.
  static int OpenIniInConfigDir(koString& path);
  // The same for the copy the browser side reads; 0 with path empty when its
  // folder is unknown.
  static int OpenIniInLowIntegrityDir(koString& path);
  // Reads System_UUID, making and storing a new one when there is none.
  int LoadSystemUuid();
  // changed (OUT) is 1 when App_Version differs from kAppVersion (it is then
  // rewritten), else 0; the browser side's copy is brought in line.
  int CheckAppVersion(int& changed);
  // Port of the main copy (default 40000), mirrored into the other copy; 0
  // when the main copy cannot be had.
  int GetPort();
  // Writes the port into both copies and into the browser extension's
  // local-storage file when the browser's default profile exists.
  int SetPort(uint16_t port);
  // The side bar's passcode, stored encoded as Passcode.
  int GetPasscode(koString& out);
  int SetPasscode(const char* text);

  // Endpoints, from section [GENERAL] of the data directory's copy (see the
  // README). Hosts are "name" or "name:port"; empty when not configured.
  static void GetImapHost(koString& out);
  static int GetImapPort();  // default 993
  static void GetContactsLoginHost(koString& out);
  static void GetContactsFeedHost(koString& out);
  // Empty (the default): no upgrade request is made.
  static void GetUpgradeHost(koString& out);

 private:
  // Puts the port into the browser extension's local-storage file of each
  // browser's default profile that exists.
  static void WriteExtensionPort(uint16_t port);
  // The same for the browser whose user-data folder path is.
  static void WriteExtensionPortInto(koString& path, uint16_t port);

  koString upgradeUrl_;
  Preferences preferences_;
  ProxySettings proxy_;
  ConfigList* accounts_;  // owned
  koString generalMessage_;
  koString serviceProblem_;
  koString systemUuid_;
  koString browserName_;
  int requestCount_ = 0;
  koRWLock accountsLock_;
  koMutex changeMutex_;
  koMutex iniMutex_;
  koRWLock dataLock_;
};

// The one instance; set and cleared by the start-up code.
extern ConfigMgr* gConfigMgr;

#endif  // PV_APP_STORE_CONFIGMGR_H
