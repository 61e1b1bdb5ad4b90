// ConnectionMgr: the request handler ("ConnectionMgr") with which the pages
// add, change, remove, list and test mail accounts.
//
// The account list changes through ConfigMgr (database row, then its copy in
// memory); the background services follow through HistoryMgr. Add, Delete
// and Edit hold ConfigMgr's account lock as writer for the whole change,
// stops and starts of the services included: the process's outermost lock,
// taken before HistoryMgr's and ConfigMgr's data lock. List,
// GetAccountDetails and TestConnection take no lock of their own.
#ifndef PV_APP_WEB_CONNECTIONMGR_H
#define PV_APP_WEB_CONNECTIONMGR_H

#include "app/web/objectbase.h"

struct AccountInfo;

class ConnectionMgr : public ObjectBase {
 public:
  // Longest account address accepted (the longest a mail address can be).
  static constexpr uint32_t kMaxAddressLength = 254;

  ConnectionMgr(koHttpConnection* connection, int argument);
  // Add, Delete, Edit, List, TestConnection, GetAccountDetails (ignoring
  // case); anything else redirects to "/index.html".
  void RunAction(const koString& action);

  // address (IN/OUT): without "@" it gets "@" and the provider's domain. 0
  // (logged) when it cannot name an account: empty, too long, or holding a
  // control byte, "/", "\" or "..", since it also names the account's folders.
  static int CompleteAddress(koString& address);

 private:
  void Add();
  void Delete();
  void Edit();
  void List();
  void TestConnection();
  void GetAccountDetails();
  // Reads the download options of the request into account.
  void ReadOptions(AccountInfo& account);
  // Under the account lock: sets context_type to 0 when it named id.
  int ClearFilterOn(int id);
};

#endif  // PV_APP_WEB_CONNECTIONMGR_H
