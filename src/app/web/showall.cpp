// ShowAll's action table, the list envelope, the attachment list and the
// request counter.
#include "app/web/showall.h"

#include <fcntl.h>
#include <sqlite3.h>

#include <cstring>

#include "app/store/configmgr.h"
#include "app/sync/fileinfomgrwin.h"
#include "app/sync/mimetext.h"
#include "app/sync/historymgr.h"
#include "core/kcrc32.h"
#include "core/kfile.h"
#include "core/klog.h"
#include "core/ksqlite.h"
#include "core/pathmgr.h"
#include "core/sqlitemgr.h"

namespace {

// The file list's columns; the sort and group keys are their aliases.
const char kListColumns[] =
    "SELECT [mail].[received_date] AS received, [mail].[subject] AS subject, [mail].[id] AS mailid, "
    "[mail].[message_id] AS msgid, [mail].[module_id] AS module, [account].[id] AS accountid, "
    "[account].[email] AS receiveremail, [file].[id] AS fileid, [file].[file_path] AS filepath, "
    "[file].[file_name] AS filename, [file].[size] AS size, [file].[file_type] AS filetype, "
    "[file].[is_folder] AS isfolder";
// Only a statement that sorts or groups by sender reads it: it costs one
// lookup per listed file before the page is cut.
const char kSenderColumn[] =
    ", (SELECT GROUP_CONCAT([email_address].[address]) FROM email_address WHERE [id] IN "
    "(SELECT email_address_id FROM mail_email_link WHERE [mail_id] = [mail].[id])) AS sendername";
const char kListFrom[] =
    " FROM [mail] JOIN [account] JOIN  [file] ON [mail].[account_id] = [account].[id] AND [mail].[id] = "
    "[file].[mail_id] ";
const char kListFtsFrom[] =
    " FROM [mail] JOIN [account] JOIN [file] JOIN (%s) AS ftsres ON [mail].[account_id] = [account].[id] AND "
    "[mail].[id] = [file].[mail_id] %s AND  fileid = ftsrowid";
const char kFtsMatch[] = "SELECT [rowid] as ftsrowid FROM fts_file WHERE fts_file match ?";
// A negative search takes the files outside the matches straight from
// [file]: walking the whole full-text table to find them costs as much as
// the rest of the answer. Every file has its full-text row.
const char kFtsNotMatch[] = " AND [file].[id] NOT IN (SELECT [rowid] FROM fts_file WHERE fts_file match ?)";
const char kMailAddresses[] =
    "SELECT GROUP_CONCAT([email_address].[address]) emailaddress FROM email_address WHERE [id] IN (SELECT  "
    "email_address_id  FROM mail_email_link  WHERE [mail_id] = ?)";

const char kCountWithMail[] = "SELECT COUNT(*) AS cnt FROM [mail]JOIN [file] ON [mail].[id] = [file].[mail_id] ";
const char kCountFiles[] = "SELECT COUNT(*) AS cnt FROM [file]";
const char kFtsCountNegative[] =
    "SELECT COUNT(*) as cnt FROM [mail] JOIN file ON [file].[mail_id] = [mail].[id] %s WHERE [file].[id] NOT IN "
    "(SELECT rowid  FROM fts_file WHERE fts_file MATCH ?)";
const char kFtsCountWithMail[] =
    "SELECT COUNT(*) as cnt FROM [mail] JOIN file JOIN fts_file ON  [file].[id] = [fts_file].[rowid] AND "
    "[file].[mail_id] = [mail].[id] %s WHERE  fts_file MATCH ?";
const char kFtsCount[] =
    "SELECT COUNT(*) as cnt FROM file JOIN fts_file ON  [file].[id] = [fts_file].[rowid] %s WHERE  fts_file "
    "MATCH ?";

// What a page may sort or group by: the list's aliases, never request text.
const char* const kSortKeys[] = {"received", "subject",  "mailid", "msgid",    "module",
                                 "accountid", "receiveremail", "fileid", "filepath", "filename",
                                 "size",      "filetype", "isfolder", "sendername"};
const char kSenderKey[] = "sendername";

// The list's own spelling of a sort key, or null.
const char* SortKey(const koString& text) {
  for (const char* key : kSortKeys) {
    if (text.EqualsNoCase(key)) return key;
  }
  return nullptr;
}

const char* SortOrder(const koString& text) {
  if (text.EqualsNoCase("ASC")) return "ASC";
  if (text.EqualsNoCase("DESC")) return "DESC";
  return nullptr;
}

// The page number: its leading digits (none: 0), kept to a size whose
// offset cannot overflow.
int64_t PageNumber(const koString& text) {
  int64_t value = 0;
  for (const char* p = text.GetString(); *p >= '0' && *p <= '9'; ++p) {
    value = value * 10 + (*p - '0');
    if (value > 1000000000) return 1000000000;
  }
  return value;
}

const char kSearchError[] = "This search cannot be read";
// A full-text query that is read without fault and matches nothing.
const char kMatchNothing[] = "\"\"";

// True when the full-text engine can read `text` as a query. It is asked of
// an empty table in a database of its own: there reading the query is the
// whole cost, while the list's statement would fail and answer nothing.
bool FullTextCanRead(const koString& text) {
  sqlite3* db = nullptr;
  sqlite3_stmt* probe = nullptr;
  bool readable =
      sqlite3_open_v2(":memory:", &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_MEMORY, nullptr) == SQLITE_OK &&
      sqlite3_exec(db, "CREATE VIRTUAL TABLE probe USING FTS3 (x)", nullptr, nullptr, nullptr) == SQLITE_OK &&
      sqlite3_prepare_v2(db, "SELECT rowid FROM probe WHERE probe MATCH ?", -1, &probe, nullptr) == SQLITE_OK &&
      sqlite3_bind_text(probe, 1, text.GetString(), static_cast<int>(text.GetLength()), SQLITE_TRANSIENT) ==
          SQLITE_OK &&
      sqlite3_step(probe) == SQLITE_DONE;
  sqlite3_finalize(probe);
  sqlite3_close(db);
  return readable;
}

// An account is done when its mails are indexed and, where attachments are
// extracted, its attachments too.
bool IsIndexed(const AccountInfo& account) {
  return account.mailIndexingStatus == 1 &&
         (account.downloadAttachments == 0 || account.attachmentIndexingStatus == 1);
}

// Attachments weigh twice: extracting one costs about two mail headers.
void AddProgress(const AccountInfo& account, int64_t* total, int64_t* processed) {
  *total += account.mailTotal;
  *processed += account.mailProcessed;
  if (account.downloadAttachments != 0) {
    *total += 2 * static_cast<int64_t>(account.attachmentTotal);
    *processed += 2 * static_cast<int64_t>(account.attachmentProcessed);
  }
}

}  // namespace

