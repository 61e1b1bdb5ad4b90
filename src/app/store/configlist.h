// ConfigList: the table of the user's mail accounts in memory (at most 64,
// in load or add order, no address twice ignoring case) and the code that
// keeps it in step with the tables [account], [account_status] and [module],
// plus the preference and proxy rows.
//
// Not thread-safe and takes no lock: it is a member of ConfigMgr, which
// guards the records with its data lock. The database operations (the
// second group below) touch no record and read only the two folder paths
// fixed at construction, so ConfigMgr runs them without that lock and applies
// their outcome to the records afterwards. Each of them opens its own
// connection unless it is handed one.
#ifndef PV_APP_STORE_CONFIGLIST_H
#define PV_APP_STORE_CONFIGLIST_H

#include <cstdint>

#include "app/store/configrecords.h"
#include "core/kstring.h"

class koSQLite;

class ConfigList {
 public:
  static const int kMaxAccounts = 64;
  // Modes of DeleteDirectoryTree.
  static const int kDeleteAll = 0;
  static const int kKeepChanged = 1;  // files the user changed stay

  // Empty table; fixes the data directory and the attachments folder.
  ConfigList();
  ~ConfigList() {}
  ConfigList(const ConfigList&) = delete;
  ConfigList& operator=(const ConfigList&) = delete;

  // ---- Records. Lookups answer -1 (index) or 0 (result) when nothing
  // matches; getters copy into out. Addresses compare ignoring ASCII case.
  int GetCount() const { return count_; }
  int FindIndexByEmail(const char* email) const;
  int FindIndexById(int id) const;
  int FindIndexByThreadId(uint32_t threadId) const;
  int GetAccountAt(int i, AccountInfo& out) const;  // 0 unless 0 <= i < count
  int GetAccountById(int id, AccountInfo& out) const;
  int GetAccountByEmail(const char* email, AccountInfo& out) const;
  int GetStatusAt(int i, koString& out) const;
  int GetStatusById(int id, koString& out) const;
  int GetContactStatusByEmail(const char* email, koString& out) const;
  // 1 for 0 <= i < 64.
  static int IsValidIndex(int i) { return i >= 0 && i < kMaxAccounts ? 1 : 0; }

  // With force 0 only an empty status or "Connecting..." (any case) is
  // replaced, so a routine message never hides a real one.
  int SetStatusAt(int i, const char* text, int force);
  // That rule for any status text: 1 when a new text may replace `status`.
  static int MayReplaceStatus(const koString& status, int force);
  int SetContactStatusAt(int i, const char* text);
  // id 0: every account; else that one. Accounts with a non-empty mail or
  // contact status get "Connecting..." in both.
  int ResetStatusToConnecting(int id);
  void ClearAllStatuses();
  int SetThreadIdByEmail(uint32_t threadId, const char* email);
  // module 3: the mail module's values; any other: the attachment module's.
  int SetModuleIndexingStatus(int id, int status, int module);
  int SetModuleProgress(int id, int total, int processed, int module);
  // type 3 All Mail, 4 Spam, 5 Trash; another type changes nothing (1).
  int SetSpecialFolderByThread(uint32_t threadId, const char* name, int type);
  int SetMailUpdatedTime(int id, int64_t when);
  int SetContactUpdatedTime(int id, int64_t when);
  int SetContactAuthToken(int id, const char* token);
  // id 0: the smallest update time (mail or contact) over all accounts;
  // else that account's smaller one. 0 when no account matches.
  int64_t GetEarliestUpdatedTime(int id) const;
  // Appends a copy; 0 when 64 accounts exist or the address is taken.
  int AddAccount(const AccountInfo& record);
  // Stores a copy at index i (i == count appends); 0 when i is past the
  // table or the address belongs to another index.
  int InternalAddNewAccount(int i, const AccountInfo& record);
  // Copies the record over account i.
  int ReplaceAccountAt(int i, const AccountInfo& record);
  // Removes account i; the ones after it move down one place.
  int RemoveAccountAt(int i);
  // Makes this table a copy of `other`'s records.
  void CopyAccountsFrom(const ConfigList& other);

