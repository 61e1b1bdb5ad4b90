#include "app/store/analyticmgr.h"

#include <sqlite3.h>

#include "core/klog.h"
#include "core/ksqlite.h"
#include "core/kstring.h"

namespace {

const int kReceived = 1;

const char* const kFirstLastRecv =
    "SELECT first_mailid, last_mailid, firstmail_recvtime, lastmail_recvtime FROM (SELECT "
    "[analytics_email].recv_first_mail_id first_mailid, [mail].received_date firstmail_recvtime "
    "FROM [analytics_email] JOIN [mail] JOIN [mail_email_link] ON  "
    "[analytics_email].[email_address_id] = [mail_email_link].[email_address_id] AND "
    "[mail_email_link].[mail_id] = [mail].[id] AND [analytics_email].[recv_first_mail_id] = "
    "[mail].[id] WHERE [analytics_email].[email_address_id] = ?) INNER JOIN (SELECT "
    "[analytics_email].recv_last_mail_id last_mailid, [mail].received_date lastmail_recvtime FROM "
    "analytics_email JOIN mail JOIN [mail_email_link] ON  [analytics_email].[email_address_id] = "
    "[mail_email_link].[email_address_id] AND [mail_email_link].[mail_id] = [mail].[id] AND "
    "[analytics_email].[recv_last_mail_id] = [mail].[id] WHERE "
    "[analytics_email].[email_address_id] = ?)";
const char* const kFirstLastSent =
    "SELECT first_mailid, last_mailid, firstmail_recvtime, lastmail_recvtime FROM (SELECT "
    "[analytics_email].sent_first_mail_id first_mailid, [mail].received_date firstmail_recvtime "
    "FROM analytics_email JOIN mail JOIN [mail_email_link] ON  "
    "[analytics_email].[email_address_id] = [mail_email_link].[email_address_id] AND "
    "[mail_email_link].[mail_id] = [mail].[id] AND [analytics_email].[sent_first_mail_id] = "
    "[mail].[id] WHERE [analytics_email].[email_address_id] = ?) INNER JOIN (SELECT "
    "[analytics_email].sent_last_mail_id last_mailid, [mail].received_date lastmail_recvtime FROM "
    "analytics_email JOIN mail JOIN [mail_email_link] ON  [analytics_email].[email_address_id] = "
    "[mail_email_link].[email_address_id] AND [mail_email_link].[mail_id] = [mail].[id] AND "
    "[analytics_email].[sent_last_mail_id] = [mail].[id] WHERE "
    "[analytics_email].[email_address_id] = ?)";

// The mails of one direction linked to an address, minus the mail being
// deleted (bound second); ties on the date go by id so the answer is stable.
const char* const kNewFirstRecv =
    "UPDATE Analytics_email SET [recv_first_mail_id] = ifnull((SELECT [id] FROM mail WHERE [id] IN "
    "(SELECT [mail_id] FROM mail_email_link WHERE [email_address_id] = ?1) AND [module_id] = 1 AND "
    "[id] != ?2 ORDER BY [received_date] ASC, [id] ASC LIMIT 1), 0) WHERE [email_address_id] = ?1";
const char* const kNewFirstSent =
    "UPDATE Analytics_email SET [sent_first_mail_id] = ifnull((SELECT [id] FROM mail WHERE [id] IN "
    "(SELECT [mail_id] FROM mail_email_link WHERE [email_address_id] = ?1) AND [module_id] = 2 AND "
    "[id] != ?2 ORDER BY [received_date] ASC, [id] ASC LIMIT 1), 0) WHERE [email_address_id] = ?1";
const char* const kNewLastRecv =
    "UPDATE Analytics_email SET [recv_last_mail_id] = ifnull((SELECT [id] FROM mail WHERE [id] IN "
    "(SELECT [mail_id] FROM mail_email_link WHERE [email_address_id] = ?1) AND [module_id] = 1 AND "
    "[id] != ?2 ORDER BY [received_date] DESC, [id] DESC LIMIT 1), 0) WHERE [email_address_id] = "
    "?1";
const char* const kNewLastSent =
    "UPDATE Analytics_email SET [sent_last_mail_id] = ifnull((SELECT [id] FROM mail WHERE [id] IN "
    "(SELECT [mail_id] FROM mail_email_link WHERE [email_address_id] = ?1) AND [module_id] = 2 AND "
    "[id] != ?2 ORDER BY [received_date] DESC, [id] DESC LIMIT 1), 0) WHERE [email_address_id] = "
    "?1";

// Addresses that lose every mail of a direction to the cut-off. Asked of the
// mails themselves rather than of the stored totals, which count an address
// named twice in one mail twice.
const char* const kZeroRecvBefore =
    "UPDATE analytics_email SET [total_received] = 0, [recv_first_mail_id] = 0,[recv_last_mail_id] "
    "= 0 WHERE analytics_email.email_address_id IN (SELECT mail_email_link.email_address_id FROM "
    "mail_email_link JOIN mail ON [mail].[id] = [mail_email_link].[mail_id] WHERE "
    "[mail].[account_id] = ?1 AND mail.module_id = 1 AND received_date < ?2) AND "
    "analytics_email.email_address_id NOT IN (SELECT mail_email_link.email_address_id FROM "
    "mail_email_link JOIN mail ON [mail].[id] = [mail_email_link].[mail_id] WHERE "
    "[mail].[account_id] = ?1 AND mail.module_id = 1 AND received_date >= ?2)";
const char* const kZeroSentBefore =
    "UPDATE analytics_email SET [total_sent] = 0, [sent_first_mail_id] = 0 ,[sent_last_mail_id] = "
    "0 WHERE analytics_email.email_address_id IN (SELECT mail_email_link.email_address_id FROM "
    "mail_email_link JOIN mail ON [mail].[id] = [mail_email_link].[mail_id] WHERE "
    "[mail].[account_id] = ?1 AND mail.module_id = 2 AND received_date < ?2) AND "
    "analytics_email.email_address_id NOT IN (SELECT mail_email_link.email_address_id FROM "
    "mail_email_link JOIN mail ON [mail].[id] = [mail_email_link].[mail_id] WHERE "
    "[mail].[account_id] = ?1 AND mail.module_id = 2 AND received_date >= ?2)";

// Totals count mails, not links: an address named twice in one mail has two
// link rows for it.
const char* const kRecvAfter =
    "UPDATE analytics_email SET [total_received] = (SELECT COUNT(DISTINCT "
    "rebuildheleper_temp.mail_id) FROM rebuildheleper_temp WHERE analytics_email.email_address_id "
    "= rebuildheleper_temp.email_address_id AND module_id = 1), [recv_first_mail_id] = (SELECT "
    "mail_id FROM rebuildheleper_temp WHERE analytics_email.email_address_id = "
    "rebuildheleper_temp.email_address_id AND module_id = 1 ORDER BY received_date ASC, mail_id "
    "ASC LIMIT 1) WHERE analytics_email.email_address_id IN (SELECT DISTINCT email_address_id FROM "
    "rebuildheleper_temp WHERE module_id = 1)";
const char* const kSentAfter =
    "UPDATE analytics_email SET [total_sent] = (SELECT COUNT(DISTINCT rebuildheleper_temp.mail_id) "
    "FROM rebuildheleper_temp WHERE analytics_email.email_address_id = "
    "rebuildheleper_temp.email_address_id AND module_id = 2), [sent_first_mail_id] = (SELECT "
    "mail_id FROM rebuildheleper_temp WHERE analytics_email.email_address_id = "
    "rebuildheleper_temp.email_address_id AND module_id = 2 ORDER BY received_date ASC, mail_id "
    "ASC LIMIT 1) WHERE analytics_email.email_address_id IN (SELECT DISTINCT email_address_id FROM "
    "rebuildheleper_temp WHERE module_id = 2)";

// Prepares `sql` into *stmt and binds the ints given (up to two) in order.
int PrepareWithInts(koSQLite* db, sqlite3_stmt** stmt, const char* sql, int count, int a, int b) {
  if (!db->Prepare(stmt, sql)) return 0;
  if (count >= 1 && !db->SetInt(stmt, 1, a)) return 0;
  if (count >= 2 && !db->SetInt(stmt, 2, b)) return 0;
  return 1;
}

// Runs a statement binding the account id and the cut-off; `label` is the
// failure record.
int RunWithAccountAndTime(koSQLite* db, const char* sql, int accountId, int64_t cutoff,
                          const char* label) {
  sqlite3_stmt* stmt = nullptr;
  int ok = db->Prepare(&stmt, sql) && db->SetInt(&stmt, 1, accountId) &&
           db->SetInt64(&stmt, 2, cutoff) && db->Step(&stmt, 1);
  db->Finalize(&stmt);
  if (!ok) KO_LOG(-1, label);
  return ok ? 1 : 0;
}

int RunPlain(koSQLite* db, const char* sql, const char* label) {
  sqlite3_stmt* stmt = nullptr;
  int ok = db->Prepare(&stmt, sql) && db->Step(&stmt, 1);
  db->Finalize(&stmt);
  if (!ok) KO_LOG(-1, label);
  return ok ? 1 : 0;
}

}  // namespace

