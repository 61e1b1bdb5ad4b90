// The contacts service's loopback stand-in (tests/peers/contacts_fake.py):
// ClientLogin over HTTPS on one port, the feeds, photos and entry writes over
// plain HTTP on another. Its data is the script (see that file for the keys),
// which may be replaced between requests.
//
// Same rules as the other peers: 127.0.0.1 only, ephemeral ports, a private
// folder removed with the object, the child stopped and reaped by the
// destructor. Not thread-safe; start it from the test's main thread.
#ifndef PV_TESTS_SUPPORT_CONTACTS_PEER_H
#define PV_TESTS_SUPPORT_CONTACTS_PEER_H

#include <string>
#include <vector>

#include "support/imap_peers.h"

namespace pvtest {

class ContactsFakePeer : public ScriptedPeer {
 public:
  bool Start();
  // Replaces the script; the next request sees it.
  bool SetScript(const std::string& json);
  // "127.0.0.1:<port>" of the sign-in endpoint (HTTPS).
  std::string LoginHost() const;
  // "127.0.0.1:<port>" of the feeds (HTTP).
  std::string FeedHost() const { return Address(); }
  // Every request so far in arrival order: request line, headers, a blank
  // line and the body, lines ending in CR LF.
  std::vector<std::string> Requests() const;
  // Requests whose request line starts with `prefix`, such as "GET /m8/feeds/photos/".
  int Count(const std::string& prefix) const;

 private:
  int tls_port_ = 0;
  int generation_ = 0;
};

}  // namespace pvtest

#endif  // PV_TESTS_SUPPORT_CONTACTS_PEER_H
