// Loopback peers of the mail connection for tests: Dovecot over TLS with a
// private configuration, a scripted IMAP server (tests/peers/imapd_script.py)
// that speaks the web-mail provider's XLIST dialect and can misbehave on
// demand, and a scripted HTTP CONNECT / SOCKS5 proxy
// (tests/peers/proxy_script.py) for the answers real proxies do not give.
//
// Same rules as the peers of support/peers.h: 127.0.0.1 only, an ephemeral
// port, a private folder removed with the object, the child stopped and
// reaped by the destructor. Neither touches a system-wide IMAP service or
// its ports. Not thread-safe; start them from the test's main thread.
#ifndef PV_TESTS_SUPPORT_IMAP_PEERS_H
#define PV_TESTS_SUPPORT_IMAP_PEERS_H

#include <string>

#include "support/peers.h"

namespace pvtest {

// Dovecot's IMAP over TLS (self-signed certificate) with one user in a
// passwd-file and Maildir storage in the peer's folder; the hierarchy
// delimiter is "/". Run as root, its processes take the dovecot and dovenull
// users; otherwise they run as the calling user.
class DovecotPeer : public Peer {
 public:
  bool Start(const std::string& user, const std::string& password);
  // Stores one message (RFC 822 text with CR LF line ends) as seen in
  // `folder` ("INBOX" or a top-level name), creating the folder. After Start.
  bool AddMessage(const std::string& folder, const std::string& text);
  // Dovecot's own log.
  std::string Log() const;

 private:
  bool MakeMailbox(const std::string& path);
  std::string user_;
  int uid_ = -1;
  int gid_ = -1;
  int messages_ = 0;
};

// A Python peer that reports its port in Dir()/port and reads Dir()/script.json
// at each new connection.
class ScriptedPeer : public Peer {
 public:
  // Replaces the script (JSON).
  bool SetScript(const std::string& json);
};

// tests/peers/imapd_script.py; see that script for the keys of the script.
class ScriptedImapPeer : public ScriptedPeer {
 public:
  bool Start() { return StartScript("imapd_script.py"); }
  // Every command line received so far, one per line (literals inline).
  std::string Commands() const;
  // The decoded arguments of every LOGIN, one JSON list per line.
  std::string Logins() const;
};

// tests/peers/proxy_script.py; see that script for the keys of the script.
class ScriptedProxyPeer : public ScriptedPeer {
 public:
  bool Start() { return StartScript("proxy_script.py"); }
  // The bytes the n-th connection (from 1) sent before it was relayed or
  // refused; "" until that connection is done with the proxy's part.
  std::string Received(int n) const;
};

}  // namespace pvtest

#endif  // PV_TESTS_SUPPORT_IMAP_PEERS_H
