// ServiceMgr: starts the process's services when the main window is made
// and stops them, with the process-wide objects, at shut-down.
//
// No state of its own: it works on the process-wide pointers below and on
// gConfigMgr and gLog. StartServices runs once on the GUI thread before any
// request can arrive (the web server starts last); StopAllServices runs once
// on the shut-down thread while the GUI thread waits for it. The two never
// overlap.
#ifndef PV_APP_WEB_SERVICEMGR_H
#define PV_APP_WEB_SERVICEMGR_H

class HttpServiceMgr;

// The running web server; null before start-up and after shut-down.
extern HttpServiceMgr* gHttpServiceMgr;

class ServiceMgr {
 public:
  // Links the mail library, loads the accounts (an older database is
  // upgraded there; the outcome does not stop start-up), starts the
  // background services and then the web server. Returns once the port is
  // bound or binding was given up.
  static void StartServices();
  // Replaces a running HistoryMgr (its destructor stops its threads) by a
  // new, started one.
  static void StartMailService();
  // Replaces a running web server by a new, started one.
  static void StartHttpService();
  // Deletes, in this order, the web server (which waits for the requests in
  // flight), HistoryMgr, then writes "Stopped" and deletes the log, then
  // deletes ConfigMgr; each pointer is null afterwards.
  static void StopAllServices();
};

#endif  // PV_APP_WEB_SERVICEMGR_H