int AnalyticMgr::InsertAnalyticEmailDetails(koSQLite* db, int addressId) {
  const char* sql = "INSERT INTO [analytics_email] ( [email_address_id]) VALUES(?)";
  sqlite3_stmt* stmt = nullptr;
  if (!PrepareWithInts(db, &stmt, sql, 1, addressId, 0)) {
    KO_LOG(-1, sql);
    db->Finalize(&stmt);
    return 0;
  }
  int ok = db->Step(&stmt, 1) ? 1 : 0;
  if (!ok) KO_LOG(-1, "Insert analytic_email failed");
  db->Finalize(&stmt);
  return ok;
}

int AnalyticMgr::InsertWithFirstMail(koSQLite* db, int addressId, int mailId, int direction) {
  const char* sql = direction == kReceived
                        ? " INSERT INTO  [analytics_email] ( [email_address_id], "
                          "[recv_first_mail_id], [recv_last_mail_id] ) VALUES(?, ?, ?) "
                        : " INSERT INTO  [analytics_email] ( [email_address_id], "
                          "[sent_first_mail_id], [sent_last_mail_id] ) VALUES(?, ?, ?) ";
  sqlite3_stmt* stmt = nullptr;
  if (!PrepareWithInts(db, &stmt, sql, 2, addressId, mailId) || !db->SetInt(&stmt, 3, mailId)) {
    KO_LOG(-1, sql);
    db->Finalize(&stmt);
    return 0;
  }
  int ok = db->Step(&stmt, 1) ? 1 : 0;
  if (!ok) KO_LOG(-1, "Insert analytic_email failed");
  db->Finalize(&stmt);
  return ok;
}

