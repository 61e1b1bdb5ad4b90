// ShowAll's polling and reporting actions: StatusMessage, CheckStatus,
// GetStatistics and GetDiagnostics.
#include <sqlite3.h>

#include "app/store/configmgr.h"
#include "app/web/showall.h"
#include "core/klog.h"
#include "core/ksqlite.h"
#include "core/pathmgr.h"

namespace {

const char kMailCounts[] =
    "SELECT [mail].[module_id] moduleid, count(*) AS mailcount FROM mail where [mail].[account_id] = ?  GROUP "
    "BY module_id ORDER BY moduleid";
const char kAttachmentCounts[] =
    "SELECT [mail].[module_id] moduleid,COUNT(*) AS attachmentcount FROM [mail] JOIN [file]ON [mail].[id] = "
    "[file].[mail_id] AND [mail].[account_id] = ? GROUP BY moduleid ORDER BY moduleid";
const char kLatestOldestMail[] =
    "SELECT latestmail_mailid, latestmail_moduleid,latestmail_sub, latestmail_recvtime,latestmail_emailaddress,"
    "oldestmail_mailid, oldestmail_moduleid,oldestmail_sub,oldestmail_recvtime,oldestmail_emailaddress FROM "
    "(SELECT [mail].[id] latestmail_mailid, [mail].[module_id] latestmail_moduleid, [mail].[subject] "
    "latestmail_sub , [mail].[received_date] latestmail_recvtime, (SELECT GROUP_CONCAT(address) AS "
    "latestmail_email  FROM mail_email_link  JOIN email_address ON [email_address].[id] = "
    "[mail_email_link].[email_address_id] WHERE [mail_email_link].[mail_id] = [mail].[id] ) "
    "latestmail_emailaddress  FROM mail  WHERE [mail].[account_id] = ? AND [mail].[uid] IN (SELECT "
    "[processed_uid_to] FROM module WHERE account_id = ? AND [id] = ?)) , (SELECT [mail].[id] "
    "oldestmail_mailid, [mail].[module_id] oldestmail_moduleid, [mail].[subject] oldestmail_sub , "
    "[mail].[received_date] oldestmail_recvtime ,   (SELECT GROUP_CONCAT(address) AS latestmail_email  FROM  "
    "mail_email_link  JOIN email_address ON [email_address].[id] = mail_email_link.email_address_id  WHERE "
    "mail_email_link.mail_id = [mail].[id] ) oldestmail_emailaddress   FROM mail WHERE [mail].[account_id] = ? "
    "AND [mail].[uid] IN (SELECT [processed_uid_from] FROM module WHERE account_id = ? AND [id] = ?))";
// The All Mail module: its walked range ends at the newest and oldest mail.
const int kAllMailModule = 3;

const char kErrorText[] = "Error: Click for details";

// A status text that is neither empty nor "Connecting..." is an error.
void ExamineStatus(const koString& status, int* connecting, int* error) {
  if (*error || status.GetLength() == 0) return;
  if (status.EqualsNoCase(kStatusConnecting)) {
    *connecting = 1;
  } else {
    *error = 1;
  }
}

// Counts per module id of a "moduleid, <count>" statement for one account:
// inbox (1) and sent (2); other modules are left out.
int CountByModule(koSQLite& db, const char* sql, int accountId, int64_t* inbox, int64_t* sent) {
  *inbox = 0;
  *sent = 0;
  koStatement statement(&db, sql);
  statement.Int(accountId);
  while (statement.Step()) {
    if (!statement.HasRow()) return 1;
    int module = db.GetInt(statement.Handle(), 0);
    int64_t count = db.GetInt64(statement.Handle(), 1);
    if (module == 1) *inbox = count;
    if (module == 2) *sent = count;
  }
  return 0;
}

// One of the two mails of the latest/oldest statement as its JSON member;
// a missing row gives empty texts and time 0.
void AppendMailJson(koSQLite& db, sqlite3_stmt** row, const char* member, const char* prefix, koString& out) {
  auto column = [&](const char* suffix) {
    koString name;
    name.Format("%s%s", prefix, suffix);
    const char* text = row != nullptr ? db.GetText(row, name.GetString()) : nullptr;
    koString value(text != nullptr ? text : "");
    value.JsonEscape();
    return value;
  };
  int64_t received = 0;
  if (row != nullptr) {
    koString name;
    name.Format("%s%s", prefix, "recvtime");
    received = db.GetInt64(row, name.GetString());
  }
  out.AppendFormat(",\"%s\":{", member);
  out.AppendFormat("\"ModuleType\":\"%s\"", column("moduleid").GetString());
  out.AppendFormat(",\"FromOrTo\":\"%s\"", column("emailaddress").GetString());
  out.AppendFormat(",\"Subject\":\"%s\"", column("sub").GetString());
  out.AppendFormat(",\"Recvtime\":\"%I64d\"}", received * 1000);
}

}  // namespace

