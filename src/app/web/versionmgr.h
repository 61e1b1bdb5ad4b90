// VersionMgr: the request handler ("VersionMgr") that tells the pages the
// program's version and build date, and the upgrade-information request
// that the upgrade-check thread sends: an HTTP GET whose answer says whether
// a newer version exists and where to get it.
//
// A handler belongs to its request thread. HttpClient and the check belong
// to the upgrade-check thread, which makes its client when it starts and
// deletes it when it ends: not thread-safe.
#ifndef PV_APP_WEB_VERSIONMGR_H
#define PV_APP_WEB_VERSIONMGR_H

#include "app/sync/historymgr.h"
#include "app/web/objectbase.h"
#include "core/kcurl.h"
#include "core/kstring.h"

// A thin owner of one HTTP client; the client's own policy applies (its
// time-out, redirects and proxy handling).
class HttpClient {
 public:
  HttpClient() = default;
  koCurl* Client() { return &curl_; }

 private:
  koCurl curl_;
};

class VersionMgr : public ObjectBase {
 public:
  VersionMgr(koHttpConnection* connection, int argument);
  // GetVersion (ignoring case); any other action answers headers and an
  // empty body.
  void RunAction(const koString& action);
  // The route table's factory: with `_debug` 1 the answer comes 2000 ms late
  // (the pages use it to test their waiting), then RunObjectFactory.
  static int Factory(koHttpConnection* connection, int argument);

  // The answer's prefix and the text that means "no newer version".
  static constexpr const char* kAnswerPrefix = "pvUpgradeLinkStatus=";
  static constexpr const char* kUpToDate = "Postvane is upto date";

  // One GET of url. 1 when the answer begins with kAnswerPrefix: link
  // (IN/OUT) then becomes the rest unless that says the program is up to
  // date (compared ignoring case, white space around it trimmed). 0 for a
  // failed request or another answer;
  // link keeps its value either way.
  static int CheckUpgrade(HttpClient* client, const char* url, koString& link);
  // The upgrade thread's check over an HttpClient of its own, for
  // HistoryMgr::SetUpgradeCheckFactory.
  static UpgradeCheck* MakeUpgradeCheck();
};

#endif  // PV_APP_WEB_VERSIONMGR_H
