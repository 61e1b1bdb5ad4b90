// A contact's mail over time: received and sent counts per day, week, month
// or year in local time, for the contact details.
#include <sqlite3.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <ctime>

#include "app/web/showall.h"
#include "core/klog.h"
#include "core/ksqlite.h"
#include "core/sqlitemgr.h"

namespace {

const char kFirstLastIds[] =
    "SELECT group_concat(sent_first_mail_id) sentfirst ,group_concat([sent_last_mail_id])sentlast, "
    "group_concat([recv_first_mail_id]) recvfirst, group_concat([recv_last_mail_id])  recvlast FROM analytics_email "
    "WHERE [email_address_id] IN (%s)";
const char kEarliest[] =
    "SELECT [received_date] recvtime FROM  mail WHERE [id] IN (%s) ORDER  BY recvtime ASC LIMIT 1 ";
const char kLatest[] =
    "SELECT [received_date] recvtime FROM  mail WHERE [id] IN (%s) ORDER  BY recvtime DESC LIMIT 1 ";
const char kCreateHelper[] = "CREATE TEMPORARY TABLE [group_timestamp_helper] ([group_time] INTEGER NOT NULL)";
const char kInsertHelper[] = "INSERT INTO [group_timestamp_helper] VALUES(?)";
// Both series in one walk over the contact's mails, in the order of the
// buckets, oldest first.
const char kSeries[] =
    "SELECT recvcount, sentcount FROM (SELECT STRFTIME('%s', [group_time], 'unixepoch', 'localtime') AS ttime FROM "
    "[group_timestamp_helper] ORDER BY ttime) as temptable LEFT OUTER JOIN (SELECT STRFTIME('%s', "
    "[mail].[received_date], 'unixepoch', 'localtime') AS gtime, SUM([mail].[module_id] = 1) AS recvcount, "
    "SUM([mail].[module_id] = 2) AS sentcount FROM [mail] JOIN [mail_email_link] ON [mail].[id] = "
    "[mail_email_link].[mail_id] AND [mail].[module_id] IN (1, 2) AND [mail_email_link].[email_address_id] IN (%s) "
    "GROUP BY gtime) ON ttime = gtime ORDER BY ttime";

enum Advance { kNextDay, kNextMonth, kNextYear };

// By the span from the first mail to now: the longest span of the grouping,
// its bucket name, the number the pages know it by, and how the walk over
// the calendar moves from one bucket to the next.
struct Grouping {
  int64_t maxSpan;
  const char* pattern;
  int groupType;
  Advance advance;
};
const Grouping kGroupings[] = {
    {6048000, "%Y-%m-%d", 7, kNextDay},
    {42336000, "%Y-%W", 4, kNextDay},  // a week may be cut in two by the new year
    {181440000, "%Y-%m", 3, kNextMonth},
    {INT64_MAX, "%Y", 1, kNextYear},
};

std::atomic<ShowAll::Clock> gClock{nullptr};

int64_t Now() {
  ShowAll::Clock clock = gClock.load();
  return clock != nullptr ? clock() : static_cast<int64_t>(time(nullptr));
}

// The bucket that SQLite's strftime with 'localtime' puts t in.
void BucketOf(time_t t, const char* pattern, char* out, size_t size) {
  struct tm local;
  if (localtime_r(&t, &local) == nullptr || strftime(out, size, pattern, &local) == 0) out[0] = 0;
}

// The mail ids come from integer columns; only digits and commas pass.
void ReadIdList(koSQLite& db, sqlite3_stmt** row, const char* column, koString& out) {
  const char* text = db.GetText(row, column);
  out.SetAs(text != nullptr && strspn(text, "0123456789,") == strlen(text) ? text : "");
}

}  // namespace

void ShowAll::SetClock(Clock now) { gClock.store(now); }

