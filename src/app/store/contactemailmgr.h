// ContactEmailMgr: the SQL layer for e-mail addresses and contacts: tables
// [email_address], [contact], [contact_email_link], [contact_photo] and the
// full-text table [fts_contact].
//
// An instance borrows one connection (it must outlive the instance) and
// belongs to the thread that uses that connection. It opens no transaction:
// callers wrap multi-statement changes. Every operation answers 1 for
// success and 0 for a failure logged through gLog; OUT values are written
// only where stated, so callers preset them.
#ifndef PV_APP_STORE_CONTACTEMAILMGR_H
#define PV_APP_STORE_CONTACTEMAILMGR_H

#include "core/kstring.h"

class koSQLite;

// One [contact] row as this layer writes it. A new record has empty strings
// and zero numbers.
struct ContactDetails {
  koString name;
  int accountId = 0;
  koString editUrl;      // the contacts service's edit link of the entry
  int mark = 0;          // 1 = starred
  int type = 0;          // 0 local, 1 a service contact, 2 local and sent to the service
  koString uid;          // the service's id of the entry
  int hasPhotoEtag = 0;  // 1: photoEtag is written too; 0 keeps the stored one
  koString photoEtag;
  koString notes;
};

class ContactEmailMgr {
 public:
  // Makes gLog the connection's error logger.
  explicit ContactEmailMgr(koSQLite* db);
  ~ContactEmailMgr() {}
  ContactEmailMgr(const ContactEmailMgr&) = delete;
  ContactEmailMgr& operator=(const ContactEmailMgr&) = delete;

  // Addresses compare ignoring letter case, within one account.
  // id (OUT): written only when the address is known.
  int GetEmailDetails(const koString& address, int accountId, int* id);
  // id (OUT): the new row's id.
  int InsertEmailValues(const koString& address, int accountId, int* id);
  // id (OUT) of the address in the account, made when missing (stored as
  // first seen); isNew (OUT) is set to 1 only when it was made now.
  int GetEmailUniqueId(const koString& address, int accountId, int* id, int* isNew);

  // count (OUT): links of the address to contacts of this account.
  int IsContactEmail(int addressId, int accountId, int* count);
  // mapped (OUT): 1 when the address is linked to a contact of any account.
  int IsEmailMappedWithContact(int addressId, int* mapped);
  // contactId (OUT): a contact of the account with this name (ignoring case)
  // that is not a service contact; untouched when there is none.
  int IsNonGoogleContactAlreadyExist(const koString& name, int accountId, int* contactId);
  // An existing link is kept and is no error.
  int MapContactToEmailDetails(int contactId, int addressId);

  // contactId (OUT) of a new local contact.
  int InsertNonGoogleContact(const koString& name, int accountId, int* contactId);
  int InsertContactDetails(const ContactDetails& details, int* contactId);
  int UpdateContactDetails(const ContactDetails& details, int contactId);
  // Turns a contact the service deleted into a local contact.
  int UpdateContactFromServer(int contactId);
  // Clears the tag, starred and service words of its full-text row.
  int UpdateFtsTags(int contactId);
  // contactId and photoEtag (OUT) written only when found; the etag only
  // when it is not NULL.
  int GetContactIdByUid(const koString& uid, int accountId, int* contactId, koString& photoEtag);
  // All OUT values written only when the contact exists; texts only when not NULL.
  int GetContactDetails(int contactId, int* type, int* mark, koString& editUrl, koString& name,
                        koString& notes);

  // Full-text row of a contact (rowid = contact id); starred and service
  // become the words "STARRED" and "GOOGLE", or empty.
  int InsertFtsContactDetails(const koString& name, int rowId, const koString& email,
                              const koString& phone, const koString& tag, const koString& notes,
                              int starred, int service);
  int UpdateFtsContactDetails(int rowId, const koString& name, const koString& email,
                              const koString& phone, const koString& tag, const koString& notes,
                              int starred, int service);
  // Appends a line feed and the address, exactly as written, to the contact's
  // full-text address list.
  int UpdateFtsContactEmailList(const koString& address, int contactId);

  // The photo's bytes are stored whole, NUL bytes included.
  int InsertContactPhotoDetails(int contactId, const koString& photo);
  int UpdateContactPhotoDetails(int contactId, const koString& photo);

  // An address of a service contact: its id (made when new, with an empty
  // counter row), linked to the contact.
  int AddEmailForAnalytics(const koString& address, int accountId, int contactId);

 private:
  koSQLite* db_;
};

#endif  // PV_APP_STORE_CONTACTEMAILMGR_H
