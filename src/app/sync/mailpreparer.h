// MailPreparer: parses the next messages of a walk on a thread of its own
// while the account's mail thread stores the one before, so that the MIME
// parse is not on the walk's path.
//
// The mail thread hands over texts it took out of its stream's cache (the
// library's own allocations, which the preparer frees once parsed) in the
// walk's order, and takes each message back parsed, by its UID, in the same
// order. The parse is the one the mail thread would make; everything the
// database, the files or the stream are asked stays with the mail thread,
// in the walk's order.
//
// Ownership: the object owns its thread, every text handed over and every
// parsed message not yet taken. One object belongs to one mail thread,
// which alone calls it.
#ifndef PV_APP_SYNC_MAILPREPARER_H
#define PV_APP_SYNC_MAILPREPARER_H

#include <cstdint>
#include <deque>
#include <memory>

#include "app/sync/mailmessage.h"
#include "core/kstring.h"
#include "core/kthread.h"

class MailPreparer {
 public:
  struct Prepared {
    uint32_t uid = 0;
    int whole = 0;  // the whole message, or its header
    // The header names no recipient of this account's (see
    // IsUndeliveredMessage): then there is no parse.
    int undelivered = 0;
    int noDeliveredTo = 0;
    std::unique_ptr<MailMessage> message;
  };

  // At most this many messages, or this many bytes of text, wait or are
  // parsed ahead of the one the walk stores.
  static constexpr size_t kMaxAhead = 16;
  static constexpr unsigned long kMaxAheadBytes = 8UL << 20;

  explicit MailPreparer(const char* accountEmail);
  // Waits for the parse under way and frees what was not taken.
  ~MailPreparer();
  MailPreparer(const MailPreparer&) = delete;
  MailPreparer& operator=(const MailPreparer&) = delete;

  int Start();
  // Room for one more text of `size` bytes (one always fits when none waits).
  int HasRoom(unsigned long size) const;
  // Hands over the text of message uid (the library's allocation), the
  // whole message or its header. 0 when
  // there is no room or the thread is not running: the text stays the
  // caller's.
  int Submit(uint32_t uid, int whole, char* text, unsigned long size);
  int IsSubmitted(uint32_t uid, int whole) const;
  // The parsed message uid, once ready. Messages handed over before it that
  // the walk passed by are dropped. 0 when uid was not handed over as that
  // text (whole or header), or on stop.
  int Take(uint32_t uid, int whole, Prepared& out, koEvent* stop);

 private:
  struct Job {
    uint32_t uid;
    int whole;
    char* text;
    unsigned long size;
  };
  static void ThreadMain(void* self);
  void Run();
  static void Prepare(const Job& job, const koString& accountEmail, Prepared& out);

  koString accountEmail_;
  koThread thread_;
  koEvent work_;   // a job or the end was posted
  koEvent ready_;  // a parsed message was posted
  koMutex lock_;
  // Under lock_.
  int quit_ = 0;
  std::deque<Job> jobs_;
  std::deque<Prepared> done_;
  // The mail thread's own: what it handed over and did not take yet, in order.
  struct Pending {
    uint32_t uid;
    int whole;
    unsigned long size;
  };
  std::deque<Pending> pending_;
  unsigned long pendingBytes_ = 0;
};

#endif  // PV_APP_SYNC_MAILPREPARER_H