  // ---- Database operations (no record is touched unless stated).

  // Fills this table from the database, upgrading an older file first. A
  // file without [account] holds no accounts (success). Accounts read before
  // a failure stay in the table.
  int LoadAccounts();
  // Writes the account and its status row in one transaction (creating
  // [account] and [schema_version] first when missing). record.id (OUT) is
  // the new row id. The caller appends the record.
  int AddNewAccount(AccountInfo& record);
  // The database part of an account edit, in one transaction: the mail
  // deletion a later download date causes, the module resets, the account
  // row. changed (IN/OUT) receives its new module statuses; `old` is the
  // record in memory. files (OUT): saved files to delete after the commit
  // (DeleteSavedFiles); empty after a failure, which rolled everything back.
  int UpdateModuleOnTimePeriodChanges(AccountInfo& changed, const AccountInfo& old,
                                      SavedFileList& files);
  // Inside the caller's transaction: deletes mail `mailId`, or with mailId 0
  // every mail of the account received before `since`, with their address
  // links, references, file and full-text rows. files (OUT): appended with
  // the saved files that no remaining row uses.
  int InternalUpdateTableChangeOnMailCollectionTime(koSQLite* db, int mailId, int accountId,
                                                    int64_t since, SavedFileList& files);
  // Deletes each saved file (path below the attachments folder) unless the
  // user changed it. Failures are logged and do not stop the run.
  void DeleteSavedFiles(const SavedFileList& files) const;
  // Deletes every row of the account in one transaction, then its folder
  // (named after the address) under the attachments folder, keeping changed
  // files, and under the picture cache. id (OUT): the account's row id. 0
  // when the address has no row or a statement failed (nothing changed).
  int DeleteAccount(const char* email, int* id);
  // The 17 statements that remove an account's rows, on the caller's
  // connection and transaction.
  static int DeleteAccountRows(koSQLite* db, int accountId);
  // Rewrites the account row named by oldEmail with the record's address,
  // encoded password, download options.
  static int EditAccount(koSQLite* db, const AccountInfo& record, const char* oldEmail);
  // id (OUT): the row id of the address, 0 when there is none.
  static int GetAccountIdByEmail(koSQLite* db, const char* email, int* id);

  // Preference and proxy rows. The loads set the defaults first, so a
  // failure (0) still leaves a usable record. A missing [preferences] table
  // gives the defaults and succeeds; a missing [proxy] table fails.
  int LoadPreferences(Preferences& out);
  int LoadProxySettings(ProxySettings& out);
  // A name without a row changes nothing and succeeds.
  int UpdatePreference(const char* name, const char* value);

  // Statement runners: prepare, bind, step, finalize; the SQL text is logged
  // when prepare or step fails.
  static int ExecuteStatement(koSQLite* db, const char* sql);
  static int ExecuteWithOneInt(koSQLite* db, const char* sql, int64_t value);
  // bind 0: the statement has no parameter.
  static int ExecuteWithTwoInts(koSQLite* db, const char* sql, int64_t first, int64_t second,
                                int bind);

  // 1 when the file's modification time is later than its creation time,
  // and whenever that cannot be told (no birth time, unreadable, not a plain
  // file): the file is then kept.
  static int IsModifiedSinceCreation(const char* path);
  // Removes the folder with everything in it, never following a symbolic
  // link (a link is removed, its target is not touched). In kKeepChanged
  // mode changed files stay, and so do the folders holding them.
  static void DeleteDirectoryTree(const char* path, int mode);
  // Opens the summary database, making the folder "data" when missing.
  int OpenSummaryDatabase(koSQLite* db) const;

  const koString& GetAttachmentsDir() const { return attachmentsDir_; }

 private:
  int DeleteAccountFolders(const char* email) const;

  AccountInfo records_[kMaxAccounts];
  int count_ = 0;  // records 0 .. count_-1 are in use
  koString configDir_;
  koString attachmentsDir_;
};

#endif  // PV_APP_STORE_CONFIGLIST_H
