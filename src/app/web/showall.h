// ShowAll: the default request handler of the web pages ("ShowAll", also
// for a request without `_object`). It answers the pages' reads (the
// attachment list with its full-text search, status polling, statistics
// and diagnostics) and, as its action table grows, the contact views and
// the desktop and service commands.
//
// The three list actions share one envelope: {"result":{"accountInfo":
// [...],"data":{...}},"totalRows":..,"indexingStatus":..,"indexingValue":..,
// "resultcrc":..}, where "resultcrc" is the CRC-32 of the exact "result"
// text; a search text that cannot be read adds "searchError" with the
// reason the pages show. A page sends it back as "crc"; CheckStatus and StatusMessage then
// tell whether reloading would change anything.
//
// Code by action group: showall.cpp (action table, envelope, file list,
// request counter), showall_status.cpp (status, change check, statistics,
// diagnostics), showall_contacts.cpp (contact list and contact details),
// showall_contacts_trend.cpp (a contact's mail per day, week, month or year).
//
// Lifetime and threads: built on the factory's stack for one request on its
// connection thread (RunObjectFactory). Every action that reads the summary
// database opens its own connection and closes it before it returns.
// Shared state is read as copies from gConfigMgr under its read lock; the
// upgrade wake takes ConfigMgr's account lock as writer and, inside it,
// HistoryMgr's lock (the program's lock order). No lock is held while the
// database is read, except by the forced re-synchronisations and Retry,
// which hold the account lock as writer throughout (see below).
#ifndef PV_APP_WEB_SHOWALL_H
#define PV_APP_WEB_SHOWALL_H

#include <cstdint>

#include "app/web/objectbase.h"

class ContactService;
class FileInfoMgr;
class koSQLite;
struct AccountInfo;
struct Preferences;
struct sqlite3_stmt;

class ShowAll : public ObjectBase {
 public:
  // Reads the attachments folder and the temporary folder.
  ShowAll(koHttpConnection* connection, int argument);
  ~ShowAll() override;

  // The action switch: the first row of the action table whose name equals
  // `action` ignoring case runs; no such row, or a row whose operation is
  // not part of the program, redirects to "/index.html".
  void RunAction(const koString& action);

  // The clock of the contact trend series (seconds since 1970); null
  // restores the system clock. For tests that fix "now".
  typedef int64_t (*Clock)();
  static void SetClock(Clock now);

 private:
  // One action: its operation answers 1, or 0 after a logged failure
  // (whatever it wrote is sent either way).
  typedef int (ShowAll::*Operation)(const koString& action);
  struct ActionRow {
    const char* name;  // `_action`, compared ignoring case
    Operation run;     // null while the action is not part of the program
  };
  // In the order the names are tested; ended by a row with a null name.
  static const ActionRow kActions[];

  // A list's "data" object into `data`; totalRows (OUT) the number of
  // matching items. 1, or 0 after a logged failure.
  typedef int (ShowAll::*ListOperation)(koString& data, int64_t* totalRows);

  // ---- Desktop and service actions (showall_actions.cpp)

  // Open, OpenWith, Locate and CopyPath: hands the stored file of "fileid"
  // to the main window, which acts on the GUI thread after the answer went
  // out. A file id that names no file, or a stored path that leads outside
  // the attachments folder, starts nothing (logged).
  int OpenAttachment(const koString& action);
  // The forced re-synchronisations of "accountid": "1" or "0". Each holds
  // ConfigMgr's account lock as writer throughout and runs its IMAP session
  // or contacts read here while the account's own threads are stopped; it
  // restarts them only when it stopped them.
  int SyncDeletedMails(const koString& action);
  int ForceSyncContacts(const koString& action);
  // The shared frame of both: the account and a connection for it, then run
  // under the lock; writes the answer.
  typedef int (*AccountOperation)(const AccountInfo& account, koSQLite& db);
  int AnswerForAccount(AccountOperation run);
  static int DeleteVanishedMails(const AccountInfo& account, koSQLite& db);
  static int FetchAllContacts(const AccountInfo& account, koSQLite& db);
  // Removes the stored service contacts that the contacts client's feed
  // lacks (they become local, or go when no mail names them), then stores
  // the feed. A feed that was cut short removes nothing and fails.
  static int SyncGoogleContactsToLocalRepository(koSQLite& db, ContactService& service, int accountId);
  // Wakes the account in view (or every account); with "reconnect" 1 its
  // statuses show "Connecting..." until its threads report again.
  int Refresh(const koString& action);
  // Clears the mail statuses and restarts every service, under the account
  // lock as writer.
  int Retry(const koString& action);
  int GetVersion(const koString& action);