const ShowAll::ActionRow ShowAll::kActions[] = {
    {"GetStatistics", &ShowAll::GetStatistics},
    {"GetDiagnostics", &ShowAll::GetDiagnostics},
    {"Open", &ShowAll::OpenAttachment},
    {"OpenWith", &ShowAll::OpenAttachment},
    {"Locate", &ShowAll::OpenAttachment},
    {"CopyPath", &ShowAll::OpenAttachment},
    {"DataLoad", &ShowAll::DataLoad},
    {"ContactLoad", &ShowAll::ContactLoad},
    {"ContactDetails", &ShowAll::ContactDetails},
    {"CheckStatus", &ShowAll::CheckStatus},
    {"StatusMessage", &ShowAll::StatusMessage},
    {"Retry", &ShowAll::Retry},
    {"GetVersion", &ShowAll::GetVersion},
    {"Refresh", &ShowAll::Refresh},
    {"SyncDeletedMails", &ShowAll::SyncDeletedMails},
    {"ForceSyncContacts", &ShowAll::ForceSyncContacts},
    {nullptr, nullptr},
};

ShowAll::ShowAll(koHttpConnection* connection, int argument) : ObjectBase(connection, argument) {
  PathMgr::GetAttachmentsDir(attachmentsDir_);
  GetTempDirectory(tempDir_, 1);
}

