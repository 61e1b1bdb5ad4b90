#include "app/store/configlist.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "app/store/analyticmgr.h"
#include "app/store/commonhelper.h"
#include "app/store/downloadperiodmgr.h"
#include "app/store/summaryschema.h"
#include "core/kfile.h"
#include "core/klog.h"
#include "core/kpasswd.h"
#include "core/kplatform.h"
#include "core/ksqlite.h"
#include "core/pathmgr.h"
#include "core/sqlitemgr.h"

namespace {

const char* const kSelectAccounts =
    "SELECT [account].[id] accountid,[account].[email] email,[account].[password] "
    "password,[account].[download_all]  isallmails,[account].[download_since] "
    "downloadsince,[account].[mail_download_type] "
    "download_attachments,[account_status].[contact_updated_time] "
    "contatupdatedtime,[account_status].[mail_updated_time]  mailupdatedtime FROM [account] "
    "JOIN [account_status] ON [account].[id] = [account_status].[account_id]";

// The mails of one account received before a time, as pasted into the
// deletion statements; its two parameters are the account id and the time.
const char* const kMailsBeforeDate =
    " SELECT  [id] mailid FROM mail WHERE [account_id] = ? AND [received_date] < ? ";

// Each holds the account id as its only parameter; the order matters only in
// that [mail] and [contact] go after the rows that select through them.
const char* const kDeleteAccountRows[] = {
    "DELETE  FROM fts_file WHERE  [fts_file].[rowid] IN ( SELECT [file].[id] FROM  file JOIN  "
    "mail ON [file].[mail_id]  = [mail].[id] WHERE [mail].[account_id] = ? )",
    "DELETE FROM file WHERE file.mail_id IN (SELECT [id] FROM mail WHERE [mail].[account_id] = ?)",
    "DELETE FROM reference_master WHERE [reference_master].[mail_id] IN (SELECT [mail].[id] FROM "
    "mail WHERE [mail].[account_id] = ?)",
    "DELETE FROM mail_email_link WHERE [mail_email_link].[mail_id] IN (SELECT  [id]  FROM mail  "
    "WHERE [mail].[account_id] = ?)",
    "DELETE FROM mail WHERE [mail].[account_id] = ?",
    "DELETE FROM analytics_email WHERE [analytics_email].[email_address_id] IN (SELECT [id] FROM "
    "email_address WHERE [email_address].[account_id] = ?)",
    "DELETE FROM email_address WHERE [email_address].[account_id] = ?",
    "DELETE FROM module WHERE [module].[account_id] = ?",
    "DELETE FROM account WHERE [account].[id] = ?",
    "DELETE FROM account_status WHERE [account_status].[account_id] = ?",
    "DELETE FROM contact_email_link WHERE [contact_email_link].[contact_id] IN (SELECT "
    "[contact].[id] FROM contact WHERE [contact].[account_id] = ?)",
    "DELETE FROM fts_contact WHERE [fts_contact].[rowid] IN (SELECT [contact].[id] FROM contact "
    "WHERE [contact].[account_id] = ?)",
    "DELETE FROM contact_photo WHERE [contact_photo].[contact_id] IN (SELECT [contact].[id] FROM "
    "contact WHERE [contact].[account_id] = ?)",
    "DELETE FROM contact_tag_link WHERE [contact_tag_link].[contact_id] IN (SELECT "
    "[contact].[id] FROM contact WHERE [contact].[account_id] = ?)",
    "DELETE FROM contact_group_link WHERE [contact_group_link].[contact_id] IN (SELECT "
    "[contact].[id] FROM contact WHERE [contact].[account_id] = ?)",
    "DELETE FROM [group] WHERE [account_id] = ?",
    "DELETE FROM contact WHERE [contact].[account_id] = ?",
};

// status, total, processed (OUT) of one module row; zeros when there is none.
int InternalAccountModulesIndexingStatus(koSQLite* db, int accountId, int module, int* status,
                                         int* total, int* processed) {
  const char* sql =
      "SELECT indexing_status ,total_msgs,processed_msgs FROM module where [account_id] = ? AND "
      "[id] = ?";
  *status = *total = *processed = 0;
  koStatement s(db, sql);
  if (!s.Int(accountId).Int(module).Step()) return 0;
  if (s.HasRow()) {
    *status = db->GetInt(s.Handle(), 0);
    *total = db->GetInt(s.Handle(), 1);
    *processed = db->GetInt(s.Handle(), 2);
  }
  return 1;
}

// Runs `format` with the mail set pasted in; a set that is the sub-select
// gets the account id and time bound (bind 1).
int RunWithMailSet(koSQLite* db, const char* format, const koString& set, int accountId,
                   int64_t since, int bind) {
  koString sql;
  sql.AppendFormat(format, set.GetString());
  return ConfigList::ExecuteWithTwoInts(db, sql.GetString(), accountId, since, bind);
}

// files (OUT): distinct saved files of the mail set that no mail outside the
// set uses. Several mails of one account may share one file on disk; it goes
// only when every row that names it goes.
int CollectUnsharedFiles(koSQLite* db, const koString& set, int accountId, int64_t since,
                         int bind, SavedFileList& files) {
  koString sql;
  sql.AppendFormat(
      "SELECT DISTINCT [file_path] filepath FROM file WHERE [mail_id] IN (%s) AND [file_path] "
      "NOT IN (SELECT [file_path] FROM file WHERE [mail_id] NOT IN (%s))",
      set.GetString(), set.GetString());
  koStatement rows(db, sql.GetString());
  if (bind) rows.Int(accountId).Int64(since).Int(accountId).Int64(since);
  while (rows.Step("InternalDeleteFilesSavedAfterDate") && rows.HasRow()) {
    const char* path = db->GetText(rows.Handle(), "filepath");
    if (path != nullptr && path[0] != '\0') files.emplace_back(path);
  }
  return rows.Ready() ? 1 : 0;
}

// total (OUT): the account's mails the attachment module has not walked.
int InternalUpdateAttachmentModuleIndexingValues(koSQLite* db, int accountId, int* total) {
  int64_t from = 0;
  int64_t to = 0;
  if (!GetModuleUidRanges(db, accountId, kAttachmentModule, &from, &to)) return 0;
  koString sql("SELECT COUNT(*) totalmgs FROM mail WHERE [account_id] = ?");
  if (from != 0) sql += " AND ([uid] < ? OR [uid] > ?)";
  {
    koStatement count(db, sql.GetString());
    count.Int(accountId);
    if (from != 0) count.Int64(from).Int64(to);
    // COUNT answers one row whatever matches.
    if (!count.Step() || !count.HasRow()) return 0;
    *total = db->GetInt(count.Handle(), "totalmgs");
  }
  if (!UpdateModule(db, accountId, kAttachmentModule, 0)) return 0;
  return UpdateModuleIndexingValues(db, *total, 0, accountId, kAttachmentModule);
}

// A relative path that stays below the folder it is joined to.
int IsRelativeInside(const char* path) {
  if (path[0] == '\0' || path[0] == '/') return 0;
  for (const char* p = path; *p != '\0';) {
    const char* end = strchr(p, '/');
    size_t n = end != nullptr ? static_cast<size_t>(end - p) : strlen(p);
    if (n == 2 && p[0] == '.' && p[1] == '.') return 0;
    if (end == nullptr) break;
    p = end + 1;
  }
  return 1;
}

// The address names exactly one folder level.
int IsSingleComponent(const char* name) {
  return name[0] != '\0' && strcmp(name, ".") != 0 && strcmp(name, "..") != 0 &&
                 strchr(name, '/') == nullptr
             ? 1
             : 0;
}

void LogDeleteFailure(const char* path, int err) {
  koString msg;
  msg.Format("Error occured while deleting %s", path);
  KO_LOG(err, msg.GetString());
}

void CopyText(koString& field, const char* text) { field.SetAs(text != nullptr ? text : ""); }

}  // namespace

