// The services for browser tests: Dovecot with one account whose All Mail
// holds `count` messages (every other one with an attachment named
// file<n>.bin, from bob@example.org or carol@example.org) behind the XLIST
// relay; the contacts fake with that account, Bob (starred, in Friends) and
// Carol (in Work); with --proxy, tinyproxy. Prints {"imap":<relay port>,
// "login":"<host:port>","feed":"<host:port>","proxy":<port or 0>,
// "proxyLog":"<tinyproxy's log file or empty>"} on one
// line and keeps the peers until its standard input closes; each line
// "add <n>" there adds n messages with attachments and is answered "added".
//
//   browser_peers <address> <password> <count> [--proxy]
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "app/sync/index_fixture.h"
#include "support/contacts_peer.h"
#include "support/imap_peers.h"
#include "support/peers.h"

int main(int argc, char** argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: browser_peers <address> <password> <count> [--proxy]\n");
    return 2;
  }
  const std::string address = argv[1];
  const int count = atoi(argv[3]);
  const bool proxy = argc > 4 && strcmp(argv[4], "--proxy") == 0;
  pvtest::DovecotPeer dovecot;
  if (!dovecot.Start(address, argv[2])) {
    fprintf(stderr, "browser_peers: dovecot: %s\n", dovecot.Error().c_str());
    return 1;
  }
  for (const char* folder : {"[Gmail]/All Mail", "[Gmail]/Spam", "[Gmail]/Trash"}) dovecot.CreateFolder(folder);
  for (int n = 1; n <= count; ++n) {
    const std::string from = n % 2 ? "Bob <bob@example.org>" : "Carol <carol@example.org>";
    if (!dovecot.AddMessage("[Gmail]/All Mail", pvtest::MailText(n, address, true, n % 2 == 1, from))) return 1;
  }
  pvtest::XlistRelayPeer relay;
  if (!relay.Start(dovecot.Port())) {
    fprintf(stderr, "browser_peers: relay: %s\n", relay.Error().c_str());
    return 1;
  }
  pvtest::ContactsFakePeer contacts;
  const std::string script =
      "{\"users\": {\"" + address + "\": \"" + argv[2] + "\"},"
      " \"groups\": [{\"id\": \"g0\", \"updated\": \"2024-01-02T03:04:05.000Z\", \"title\": \"System Group: My Contacts\", \"system\": \"Contacts\"},"
      " {\"id\": \"g1\", \"updated\": \"2024-01-02T03:04:05.000Z\", \"title\": \"Friends\"}, {\"id\": \"g2\", \"updated\": \"2024-01-02T03:04:05.000Z\", \"title\": \"Work\"}],"
      " \"contacts\": [{\"id\": \"c1\", \"updated\": \"2024-01-02T03:04:05.000Z\", \"title\": \"Bob Builder\", \"mark\": 1, \"groups\": [\"g0\", \"g1\"],"
      " \"emails\": [{\"address\": \"bob@example.org\", \"primary\": true}]},"
      " {\"id\": \"c2\", \"updated\": \"2024-01-02T03:04:05.000Z\", \"title\": \"Carol Chen\", \"groups\": [\"g0\", \"g2\"],"
      " \"emails\": [{\"address\": \"carol@example.org\", \"primary\": true}]}]}";
  if (!contacts.Start() || !contacts.SetScript(script)) {
    fprintf(stderr, "browser_peers: contacts: %s\n", contacts.Error().c_str());
    return 1;
  }
  pvtest::HttpProxyPeer tinyproxy;
  if (proxy && !tinyproxy.Start()) {
    fprintf(stderr, "browser_peers: tinyproxy: %s\n", tinyproxy.Error().c_str());
    return 1;
  }
  printf("{\"imap\":%d,\"login\":\"%s\",\"feed\":\"%s\",\"proxy\":%d,\"proxyLog\":\"%s\"}\n", relay.Port(),
         contacts.LoginHost().c_str(), contacts.FeedHost().c_str(), proxy ? tinyproxy.Port() : 0,
         proxy ? (tinyproxy.Dir() + "/tinyproxy.log").c_str() : "");
  fflush(stdout);
  // "add <n>": n more messages, answered with "added".
  char line[256];
  int next = count;
  while (fgets(line, sizeof line, stdin) != nullptr) {
    int more = 0;
    if (sscanf(line, "add %d", &more) != 1) continue;
    for (int i = 0; i < more; ++i) {
      ++next;
      dovecot.AddMessage("[Gmail]/All Mail", pvtest::MailText(next, address, true, true, "Bob <bob@example.org>"));
    }
    printf("added\n");
    fflush(stdout);
  }
  return 0;
}