// ---------------------------------------------------------------------------
// Status

void ShowAll::GetStatusText(koString& text, int accountId) {
  text.Clear();
  // Without their database no account works: the cause itself is the news.
  koString problem;
  gConfigMgr->GetServiceProblem(problem);
  if (problem.GetLength() > 0) {
    text.Format("Error: %s", problem.GetString());
    return;
  }
  int connecting = 0;
  int mailError = 0;
  int contactError = 0;
  int count = accountId == 0 ? gConfigMgr->GetAccountCount() : 1;
  for (int i = 0; i < count && !(mailError && contactError); ++i) {
    AccountInfo account;
    int found = accountId == 0 ? gConfigMgr->GetAccountAt(i, account) : gConfigMgr->GetAccountById(accountId, account);
    if (!found) break;
    ExamineStatus(account.mailStatus, &connecting, &mailError);
    ExamineStatus(account.contactStatus, &connecting, &contactError);
  }
  if (mailError || contactError) {
    text.SetAs(kErrorText);
  } else if (connecting) {
    text.SetAs(kStatusConnecting);
  }
}

int ShowAll::StatusMessage(const koString& /*action*/) {
  const koString& crcText = *connection_->GetParameter("crc");
  Preferences preferences;
  gConfigMgr->GetPreferences(preferences);
  const int accountId = preferences.context_type;
  int done = 1;
  int percent = 0;
  if (!GetIndexingProgress(&done, &percent, accountId)) return 0;
  koString status;
  GetStatusText(status, accountId);
  koString link;
  gConfigMgr->GetUpgradeUrl(link);

  koString& result = buffer1_;
  result.Clear();
  AppendJsonText(result, "{\"version\":\"%s\"", kAppVersion);
  AppendJsonText(result, ",\"ConnectionStatusMsg\":\"%s\"", status.GetString());
  result.AppendFormat(",\"indexingStatus\":%d", done != 0 ? 1 : 0);
  result.AppendFormat(",\"indexingValue\":%d", percent);
  result.AppendFormat(",\"lastUpdatedTime\":%I64d", gConfigMgr->GetEarliestUpdatedTime(accountId) * 1000);
  // The link is a remote server's text.
  AppendJsonText(result, ",\"upgradeLink\":\"%s\"", link.GetString());
  result += "}";

  koString value;
  value.AppendULong(Fingerprint(result));
  if (value.EqualsNoCase(crcText.GetString())) return 1;
  response_ += "{\"result\":";
  response_ += result;
  response_.AppendFormat(",\"resultcrc\":%s}", value.GetString());
  return 1;
}

ShowAll::ListOperation ShowAll::ListForType(const koString& type) {
  if (type.EqualsNoCase("file")) return &ShowAll::LoadFileList;
  if (type.EqualsNoCase("contact")) return &ShowAll::LoadContactList;
  return &ShowAll::LoadContactDetails;
}

int ShowAll::CheckStatus(const koString& /*action*/) {
  const koString& type = *connection_->GetParameter("type");
  const koString& crcText = *connection_->GetParameter("crc");
  Preferences preferences;
  gConfigMgr->GetPreferences(preferences);
  ListOperation list = ListForType(type);
  if (list == nullptr) return 0;
  int64_t totalRows = 1;
  koString& result = buffer1_;
  if (!BuildResultText(list, preferences.context_type, result, &totalRows)) return 0;

  koString value;
  value.AppendULong(Fingerprint(result));
  AppendJsonText(response_, "{\"version\":\"%s\"", kAppVersion);
  response_.AppendFormat(",\"totalRows\":%I64d", totalRows);
  response_.AppendFormat(",\"sidebarLock\":%d", preferences.sidebar_lock);
  response_.AppendFormat(",\"status\":%d}", value.EqualsNoCase(crcText.GetString()) ? 0 : 1);
  return 1;
}

// ---------------------------------------------------------------------------
// Statistics and diagnostics

int ShowAll::GetMailCounts(koSQLite& db, int accountId, koString& json) {
  int64_t inbox = 0;
  int64_t sent = 0;
  if (!CountByModule(db, kMailCounts, accountId, &inbox, &sent)) return 0;
  json.AppendFormat(",\"MailCount\":{\"InboxMailCount\":\"%I64d\",\"SentMailCount\":\"%I64d\"}", inbox, sent);
  return 1;
}

