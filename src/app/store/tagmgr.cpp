#include "app/store/tagmgr.h"

#include <vector>

#include "core/klog.h"
#include "core/ksqlite.h"
#include "core/kstring.h"

namespace {

// Cuts the next non-empty name off the front of `list`; 0 when none is left.
// Repeated, leading and trailing blanks would otherwise make an empty tag.
int NextTag(koString& list, koString& name) {
  while (list.CutToken(" ", name)) {
    if (name.GetLength() > 0) return 1;
  }
  return 0;
}

// *id = the id of the tag of that name in any letter case; left alone when
// there is none. 1 in both cases.
int IsNewTag(koSQLite* db, const char* name, int32_t* id) {
  koStatement s(db, "SELECT [tag].[id] tagid FROM tag WHERE [tag].[name] = ? COLLATE NOCASE");
  if (!s.Text(name).Step()) return 0;
  if (s.HasRow()) *id = db->GetInt(s.Handle(), "tagid");
  return 1;
}

int DeleteContactToTagMapping(koSQLite* db, int32_t contactId, int32_t tagId) {
  koStatement s(db, "DELETE FROM  contact_tag_link WHERE contact_id = ? AND [tag_id] = ?");
  return s.Int(contactId).Int(tagId).Step() ? 1 : 0;
}

int AddNewTag(koSQLite* db, int32_t contactId, const char* name) {
  int32_t id = -1;
  if (!IsNewTag(db, name, &id)) {
    KO_LOG(-1, "IsNewTag");
    return 0;
  }
  if (id == -1 && !TagMgr::InsertTag(db, name, &id)) {
    KO_LOG(-1, "InsertTag");
    return 0;
  }
  if (!TagMgr::InsertContactTagLink(db, contactId, id)) {
    KO_LOG(-1, "InsertContactTagLink");
    return 0;
  }
  return 1;
}

int InsertContactTags(koSQLite* db, int32_t contactId, const char* tags) {
  koString list(tags != nullptr ? tags : "");
  koString name;
  while (NextTag(list, name)) {
    if (!AddNewTag(db, contactId, name.GetString())) {
      KO_LOG(-1, "AddNewTag");
      return 0;
    }
  }
  return 1;
}

int ClearContactTags(koSQLite* db, int32_t contactId, const char* tags) {
  koString list(tags != nullptr ? tags : "");
  koString name;
  koString quoted;
  while (NextTag(list, name)) {
    name.ReplaceNoCase("'", "''");
    quoted.AppendFormat("'%s',", name.GetString());
  }
  if (quoted.GetLength() == 0) return TagMgr::DeleteAllContactTags(db, contactId);
  quoted.RemoveLast(1);

  // The collation sits on the column so that the IN test itself ignores
  // case; after the closing parenthesis it would not reach the comparison,
  // and the link just made to "work" for "Work" would be dropped again.
  koString sql;
  sql.Format(
      "SELECT [contact_tag_link].[tag_id] tagid FROM contact_tag_link WHERE contact_id = %d AND "
      "tagid NOT IN (SELECT [id] FROM tag WHERE [name] COLLATE NOCASE IN (%s))",
      contactId, quoted.GetString());
  // Read all first: deleting rows of the table a statement is still walking
  // may make it skip or repeat rows.
  std::vector<int32_t> stale;
  {
    koStatement rows(db, sql.GetString());
    while (rows.Step() && rows.HasRow()) stale.push_back(db->GetInt(rows.Handle(), "tagid"));
    if (!rows.Ready()) return 0;
  }
  for (int32_t tagId : stale) {
    if (!DeleteContactToTagMapping(db, contactId, tagId)) {
      KO_LOG(-1, "DeleteContactToTagMapping");
      return 0;
    }
  }
  return 1;
}

}  // namespace

int TagMgr::InsertContactTagLink(koSQLite* db, int32_t contactId, int32_t tagId) {
  koStatement s(db, "INSERT OR IGNORE INTO contact_tag_link ([contact_id],[tag_id])VALUES(?,?)");
  return s.Int(contactId).Int(tagId).Step() ? 1 : 0;
}

int TagMgr::InsertTag(koSQLite* db, const char* name, int32_t* id) {
  koStatement s(db, "INSERT INTO tag ([name])VALUES(?)");
  if (!s.Text(name).Step()) return 0;
  *id = static_cast<int32_t>(db->GetLastInsertRowId());
  return 1;
}

int TagMgr::DeleteAllContactTags(koSQLite* db, int32_t contactId) {
  koStatement s(db, "DELETE FROM  contact_tag_link WHERE contact_id = ?");
  return s.Int(contactId).Step() ? 1 : 0;
}

int TagMgr::UpdateContactTags(koSQLite* db, int32_t contactId, const char* tags) {
  if (!InsertContactTags(db, contactId, tags)) {
    KO_LOG(-1, "InsertContactTags");
    return 0;
  }
  if (!ClearContactTags(db, contactId, tags)) {
    KO_LOG(-1, "ClearContactTags");
    return 0;
  }
  return 1;
}
