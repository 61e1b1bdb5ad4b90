#include "app/web/versionmgr.h"

#include <cstring>

namespace {

class HttpUpgradeCheck : public UpgradeCheck {
 public:
  int Run(const char* url, koString& link) override { return VersionMgr::CheckUpgrade(&client_, url, link); }

 private:
  HttpClient client_;
};

}  // namespace

int VersionMgr::CheckUpgrade(HttpClient* client, const char* url, koString& link) {
  koCurl* curl = client->Client();
  // A handle that could not be set up fails the request itself.
  curl->Reset();
  if (!curl->Request(url, "GET", nullptr, -1)) return 0;
  koString answer;
  uint32_t length = 0;
  curl->GetResponse(answer, &length);
  const size_t prefix = strlen(kAnswerPrefix);
  if (length < prefix || memcmp(answer.GetString(), kAnswerPrefix, prefix) != 0) return 0;
  koString rest(answer.GetString() + prefix);
  if (!rest.EqualsNoCase(kUpToDate)) link.SetAs(rest);
  return 1;
}

UpgradeCheck* VersionMgr::MakeUpgradeCheck() { return new HttpUpgradeCheck(); }