ShowAll::~ShowAll() = default;

void ShowAll::RunAction(const koString& action) {
  for (const ActionRow* row = kActions; row->name != nullptr; ++row) {
    if (!action.EqualsNoCase(row->name)) continue;
    if (row->run == nullptr) break;
    if (gConfigMgr == nullptr) {
      KO_LOG(-1, "ShowAll: no configuration");
      return;
    }
    (this->*row->run)(action);
    return;
  }
  SetRedirect("/index.html");
}

int ShowAll::OpenSummary(koSQLite& db) {
  if (SQLiteMgr::OpenAndInitialize(&db, SQLiteMgr::kSummaryDatabase)) return 1;
  KO_LOG(-1, SQLiteMgr::kSummaryDatabase);
  return 0;
}

uint32_t ShowAll::Fingerprint(const koString& text) {
  static const koCrc32 crc;
  return crc.Compute(text.GetString(), static_cast<int>(text.GetLength()));
}

// ---------------------------------------------------------------------------
// Envelope

int ShowAll::DataLoad(const koString& /*action*/) { return LoadResult(&ShowAll::LoadFileList); }

void ShowAll::PrepareSearch(ListOperation list) {
  koString* search = connection_->GetParameter("search");
  MimeText::RepairUtf8(*search);
  searchShown_.SetAs(*search);
  searchUnreadable_ = false;
  // The file list reads its text without the leading '-' of a negative
  // search; the contact details take theirs as a phrase, which is always
  // readable.
  koString query(search->GetString());
  if (list == &ShowAll::LoadFileList) {
    query.TrimLeftChar('-');
  } else if (list != &ShowAll::LoadContactList || connection_->GetParameter("forceDetails")->ToInt() == 1) {
    return;
  }
  if (query.GetLength() == 0 || FullTextCanRead(query)) return;
  searchUnreadable_ = true;
  search->SetAs(kMatchNothing);
}

int ShowAll::BuildResultText(ListOperation list, int accountId, koString& result, int64_t* totalRows) {
  PrepareSearch(list);
  koString accounts;
  if (!GetAccountsJson(accounts, accountId, 1)) return 0;
  koString& data = buffer2_;
  data.Clear();
  if (!(this->*list)(data, totalRows)) return 0;
  result.SetAs("{\"accountInfo\":");
  result += accounts;
  result += ",\"data\":";
  result += data;
  result += "}";
  return 1;
}

int ShowAll::LoadResult(ListOperation list) {
  Preferences preferences;
  gConfigMgr->GetPreferences(preferences);
  const int accountId = preferences.context_type;
  koString& result = buffer1_;
  // ContactDetails has no count of its own: one contact.
  int64_t totalRows = 1;
  if (!BuildResultText(list, accountId, result, &totalRows)) return 0;
  int done = 1;
  int percent = 0;
  if (!GetIndexingProgress(&done, &percent, accountId)) return 0;
  uint32_t crc = Fingerprint(result);
  response_ += "{";
  response_ += "\"result\":";
  response_ += result;
  response_.AppendFormat(",\"totalRows\":%I64d", totalRows);
  response_.AppendFormat(",\"indexingStatus\":%d", done != 0 ? 1 : 0);
  response_.AppendFormat(",\"indexingValue\":%d", percent);
  response_.AppendFormat(",\"resultcrc\":%u", crc);
  if (searchUnreadable_) AppendJsonText(response_, ",\"searchError\":\"%s\"", kSearchError);
  response_ += "}";
  return 1;
}

int ShowAll::GetIndexingProgress(int* done, int* percent, int accountId) {
  *done = 1;
  int64_t total = 0;
  int64_t processed = 0;
  int count = 0;
  if (accountId == 0) {
    // An account removed while the list is read is left out, as the account
    // list does: a Delete must not empty the pages' answers.
    count = gConfigMgr->GetAccountCount();
    for (int i = 0; i < count; ++i) {
      AccountInfo account;
      if (!gConfigMgr->GetAccountAt(i, account)) continue;
      if (IsIndexed(account)) continue;
      *done = 0;
      AddProgress(account, &total, &processed);
    }
  } else {
    AccountInfo account;
    if (gConfigMgr->GetAccountById(accountId, account)) {
      count = 1;
      if (!IsIndexed(account)) {
        *done = 0;
        AddProgress(account, &total, &processed);
      }
    }
  }
  if (count < 1 || *done) {
    *done = 1;
    *percent = 100;
  } else if (total != 0) {
    *percent = total >= processed ? static_cast<int>(processed * 100 / total) : 99;
  }
  return 1;
}