int ShowAll::CreateAndFillTempTable(koSQLite& db, int64_t start, int64_t now, int grouping) {
  if (!SQLiteMgr::ExecuteQuery(&db, kCreateHelper)) return 0;
  const Grouping& g = kGroupings[grouping];
  // Walks the calendar at noon, clear of the hours a clock change skips or
  // repeats, and keeps one time per bucket: fixed steps of 7, 30 or 365
  // days would give some months or years twice and skip others.
  time_t first = static_cast<time_t>(start > now ? now : start);
  struct tm at;
  if (localtime_r(&first, &at) == nullptr) return 0;
  at.tm_hour = 12;
  at.tm_min = 0;
  at.tm_sec = 0;
  if (g.advance != kNextDay) at.tm_mday = 1;
  if (g.advance == kNextYear) at.tm_mon = 0;
  sqlite3_stmt* insert = nullptr;
  if (!db.Prepare(&insert, kInsertHelper)) return 0;
  char last[32] = "";
  char bucket[32];
  int ok = 1;
  auto add = [&](time_t t) {
    BucketOf(t, g.pattern, bucket, sizeof bucket);
    if (strcmp(bucket, last) == 0) return;
    memcpy(last, bucket, sizeof last);
    ok = db.SetInt64(&insert, 1, t) && db.Step(&insert);
    db.Reset(&insert);
  };
  for (;;) {
    at.tm_isdst = -1;
    time_t t = mktime(&at);
    if (t == static_cast<time_t>(-1) || t > now) break;
    add(t);
    if (!ok) break;
    if (g.advance == kNextDay) ++at.tm_mday;
    if (g.advance == kNextMonth) ++at.tm_mon;
    if (g.advance == kNextYear) ++at.tm_year;
  }
  // Today's noon may lie ahead: the bucket of now closes the series.
  if (ok) add(static_cast<time_t>(now));
  db.Finalize(&insert);
  return ok;
}

int ShowAll::GetTrendGroupValues(koSQLite& db, const koString& ids, const char* pattern, koString& json) {
  koString sql;
  sql.Format(kSeries, pattern, pattern, ids.GetString());
  koStatement statement(&db, sql.GetString());
  koString received("\"RecvTrend\":[");
  koString sent(",\"SentTrend\":[");
  for (int first = 1;; first = 0) {
    if (!statement.Step("GetSpecificTrendGroupValues")) return 0;
    if (!statement.HasRow()) break;
    received.AppendFormat("%s%d", first ? "" : ",", db.GetInt(statement.Handle(), 0));
    sent.AppendFormat("%s%d", first ? "" : ",", db.GetInt(statement.Handle(), 1));
  }
  json += received;
  json += "]";
  json += sent;
  json += "]";
  return 1;
}

int ShowAll::GetTrendInfo(koSQLite& db, const koString& ids, koString& json) {
  json.Clear();
  koString sentFirst;
  koString sentLast;
  koString recvFirst;
  koString recvLast;
  {
    koString sql;
    sql.Format(kFirstLastIds, ids.GetString());
    koStatement statement(&db, sql.GetString());
    if (!statement.Step("GetContactAnalyticEmaildetails")) return 0;
    if (statement.HasRow()) {
      ReadIdList(db, statement.Handle(), "sentfirst", sentFirst);
      ReadIdList(db, statement.Handle(), "sentlast", sentLast);
      ReadIdList(db, statement.Handle(), "recvfirst", recvFirst);
      ReadIdList(db, statement.Handle(), "recvlast", recvLast);
    }
  }
  int64_t recvStart = 0;
  int64_t recvEnd = 0;
  int64_t sentStart = 0;
  int64_t sentEnd = 0;
  // Of the mails each list names, the earliest or the latest received time.
  const struct {
    const char* format;
    const koString& ids;
    int64_t* when;
  } kTimes[] = {{kEarliest, recvFirst, &recvStart},
                {kLatest, recvLast, &recvEnd},
                {kEarliest, sentFirst, &sentStart},
                {kLatest, sentLast, &sentEnd}};
  for (const auto& time : kTimes) {
    koString sql;
    sql.Format(time.format, time.ids.GetString());
    if (!ReadNumber(db, sql, "recvtime", time.when)) return 0;
  }
  int64_t start = recvStart;
  if (start == 0 || (sentStart != 0 && sentStart < start)) start = sentStart;
  // A date before 1970 is a damaged one; it must not stretch the series.
  if (start < 0) start = 0;
  const int64_t now = Now();
  int grouping = 0;
  while (now - start > kGroupings[grouping].maxSpan) ++grouping;
  if (!CreateAndFillTempTable(db, start, now, grouping)) {
    KO_LOG(-1, "CreateAndFillTempTable");
    return 0;
  }
  if (!GetTrendGroupValues(db, ids, kGroupings[grouping].pattern, json)) {
    KO_LOG(-1, "GetTrendGroupValues");
    return 0;
  }
  json.AppendFormat(",\"RecvTrendStartTime\":%I64d", recvStart);
  json.AppendFormat(",\"RecvTrendEndTime\":%I64d", recvEnd);
  json.AppendFormat(",\"SentTrendStartTime\":%I64d", sentStart);
  json.AppendFormat(",\"SentTrendEndTime\":%I64d", sentEnd);
  json.AppendFormat(",\"GroupType\":%d", kGroupings[grouping].groupType);
  return 1;
}