  // ---- Envelope and file list (showall.cpp)

  int DataLoad(const koString& action);
  // Writes the list envelope around `list`'s data. 0 writes nothing.
  int LoadResult(ListOperation list);
  // result (OUT) = {"accountInfo":[...],"data":<list's data>}: the text the
  // CRC covers. 0 when the accounts or the list could not be read.
  int BuildResultText(ListOperation list, int accountId, koString& result, int64_t* totalRows);
  // One page of the attachment list. Reads pageNo, group, sortKey,
  // sortOrder, search, size and browser from the request.
  int LoadFileList(koString& data, int64_t* totalRows);
  // One row object of the file list from the list statement's current row.
  // `addresses` is the page's reused address statement (prepared on first
  // use); `pictures` null: every "icon" is "".
  void AppendFileRowJson(koSQLite& db, sqlite3_stmt** row, sqlite3_stmt** addresses,
                         FileInfoMgr* pictures, const char* sizeName, koString& out);
  // The mail's linked addresses joined by ","; empty when there are none or
  // the lookup failed (logged).
  static void GetMailAddresses(koSQLite& db, sqlite3_stmt** statement, int mailId, koString& out);
  // *modified = 1 when the user changed the saved file after it was
  // extracted; *modifyTime its modification time (0 when it cannot be
  // read). Only reads the file's status.
  void IsFileModified(const char* relativePath, int64_t received, int* modified, int64_t* modifyTime);
  // The filter of the list statement (joined by AND after its ON clause).
  static void AppendFileFilter(const Preferences& preferences, koString& out);
  // The filter of the count statements: mode 1 joins every clause with
  // AND, mode 0 the first with WHERE. needsMail (OUT): a clause reads [mail].
  static void BuildFileWhereClause(koString& out, const Preferences& preferences, int* needsMail, int mode);
  static int GetAttachmentCount(koSQLite& db, const Preferences& preferences, int64_t* count);
  static int GetFtsAttachmentCount(koSQLite& db, const Preferences& preferences, const koString& search,
                                   int negative, int64_t* count);

  // Indexing progress over every account (accountId 0) or one: done (OUT)
  // 1 when nothing is left to index, percent (OUT) 0..100. An account that
  // vanishes meanwhile is left out. Always 1.
  static int GetIndexingProgress(int* done, int* percent, int accountId);
  // Counts a list request; the 10th after start and every 110th after it
  // stores `browser` as the browser name and wakes the upgrade check.
  static void CountRequestAndCheckUpgrade(const koString& browser);

  // ---- Status, change check, statistics, diagnostics (showall_status.cpp)

  int StatusMessage(const koString& action);
  int CheckStatus(const koString& action);
  int GetStatistics(const koString& action);
  int GetDiagnostics(const koString& action);
  // "Error: Click for details", "Connecting..." or "" for one account or,
  // with id 0, all of them.
  static void GetStatusText(koString& text, int accountId);
  // The list that CheckStatus's "type" names: "file", "contact", anything
  // else the contact details.
  static ListOperation ListForType(const koString& type);
  // The per-account members shared by statistics and diagnostics; each
  // appends ","-led members to json. 1, or 0 after a logged failure.
  static int GetMailCounts(koSQLite& db, int accountId, koString& json);
  static void GetAccountStatusJson(const AccountInfo& account, koString& json);
  static int GetAttachmentCounts(koSQLite& db, int accountId, koString& json);
  static int GetLatestOldestMail(koSQLite& db, int accountId, koString& json);
  // All four in their order.
  static int AppendAccountPieces(koSQLite& db, const AccountInfo& account, koString& json);

  // ---- Contact list and contact details (showall_contacts*.cpp)

