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

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "support/peers.h"

namespace pvtest {

// Dovecot's IMAP over TLS (self-signed certificate) with one user in a
// passwd-file and Maildir storage in the peer's folder; the hierarchy
// delimiter is "/". The folders "[Gmail]/All Mail", "[Gmail]/Spam" and
// "[Gmail]/Trash" carry the special-use attributes \All, \Junk and \Trash.
// Run as root, its processes take the dovecot and dovenull users; otherwise
// they run as the calling user.
//
// Messages are files that the peer writes, moves and removes while the
// server runs; the server notices at its next look at the folder (a SELECT,
// NOOP or the like). Messages added at one time get UIDs in the order added.
class DovecotPeer : public Peer {
 public:
  // users: more accounts beside the first, all with the same password.
  bool Start(const std::string& user, const std::string& password,
             const std::vector<std::string>& users = {});
  // Stores one message (RFC 822 text with CR LF line ends) in `folder`
  // ("INBOX" or a name such as "[Gmail]/All Mail"), creating the folder; its
  // internal date is `date` (seconds since 1970) when not 0. id (OUT): what
  // MoveMessage and RemoveMessage name it by. After Start; user ""
  // is the first account.
  bool AddMessage(const std::string& folder, const std::string& text, bool seen = true, time_t date = 0,
                  std::string* id = nullptr, const std::string& user = "");
  // An empty folder (so that it is listed).
  bool CreateFolder(const std::string& folder, const std::string& user = "") {
    return uid_ >= 0 && MakeMailbox(FolderPath(user, folder));
  }
  // Bulk load: every file of the Maildir `source`'s cur folder, in name
  // order, with its flags and time (hard links where possible, else copies).
  // The number of messages loaded, -1 on failure.
  int ImportMaildir(const std::string& folder, const std::string& source, const std::string& user = "");
  // Moves the message to another folder (a new UID there; gone from the first).
  bool MoveMessage(const std::string& id, const std::string& from, const std::string& to,
                   const std::string& user = "");
  // Removes it, as an expunge by another client would.
  bool RemoveMessage(const std::string& folder, const std::string& id, const std::string& user = "");
  // Dovecot's own log.
  std::string Log() const;

 private:
  bool MakeMailbox(const std::string& path);
  // The Maildir folder of `folder` ("." joins the levels on disk).
  std::string FolderPath(const std::string& user, const std::string& folder) const;
  // The message's file in that folder, or "".
  std::string FindMessage(const std::string& box, const std::string& id) const;
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

// tests/peers/xlist_relay.py in front of an IMAP server on 127.0.0.1 (a
// DovecotPeer): TLS to both sides, XLIST answered in the provider's dialect
// from the server's LIST, everything else passed through; delayMs holds every
// block that long each way.
class XlistRelayPeer : public Peer {
 public:
  bool Start(int upstreamPort, int delayMs = 0) {
    return StartScript("xlist_relay.py",
                       {"--upstream", std::to_string(upstreamPort), "--delay-ms", std::to_string(delayMs)});
  }
  // Every command line received so far, one per line (literal data left out).
  std::string Commands() const { return ReadFile(dir_.File("commands.log")); }
  // The relay's CPU seconds as of the last connection that ended.
  double CpuSeconds() const { return atof(ReadFile(dir_.File("cpu")).c_str()); }
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
