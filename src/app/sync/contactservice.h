// ContactService: keeps one account's contacts in the summary database in
// step with the account's contacts at the contacts service.
//
// The account's contact thread makes one and runs SyncContacts until its stop
// event is set: each pass signs in when needed, reads the contacts and groups
// feeds (everything on the first pass, then what changed since the last
// complete pass, deletions included), stores the groups and then every
// contact entry. The forced re-synchronisation instead calls Initialize,
// reads the full feed through GetContactsClient and calls StoreContacts and
// ProcessDeletedContact itself.
//
// Contact types in [contact].[type]: 0 a local contact (an address seen in
// mail, or what is left of a contact the service deleted), 1 a contact of the
// service, 2 a local contact the user sent to the service.
//
// Ownership: the object owns its two clients and the SQL layer; it borrows
// the database connection (the caller opens and closes it) and gLog.
// Every entry is written in its own immediate transaction; a failure rolls
// that entry back, so an entry is stored whole or not at all.
//
// Threads: one object belongs to the thread that made it and uses only that
// thread's connection. It takes no lock of its own; the gConfigMgr calls
// (statuses, cached token, update time, proxy record) take gConfigMgr's
// data lock inside, so the caller may hold the account lock and HistoryMgr's
// lock (in that order) but not the data lock. The stop and wake events are
// set by other threads; the stop event is polled between steps and entries.
#ifndef PV_APP_SYNC_CONTACTSERVICE_H
#define PV_APP_SYNC_CONTACTSERVICE_H

#include <cstdint>
#include <vector>

#include "app/store/contact.h"
#include "app/store/contactemailmgr.h"
#include "core/kstring.h"

struct AccountInfo;
class GDataClient;
class koEvent;
class koSQLite;

class ContactService {
 public:
  // How long a pass waits on the wake event before the next one.
  static const int kPassIntervalMs = 30000;

  // Copies the account's address, password and id; borrows db.
  ContactService(const AccountInfo& account, koSQLite* db);
  ~ContactService();
  ContactService(const ContactService&) = delete;
  ContactService& operator=(const ContactService&) = delete;

  // The contact thread's loop: a pass, then a wait of up to kPassIntervalMs
  // on `wake`, until `stop` is set. A failed pass (the stored modification
  // time unreadable included) is logged and retried after the wait. 1 when it
  // ended on the stop event or because its objects could not be made (or
  // no stop event was given: nothing could end the loop). wake may be null.
  int SyncContacts(koEvent* stop, koEvent* wake);
  // One pass of that loop. 1 when it completed or was stopped, 0 when a step
  // failed (logged; the contact status says why where the user should know).
  // Nothing of the feeds it read is held after it.
  int RunPass(koEvent* stop);

  // Makes the clients and the SQL layer, as SyncContacts does first. 1 on
  // success.
  int Initialize();
  // The contacts client made by Initialize (null before); owned by this.
  GDataClient* GetContactsClient() { return contacts_; }

  // Stores every entry of the contacts client's current feed, deletions
  // first, oldest first, then the pass times. stop may be null. 1 on success
  // or when stopped (the modification time then stays), 0 on a failure.
  int StoreContacts(koEvent* stop);
  // Stores the groups client's current feed in one transaction. 1 on
  // success or when stopped (nothing of the feed is kept then).
  int SyncGroups(koEvent* stop);
  // A contact the service deleted becomes a local contact when mail refers
  // to one of its addresses, and is removed otherwise. A uid that is not
  // stored is success.
  int ProcessDeletedContact(const koString& uid);

  // The account_status statements. Reads the stored modification time into
  // the object ("" when none).
  int GetLastModifiedTimeFromSQLite();
  // Writes the modification time ("" writes nothing); withStop 0 also writes
  // the contact update time.
  int SetLastModifiedTime(const koString& modified, int64_t now, int withStop);
  int UpdateContactUpdatedTime(int64_t now);

 private:
  int ReadAndStore(koEvent* stop);
  // Drops the feeds' texts and the last entry.
  void ReleaseFeeds();
  // The contact being stored.
  void ClearCurrentContact();
  int SaveContact();
  int GetContactPhoto();
  int SaveContactDetails();
  int CleanUpNonGoogleContacts(const std::vector<koString>& addresses);
  int InsertContact();
  int UpdateContact();
  // The last steps of both: tag links, phone list and the full-text row.
  int StoreTagsAndFullText(int isNew);
  int UpdateContactPhotoDetails();
  int UpdateEmailDetails();
  int SyncContactEmailDetails();
  int HandleRemovedEmail(int addressId, const koString& address);
  int AddContactWithEmailAsContactName(int addressId, const koString& address);
  int AddContactGroupDetails();
  int UpdateContactGroupDetails();
  // Links the entry's groups; with followDeletions, a membership the entry
  // marks deleted is unlinked instead.
  int LinkGroups(bool followDeletions);
  int RemoveContact(int contactId, int withPhoto);
  int AddGroup(const Contact& group);
  // The entry's non-empty addresses in document order; 0 when one cannot be read.
  int GetAddresses(std::vector<koString>& out) const;
  int BuildPhoneList();
  void BuildTags();

  GDataClient* contacts_ = nullptr;  // owned
  GDataClient* groups_ = nullptr;    // owned
  koString email_;
  koString password_;
  koString modifiedTime_;
  int accountId_ = 0;
  ContactEmailMgr* emailMgr_ = nullptr;  // owned
  int signedIn_ = 0;
  int timeLoaded_ = 0;  // modifiedTime_ holds the stored value

  // The contact being stored.
  int id_ = -1;
  ContactDetails details_;
  Contact entry_;
  koString uid_;
  koString photo_;
  koString photoEtag_;
  int photoChanged_ = 0;
  koString tags_;
  koString notes_;
  koString emailList_;
  koString phoneList_;
  int mark_ = 0;
  int type_ = 1;

  koSQLite* db_;  // borrowed
  int perEntryTimes_ = 1;
};

#endif  // PV_APP_SYNC_CONTACTSERVICE_H