ConfigList::ConfigList() {
  PathMgr::GetConfigDir(configDir_);
  PathMgr::GetAttachmentsDir(attachmentsDir_);
}

int ConfigList::FindIndexByEmail(const char* email) const {
  if (email == nullptr) return -1;
  for (int i = 0; i < count_; ++i)
    if (records_[i].email.EqualsNoCase(email)) return i;
  return -1;
}

int ConfigList::FindIndexById(int id) const {
  for (int i = 0; i < count_; ++i)
    if (records_[i].id == id) return i;
  return -1;
}

int ConfigList::FindIndexByThreadId(uint32_t threadId) const {
  for (int i = 0; i < count_; ++i)
    if (records_[i].threadId == threadId) return i;
  return -1;
}

int ConfigList::GetAccountAt(int i, AccountInfo& out) const {
  if (i < 0 || i >= count_) return 0;
  out.Assign(records_[i]);
  return 1;
}

int ConfigList::GetAccountById(int id, AccountInfo& out) const {
  return GetAccountAt(FindIndexById(id), out);
}

int ConfigList::GetAccountByEmail(const char* email, AccountInfo& out) const {
  return GetAccountAt(FindIndexByEmail(email), out);
}

int ConfigList::GetStatusAt(int i, koString& out) const {
  if (i < 0 || i >= count_) return 0;
  out.SetAs(records_[i].mailStatus);
  return 1;
}

