// What the MailMgr sources share and nobody else needs: a formatted log
// record, and the mail library's headers in the order they need.
#ifndef PV_APP_SYNC_MAILMGR_INTERNAL_H
#define PV_APP_SYNC_MAILMGR_INTERNAL_H

#include "core/klog.h"
#include "core/kstring.h"

// (The library's header renames its members `private`, `and`, `or` and
// `not` for C++: the message cache's own part is `cclientPrivate`.)
extern "C" {
#include <c-client/c-client.h>
}

// One record (code -1) of a printf-formatted text, at the caller's line.
#define MAILMGR_LOGF(...)                       \
  do {                                          \
    koString mailmgr_text_;                     \
    mailmgr_text_.Format(__VA_ARGS__);          \
    KO_LOG(-1, mailmgr_text_.GetString());      \
  } while (0)

constexpr const char kRollbackTransaction[] = "ROLLBACK TRANSACTION";

// What a walk fetches of a message: the whole of it, or its header.
inline const char* FetchItem(int whole) { return whole ? "BODY.PEEK[]" : "BODY.PEEK[HEADER]"; }
// Where the library caches that text of message n.
inline SIZEDTEXT* CachedText(MAILSTREAM* stream, unsigned long n, int whole) {
  MESSAGE& msg = mail_elt(stream, n)->cclientPrivate.msg;
  return whole ? &msg.full.text : &msg.header.text;
}

#endif  // PV_APP_SYNC_MAILMGR_INTERNAL_H