void ShowAll::CountRequestAndCheckUpgrade(const koString& browser) {
  int count = 0;
  // The counter moves under ConfigMgr's data lock, so of any number of
  // parallel requests exactly one sees each 10.
  if (!gConfigMgr->NextRequestCount(&count) || count != 10) return;
  koWriteGuard accounts(*gConfigMgr->GetAccountsLock());
  gConfigMgr->SetBrowserName(browser.GetString());
  if (gHistoryMgr != nullptr) gHistoryMgr->CheckUpgradeNow();
}

// ---------------------------------------------------------------------------
// File list

void ShowAll::AppendFileFilter(const Preferences& preferences, koString& out) {
  // The unary plus keeps SQLite from choosing the account index to scan
  // [mail]: the join is driven from [file].
  if (preferences.context_type != 0) out.AppendFormat(" AND +[mail].[account_id] = %d ", preferences.context_type);
  if (preferences.show_recv_attachments == 1) out += " AND [mail].[module_id] = 1";
  if (preferences.show_inline_images != 1) out += " AND [file].[is_inline] != 1";
}

void ShowAll::BuildFileWhereClause(koString& out, const Preferences& preferences, int* needsMail, int mode) {
  *needsMail = 0;
  int clauses = 0;
  auto joiner = [&]() { return mode == 0 && clauses++ == 0 ? "WHERE" : "AND"; };
  if (preferences.context_type != 0) {
    out.AppendFormat(" %s [mail].[account_id] = %d ", joiner(), preferences.context_type);
    *needsMail = 1;
  }
  if (preferences.show_recv_attachments == 1) {
    out.AppendFormat(" %s [mail].[module_id] = 1", joiner());
    *needsMail = 1;
  }
  if (preferences.show_inline_images != 1) out.AppendFormat(" %s [file].[is_inline] != 1", joiner());
}

namespace {

// Runs a COUNT statement (search text, when given, as parameter 1).
int RunCount(koSQLite& db, const koString& sql, const koString* search, int64_t* count) {
  koStatement statement(&db, sql.GetString());
  if (search != nullptr) statement.Text(*search);
  if (!statement.Step() || !statement.HasRow()) return 0;
  *count = db.GetInt64(statement.Handle(), "cnt");
  return 1;
}

}  // namespace

int ShowAll::GetAttachmentCount(koSQLite& db, const Preferences& preferences, int64_t* count) {
  koString filter;
  int needsMail = 0;
  BuildFileWhereClause(filter, preferences, &needsMail, 0);
  koString sql;
  sql.Format("%s %s", needsMail ? kCountWithMail : kCountFiles, filter.GetString());
  return RunCount(db, sql, nullptr, count);
}

int ShowAll::GetFtsAttachmentCount(koSQLite& db, const Preferences& preferences, const koString& search,
                                   int negative, int64_t* count) {
  koString filter;
  int needsMail = 0;
  BuildFileWhereClause(filter, preferences, &needsMail, 1);
  koString sql;
  sql.Format(negative ? kFtsCountNegative : needsMail ? kFtsCountWithMail : kFtsCount, filter.GetString());
  return RunCount(db, sql, &search, count);
}

void ShowAll::GetMailAddresses(koSQLite& db, sqlite3_stmt** statement, int mailId, koString& out) {
  out.Clear();
  if (*statement == nullptr && !db.Prepare(statement, kMailAddresses)) {
    KO_LOG(-1, kMailAddresses);
    return;
  }
  if (!db.SetInt(statement, 1, mailId) || !db.Step(statement)) {
    KO_LOG(-1, kMailAddresses);
    // The next row prepares it anew.
    db.Finalize(statement);
    return;
  }
  if (db.GetErrCode() == SQLITE_ROW) {
    const char* addresses = db.GetText(statement, "emailaddress");
    if (addresses != nullptr) out.SetAs(addresses);
  }
  db.Reset(statement);
}