int ConfigList::GetStatusById(int id, koString& out) const {
  return GetStatusAt(FindIndexById(id), out);
}

int ConfigList::GetContactStatusByEmail(const char* email, koString& out) const {
  int i = FindIndexByEmail(email);
  if (i < 0) return 0;
  out.SetAs(records_[i].contactStatus);
  return 1;
}

int ConfigList::MayReplaceStatus(const koString& status, int force) {
  return force == 1 || status.GetLength() == 0 || status.EqualsNoCase(kStatusConnecting) ? 1 : 0;
}

int ConfigList::SetStatusAt(int i, const char* text, int force) {
  if (i < 0 || i >= count_) return 0;
  if (MayReplaceStatus(records_[i].mailStatus, force)) CopyText(records_[i].mailStatus, text);
  return 1;
}

int ConfigList::SetContactStatusAt(int i, const char* text) {
  if (i < 0 || i >= count_) return 0;
  CopyText(records_[i].contactStatus, text);
  return 1;
}

int ConfigList::ResetStatusToConnecting(int id) {
  int found = 0;
  for (int i = 0; i < count_; ++i) {
    AccountInfo& a = records_[i];
    if (id != 0 && a.id != id) continue;
    found = 1;
    if (a.mailStatus.GetLength() > 0 || a.contactStatus.GetLength() > 0) {
      a.mailStatus.SetAs(kStatusConnecting);
      a.contactStatus.SetAs(kStatusConnecting);
    }
  }
  return id == 0 ? 1 : found;
}

void ConfigList::ClearAllStatuses() {
  for (int i = 0; i < count_; ++i) records_[i].mailStatus.Clear();
}

int ConfigList::SetThreadIdByEmail(uint32_t threadId, const char* email) {
  int i = FindIndexByEmail(email);
  if (i < 0) return 0;
  records_[i].threadId = threadId;
  return 1;
}

int ConfigList::SetModuleIndexingStatus(int id, int status, int module) {
  int i = FindIndexById(id);
  if (i < 0) return 0;
  if (module == kMailModule)
    records_[i].mailIndexingStatus = status;
  else
    records_[i].attachmentIndexingStatus = status;
  return 1;
}

int ConfigList::SetModuleProgress(int id, int total, int processed, int module) {
  int i = FindIndexById(id);
  if (i < 0) return 0;
  if (module == kMailModule) {
    records_[i].mailTotal = total;
    records_[i].mailProcessed = processed;
  } else {
    records_[i].attachmentTotal = total;
    records_[i].attachmentProcessed = processed;
  }
  return 1;
}

int ConfigList::SetSpecialFolderByThread(uint32_t threadId, const char* name, int type) {
  int i = FindIndexByThreadId(threadId);
  if (i < 0) return 0;
  if (type == 3)
    CopyText(records_[i].allMailFolder, name);
  else if (type == 4)
    CopyText(records_[i].spamFolder, name);
  else if (type == 5)
    CopyText(records_[i].trashFolder, name);
  return 1;
}

int ConfigList::SetMailUpdatedTime(int id, int64_t when) {
  int i = FindIndexById(id);
  if (i < 0) return 0;
  records_[i].mailUpdatedTime = when;
  return 1;
}

int ConfigList::SetContactUpdatedTime(int id, int64_t when) {
  int i = FindIndexById(id);
  if (i < 0) return 0;
  records_[i].contactUpdatedTime = when;
  return 1;
}

int ConfigList::SetContactAuthToken(int id, const char* token) {
  int i = FindIndexById(id);
  if (i < 0) return 0;
  CopyText(records_[i].contactAuthToken, token);
  return 1;
}

