// Our additions beside the packaged mail library (c-client): the XLIST
// command, the TLS network driver that opens its TCP leg through a proxy, and
// the proxy layer itself.
//
// The library is used as Debian ships it; these functions reach it only
// through its public hooks (the SSL driver slot of mail_parameters, the
// time-out parameters) and exported functions (tcp_open, imap_send). Its
// headers stay out of this one: MAILSTREAM is `struct mail_stream` there, and
// a TCP stream `struct tcp_stream`.
//
// Everything here runs on the thread that called into the library and keeps
// per-call state on that thread's stack (XLIST capture: a thread-local
// pointer), so several account threads may use it at once. Messages go to the
// application's mm_log at level ERROR unless said otherwise.
#ifndef PV_APP_SYNC_MAILEXT_H
#define PV_APP_SYNC_MAILEXT_H

struct mail_stream;
struct tcp_stream;

extern "C" {

// Proxy settings for one TLS open, filled by mm_proxysettings. The layout is
// fixed: every text holds at most 1022 characters and is NUL-terminated.
enum {
  kProxyDirect = 1,
  kProxyHttp = 2,
  kProxySocks5 = 3,
  kProxyAuto = 4  // only in the stored settings; mm_proxysettings resolves it
};
typedef struct proxy_info {
  int type;
  char host[1024];
  int port;
  char user[1024];
  char password[1024];
} PROXYINFO;

// The folder kinds that XLIST discovers (ConfigMgr's special-folder types).
enum { kFolderAllMail = 3, kFolderSpam = 4, kFolderTrash = 5 };

// Runs the stream's XLIST operation: the real one for an IMAP stream, NIL
// (0) for every other driver and for a null stream. T (1) when the server
// answered OK; the replies reach mm_xlist meanwhile. They are taken from the
// reply stream by our TLS driver, so only "/ssl" streams (the only kind this
// program opens) deliver them.
long mail_xlist(struct mail_stream* stream);
// Sends XLIST "" %/% on an open IMAP stream. T when the tagged reply is OK;
// otherwise the reply text goes to mm_log at level 0 and the result is NIL.
long imap_xlist(struct mail_stream* stream);

// FETCH of `item` (such as "BODY.PEEK[HEADER]") for the message numbers in
// `sequence` on an open IMAP stream, in one command (UID FETCH with the UIDs
// in `sequence` when flags has FT_UID); the library caches the texts that
// come back, so later fetches of them need no round trip. T when the server
// answered OK. Nothing is reported when it did not.
long imap_fetch_texts(struct mail_stream* stream, const char* sequence, const char* item, long flags);

// Callbacks of the application (callbacks.cpp), beside the library's mm_*.
// text: what follows "XLIST " in one untagged reply (valid during the call).
void mm_xlist(struct mail_stream* stream, char* text);
// Fills *info for the TLS open; 1 when it is filled.
long mm_proxysettings(PROXYINFO* info);

// A TCP stream of the library to host (service, or port when service is
// null or unknown) directly or through the proxy in *info; null on failure,
// reported through mm_log. Through a proxy the stream names the target host.
// port may carry the library's NET_* open flags in its upper bits.
struct tcp_stream* proxy_open(PROXYINFO* info, char* host, char* service, unsigned long port);
// printf into a heap buffer (free() it); null when memory runs out.
char* proxy_asprintf(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // extern "C"

// Registers the TLS driver as the library's SSL driver, so "/ssl" mailboxes
// open through mm_proxysettings and proxy_open. Reads honour the library's
// read time-out and its time-out callback (GET_READTIMEOUT, GET_TIMEOUT);
// writes its write time-out. Call once, after the library's own TLS
// initialisation (ssl_onceonlyinit), before any mail thread runs.
void InstallTlsDriver();

// Called by the TLS driver for every reply line it reads: 1 when the line
// was an XLIST reply taken by the XLIST command running on this thread (the
// library then never sees it), 0 otherwise.
int XlistTakeLine(const char* line);

#endif  // PV_APP_SYNC_MAILEXT_H
