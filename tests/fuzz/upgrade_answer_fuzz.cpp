// Fuzz target: answers read through the project's HTTP client (koCurl) from
// a loopback server, and the upgrade-information answer read by
// VersionMgr::CheckUpgrade. The input is served as the body of a 200
// answer, and (when it names no redirect) as the whole answer. What must
// hold: a body arrives whole, zero bytes included; an answer is never longer
// than what was sent; the upgrade link is set exactly when the answer
// starts with the agreed prefix and does not say the program is up to date,
// and it is then the rest of the answer without surrounding blanks.
#include <strings.h>

#include <string>

#include "app/web/versionmgr.h"
#include "core/kcurl.h"
#include "fuzz_support.h"
#include "loopback_answer.h"
#include "support/lsan_gio.h"

using pvfuzz::Check;

namespace {

pvfuzz::LoopbackAnswer* gServer = nullptr;
HttpClient* gClient = nullptr;

std::string Trimmed(const std::string& s) {
  const char* blanks = " \t\n\v\f\r";  // as koString::Trim
  size_t from = s.find_first_not_of(blanks);
  if (from == std::string::npos) return std::string();
  return s.substr(from, s.find_last_not_of(blanks) - from + 1);
}

std::string Url() { return "http://" + gServer->Host() + "/upgradeinfo/upgrade_info.php?majorver=1"; }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  for (const char* name : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
    unsetenv(name);
  koCurl::GlobalInit();
  gServer = new pvfuzz::LoopbackAnswer;
  gClient = new HttpClient;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  koCurl* curl = gClient->Client();

  gServer->SetBody(input);
  curl->Reset();
  Check(curl->Request(Url().c_str(), "GET", nullptr, -1) == 1, "the loopback answer arrives", input);
  koString body;
  uint32_t count = 0;
  curl->GetResponse(body, &count);
  Check(count == body.GetLength() && std::string(body.GetString(), body.GetLength()) == input, "the body whole",
        input);

  // The upgrade check on the same answer.
  koString link("old");
  int ok = VersionMgr::CheckUpgrade(gClient, Url().c_str(), link);
  const std::string prefix = VersionMgr::kAnswerPrefix;
  const bool prefixed = input.compare(0, prefix.size(), prefix) == 0;
  Check(ok == (prefixed ? 1 : 0), "the answer counts by its prefix", input);
  std::string rest = prefixed ? Trimmed(input.substr(prefix.size(), input.find('\0', prefix.size()) - prefix.size()))
                              : std::string();
  const bool upToDate = strcasecmp(rest.c_str(), VersionMgr::kUpToDate) == 0;
  std::string want = prefixed && !upToDate ? rest : std::string("old");
  Check(want == link.GetString(), "the link is the rest of the answer", input + " -> " + link.GetString());

  // The input as the whole answer, unless it could send the client elsewhere.
  if (strcasestr(input.c_str(), "location") == nullptr && input.find('\0') == std::string::npos) {
    gServer->SetRaw(input);
    curl->Reset();
    if (curl->Request(Url().c_str(), "GET", nullptr, -1)) {
      curl->GetResponse(body, &count);
      Check(count == body.GetLength() && count <= size, "an answer is no longer than what was sent", input);
    }
  }
  return 0;
}