int64_t ConfigList::GetEarliestUpdatedTime(int id) const {
  int found = 0;
  int64_t earliest = 0;
  for (int i = 0; i < count_; ++i) {
    const AccountInfo& a = records_[i];
    if (id != 0 && a.id != id) continue;
    int64_t t = a.mailUpdatedTime < a.contactUpdatedTime ? a.mailUpdatedTime
                                                          : a.contactUpdatedTime;
    if (!found || t < earliest) earliest = t;
    found = 1;
  }
  return earliest;
}

int ConfigList::AddAccount(const AccountInfo& record) {
  if (count_ >= kMaxAccounts) return 0;
  return InternalAddNewAccount(count_, record);
}

int ConfigList::InternalAddNewAccount(int i, const AccountInfo& record) {
  if (!IsValidIndex(i) || i > count_) return 0;
  int other = FindIndexByEmail(record.email.GetString());
  if (other >= 0 && other != i) return 0;
  records_[i].Assign(record);
  if (i == count_) ++count_;
  return 1;
}

int ConfigList::ReplaceAccountAt(int i, const AccountInfo& record) {
  if (i < 0 || i >= count_) return 0;
  return InternalAddNewAccount(i, record);
}

int ConfigList::RemoveAccountAt(int i) {
  if (i < 0 || i >= count_) return 0;
  for (int j = i; j + 1 < count_; ++j) records_[j].Assign(records_[j + 1]);
  --count_;
  records_[count_].Clear();
  return 1;
}

void ConfigList::CopyAccountsFrom(const ConfigList& other) {
  for (int i = 0; i < kMaxAccounts; ++i) {
    if (i < other.count_)
      records_[i].Assign(other.records_[i]);
    else
      records_[i].Clear();
  }
  count_ = other.count_;
}

int ConfigList::OpenSummaryDatabase(koSQLite* db) const {
  if (configDir_.GetLength() == 0) {
    KO_LOG(-1, SQLiteMgr::kSummaryDatabase);
    return 0;
  }
  koString data;
  data.Format("%s/data", configDir_.GetString());
  int err = 0;
  if (!koMakeFolders(data.GetString(), 0700, &err)) {
    KO_LOG(err, "CreateDirectory");
    return 0;
  }
  if (!SQLiteMgr::OpenAndInitialize(db, SQLiteMgr::kSummaryDatabase)) {
    KO_LOG(-1, SQLiteMgr::kSummaryDatabase);
    return 0;
  }
  return 1;
}

int ConfigList::ExecuteStatement(koSQLite* db, const char* sql) {
  return SQLiteMgr::ExecuteQuery(db, sql);
}

int ConfigList::ExecuteWithOneInt(koSQLite* db, const char* sql, int64_t value) {
  return koStatement(db, sql).Int64(value).Step() ? 1 : 0;
}

int ConfigList::ExecuteWithTwoInts(koSQLite* db, const char* sql, int64_t first, int64_t second,
                                   int bind) {
  koStatement s(db, sql);
  if (bind) s.Int64(first).Int64(second);
  return s.Step() ? 1 : 0;
}