void ShowAll::IsFileModified(const char* relativePath, int64_t received, int* modified, int64_t* modifyTime) {
  *modified = 0;
  *modifyTime = 0;
  if (attachmentsDir_.GetLength() == 0) return;
  koString path(attachmentsDir_.GetString());
  PathMgr::Join(path, relativePath);
  // Read-only and never created; a FIFO in its place must not block.
  koFile file;
  if (file.Open(path.GetString(), O_RDONLY | O_NONBLOCK | O_NOCTTY, 0) != 1) return;
  koFileStat status;
  int rc = file.Stat(&status);
  file.Close();
  if (rc != 0) return;
  *modifyTime = status.modifyTime;
  // Extraction stamps the file with the mail's date, before its birth; a
  // later change moves the time past both.
  *modified = status.modifyTime > status.createTime && received < status.modifyTime ? 1 : 0;
}

void ShowAll::AppendFileRowJson(koSQLite& db, sqlite3_stmt** row, sqlite3_stmt** addresses,
                                FileInfoMgr* pictures, const char* sizeName, koString& out) {
  auto text = [&](const char* column) {
    const char* value = db.GetText(row, column);
    return value != nullptr ? value : "";
  };
  koString path(text("filepath"));
  koString name(text("filename"));
  if (db.GetInt(row, "isfolder") != 0) PathMgr::StripExtension(name);
  koString senders;
  GetMailAddresses(db, addresses, db.GetInt(row, "mailid"), senders);
  koString icon;
  if (pictures != nullptr && !pictures->GetFileIcon(path, sizeName, icon)) icon.Clear();
  int modified = 0;
  int64_t modifyTime = 0;
  IsFileModified(path.GetString(), db.GetInt64(row, "received"), &modified, &modifyTime);

  out += "{";
  AppendJsonText(out, "\"fileid\":\"%s\"", text("fileid"));
  AppendJsonText(out, ",\"mailid\":\"%s\"", text("mailid"));
  AppendJsonText(out, ",\"mailmsgid\":\"%s\"", text("msgid"));
  AppendJsonText(out, ",\"receiveremail\":\"%s\"", text("receiveremail"));
  AppendJsonText(out, ",\"received\":\"%s\"", text("received"));
  AppendJsonText(out, ",\"mailtype\":\"%s\"", text("module"));
  AppendJsonText(out, ",\"filetype\":\"%s\"", text("filetype"));
  AppendJsonText(out, ",\"sendername\":\"%s\"", senders.GetString());
  AppendJsonText(out, ",\"filename\":\"%s\"", name.GetString());
  AppendJsonText(out, ",\"icon\":\"%s\"", icon.GetString());
  out.AppendFormat(",\"isfilemodified\":\"%s\"", modified ? "1" : "0");
  out.AppendFormat(",\"filemodificationtime\":\"%d\"", static_cast<int32_t>(static_cast<uint32_t>(modifyTime)));
  AppendJsonText(out, ",\"size\":\"%s\"", text("size"));
  AppendJsonText(out, ",\"subject\":\"%s\"", text("subject"));
  out += "}";
}