int AnalyticMgr::GetFirstLastMail(koSQLite* db, int addressId, int direction, int* firstMailId,
                                  int* lastMailId, int64_t* firstDate, int64_t* lastDate) {
  *firstMailId = 0;
  *lastMailId = 0;
  *firstDate = 0;
  *lastDate = 0;
  const char* sql = direction == kReceived ? kFirstLastRecv : kFirstLastSent;
  sqlite3_stmt* stmt = nullptr;
  int ok = PrepareWithInts(db, &stmt, sql, 2, addressId, addressId) && db->Step(&stmt, 1);
  if (!ok) {
    KO_LOG(-1, sql);
  } else if (db->GetErrCode() == SQLITE_ROW) {
    *firstMailId = db->GetInt(&stmt, 0);
    *lastMailId = db->GetInt(&stmt, 1);
    *firstDate = db->GetInt64(&stmt, 2);
    *lastDate = db->GetInt64(&stmt, 3);
  }
  db->Finalize(&stmt);
  return ok ? 1 : 0;
}

int AnalyticMgr::UpdateAnalyticEmailSendRecvCount(koSQLite* db, int mailId, int addressId,
                                                  int64_t receivedDate, int direction, int isNew) {
  const bool received = direction == kReceived;
  koString set;
  set.SetAs(received ? "[total_received] = [total_received] + 1"
                     : "[total_sent] = [total_sent] + 1");
  if (!isNew) {
    int firstId = 0, lastId = 0;
    int64_t firstDate = 0, lastDate = 0;
    // A failed read would move first and last onto this mail for good.
    if (!GetFirstLastMail(db, addressId, direction, &firstId, &lastId, &firstDate, &lastDate)) {
      return 0;
    }
    if (receivedDate < firstDate || firstId == 0) {
      set.AppendFormat(",  %s = %d", received ? "[recv_first_mail_id]" : "[sent_first_mail_id]",
                       mailId);
    }
    if (receivedDate > lastDate || lastId == 0) {
      set.AppendFormat(", %s = %d", received ? "[recv_last_mail_id]" : "[sent_last_mail_id]",
                       mailId);
    }
  }
  koString sql;
  sql.AppendFormat("UPDATE [analytics_email] SET %s WHERE [email_address_id] = %d", set.GetString(),
                   addressId);
  sqlite3_stmt* stmt = nullptr;
  int ok = db->Prepare(&stmt, sql) && db->Step(&stmt, 1);
  if (!ok) KO_LOG(-1, sql.GetString());
  db->Finalize(&stmt);
  return ok ? 1 : 0;
}