int ConfigList::LoadAccounts() {
  koSQLite db(gLog);
  if (!OpenSummaryDatabase(&db)) return 0;
  // A new installation: the first add creates the table.
  if (!db.CheckIfTableExists("account")) return 1;
  if (!MigrateSqliteSchema(&db)) {
    KO_LOG(-1, "MigrateSqliteSchema");
    return 0;
  }
  // Accounts added before the service manager first made the full schema
  // have no module rows, nor the table for them: their progress is zero.
  const int haveModules = db.CheckIfTableExists("module");
  koStatement rows(&db, kSelectAccounts);
  AccountInfo record;
  while (rows.Step()) {
    if (!rows.HasRow()) return 1;
    sqlite3_stmt** row = rows.Handle();
    record.Clear();
    record.id = db.GetInt(row, "accountid");
    CopyText(record.email, db.GetText(row, "email"));
    koString stored;
    CopyText(stored, db.GetText(row, "password"));
    if (!PasswordMgr::Decode(stored, record.password)) {
      KO_LOG(-1, "PasswordMgr::Decode");
      return 0;
    }
    record.downloadAll = db.GetInt(row, "isallmails");
    record.downloadSince = db.GetInt64(row, "downloadsince");
    record.downloadAttachments = db.GetInt(row, "download_attachments");
    record.contactUpdatedTime = db.GetInt64(row, "contatupdatedtime");
    record.mailUpdatedTime = db.GetInt64(row, "mailupdatedtime");
    if (haveModules &&
        (!InternalAccountModulesIndexingStatus(&db, record.id, kMailModule,
                                               &record.mailIndexingStatus, &record.mailTotal,
                                               &record.mailProcessed) ||
         !InternalAccountModulesIndexingStatus(&db, record.id, kAttachmentModule,
                                               &record.attachmentIndexingStatus,
                                               &record.attachmentTotal,
                                               &record.attachmentProcessed))) {
      KO_LOG(-1, "InternalAccountModulesIndexingStatus");
      return 0;
    }
    record.mailStatus.SetAs(kStatusConnecting);
    record.contactStatus.SetAs(kStatusConnecting);
    if (!InternalAddNewAccount(count_, record)) {
      KO_LOG(-1, "InternalAddNewAccount");
      return 0;
    }
  }
  return 0;
}

int ConfigList::AddNewAccount(AccountInfo& record) {
  koSQLite db(gLog);
  if (!OpenSummaryDatabase(&db)) return 0;
  // Before the service manager ever ran, the file may lack both tables the
  // add writes; the statements only add what is missing.
  if (!CreateAccountTables(&db) || !CreateSchemaVersionTable(&db) ||
      !InternalSetSchemaVersion(&db)) {
    KO_LOG(-1, "failed to create schema");
    return 0;
  }
  koString encoded;
  if (!PasswordMgr::Encode(record.password, encoded)) {
    KO_LOG(-1, "PasswordMgr::Encode");
    return 0;
  }
  if (!SQLiteMgr::BeginTransaction(&db)) return 0;
  const char* insert =
      "INSERT INTO [account]([email],[password],[download_since], [download_all], "
      "[mail_download_type]) VALUES (?, ?, ?, ?, ?)";
  int ok = 0;
  {
    koStatement account(&db, insert);
    account.Text(record.email)
        .Text(encoded)
        .Int64(record.downloadSince)
        .Int(record.downloadAll)
        .Int(record.downloadAttachments);
    ok = account.Step() ? 1 : 0;
  }
  int id = 0;
  if (ok) {
    id = static_cast<int>(db.GetLastInsertRowId());
    const char* status = "INSERT INTO [account_status]([account_id]) values (?)";
    ok = ExecuteWithOneInt(&db, status, id);
    if (!ok) KO_LOG(-1, "InternalInsertAccountStatus");
  }
  if (ok && SQLiteMgr::EndTransaction(&db)) {
    record.id = id;
    return 1;
  }
  SQLiteMgr::RollbackTransaction(&db);
  return 0;
}

int ConfigList::InternalUpdateTableChangeOnMailCollectionTime(koSQLite* db, int mailId,
                                                              int accountId, int64_t since,
                                                              SavedFileList& files) {
  koString set;
  int bind = 0;
  if (mailId != 0) {
    set.Format("%d", mailId);
  } else {
    set.SetAs(kMailsBeforeDate);
    bind = 1;
  }
  SavedFileList unshared;
  int ok =
      RunWithMailSet(db, "DELETE FROM mail_email_link WHERE [mail_email_link].[mail_id] IN (%s)",
                     set, accountId, since, bind) &&
      RunWithMailSet(db, "DELETE FROM reference_master WHERE mail_id IN (%s)", set, accountId,
                     since, bind) &&
      RunWithMailSet(db,
                     "DELETE FROM fts_file WHERE [fts_file].[rowid] IN (SELECT  [file].[id] FROM "
                     "file WHERE [file].[mail_id] IN (%s))",
                     set, accountId, since, bind) &&
      CollectUnsharedFiles(db, set, accountId, since, bind, unshared) &&
      RunWithMailSet(db, "DELETE FROM file WHERE [file].[mail_id] IN (%s)", set, accountId, since,
                     bind);
  if (ok) {
    if (mailId != 0) {
      koString sql;
      sql.Format("DELETE FROM mail WHERE [id] = %d ", mailId);
      ok = ExecuteStatement(db, sql.GetString());
    } else {
      ok = ExecuteWithTwoInts(db,
                              "DELETE FROM mail WHERE [account_id] = ? AND [received_date] < ? ",
                              accountId, since, 1);
    }
  }
  if (!ok) return 0;
  for (koString& path : unshared) files.push_back(std::move(path));
  return 1;
}

