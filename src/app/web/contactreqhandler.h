// ContactReqHandler: the request handler ("ContactReqHandler") through which
// the page changes one contact: Create sends a local contact to the contacts
// service, EditInfo replaces its notes and tags, UpdateMark stars or unstars
// it. Every change is made at the service first; once the service has it,
// the service's uid and edit link and the new values are written to the
// summary database in one transaction, and the answer is "1" (else "0").
// The next contact synchronisation stores the service's entry in any case.
//
// Contact types written: a service contact (1) stays 1, any other becomes 2
// (a local contact that now also lives at the service).
//
// Lifetime and threads: built on the factory's stack for one request on its
// connection thread (RunObjectFactory), with a database connection of its
// own for the action. Locks: ConfigMgr's account lock for the whole action,
// shared by Create and EditInfo and exclusive for UpdateMark, so that no
// account change (with the stop and start of its threads) runs meanwhile;
// inside it only ConfigMgr's data lock, through its getters and setters.
#ifndef PV_APP_WEB_CONTACTREQHANDLER_H
#define PV_APP_WEB_CONTACTREQHANDLER_H

#include <vector>

#include "app/web/objectbase.h"

class GDataClient;
class koSQLite;
struct AccountInfo;

class ContactReqHandler : public ObjectBase {
 public:
  ContactReqHandler(koHttpConnection* connection, int argument);
  ~ContactReqHandler() override;

  // "EditInfo", "UpdateMark" or "Create", compared exactly; anything else
  // redirects to "/index.html".
  void RunAction(const koString& action);

  // Gives the client the account's cached token; without one, signs in and
  // stores the new token as the account's (in `account` too). 1 on success.
  static int SetContactLoginAuthToken(GDataClient& client, AccountInfo& account);
  // uid and editUrl (OUT) of the entry the service answered with. 0 (logged)
  // when the answer is no entry or lacks either.
  static int GetContactDetailsFromXMLResponse(const koString& answer, koString& uid, koString& editUrl);

 private:
  enum Action { kCreate, kEditInfo, kUpdateMark };
  // What the service is sent: the notes, the mark and the tags.
  struct Values;

  // The whole action; 1 once the service has the change.
  int Change(Action action);
  // Under the account lock, on the action's own connection.
  int ChangeLocked(Action action, koSQLite& db);
  // The change at the service, tried twice, the second time with a fresh
  // sign-in; answer (OUT) is the service's entry.
  int SendToService(GDataClient& client, AccountInfo& account, const Values& values, koString& answer);
  // The service's identifiers and the new values into the database; 0
  // (logged, rolled back) when a write failed.
  int StoreChange(koSQLite& db, Action action, int contactId, const koString& uid, const koString& editUrl,
                  const Values& values, int type, const koString& storedNotes);
};

#endif  // PV_APP_WEB_CONTACTREQHANDLER_H
