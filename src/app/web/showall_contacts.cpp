// ShowAll's contact views: the side bar's contact list and one contact's
// details with its conversations.
#include <sqlite3.h>

#include <cctype>
#include <cstring>
#include <climits>

#include "app/store/configmgr.h"
#include "app/web/showall.h"
#include "core/klog.h"
#include "core/ksqlite.h"

namespace {

const char kAllContacts[] = "All Contacts";
const char kEveryone[] = "Everyone";
const char kMyContacts[] = "My Contacts";
const char kStarred[] = "Starred Contacts";
const char kUnread[] = "Unread Mails";

const char kGroupIds[] = "SELECT  [id]    groupid FROM [group] WHERE [group].[name] = ?";
const char kGroupIdsOfAccount[] = " AND [account_id] = ?";
const char kGroupNames[] = "SELECT DISTINCT([name]) groupname FROM [group]";
const char kGroupNamesOfAccount[] = "SELECT DISTINCT([name]) groupname FROM [group] WHERE [account_id] = ?";
const char kContactUnseen[] =
    "SELECT count(*) unseen_count FROM  contact_email_link JOIN mail_email_link JOIN mail ON "
    "contact_email_link.contact_id = ? AND contact_email_link.email_address_id = mail_email_link.email_address_id "
    "AND mail_email_link.mail_id = mail.id AND mail.unseen = 1";

// Pieces of the list and count statements.
const char kGroupJoin[] = " JOIN ( %s ) AS groupcontactids ";
const char kGroupMembers[] = "SELECT [contact_id] FROM contact_group_link  WHERE [group_id] IN (%s)";
const char kUnseenJoin[] = " JOIN (%s) unseendetails";
const char kUnseenContacts[] =
    "SELECT  contact_id  FROM contact_email_link JOIN mail_email_link JOIN mail ON "
    "contact_email_link.email_address_id = mail_email_link.email_address_id AND mail_email_link.mail_id = mail.id "
    "AND mail.unseen = 1 Group by contact_email_link.contact_id";
const char kSentTo[] =
    "SELECT [contact_id] FROM analytics_email JOIN contact_email_link WHERE contact_email_link.email_address_id = "
    "analytics_email.email_address_id AND total_sent > 0 GROUP BY [contact_id]";
// Contacts of the same name keep one order, so pages never share or skip one.
const char kSentToList[] =
    " SELECT [contact].[id] contactid ,[contact].[account_id] accountid ,[contact].[name] name,[contact].[mark] mark "
    ",[contact].[type] type ,[contact].[photo_etag] photoetag, [fts_contact].[email] emaillist, "
    "[fts_contact].[phone] phonelist,[fts_contact].[tag] taglist FROM fts_contact JOIN contact %s %s ON  "
    "[contact].[id] = [fts_contact].[rowid] %s WHERE [contact].[id]  IN (%s) ORDER BY name COLLATE NOCASE ASC, "
    "contactid ASC";
const char kSentToCountSearch[] =
    " SELECT COUNT([contact].[id]) cnt FROM fts_contact JOIN contact %s %s ON [contact].[id] = [fts_contact].[rowid] "
    "AND [contact].[rowid] IN(%s)";
const char kSentToCount[] = " SELECT COUNT([contact].[id]) cnt FROM contact %s %s WHERE [contact].[rowid] IN(%s) ";
const char kList[] =
    "SELECT [contact].[id] contactid ,[contact].[account_id] accountid ,[contact].[name] name,[contact].[mark] mark "
    ",[contact].[type] type ,[contact].[photo_etag] photoetag ,[fts_contact].[email] emaillist, "
    "[fts_contact].[phone] phonelist,[fts_contact].[tag] taglist FROM [fts_contact], [contact]  %s %s WHERE "
    "[contact].[id] = [fts_contact].[rowid] %s ORDER BY [name] COLLATE NOCASE ASC, contactid ASC";
// Without a search, the page is cut from [contact] alone, walked in name
// order, and only its rows read their full-text row: reading that row for
// every contact before the sort costs more than the rest of the answer.
// [fts_contact_content] holds the full-text rows' ids, so the page still
// leaves out a contact without one, as the join above does.
const char kListPage[] =
    "SELECT page.contactid contactid, page.accountid accountid, page.name name, page.mark mark, page.type type, "
    "page.photoetag photoetag, [fts_contact].[email] emaillist, [fts_contact].[phone] phonelist, [fts_contact].[tag] "
    "taglist FROM (SELECT [contact].[id] contactid ,[contact].[account_id] accountid ,[contact].[name] name,"
    "[contact].[mark] mark ,[contact].[type] type ,[contact].[photo_etag] photoetag FROM [contact] CROSS JOIN "
    "[fts_contact_content] AS present ON present.[docid] = [contact].[id] %s %s WHERE present.[docid] = "
    "[contact].[id] %s ORDER BY [name] COLLATE NOCASE ASC, contactid ASC %s) AS page CROSS JOIN [fts_contact] ON "
    "[fts_contact].[rowid] = page.contactid ORDER BY page.name COLLATE NOCASE ASC, page.contactid ASC";
const char kCount[] = "SELECT COUNT(*) AS cnt FROM contact %s %s ";
const char kCountSearch[] =
    "SELECT COUNT(*) AS cnt FROM fts_contact JOIN contact %s %s ON [contact].[id] = [fts_contact].[rowid] ";

// Contact details.
const char kAddressIds[] =
    "SELECT group_concat(email_address_id) emailids FROM contact_email_link WHERE contact_email_link.contact_id = ?";
const char kTotals[] =
    "SELECT SUM(total_sent) sentcount,  SUM(total_received) recvcount FROM analytics_email WHERE "
    "[email_address_id] IN (%s)";
const char kContactFields[] =
    "SELECT [contact].[name] name,[contact].[account_id] accountid,[contact].[mark] mark,[contact].[type] "
    "type,[contact].[photo_etag]  etag ,[contact].[id] contactid ,[contact].[notes] notes ,[fts_contact].[email] "
    "emaillist,[fts_contact].[phone] phonelist,[fts_contact].[tag] taglist FROM contact JOIN fts_contact ON "
    "[contact].[id] = [fts_contact].[rowid] AND [id] = ?";
const char kAddressesUnseen[] =
    "SELECT count(*)  unseen_count FROM mail_email_link JOIN mail ON mail_email_link.mail_id = mail.id AND "
    "mail_email_link.email_address_id in (%s) AND mail.unseen = 1 ";
// Every row also carries the number of conversations, counted before the
// page is cut.
const char kThreads[] =
    "SELECT module_id moduleid, mail.subject subject, mail.received_date recvtime, mail.message_id  messageid, "
    "mail.unseen unseen, details.threadcount threadcount FROM mail JOIN reference_master JOIN (SELECT * FROM ( "
    "SELECT MAX(mail.received_date) maxrecvtime, reference_master.parent_message_id pmsgid, COUNT(*) OVER () "
    "threadcount FROM mail JOIN reference_master JOIN mail_email_link ON "
    "mail.id = reference_master.mail_id AND mail.id = mail_email_link.mail_id AND mail_email_link.email_address_id  "
    "IN (%s) AND mail.account_id = %d  GROUP BY reference_master.parent_message_id) ORDER BY maxrecvtime DESC LIMIT "
    "%I64d, %I64d) details ON reference_master.parent_message_id = details.pmsgid AND mail.id = "
    "reference_master.mail_id AND mail.account_id = %d AND recvtime = details.maxrecvtime ORDER BY "
    "details.maxrecvtime DESC";
const char kThreadCount[] =
    "SELECT COUNT(*) count  FROM (SELECT COUNT(*) FROM mail JOIN mail_email_link JOIN reference_master ON "
    "[mail].[id] = [mail_email_link].[mail_id] AND [reference_master].[mail_id] = [mail_email_link].[mail_id] WHERE "
    "[email_address_id] IN(%s) AND [account_id] = %d GROUP BY [reference_master].[parent_message_id])";

const int64_t kMaxNumber = 1000000000;

// A page number or size of the request, kept to a range whose products
// cannot overflow; below 0 reads as 0.
int64_t RequestNumber(const koString& text) {
  int64_t value = text.ToInt64();
  return value < 0 ? 0 : value > kMaxNumber ? kMaxNumber : value;
}

// The search as one full-text phrase: an address must match in whole and in
// order, not as loose words. Its own double quotes would end the phrase.
void AsPhrase(const koString& search, koString& out) {
  out.SetAs("\"");
  for (const char* p = search.GetString(); *p != 0; ++p) {
    if (*p != '"') out.Append(p, 1);
  }
  out += "\"";
}

const char* TextOf(koSQLite& db, sqlite3_stmt** row, const char* column) {
  const char* value = db.GetText(row, column);
  return value != nullptr ? value : "";
}

// The contact's object of the list from the list statement's current row.
void AppendContactJson(koSQLite& db, sqlite3_stmt** row, int64_t unseen, int first, koString& out) {
  out += first ? "{" : ",{";
  out.AppendFormat("\"contactid\":%d,", db.GetInt(row, "contactid"));
  out.AppendFormat("\"accountid\":%d,", db.GetInt(row, "accountid"));
  out.AppendFormat("\"isphotoexist\":%d,", TextOf(db, row, "photoetag")[0] != 0 ? 1 : 0);
  out.AppendFormat("\"mark\":%d,", db.GetInt(row, "mark"));
  out.AppendFormat("\"type\":%d,", db.GetInt(row, "type"));
  out.AppendFormat("\"unseenCount\":%I64d,", unseen);
  ObjectBase::AppendJsonText(out, "\"contactname\":\"%s\",", TextOf(db, row, "name"));
  ObjectBase::AppendJsonText(out, "\"contacttaglist\":\"%s\",", TextOf(db, row, "taglist"));
  ObjectBase::AppendJsonText(out, "\"contactemaillist\":\"%s\",", TextOf(db, row, "emaillist"));
  ObjectBase::AppendJsonText(out, "\"contactphonelist\":\"%s\"", TextOf(db, row, "phonelist"));
  out += "}";
}

// Address ids go into statement text: only digits and commas pass.
bool IsIdList(const koString& ids) {
  for (const char* p = ids.GetString(); *p != 0; ++p) {
    if (!isdigit(static_cast<unsigned char>(*p)) && *p != ',') return false;
  }
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// Contact list

int ShowAll::ContactLoad(const koString& /*action*/) { return LoadResult(&ShowAll::LoadContactList); }

int ShowAll::GetActiveGroupId(koSQLite& db, const Preferences& preferences, koString& ids) {
  ids.Clear();
  koString sql(kGroupIds);
  if (preferences.context_type != 0) sql += kGroupIdsOfAccount;
  koStatement statement(&db, sql.GetString());
  statement.Text(preferences.active_group);
  if (preferences.context_type != 0) statement.Int(preferences.context_type);
  while (statement.Step()) {
    if (!statement.HasRow()) return 1;
    ids.AppendFormat("%c%d", ids.GetLength() == 0 ? ' ' : ',', db.GetInt(statement.Handle(), 0));
  }
  return 0;
}

int ShowAll::GetConcatGroups(koSQLite& db, koString& groups, int accountId) {
  groups.Clear();
  koStatement statement(&db, accountId != 0 ? kGroupNamesOfAccount : kGroupNames);
  if (accountId != 0) statement.Int(accountId);
  while (statement.Step()) {
    if (!statement.HasRow()) {
      groups.AppendFormat("\"%s\",\"%s\"", kAllContacts, kEveryone);
      return 1;
    }
    AppendJsonText(groups, "\"%s\",", TextOf(db, statement.Handle(), "groupname"));
  }
  return 0;
}

int ShowAll::GetContactUnseenCount(koSQLite& db, sqlite3_stmt** statement, int contactId, int64_t* count) {
  *count = 0;
  if (*statement == nullptr && !db.Prepare(statement, kContactUnseen)) return 0;
  if (!db.SetInt(statement, 1, contactId) || !db.Step(statement)) {
    KO_LOG(-1, kContactUnseen);
    db.Finalize(statement);
    return 0;
  }
  if (db.GetErrCode() == SQLITE_ROW) *count = db.GetInt64(statement, "unseen_count");
  db.Reset(statement);
  return 1;
}

int ShowAll::GetContactLoadQueries(koSQLite& db, Preferences& preferences, int hasSearch, int forceDetails,
                                   const koString& limit, koString& list, koString& count) {
  koString groupJoin;
  koString unseenJoin;
  koString andClauses;
  koString whereClauses;
  auto joiner = [&]() { return whereClauses.GetLength() == 0 ? "WHERE" : "AND"; };
  if (hasSearch)
    andClauses.SetAs(forceDetails == 1 ? " AND [fts_contact].[email] match ?" : " AND [fts_contact] match ?");
  const koString& group = preferences.active_group;
  if (forceDetails != 1 && strcmp(group.GetString(), kAllContacts) == 0) {
    andClauses += " AND [contact].[type] = 1";
    whereClauses.SetAs(" WHERE [contact].[type] = 1");
  } else if (forceDetails != 1 && strcmp(group.GetString(), kEveryone) != 0) {
    koString ids;
    if (!GetActiveGroupId(db, preferences, ids)) {
      KO_LOG(-1, "GetActiveGroupId");
      return 0;
    }
    if (ids.GetLength() > 0) {
      koString members;
      members.Format(kGroupMembers, ids.GetString());
      groupJoin.Format(kGroupJoin, members.GetString());
      andClauses += " AND [contact].[id] = [groupcontactids].[contact_id] ";
      whereClauses.SetAs(" WHERE [contact].[id] = [groupcontactids].[contact_id]");
    } else {
      // The group is gone: the list shows everyone, and later lists start
      // from the service's own group. Only that field of the cached record
      // changes, whatever else changed since this request copied it.
      preferences.active_group.SetAs(kMyContacts);
      Preferences current;
      gConfigMgr->GetPreferences(current);
      current.active_group.SetAs(kMyContacts);
      gConfigMgr->SetPreferences(current);
    }
  }
  if (preferences.context_type != 0) {
    andClauses.AppendFormat(" AND [contact].[account_id] = %d", preferences.context_type);
    whereClauses.AppendFormat(" %s [contact].[account_id] = %d", joiner(), preferences.context_type);
  }
  const koString& type = preferences.active_contacttype;
  if (forceDetails != 1 && strcmp(type.GetString(), kStarred) == 0) {
    andClauses += " AND [contact].[mark] = 1";
    whereClauses.AppendFormat(" %s [contact].[mark] = 1", joiner());
  } else if (forceDetails != 1 && strcmp(type.GetString(), kUnread) == 0) {
    unseenJoin.Format(kUnseenJoin, kUnseenContacts);
    andClauses += " AND [contact].[id] = unseendetails.contact_id";
    whereClauses.AppendFormat(" %s [contact].[id] = unseendetails.contact_id", joiner());
  }
  const char* g = groupJoin.GetString();
  const char* u = unseenJoin.GetString();
  if (preferences.show_sender_emails == 1) {
    list.Format(kSentToList, g, u, andClauses.GetString(), kSentTo);
    count.Format(hasSearch ? kSentToCountSearch : kSentToCount, g, u, kSentTo);
    count += andClauses;
  } else if (hasSearch) {
    list.Format(kList, g, u, andClauses.GetString());
    count.Format(kCountSearch, g, u);
    count += andClauses;
  } else {
    list.Format(kListPage, g, u, andClauses.GetString(), limit.GetString());
    count.Format(kCount, g, u);
    count += whereClauses;
    return 1;
  }
  list += " ";
  list += limit;
  return 1;
}

int ShowAll::LoadContactList(koString& data, int64_t* totalRows) {
  const koString& search = *connection_->GetParameter("search");
  const int hasSearch = search.GetLength() > 0 ? 1 : 0;
  const int64_t page = RequestNumber(*connection_->GetParameter("pageNo"));
  const int forceList = connection_->GetParameter("forceList")->ToInt();
  const int forceDetails = connection_->GetParameter("forceDetails")->ToInt();
  CountRequestAndCheckUpgrade(*connection_->GetParameter("browser"));
  Preferences preferences;
  gConfigMgr->GetPreferences(preferences);
  const int64_t perPage = preferences.contacts_perpage;
  const int64_t offset = (page - 1) * perPage;

  SetContentKind(kContentPlain);
  koSQLite db(gLog);
  if (!OpenSummary(db)) return 0;
  koString listSql;
  koString countSql;
  koString limit;
  limit.Format("LIMIT %I64d, %I64d", offset, perPage);
  if (!GetContactLoadQueries(db, preferences, hasSearch, forceDetails, limit, listSql, countSql)) {
    KO_LOG(-1, "GetContactLoadQueries");
    return 0;
  }
  koString match;
  if (forceDetails == 1) {
    AsPhrase(search, match);
  } else {
    match.SetAs(search);
  }

  sqlite3_stmt* rows = nullptr;
  sqlite3_stmt* unseen = nullptr;
  int ok = db.Prepare(&rows, listSql) && (!hasSearch || db.SetText(&rows, 1, match)) && db.Step(&rows);
  if (!ok) {
    KO_LOG(-1, listSql.GetString());
    db.Finalize(&rows);
    return 0;
  }
  koString& contacts = buffer3_;
  contacts.Clear();
  int listed = 0;
  int lastId = 0;
  while (db.GetErrCode() == SQLITE_ROW) {
    lastId = db.GetInt(&rows, "contactid");
    int64_t unread = 0;
    if (!GetContactUnseenCount(db, &unseen, lastId, &unread)) {
      KO_LOG(-1, "GetContactUnseenCount");
      ok = 0;
      break;
    }
    AppendContactJson(db, &rows, unread, listed == 0, contacts);
    ++listed;
    if (!db.Step(&rows)) {
      KO_LOG(-1, listSql.GetString());
      ok = 0;
      break;
    }
  }
  db.Finalize(&unseen);
  db.Finalize(&rows);
  if (!ok) return 0;

  int64_t total = 0;
  {
    koStatement statement(&db, countSql.GetString());
    if (hasSearch) statement.Text(match);
    if (!statement.Step() || !statement.HasRow()) return 0;
    total = db.GetInt64(statement.Handle(), "cnt");
  }
  *totalRows = total;
  // The one match is on this page only when the page is the first.
  if (total == 1 && forceList == 0 && listed == 1) return BuildContactDetails(data, lastId);

  int64_t rowEnd = offset + perPage;
  if (total < rowEnd) rowEnd = total;
  koString groups;
  if (!GetConcatGroups(db, groups, preferences.context_type)) {
    KO_LOG(-1, "GetConcatGroups");
    return 0;
  }
  data += "{\"type\":\"ContactLoad\"";
  data.AppendFormat(", \"contactCount\":%d", listed);
  data.AppendFormat(", \"forceList\":%d", forceList);
  data.AppendFormat(", \"forceDetails\":%d", forceDetails);
  data.AppendFormat(", \"curRowBegin\":%I64d", offset + 1);
  data.AppendFormat(", \"curRowEnd\":%I64d", rowEnd);
  data.AppendFormat(", \"curPageNo\":%I64d", page);
  data.AppendFormat(", \"contactsPerPage\":%I64d", perPage);
  AppendJsonText(data, ", \"curSearch\":\"%s\"", searchShown_.GetString());
  data += ", \"contacts\":[";
  data += contacts;
  data += "], \"groups\":[";
  data += groups;
  data += "]";
  AppendJsonText(data, ", \"activeGroup\":\"%s\"", preferences.active_group.GetString());
  AppendJsonText(data, ", \"activeContactType\":\"%s\"", preferences.active_contacttype.GetString());
  AppendJsonText(data, ", \"version\":\"%s\"", kAppVersion);
  data += "}";
  return 1;
}

// ---------------------------------------------------------------------------
// Contact details

int ShowAll::ContactDetails(const koString& /*action*/) { return LoadResult(&ShowAll::LoadContactDetails); }

int ShowAll::LoadContactDetails(koString& data, int64_t* /*totalRows*/) { return BuildContactDetails(data, 0); }

void ShowAll::GetMailPaging(int64_t* begin, int64_t* end, int64_t* pageNo, int64_t* perPage) {
  *perPage = RequestNumber(*connection_->GetParameter("mailsPerPage"));
  *pageNo = RequestNumber(*connection_->GetParameter("mailPageNo"));
  *begin = (*pageNo - 1) * *perPage;
  *end = *begin + *perPage;
}

int ShowAll::GetContactEmailidsConcat(koSQLite& db, int contactId, koString& ids) {
  ids.Clear();
  koStatement statement(&db, kAddressIds);
  statement.Int(contactId);
  if (!statement.Step()) return 0;
  if (statement.HasRow()) ids.SetAs(TextOf(db, statement.Handle(), "emailids"));
  if (IsIdList(ids)) return 1;
  KO_LOG(-1, "GetContactEmailidsConcat: not a list of ids");
  ids.Clear();
  return 0;
}

int ShowAll::GetContactSendAndRecvCount(koSQLite& db, const koString& ids, int64_t* sent, int64_t* recv) {
  *sent = 0;
  *recv = 0;
  koString sql;
  sql.Format(kTotals, ids.GetString());
  koStatement statement(&db, sql.GetString());
  if (!statement.Step()) return 0;
  if (statement.HasRow()) {
    *sent = db.GetInt64(statement.Handle(), "sentcount");
    *recv = db.GetInt64(statement.Handle(), "recvcount");
  }
  return 1;
}

int ShowAll::GetContactDetailsJson(koSQLite& db, int contactId, const koString& ids, koString& json, int* accountId,
                                   int64_t* totalSent, int64_t* totalRecv) {
  json.Clear();
  *totalSent = 0;
  *totalRecv = 0;
  if (ids.GetLength() > 0 && !GetContactSendAndRecvCount(db, ids, totalSent, totalRecv)) {
    KO_LOG(-1, "GetContactSendAndRecvCount");
    return 0;
  }
  koStatement statement(&db, kContactFields);
  statement.Int(contactId);
  if (!statement.Step()) return 0;
  if (!statement.HasRow()) return 1;
  sqlite3_stmt** row = statement.Handle();
  *accountId = db.GetInt(row, "accountid");
  json.AppendFormat("\"contactid\":%d,", db.GetInt(row, "contactid"));
  AppendJsonText(json, "\"contactname\":\"%s\",", TextOf(db, row, "name"));
  json.AppendFormat("\"mark\":%d,", db.GetInt(row, "mark"));
  json.AppendFormat("\"type\":%d,", db.GetInt(row, "type"));
  json.AppendFormat("\"accountid\":%d,", *accountId);
  AppendJsonText(json, "\"emailaddress\":\"%s\",", TextOf(db, row, "emaillist"));
  AppendJsonText(json, "\"phonelist\":\"%s\",", TextOf(db, row, "phonelist"));
  AppendJsonText(json, "\"tags\":\"%s\",", TextOf(db, row, "taglist"));
  AppendJsonText(json, "\"notes\":\"%s\",", TextOf(db, row, "notes"));
  json.AppendFormat("\"isphotoexist\":%d,", TextOf(db, row, "etag")[0] != 0 ? 1 : 0);
  json.AppendFormat("\"totalsent\":%I64d,", *totalSent);
  json.AppendFormat("\"totalrecv\":%I64d", *totalRecv);
  return 1;
}

int ShowAll::ReadNumber(koSQLite& db, const koString& sql, const char* column, int64_t* value) {
  *value = 0;
  koStatement statement(&db, sql.GetString());
  if (!statement.Step()) return 0;
  if (statement.HasRow()) *value = db.GetInt64(statement.Handle(), column);
  return 1;
}

int ShowAll::GetEmailsUnseenCount(koSQLite& db, const koString& ids, int64_t* count) {
  koString sql;
  sql.Format(kAddressesUnseen, ids.GetString());
  return ReadNumber(db, sql, "unseen_count", count);
}

int ShowAll::GetLastUnRepliedMailDetails(koSQLite& db, koString& json, const koString& ids, int accountId,
                                         int64_t begin, int64_t perPage, int64_t* threadCount) {
  json.Clear();
  *threadCount = -1;
  koString sql;
  sql.Format(kThreads, ids.GetString(), accountId, begin, perPage, accountId);
  koStatement statement(&db, sql.GetString());
  sqlite3_stmt** row = statement.Handle();
  for (int first = 1; statement.Step(); first = 0) {
    if (!statement.HasRow()) return 1;
    const char* subject = TextOf(db, row, "subject");
    const char* visible = subject;
    while (isspace(static_cast<unsigned char>(*visible))) ++visible;
    *threadCount = db.GetInt64(row, "threadcount");
    json += first ? "{" : ",{";
    AppendJsonText(json, "\"MessageId\":\"%s\"", TextOf(db, row, "messageid"));
    json.AppendFormat(",\"ModuleId\":%d", db.GetInt(row, "moduleid"));
    json.AppendFormat(",\"IsUnseen\":%d", db.GetInt(row, "unseen"));
    json.AppendFormat(",\"Time\":%I64d", db.GetInt64(row, "recvtime") * 1000);
    AppendJsonText(json, ",\"Subject\":\"%s\"", *visible != 0 ? subject : "(no subject)");
    json += "}";
  }
  return 0;
}

int ShowAll::GetThreadCount(koSQLite& db, const koString& ids, int accountId, int64_t* count) {
  koString sql;
  sql.Format(kThreadCount, ids.GetString(), accountId);
  return ReadNumber(db, sql, "count", count);
}

int ShowAll::BuildContactDetails(koString& data, int listedId) {
  int contactId = listedId;
  int64_t begin = 0;
  int64_t end = 0;
  int64_t pageNo = 1;
  int64_t perPage = 0;
  if (listedId == 0) {
    int64_t requested = connection_->GetParameter("contactid")->ToInt64();
    contactId = requested > 0 && requested <= INT_MAX ? static_cast<int>(requested) : 0;
    GetMailPaging(&begin, &end, &pageNo, &perPage);
  } else {
    perPage = RequestNumber(*connection_->GetParameter("mailsPerPage"));
    end = perPage;
  }
  SetContentKind(kContentPlain);
  koSQLite db(gLog);
  if (!OpenSummary(db)) return 0;
  // A list that became these details counted its request already.
  if (listedId == 0) CountRequestAndCheckUpgrade(*connection_->GetParameter("browser"));
  Preferences preferences;
  gConfigMgr->GetPreferences(preferences);

  koString groups;
  if (!GetConcatGroups(db, groups, preferences.context_type)) {
    KO_LOG(-1, "GetConcatGroups");
    return 0;
  }
  koString ids;
  if (!GetContactEmailidsConcat(db, contactId, ids)) {
    KO_LOG(-1, "GetContactEmailidsConcat");
    return 0;
  }
  koString& fields = buffer3_;
  int accountId = 0;
  int64_t sent = 0;
  int64_t received = 0;
  if (!GetContactDetailsJson(db, contactId, ids, fields, &accountId, &sent, &received)) return 0;
  // Without its fields the object would be no JSON: nothing is answered.
  if (fields.GetLength() == 0) {
    KO_LOG(-1, "ContactDetails: no such contact");
    return 0;
  }
  int64_t unseen = 0;
  int64_t totalMails = 0;
  koString trend;
  koString& threads = buffer4_;
  threads.Clear();
  if (sent != 0 || received != 0) {
    if (!GetEmailsUnseenCount(db, ids, &unseen)) {
      KO_LOG(-1, "GetContactUnseenCount");
      return 0;
    }
    if (!GetTrendInfo(db, ids, trend)) {
      KO_LOG(-1, "GetTrendInfo");
      return 0;
    }
    // A page past the end has no row to tell the count.
    if (!GetLastUnRepliedMailDetails(db, threads, ids, accountId, begin, perPage, &totalMails) ||
        (totalMails < 0 && !GetThreadCount(db, ids, accountId, &totalMails))) {
      KO_LOG(-1, "GetLastUnRepliedMailDetails");
      return 0;
    }
  }
  const int64_t mailEnd = end < totalMails ? end : totalMails;

  data += "{\"type\":\"ContactDetails\"";
  data += ", \"contactCount\":1";
  data += ", \"contactDetails\":{";
  data += fields;
  data.AppendFormat(", \"unseenCount\":%I64d", unseen);
  data += ", \"trendDetails\":{";
  data += trend;
  data += "}, \"threadDetails\":[";
  data += threads;
  data += "]}, \"groups\":[";
  data += groups;
  data += "]";
  AppendJsonText(data, ", \"activeGroup\":\"%s\"", preferences.active_group.GetString());
  AppendJsonText(data, ", \"activeContactType\":\"%s\"", preferences.active_contacttype.GetString());
  data.AppendFormat(", \"curMailBegin\":%I64d", begin + 1);
  data.AppendFormat(", \"curMailEnd\":%I64d", mailEnd);
  data.AppendFormat(", \"curMailPageNo\":%I64d", pageNo);
  data.AppendFormat(", \"totalMails\":%I64d", totalMails);
  AppendJsonText(data, ", \"version\":\"%s\"", kAppVersion);
  data += "}";
  return 1;
}
