#include "app/store/groupmgr.h"

#include "core/klog.h"
#include "core/ksqlite.h"

int GroupMgr::GetGroupId(koSQLite* db, const char* uid, int32_t accountId, int32_t* id) {
  koStatement s(db, "SELECT  [id] groupid FROM [group] WHERE [uid] = ? AND account_id = ?");
  if (!s.Text(uid).Int(accountId).Step()) return 0;
  // A stored group gives a row; done without one leaves *id alone.
  if (s.HasRow()) *id = db->GetInt(s.Handle(), "groupid");
  return 1;
}

int GroupMgr::InsertGroupDetails(koSQLite* db, const GroupDetails& group) {
  koStatement s(db, "INSERT INTO  [group] ([name], [uid] ,[account_id]) VALUES (?, ?, ?)");
  return s.Text(group.name).Text(group.uid).Int(group.accountId).Step() ? 1 : 0;
}

int GroupMgr::UpdateGroupName(koSQLite* db, const GroupDetails& group) {
  koStatement s(db, "UPDATE [group] SET [name] = ?WHERE [id] = ? AND [account_id] = ?");
  return s.Text(group.name).Int(group.id).Int(group.accountId).Step() ? 1 : 0;
}

int GroupMgr::DeleteGroupById(koSQLite* db, int32_t id) {
  koStatement s(db, "DELETE FROM [group] WHERE [id] =?");
  return s.Int(id).Step() ? 1 : 0;
}

int GroupMgr::DeleteGroupLinks(koSQLite* db, int32_t groupId) {
  koStatement s(db, "DELETE FROM [contact_group_link] WHERE [group_id] =?");
  return s.Int(groupId).Step() ? 1 : 0;
}

int GroupMgr::UnlinkContactFromGroup(koSQLite* db, int32_t contactId, int32_t groupId) {
  koStatement s(db, "DELETE FROM [contact_group_link] WHERE [contact_id] = ? AND [group_id] = ?");
  return s.Int(contactId).Int(groupId).Step() ? 1 : 0;
}

int GroupMgr::UnlinkContactFromAllGroups(koSQLite* db, int32_t contactId) {
  koStatement s(db, "DELETE FROM [contact_group_link] WHERE [contact_id] = ?");
  return s.Int(contactId).Step() ? 1 : 0;
}

int GroupMgr::LinkContactToGroup(koSQLite* db, int32_t contactId, int32_t groupId) {
  koStatement s(
      db, "INSERT OR IGNORE INTO [contact_group_link]([contact_id], [group_id]) VALUES (?, ?)");
  return s.Int(contactId).Int(groupId).Step() ? 1 : 0;
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
