#include "support/contacts_peer.h"

#include <unistd.h>

#include <cstdlib>

namespace pvtest {

bool ContactsFakePeer::Start() {
  if (!StartScript("contacts_fake.py")) return false;
  // Written before the feed port, which StartScript waited for.
  tls_port_ = atoi(ReadFile(dir_.File("tls_port")).c_str());
  return tls_port_ > 0 ? true : Fail("contacts_fake.py did not report its sign-in port");
}

bool ContactsFakePeer::SetScript(const std::string& json) {
  return ScriptedPeer::SetScript(json) &&
         WriteFileAtomic(dir_.File("generation"), std::to_string(++generation_));
}

std::string ContactsFakePeer::LoginHost() const { return "127.0.0.1:" + std::to_string(tls_port_); }

std::vector<std::string> ContactsFakePeer::Requests() const {
  std::vector<std::string> all;
  for (int n = 1;; ++n) {
    std::string path = dir_.File("requests/" + std::to_string(n) + ".req");
    if (access(path.c_str(), F_OK) != 0) return all;
    all.push_back(ReadFile(path));
  }
}

int ContactsFakePeer::Count(const std::string& prefix) const {
  int n = 0;
  for (const std::string& request : Requests()) n += request.compare(0, prefix.size(), prefix) == 0;
  return n;
}

}  // namespace pvtest