int AnalyticMgr::UpdateAnalyticsEmailSendORRecvCount(koSQLite* db, int mailId, int direction) {
  const char* sql =
      direction == kReceived
          ? "UPDATE analytics_email SET [total_received] = [total_received] - 1 WHERE "
            "[email_address_id] IN (SELECT email_address_id FROM mail_email_link WHERE [mail_id] = "
            "?)"
          : "UPDATE Analytics_email SET [total_sent] = [total_sent] - 1 WHERE [email_address_id] "
            "IN (SELECT email_address_id FROM mail_email_link WHERE [mail_id] = ?)";
  sqlite3_stmt* stmt = nullptr;
  int ok = PrepareWithInts(db, &stmt, sql, 1, mailId, 0) && db->Step(&stmt, 1);
  if (!ok) KO_LOG(-1, sql);
  db->Finalize(&stmt);
  return ok ? 1 : 0;
}

int AnalyticMgr::UpdateAnalyticsEmailOnDeleteMail(koSQLite* db, int mailId, int direction,
                                                  int addressId, int firstMailId, int lastMailId,
                                                  int count) {
  const bool received = direction == kReceived;
  const char* updates[2] = {nullptr, nullptr};
  int n = 0;
  if (count <= 0) {
    updates[n++] = received ? "UPDATE analytics_email SET [recv_first_mail_id] = 0, "
                              "[recv_last_mail_id] = 0 WHERE [email_address_id] = ?1"
                            : "UPDATE analytics_email SET [sent_first_mail_id] = 0, "
                              "[sent_last_mail_id] = 0 WHERE [email_address_id] = ?1";
  } else {
    // First and last each on their own: the mail may be both.
    if (firstMailId == mailId) updates[n++] = received ? kNewFirstRecv : kNewFirstSent;
    if (lastMailId == mailId) updates[n++] = received ? kNewLastRecv : kNewLastSent;
  }
  for (int i = 0; i < n; ++i) {
    sqlite3_stmt* stmt = nullptr;
    int ok = db->Prepare(&stmt, updates[i]) && db->SetInt(&stmt, 1, addressId);
    // The zeroing statement has no second parameter.
    if (ok && count > 0) ok = db->SetInt(&stmt, 2, mailId);
    ok = ok && db->Step(&stmt, 1);
    db->Finalize(&stmt);
    if (!ok) {
      KO_LOG(-1, updates[i]);
      KO_LOG(-1, "UpdateAnalyticsEmailSendOrRecvMailid");
      KO_LOG(-1, "UpdateAnalyticsEmailOnDeleteMail");
      return 0;
    }
  }
  return 1;
}

