// MailFetcher: downloads the texts of the next stretch of a folder's
// messages on a connection and thread of its own while the account's mail
// thread stores the stretch before, so that the walk does not wait for the
// network between stretches.
//
// The mail library's stream is not safe across threads: the fetcher opens,
// uses and closes its own stream on its own thread, read-only, and asks by
// UID, so that the two connections agree on the messages whatever their
// message numbers. What it hands over are the library's own allocations,
// which the taker gives to its stream's message cache (or frees with
// FreeTexts). Texts the library reports on the fetcher's thread reach the
// log only: the mail thread fetches anything the fetcher could not and
// reports what happens then.
//
// Ownership: the object owns its thread, its stream and every text not yet
// taken. One object belongs to one mail thread, which alone calls it.
#ifndef PV_APP_SYNC_MAILFETCHER_H
#define PV_APP_SYNC_MAILFETCHER_H

#include <cstdint>
#include <vector>

#include "core/kstring.h"
#include "core/kthread.h"

class MailFetcher {
 public:
  struct Text {
    uint32_t uid;
    char* data;  // the mail library's allocation
    unsigned long size;
  };

  // mailbox: the library's full name of the folder ("{host...}folder");
  // password: for its sign-in, overwritten once it signed in.
  MailFetcher(const char* mailbox, const koString& password);
  // Waits for the fetch under way (the library cannot be interrupted inside
  // one), signs out and frees what was not taken.
  ~MailFetcher();
  MailFetcher(const MailFetcher&) = delete;
  MailFetcher& operator=(const MailFetcher&) = delete;

  // Starts the thread, which signs in before its first fetch. 1 when it runs.
  int Start();
  // Asks for the texts (whole messages, or headers) of the messages with
  // UIDs lo..hi. 0 while a request is under way or after a failure.
  int Request(uint32_t lo, uint32_t hi, int whole);
  int IsRequested() const { return requested_; }
  // Waits until the asked texts came, or stop is set. 1 with the texts in
  // `out` (ascending UIDs; the caller owns them): all of them, or those that
  // came before the server refused some or the connection broke (then the
  // fetcher takes no more requests). 0 on stop.
  int Take(std::vector<Text>& out, koEvent* stop);
  int IsFailed();

  static void FreeTexts(std::vector<Text>& texts);

 private:
  static void ThreadMain(void* self);
  void Run();
  // On the fetcher's thread: one UID FETCH into `out`, which gets what came
  // even when it failed (0).
  int Fetch(struct mail_stream* stream, uint32_t lo, uint32_t hi, int whole, std::vector<Text>& out);

  koString mailbox_;
  koString password_;
  koThread thread_;
  koEvent work_;  // a request or the end was posted
  koEvent done_;  // the asked texts are ready, or the fetch failed
  koMutex lock_;
  // Under lock_.
  int quit_ = 0;
  int failed_ = 0;
  uint32_t lo_ = 0;
  uint32_t hi_ = 0;
  int whole_ = 0;
  std::vector<Text> texts_;
  // The mail thread's own.
  int requested_ = 0;
};

#endif  // PV_APP_SYNC_MAILFETCHER_H
