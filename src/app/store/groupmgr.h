// GroupMgr: the rows of the contacts service's groups ([group]) and the
// contacts' memberships ([contact_group_link]) in the summary database.
//
// Static operations on a connection the caller opened and owns; they begin
// no transaction (the caller wraps a change that spans several statements)
// and keep no state, so they are as thread-safe as the connection handed in.
// Each returns 1 on success and 0 on failure, which is logged through gLog
// with the statement text or the step that failed.
#ifndef PV_APP_STORE_GROUPMGR_H
#define PV_APP_STORE_GROUPMGR_H

#include <cstdint>

#include "core/kstring.h"

class koSQLite;

// One group as the synchronisation hands it over.
struct GroupDetails {
  int32_t id = -1;         // row id, for updates
  koString uid;            // the service's id URL; unique over all accounts
  koString name;
  int32_t accountId = 0;
};

class GroupMgr {
 public:
  // *id = the row id of the account's group with that uid; left as the
  // caller set it (-1 by convention) when there is none. 1 in both cases.
  static int GetGroupId(koSQLite* db, const char* uid, int32_t accountId, int32_t* id /* OUT */);
  // Stores name, uid and account id of `group` as a new row.
  static int InsertGroupDetails(koSQLite* db, const GroupDetails& group);
  // Renames the row group.id of group.accountId.
  static int UpdateGroupName(koSQLite* db, const GroupDetails& group);
  static int DeleteGroupById(koSQLite* db, int32_t id);
  // Drops every membership in the group.
  static int DeleteGroupLinks(koSQLite* db, int32_t groupId);
  static int UnlinkContactFromGroup(koSQLite* db, int32_t contactId, int32_t groupId);
  static int UnlinkContactFromAllGroups(koSQLite* db, int32_t contactId);
  // A link that exists already is kept and is no error.
  static int LinkContactToGroup(koSQLite* db, int32_t contactId, int32_t groupId);
  // Removes the account's group with that uid and its memberships; a group
  // that is not stored is success with nothing changed.
  static int DeleteGroup(koSQLite* db, const char* uid, int32_t accountId);
};

#endif  // PV_APP_STORE_GROUPMGR_H