void ConfigList::DeleteSavedFiles(const SavedFileList& files) const {
  for (const koString& relative : files) {
    if (!IsRelativeInside(relative.GetString())) {
      koString msg;
      msg.Format("DeleteSavedFiles: path outside the attachments folder: %s",
                 relative.GetString());
      KO_LOG(-1, msg.GetString());
      continue;
    }
    koString path;
    path.Format("%s/%s", attachmentsDir_.GetString(), relative.GetString());
    if (IsModifiedSinceCreation(path.GetString())) continue;
    int err = 0;
    if (DeleteFileUtf8(path.GetString(), &err) != 0) LogDeleteFailure(path.GetString(), err);
  }
}

int ConfigList::UpdateModuleOnTimePeriodChanges(AccountInfo& changed, const AccountInfo& old,
                                                SavedFileList& files) {
  files.clear();
  koSQLite db(gLog);
  if (!OpenSummaryDatabase(&db)) return 0;
  if (!SQLiteMgr::BeginTransaction(&db)) return 0;

  // Worked on a copy: the caller's record changes only with the commit.
  AccountInfo next;
  next.Assign(changed);
  const int accountId = old.id;
  const int oldAll = old.downloadAll == 1;
  const int newAll = next.downloadAll == 1;
  int reset = 0;
  int status = 0;
  int deleteOlder = 0;
  if (oldAll && newAll) {
    status = next.mailIndexingStatus;
  } else if (!oldAll && newAll) {
    reset = 1;
    status = 2;
  } else if (oldAll && !newAll) {
    deleteOlder = 1;
  } else if (next.downloadSince > old.downloadSince) {
    deleteOlder = 1;
  } else if (next.downloadSince < old.downloadSince) {
    // A longer period: the walk goes on below the old lower end.
    reset = 1;
    status = next.mailIndexingStatus == 1 ? 2 : 0;
  } else {
    status = next.mailIndexingStatus;
  }

  int ok = 1;
  if (deleteOlder) {
    AnalyticMgr analytics;
    if (!analytics.RebuildAnalyticsEmail(&db, accountId, next.downloadSince)) {
      KO_LOG(-1, "RebuildAnalyticsEmail");
      ok = 0;
    } else if (!InternalUpdateTableChangeOnMailCollectionTime(&db, 0, accountId,
                                                              next.downloadSince, files)) {
      KO_LOG(-1, "InternalUpdateDBChangeOnDeleteMails");
      ok = 0;
    }
    reset = 1;
    status = 2;
  }
  if (ok && next.downloadAttachments == 1 && old.downloadAttachments == 0 && status != 2) {
    int total = 0;
    if (!InternalUpdateAttachmentModuleIndexingValues(&db, accountId, &total)) {
      KO_LOG(-1, "InternalUpdateAttachmentModuleIndexingValues");
      ok = 0;
    } else {
      next.attachmentTotal = total;
      next.attachmentProcessed = 0;
      next.attachmentIndexingStatus = 0;
    }
  }
  if (ok && reset && !UpdateModule(&db, accountId, kMailModule, status)) {
    KO_LOG(-1, "UpdateModuleOnTimePeriodChanges");
    ok = 0;
  }
  if (ok) {
    next.mailIndexingStatus = status;
    ok = EditAccount(&db, next, old.email.GetString());
  }
  if (ok && SQLiteMgr::EndTransaction(&db)) {
    changed.Assign(next);
    return 1;
  }
  SQLiteMgr::RollbackTransaction(&db);
  files.clear();
  return 0;
}

int ConfigList::EditAccount(koSQLite* db, const AccountInfo& record, const char* oldEmail) {
  koString encoded;
  if (!PasswordMgr::Encode(record.password, encoded)) {
    KO_LOG(-1, "PasswordMgr::Encode");
    return 0;
  }
  const char* sql =
      " UPDATE account SET email = ? ,password = ? ,download_all = ? ,download_since = ? "
      ",mail_download_type = ? WHERE email = ?";
  koStatement update(db, sql);
  update.Text(record.email)
      .Text(encoded)
      .Int(record.downloadAll)
      .Int64(record.downloadSince)
      .Int(record.downloadAttachments)
      .Text(oldEmail);
  return update.Step() ? 1 : 0;
}