int ShowAll::LoadFileList(koString& data, int64_t* totalRows) {
  const koString& pageNo = *connection_->GetParameter("pageNo");
  const koString& groupText = *connection_->GetParameter("group");
  const koString& sortKeyText = *connection_->GetParameter("sortKey");
  const koString& sortOrderText = *connection_->GetParameter("sortOrder");
  koString search(connection_->GetParameter("search")->GetString());
  const koString& browser = *connection_->GetParameter("browser");
  const koString& size = *connection_->GetParameter("size");

  SetContentKind(kContentPlain);
  // A size that is not one of the four names draws nothing at all.
  FileInfoMgrWin pictures;
  FileInfoMgr* icons = FileInfoMgr::GetPixelSize(size.GetString()) != 0 ? &pictures : nullptr;
  koSQLite db(gLog);
  if (!OpenSummary(db)) return 0;
  CountRequestAndCheckUpgrade(browser);
  Preferences preferences;
  gConfigMgr->GetPreferences(preferences);

  const int64_t perPage = preferences.files_perpage;
  const int64_t page = PageNumber(pageNo);
  const int64_t offset = (page - 1) * perPage;
  koString limit;
  limit.Format("LIMIT %I64d, %I64d", offset, perPage);

  // Keys and orders come from a fixed list; an unknown key sorts newest
  // first, a known key without a known order ascending (as the statement
  // would with the order left out). The file id settles ties, so pages
  // never share or skip a row.
  const char* sortKey = SortKey(sortKeyText);
  const char* sortOrder = SortOrder(sortOrderText);
  if (sortKey == nullptr) {
    sortKey = "received";
    sortOrder = "DESC";
  } else if (sortOrder == nullptr) {
    sortOrder = "ASC";
  }
  const char* group = SortKey(groupText);
  koString orderBy("ORDER BY ");
  if (group != nullptr) orderBy.AppendFormat("%s ASC, ", group);
  orderBy.AppendFormat("%s %s", sortKey, sortOrder);
  if (strcmp(sortKey, "fileid") != 0) orderBy.AppendFormat(", fileid %s", sortOrder);
  const bool bySender = strcmp(sortKey, kSenderKey) == 0 || (group != nullptr && strcmp(group, kSenderKey) == 0);

  koString filter;
  AppendFileFilter(preferences, filter);
  int negative = 0;
  if (search.GetString()[0] == '-') {
    search.TrimLeftChar('-');
    negative = 1;
  }
  const bool hasSearch = connection_->GetParameter("search")->GetLength() > 0;
  koString sql(kListColumns);
  if (bySender) sql += kSenderColumn;
  if (hasSearch && !negative) {
    sql.AppendFormat(kListFtsFrom, kFtsMatch, filter.GetString());
    sql.AppendFormat("  %s %s", orderBy.GetString(), limit.GetString());
  } else {
    if (negative) filter += kFtsNotMatch;
    sql.AppendFormat("%s %s %s %s", kListFrom, filter.GetString(), orderBy.GetString(), limit.GetString());
  }

  sqlite3_stmt* rows = nullptr;
  sqlite3_stmt* addresses = nullptr;
  int ok = db.Prepare(&rows, sql) && (!hasSearch || db.SetText(&rows, 1, search)) && db.Step(&rows);
  if (!ok) {
    KO_LOG(-1, sql.GetString());
    db.Finalize(&rows);
    return 0;
  }
  data += "{\"rows\":[";
  for (int first = 1; db.GetErrCode() == SQLITE_ROW; first = 0) {
    if (!first) data += ",";
    AppendFileRowJson(db, &rows, &addresses, icons, size.GetString(), data);
    if (!db.Step(&rows)) {
      KO_LOG(-1, sql.GetString());
      ok = 0;
      break;
    }
  }
  db.Finalize(&addresses);
  db.Finalize(&rows);
  if (!ok) return 0;

  int64_t total = 0;
  if (hasSearch ? !GetFtsAttachmentCount(db, preferences, search, negative, &total)
                : !GetAttachmentCount(db, preferences, &total)) {
    KO_LOG(-1, hasSearch ? "Failedtogetftsresultattachmentcount" : "GetAttachmentCount");
    return 0;
  }
  *totalRows = total;
  int64_t rowEnd = offset + perPage;
  if (total < rowEnd) rowEnd = total;
  data += "]";
  data.AppendFormat(",\"curRowBegin\":%I64d", offset + 1);
  data.AppendFormat(",\"curRowEnd\":%I64d", rowEnd);
  data.AppendFormat(",\"curPageNo\":%I64d", page);
  data.AppendFormat(", \"filesPerPage\":%I64d", perPage);
  AppendJsonText(data, ",\"version\":\"%s\"", kAppVersion);
  data += "}";
  return 1;
}
