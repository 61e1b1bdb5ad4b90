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
  // deletes ConfigMgr; each pointer is null afterwards. When requests
  // outlived the server's wait, only the server goes: HistoryMgr is stopped
  // but kept, and the log and ConfigMgr stay, so those requests end against
  // live objects; the process then ends at once (RequestsOutlived).
  static void StopAllServices();
  // True once a shut-down left requests running. The program must then end
  // without running exit-time clean-up (_exit), which cuts them off, and
  // without cleaning up libcurl, which they may still use.
  static bool RequestsOutlived();
};

#endif  // PV_APP_WEB_SERVICEMGR_H