int ConfigList::GetAccountIdByEmail(koSQLite* db, const char* email, int* id) {
  const char* sql = " SELECT [id] AS accountid FROM account WHERE [email] = ?";
  *id = 0;
  koStatement s(db, sql);
  if (!s.Text(email).Step()) return 0;
  if (s.HasRow()) *id = db->GetInt(s.Handle(), "accountid");
  return 1;
}

int ConfigList::DeleteAccountRows(koSQLite* db, int accountId) {
  for (const char* sql : kDeleteAccountRows)
    if (!ExecuteWithOneInt(db, sql, accountId)) return 0;
  return 1;
}

int ConfigList::DeleteAccount(const char* email, int* id) {
  *id = 0;
  int accountId = 0;
  {
    koSQLite db(gLog);
    if (!OpenSummaryDatabase(&db)) return 0;
    if (!GetAccountIdByEmail(&db, email, &accountId)) return 0;
    if (accountId == 0) {
      KO_LOG(-1, "DeleteAccount: no account row for the address");
      return 0;
    }
    if (!SQLiteMgr::BeginTransaction(&db)) return 0;
    if (!DeleteAccountRows(&db, accountId) || !SQLiteMgr::EndTransaction(&db)) {
      SQLiteMgr::RollbackTransaction(&db);
      return 0;
    }
  }
  *id = accountId;
  // Folder failures are logged and never undo the delete.
  DeleteAccountFolders(email);
  return 1;
}

int ConfigList::DeleteAccountFolders(const char* email) const {
  // The address becomes a path component: it must not reach outside the roots.
  if (!IsSingleComponent(email)) {
    KO_LOG(-1, "DeleteAccount: the address is no single folder name");
    return 0;
  }
  koString cache;
  PathMgr::GetPictureCacheDir(cache);
  struct Root {
    const koString* path;
    int mode;
  } roots[] = {{&attachmentsDir_, kKeepChanged}, {&cache, kDeleteAll}};
  for (const Root& root : roots) {
    if (root.path->GetLength() == 0) continue;
    koString folder;
    folder.Format("%s/%s", root.path->GetString(), email);
    struct stat st;
    if (lstat(folder.GetString(), &st) != 0) continue;
    int err = 0;
    if (S_ISDIR(st.st_mode)) {
      DeleteDirectoryTree(folder.GetString(), root.mode);
    } else if (S_ISLNK(st.st_mode) && DeleteFileUtf8(folder.GetString(), &err) != 0) {
      LogDeleteFailure(folder.GetString(), err);
    }
  }
  return 1;
}

int ConfigList::IsModifiedSinceCreation(const char* path) {
  koFile file;
  // O_NOFOLLOW: a link is never the user's file; O_NONBLOCK: a FIFO must not hang us.
  if (file.Open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK, 0) != 1) return 1;
  koFileStat st;
  int rc = file.Stat(&st);
  file.Close();
  if (rc != 0 || st.createTime == 0) return 1;
  return st.modifyTime > st.createTime ? 1 : 0;
}

void ConfigList::DeleteDirectoryTree(const char* path, int mode) {
  koDirReader dir;
  dir.SetFlags(PR_SKIP_DOT | PR_SKIP_DOT_DOT);
  if (dir.Open(path)) {
    koString name;
    koString child;
    while (dir.NextEntry(name)) {
      PRFileType type;
      if (!dir.GetInfo(&type)) continue;
      child.Format("%s/%s", path, name.GetString());
      if (type == PR_FILE_DIRECTORY) {
        DeleteDirectoryTree(child.GetString(), mode);
        continue;
      }
      // Links, devices and sockets: only the entry itself goes.
      if (type == PR_FILE_FILE && mode == kKeepChanged && IsModifiedSinceCreation(child.GetString()))
        continue;
      int err = 0;
      if (DeleteFileUtf8(child.GetString(), &err) != 0) LogDeleteFailure(child.GetString(), err);
    }
    dir.Close();
  }
  int err = 0;
  if (RemoveDirectory(path, &err) != 0) LogDeleteFailure(path, err);
}
