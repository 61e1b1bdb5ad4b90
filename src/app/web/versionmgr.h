// The upgrade-information request that the upgrade-check thread sends: an
// HTTP GET whose answer says whether a newer version exists and where to get
// it. (The version handler of the web pages joins this class later.)
//
// HttpClient and the check belong to the upgrade-check thread, which makes
// its client when it starts and deletes it when it ends: not thread-safe.
#ifndef PV_APP_WEB_VERSIONMGR_H
#define PV_APP_WEB_VERSIONMGR_H

#include "app/sync/historymgr.h"
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

class VersionMgr {
 public:
  // The answer's prefix and the text that means "no newer version".
  static constexpr const char* kAnswerPrefix = "pvUpgradeLinkStatus=";
  static constexpr const char* kUpToDate = "Postvane is upto date";

  // One GET of url. 1 when the answer begins with kAnswerPrefix: link
  // (IN/OUT) then becomes the rest unless that says the program is up to
  // date (compared ignoring case). 0 for a failed request or another answer;
  // link keeps its value either way.
  static int CheckUpgrade(HttpClient* client, const char* url, koString& link);
  // The upgrade thread's check over an HttpClient of its own, for
  // HistoryMgr::SetUpgradeCheckFactory.
  static UpgradeCheck* MakeUpgradeCheck();
};

#endif  // PV_APP_WEB_VERSIONMGR_H