  int ContactLoad(const koString& action);
  int ContactDetails(const koString& action);
  // One page of contacts filtered by the active group and contact type, the
  // account in view and the request's "search"; a filter that leaves exactly
  // one contact answers that contact's details instead (unless "forceList").
  int LoadContactList(koString& data, int64_t* totalRows);
  // The details of the request's "contactid".
  int LoadContactDetails(koString& data, int64_t* totalRows);
  // The details object of one contact: listedId 0 takes the contact and the
  // conversation page from the request; a listed contact's id shows its
  // first page. 0 after a logged failure, also when the contact has no row.
  int BuildContactDetails(koString& data, int listedId);
  // list and count (OUT): the contact list's statements, the list cut to
  // `limit` ("LIMIT offset, count"); parameter 1 is the search text when
  // hasSearch. A stored group that no longer exists is reset to "My
  // Contacts" in `preferences` and in the cached record.
  static int GetContactLoadQueries(koSQLite& db, Preferences& preferences, int hasSearch, int forceDetails,
                                   const koString& limit, koString& list, koString& count);
  // ids (OUT): " 3,7,12", the groups named like the active group (of the
  // account in view); empty when there is none.
  static int GetActiveGroupId(koSQLite& db, const Preferences& preferences, koString& ids);
  // groups (OUT): the group names as JSON strings joined by ",", ended by
  // "All Contacts" and "Everyone".
  static int GetConcatGroups(koSQLite& db, koString& groups, int accountId);
  // Unseen mails of one contact; `statement` is prepared on first use and
  // kept for the next contact of the page.
  static int GetContactUnseenCount(koSQLite& db, sqlite3_stmt** statement, int contactId, int64_t* count);
  // The request's conversation page: begin and end rows, page and size.
  void GetMailPaging(int64_t* begin, int64_t* end, int64_t* pageNo, int64_t* perPage);
  // ids (OUT): the contact's address ids as "1,2,3" (empty when none).
  static int GetContactEmailidsConcat(koSQLite& db, int contactId, koString& ids);
  // json (OUT): the contact's members; empty when the contact has no row.
  static int GetContactDetailsJson(koSQLite& db, int contactId, const koString& ids, koString& json,
                                   int* accountId, int64_t* totalSent, int64_t* totalRecv);
  static int GetContactSendAndRecvCount(koSQLite& db, const koString& ids, int64_t* sent, int64_t* recv);
  static int GetEmailsUnseenCount(koSQLite& db, const koString& ids, int64_t* count);
  // One row per conversation with the contact, its latest mail, newest
  // first. threadCount (OUT): the conversations in all, -1 when the page
  // has no row.
  static int GetLastUnRepliedMailDetails(koSQLite& db, koString& json, const koString& ids, int accountId,
                                         int64_t begin, int64_t perPage, int64_t* threadCount);
  static int GetThreadCount(koSQLite& db, const koString& ids, int accountId, int64_t* count);

  // The received and sent series of the contact's mail, one number per day,
  // week, month or year (by the span since the first mail) in local time.
  static int GetTrendInfo(koSQLite& db, const koString& ids, koString& json);
  // The temporary table [group_timestamp_helper]: one time inside each
  // local calendar bucket of the grouping (day, week, month or year, from 0),
  // from the bucket holding start to the one holding now.
  static int CreateAndFillTempTable(koSQLite& db, int64_t start, int64_t now, int grouping);
  static int GetTrendGroupValues(koSQLite& db, const koString& ids, const char* pattern, koString& json);
  // Runs a statement of one row and reads one number of it; no row reads 0.
  static int ReadNumber(koSQLite& db, const koString& sql, const char* column, int64_t* value);

  // ---- Shared helpers

  // Opens the summary database for this request; a failure is logged.
  static int OpenSummary(koSQLite& db);
  // The CRC-32 of a result text, as the pages get it back in "crc".
  static uint32_t Fingerprint(const koString& text);
  // The request's "search" as `list` will use it, before it runs: repaired
  // to UTF-8 (as mail text is), so every answer that echoes it is valid
  // JSON; kept in searchShown_. A text that the full-text engine cannot
  // read becomes a query that matches nothing, so the list answers with no
  // rows, and searchUnreadable_ is set.
  void PrepareSearch(ListOperation list);

  koString attachmentsDir_;
  koString tempDir_;
  koString searchShown_;
  bool searchUnreadable_ = false;
};

#endif  // PV_APP_WEB_SHOWALL_H
