#include "app/store/analyticmgr.h"

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

// Runs a statement binding the account id and the cut-off; `label` is the
// failure record.
int RunWithAccountAndTime(koSQLite* db, const char* sql, int accountId, int64_t cutoff,
                          const char* label) {
  return koStatement(db, sql).Int(accountId).Int64(cutoff).Step(label) ? 1 : 0;
}

int RunPlain(koSQLite* db, const char* sql, const char* label) {
  return koStatement(db, sql).Step(label) ? 1 : 0;
}

// Steps the insert of a counter row, once its binds are made: a failed
// prepare or bind is logged with the statement, a failed step as such.
int InsertCounterRow(koStatement& insert, const char* sql) {
  if (!insert.Ready()) {
    KO_LOG(-1, sql);
    return 0;
  }
  return insert.Step("Insert analytic_email failed") ? 1 : 0;
}

}  // namespace

int AnalyticMgr::InsertAnalyticEmailDetails(koSQLite* db, int addressId) {
  const char* sql = "INSERT INTO [analytics_email] ( [email_address_id]) VALUES(?)";
  koStatement insert(db, sql);
  return InsertCounterRow(insert.Int(addressId), sql);
}

int AnalyticMgr::InsertWithFirstMail(koSQLite* db, int addressId, int mailId, int direction) {
  const char* sql = direction == kReceived
                        ? " INSERT INTO  [analytics_email] ( [email_address_id], "
                          "[recv_first_mail_id], [recv_last_mail_id] ) VALUES(?, ?, ?) "
                        : " INSERT INTO  [analytics_email] ( [email_address_id], "
                          "[sent_first_mail_id], [sent_last_mail_id] ) VALUES(?, ?, ?) ";
  koStatement insert(db, sql);
  return InsertCounterRow(insert.Int(addressId).Int(mailId).Int(mailId), sql);
}

int AnalyticMgr::GetFirstLastMail(koSQLite* db, int addressId, int direction, int* firstMailId,
                                  int* lastMailId, int64_t* firstDate, int64_t* lastDate) {
  *firstMailId = 0;
  *lastMailId = 0;
  *firstDate = 0;
  *lastDate = 0;
  const char* sql = direction == kReceived ? kFirstLastRecv : kFirstLastSent;
  koStatement s(db, sql);
  if (!s.Int(addressId).Int(addressId).Step()) return 0;
  if (s.HasRow()) {
    *firstMailId = db->GetInt(s.Handle(), 0);
    *lastMailId = db->GetInt(s.Handle(), 1);
    *firstDate = db->GetInt64(s.Handle(), 2);
    *lastDate = db->GetInt64(s.Handle(), 3);
  }
  return 1;
}

int AnalyticMgr::UpdateAnalyticEmailSendRecvCount(koSQLite* db, int mailId, int addressId,
                                                  int64_t receivedDate, int direction, int isNew) {
  const bool received = direction == kReceived;
  koString set;
  set.SetAs(received ? "[total_received] = [total_received] + 1"
                     : "[total_sent] = [total_sent] + 1");
  // The statement binds its values, so that its few shapes are compiled once
  // per connection; a failure names the values as the text that had them did.
  koString shape(set.GetString());
  int first = 0, last = 0;
  if (!isNew) {
    int firstId = 0, lastId = 0;
    int64_t firstDate = 0, lastDate = 0;
    // A failed read would move first and last onto this mail for good.
    if (!GetFirstLastMail(db, addressId, direction, &firstId, &lastId, &firstDate, &lastDate)) {
      return 0;
    }
    if (receivedDate < firstDate || firstId == 0) {
      const char* column = received ? "[recv_first_mail_id]" : "[sent_first_mail_id]";
      set.AppendFormat(",  %s = %d", column, mailId);
      shape.AppendFormat(",  %s = ?", column);
      first = 1;
    }
    if (receivedDate > lastDate || lastId == 0) {
      const char* column = received ? "[recv_last_mail_id]" : "[sent_last_mail_id]";
      set.AppendFormat(", %s = %d", column, mailId);
      shape.AppendFormat(", %s = ?", column);
      last = 1;
    }
  }
  koString label;
  label.AppendFormat("UPDATE [analytics_email] SET %s WHERE [email_address_id] = %d", set.GetString(),
                     addressId);
  koString sql;
  sql.AppendFormat("UPDATE [analytics_email] SET %s WHERE [email_address_id] = ?", shape.GetString());
  koStatement update(db, sql.GetString());
  if (first) update.Int(mailId);
  if (last) update.Int(mailId);
  return update.Int(addressId).Step(label.GetString()) ? 1 : 0;
}

int AnalyticMgr::UpdateAnalyticsEmailSendORRecvCount(koSQLite* db, int mailId, int direction) {
  const char* sql =
      direction == kReceived
          ? "UPDATE analytics_email SET [total_received] = [total_received] - 1 WHERE "
            "[email_address_id] IN (SELECT email_address_id FROM mail_email_link WHERE [mail_id] = "
            "?)"
          : "UPDATE Analytics_email SET [total_sent] = [total_sent] - 1 WHERE [email_address_id] "
            "IN (SELECT email_address_id FROM mail_email_link WHERE [mail_id] = ?)";
  return koStatement(db, sql).Int(mailId).Step() ? 1 : 0;
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
    koStatement update(db, updates[i]);
    update.Int(addressId);
    // The zeroing statement has no second parameter.
    if (count > 0) update.Int(mailId);
    if (!update.Step()) {
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
  koStatement rows(db, sql);
  rows.Int(mailId);
  while (rows.Step()) {
    if (!rows.HasRow()) return 1;
    sqlite3_stmt** row = rows.Handle();
    if (!UpdateAnalyticsEmailOnDeleteMail(db, mailId, direction, db->GetInt(row, "emailid"),
                                          db->GetInt(row, "firstmailid"),
                                          db->GetInt(row, "lastmailid"),
                                          db->GetInt(row, "totalcount")))
      return 0;
  }
  return 0;
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
