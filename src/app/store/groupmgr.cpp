#include "app/store/groupmgr.h"

#include <sqlite3.h>

#include "core/klog.h"
#include "core/ksqlite.h"

namespace {

// Prepares `sql`, lets `bind` fill the parameters, steps once and finalizes;
// any failure is logged with the statement.
template <typename Bind>
int RunOnce(koSQLite* db, const char* sql, Bind bind) {
  sqlite3_stmt* stmt = nullptr;
  if (!db->Prepare(&stmt, sql)) {
    KO_LOG(-1, sql);
    return 0;
  }
  int ok = bind(&stmt) && db->Step(&stmt, 1) ? 1 : 0;
  db->Finalize(&stmt);
  if (!ok) KO_LOG(-1, sql);
  return ok;
}

}  // namespace

int GroupMgr::GetGroupId(koSQLite* db, const char* uid, int32_t accountId, int32_t* id) {
  static const char kSql[] = "SELECT  [id] groupid FROM [group] WHERE [uid] = ? AND account_id = ?";
  sqlite3_stmt* stmt = nullptr;
  if (!db->Prepare(&stmt, kSql)) {
    KO_LOG(-1, kSql);
    return 0;
  }
  int ok = db->SetText(&stmt, 1, uid) && db->SetInt(&stmt, 2, accountId) && db->Step(&stmt, 1);
  // SQLITE_ROW: a stored group; done without a row leaves *id alone.
  if (ok && db->GetErrCode() == SQLITE_ROW) *id = db->GetInt(&stmt, "groupid");
  db->Finalize(&stmt);
  if (!ok) KO_LOG(-1, kSql);
  return ok ? 1 : 0;
}

int GroupMgr::InsertGroupDetails(koSQLite* db, const GroupDetails& group) {
  return RunOnce(db, "INSERT INTO  [group] ([name], [uid] ,[account_id]) VALUES (?, ?, ?)",
                 [&](sqlite3_stmt** s) {
                   return db->SetText(s, 1, group.name) && db->SetText(s, 2, group.uid) &&
                          db->SetInt(s, 3, group.accountId);
                 });
}

int GroupMgr::UpdateGroupName(koSQLite* db, const GroupDetails& group) {
  return RunOnce(db, "UPDATE [group] SET [name] = ?WHERE [id] = ? AND [account_id] = ?",
                 [&](sqlite3_stmt** s) {
                   return db->SetText(s, 1, group.name) && db->SetInt(s, 2, group.id) &&
                          db->SetInt(s, 3, group.accountId);
                 });
}

int GroupMgr::DeleteGroupById(koSQLite* db, int32_t id) {
  return RunOnce(db, "DELETE FROM [group] WHERE [id] =?",
                 [&](sqlite3_stmt** s) { return db->SetInt(s, 1, id); });
}

int GroupMgr::DeleteGroupLinks(koSQLite* db, int32_t groupId) {
  return RunOnce(db, "DELETE FROM [contact_group_link] WHERE [group_id] =?",
                 [&](sqlite3_stmt** s) { return db->SetInt(s, 1, groupId); });
}

int GroupMgr::UnlinkContactFromGroup(koSQLite* db, int32_t contactId, int32_t groupId) {
  return RunOnce(db, "DELETE FROM [contact_group_link] WHERE [contact_id] = ? AND [group_id] = ?",
                 [&](sqlite3_stmt** s) {
                   return db->SetInt(s, 1, contactId) && db->SetInt(s, 2, groupId);
                 });
}

int GroupMgr::UnlinkContactFromAllGroups(koSQLite* db, int32_t contactId) {
  return RunOnce(db, "DELETE FROM [contact_group_link] WHERE [contact_id] = ?",
                 [&](sqlite3_stmt** s) { return db->SetInt(s, 1, contactId); });
}

int GroupMgr::LinkContactToGroup(koSQLite* db, int32_t contactId, int32_t groupId) {
  return RunOnce(db,
                 "INSERT OR IGNORE INTO [contact_group_link]([contact_id], [group_id]) VALUES (?, ?)",
                 [&](sqlite3_stmt** s) {
                   return db->SetInt(s, 1, contactId) && db->SetInt(s, 2, groupId);
                 });
}

int GroupMgr::DeleteGroup(koSQLite* db, const char* uid, int32_t accountId) {
  int32_t id = -1;
  if (!GetGroupId(db, uid, accountId, &id)) {
    KO_LOG(-1, "GetGroupDetails");
    return 0;
  }
  if (id == -1) return 1;
  if (!DeleteGroupLinks(db, id) || !DeleteGroupById(db, id)) {
    KO_LOG(-1, "GetGroupDetails");
    return 0;
  }
  return 1;
}
