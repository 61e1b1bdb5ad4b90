// TagMgr: the system's contact tags ([tag], shared by all accounts) and the
// contacts' links to them ([contact_tag_link]) in the summary database.
//
// Tag names compare ignoring ASCII letter case everywhere, so only one
// letter-case form of a name is ever stored and a contact's link to "work"
// stands for "Work" too. A tag list is one text of names separated by
// blanks; empty names (from repeated, leading or trailing blanks) are skipped.
//
// Static operations on a connection the caller opened and owns; they begin
// no transaction and keep no state, so they are as thread-safe as the
// connection handed in. Each returns 1 on success and 0 on failure, which is
// logged through gLog with the statement text or the step that failed.
#ifndef PV_APP_STORE_TAGMGR_H
#define PV_APP_STORE_TAGMGR_H

#include <cstdint>

class koSQLite;

class TagMgr {
 public:
  // A link that exists already is kept and is no error.
  static int InsertContactTagLink(koSQLite* db, int32_t contactId, int32_t tagId);
  // Adds the tag row as given; *id = its row id.
  static int InsertTag(koSQLite* db, const char* name, int32_t* id /* OUT */);
  static int DeleteAllContactTags(koSQLite* db, int32_t contactId);
  // Links the contact to every listed tag (making missing tags) and drops its
  // links to tags no longer listed; an empty list drops them all. Tags no
  // contact uses any more stay.
  static int UpdateContactTags(koSQLite* db, int32_t contactId, const char* tags);
};

#endif  // PV_APP_STORE_TAGMGR_H