int AnalyticMgr::RebuildAnalyticsEmailOnDeleteMail(koSQLite* db, int mailId, int direction) {
  if (!UpdateAnalyticsEmailSendORRecvCount(db, mailId, direction)) {
    KO_LOG(-1, "UpdateAnalyticsEmailSendORRecvCount");
    return 0;
  }
  const char* sql = direction == kReceived
                        ? "SELECT [email_address_id] emailid,[recv_first_mail_id] "
                          "firstmailid,[recv_last_mail_id] lastmailid,[total_received] totalcount "
                          "FROM  analytics_email WHERE [email_address_id] IN (SELECT "
                          "email_address_id FROM mail_email_link  WHERE [mail_id] = ?)"
                        : "SELECT [email_address_id] emailid, [sent_first_mail_id] firstmailid "
                          ",[sent_last_mail_id] lastmailid ,[total_sent] totalcount FROM  "
                          "analytics_email WHERE [email_address_id] IN (SELECT email_address_id "
                          "FROM mail_email_link WHERE [mail_id] = ?)";
  // The walk keeps the default statement; the updates use their own.
  if (!PrepareWithInts(db, nullptr, sql, 1, mailId, 0)) {
    KO_LOG(-1, sql);
    db->Finalize(nullptr);
    return 0;
  }
  int ok = 1;
  while (ok) {
    if (!db->Step(nullptr, 1)) {
      KO_LOG(-1, sql);
      ok = 0;
    } else if (db->GetErrCode() != SQLITE_ROW) {
      break;
    } else {
      ok = UpdateAnalyticsEmailOnDeleteMail(
          db, mailId, direction, db->GetInt(nullptr, "emailid"), db->GetInt(nullptr, "firstmailid"),
          db->GetInt(nullptr, "lastmailid"), db->GetInt(nullptr, "totalcount"));
    }
  }
  db->Finalize(nullptr);
  return ok;
}

int AnalyticMgr::CreateAnalyticsEmailRebuildHeleperTable(koSQLite* db, int accountId,
                                                         int64_t cutoff) {
  return RunWithAccountAndTime(
      db,
      "CREATE TEMP table rebuildheleper_temp AS SELECT email_address_id, mail_email_link.mail_id, "
      "module_id, received_date  FROM mail_email_link JOIN mail  WHERE [mail].[id] = "
      "[mail_email_link].[mail_id] AND [mail].[account_id] = ? AND [mail].[received_date] >= ?",
      accountId, cutoff, "CreateAnalyticsEmailRebuildHeleperTable");
}

int AnalyticMgr::RebuildAnalyticsEmail(koSQLite* db, int accountId, int64_t cutoff) {
  return RunWithAccountAndTime(db, kZeroRecvBefore, accountId, cutoff,
                               "UPDATE_ANALYTICS_EMAIL_RECV_DETAILS_BEFORE_TIMESTAMP") &&
         RunWithAccountAndTime(db, kZeroSentBefore, accountId, cutoff,
                               "UPDATE_ANALYTICS_EMAIL_SENT_DETAILS_BEFORE_TIMESTAMP") &&
         CreateAnalyticsEmailRebuildHeleperTable(db, accountId, cutoff) &&
         RunPlain(db, kRecvAfter, "UPDATE_ANALYTICS_EMAIL_RECV_DETAILS_AFTER_TIMESTAMP") &&
         RunPlain(db, kSentAfter, "UPDATE_ANALYTICS_EMAIL_SENT_DETAILS_AFTER_TIMESTAMP") &&
         RunPlain(db, "DROP TABLE rebuildheleper_temp ", "DROP_REBUILDHELEPER_TEMP_TABLE");
}