void ShowAll::GetAccountStatusJson(const AccountInfo& account, koString& json) {
  const bool attachments = account.downloadAttachments == 1;
  const bool finished = account.mailIndexingStatus == 1 && (!attachments || account.attachmentIndexingStatus == 1);
  uint64_t value = 100;
  if (!finished) {
    uint64_t total = static_cast<uint32_t>(account.mailTotal);
    uint64_t processed = static_cast<uint32_t>(account.mailProcessed);
    if (attachments) {
      total += 2 * static_cast<uint64_t>(static_cast<uint32_t>(account.attachmentTotal));
      processed += 2 * static_cast<uint64_t>(static_cast<uint32_t>(account.attachmentProcessed));
    }
    value = total == 0 ? 0 : total < processed ? 100 : processed * 100 / total;
  }
  json.AppendFormat(",\"indexingstatus\":\"%d\"", finished ? 1 : 0);
  AppendJsonText(json, ",\"connstatus\":\"%s\"", account.mailStatus.GetString());
  json.AppendFormat(",\"indexingvalue\":\"%I64u\"", value);
}

int ShowAll::GetAttachmentCounts(koSQLite& db, int accountId, koString& json) {
  int64_t inbox = 0;
  int64_t sent = 0;
  if (!CountByModule(db, kAttachmentCounts, accountId, &inbox, &sent)) return 0;
  json.AppendFormat(",\"AttachmentCount\":{\"InboxAttachmentCount\":\"%I64d\",\"SentAttachmentCount\":\"%I64d\"}",
                    inbox, sent);
  return 1;
}

int ShowAll::GetLatestOldestMail(koSQLite& db, int accountId, koString& json) {
  koStatement statement(&db, kLatestOldestMail);
  statement.Int(accountId).Int(accountId).Int(kAllMailModule).Int(accountId).Int(accountId).Int(kAllMailModule);
  if (!statement.Step()) return 0;
  sqlite3_stmt** row = statement.HasRow() ? statement.Handle() : nullptr;
  AppendMailJson(db, row, "OldestMail", "oldestmail_", json);
  AppendMailJson(db, row, "LatestMail", "latestmail_", json);
  return 1;
}

int ShowAll::AppendAccountPieces(koSQLite& db, const AccountInfo& account, koString& json) {
  if (!GetMailCounts(db, account.id, json)) return 0;
  GetAccountStatusJson(account, json);
  return GetAttachmentCounts(db, account.id, json) && GetLatestOldestMail(db, account.id, json);
}

int ShowAll::GetStatistics(const koString& /*action*/) {
  SetContentKind(kContentPlain);
  koSQLite db(gLog);
  if (!OpenSummary(db)) return 0;
  response_ += "[";
  int count = gConfigMgr->GetAccountCount();
  for (int i = 0; i < count; ++i) {
    AccountInfo account;
    // The list shrank meanwhile: the accounts still there are listed.
    if (!gConfigMgr->GetAccountAt(i, account)) break;
    if (i > 0) response_ += ",";
    response_.AppendFormat("{\"accountid\":\"%d\"", account.id);
    AppendJsonText(response_, ",\"accountemail\":\"%s\"", account.email.GetString());
    if (!AppendAccountPieces(db, account, response_)) {
      response_.Clear();
      return 0;
    }
    response_ += "}";
  }
  response_ += "]";
  return 1;
}

int ShowAll::GetDiagnostics(const koString& /*action*/) {
  SetContentKind(kContentPlain);
  koSQLite db(gLog);
  if (!OpenSummary(db)) return 0;
  AccountInfo account;
  if (!gConfigMgr->GetAccountById(connection_->GetParameter("id")->ToInt(), account)) {
    response_.SetAs("Invalid account id");
    return 0;
  }
  koString logPath;
  PathMgr::GetConfigDir(logPath);
  PathMgr::Join(logPath, kLogFileName);

  koString& json = buffer1_;
  json.Clear();
  json.AppendFormat("{\"accountid\":\"%d\"", account.id);
  AppendJsonText(json, ",\"accountemail\":\"%s\"", account.email.GetString());
  AppendJsonText(json, ",\"ImapErrorMsg\":\"%s\"", account.mailStatus.GetString());
  AppendJsonText(json, ",\"ContactErrorMsg\":\"%s\"", account.contactStatus.GetString());
  json.AppendFormat(",\"MailUpdatedTime\":%I64d", account.mailUpdatedTime * 1000);
  json.AppendFormat(",\"ContactUpdatedTime\":%I64d", account.contactUpdatedTime * 1000);
  if (!AppendAccountPieces(db, account, json)) return 0;
  AppendJsonText(json, ",\"LogFilePath\":\"%s\"", logPath.GetString());
  json += "}";
  response_ += json;
  return 1;
}
