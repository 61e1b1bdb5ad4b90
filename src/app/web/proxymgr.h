// ProxyMgr: the request handler ("ProxyMgr") for the proxy settings that the
// mail connections and the contacts client use.
//
// A save stops the background services, writes the rows, replaces the cached
// record and starts the services again, all under ConfigMgr's account lock
// as writer, so no mail or contact thread runs with half-changed settings.
// One request thread.
#ifndef PV_APP_WEB_PROXYMGR_H
#define PV_APP_WEB_PROXYMGR_H

#include "app/web/objectbase.h"

class ProxyMgr : public ObjectBase {
 public:
  ProxyMgr(koHttpConnection* connection, int argument);
  // GetProxySettings, SaveProxySettings (ignoring case); anything else
  // redirects to "/index.html".
  void RunAction(const koString& action);

 private:
  void GetProxySettings();
  // "1" when all six rows were written (and the record cached), else "0".
  void SaveProxySettings();
};

#endif  // PV_APP_WEB_PROXYMGR_H
