// MailMessage: one fetched RFC 822 message of the account being indexed, cut
// into header and body, parsed by the mail library into an envelope and a
// body structure, and classed as received or sent from the account's side.
//
// The indexer owns one and parses every message into it in turn; the
// attachment extractor reads its body structure and part texts. It owns the
// envelope and body structure (freed with the library's own functions) and
// its texts; pointers it hands out are valid until the next Parse, Clear or
// destruction. Not thread-safe: one object belongs to one thread.
#ifndef PV_APP_SYNC_MAILMESSAGE_H
#define PV_APP_SYNC_MAILMESSAGE_H

#include <cstdint>

#include "core/kstring.h"

// The library's ENVELOPE and BODY.
struct mail_envelope;
struct mail_bodystruct;

class MailMessage {
 public:
  enum { kReceived = 1, kSent = 2 };

  MailMessage();
  ~MailMessage();
  MailMessage(const MailMessage&) = delete;
  MailMessage& operator=(const MailMessage&) = delete;

  // The account's address. At one of the provider's two mail domains the
  // same local part at the other domain counts as the account too.
  void SetAccountEmail(const char* address);

  // Replaces the message with `length` bytes of fetched text: the header is
  // what precedes the first empty line, the body what follows it (all of it
  // header when there is none). noDeliveredTo: 1 when the header has no
  // "Delivered-To:" line. Then classes the message. Always 1.
  int Parse(const char* text, uint32_t length, int noDeliveredTo);
  // Frees envelope and body structure and empties the header.
  void Clear();
  // Takes over what other's last Parse made (other is left cleared); both
  // belong to the same account.
  void TakeFrom(MailMessage& other);

  // kReceived or kSent, from the last Parse (kReceived before any).
  int GetDirection() const { return direction_; }
  struct mail_envelope* GetEnvelope() const { return envelope_; }
  // Null when there is none or its type is no MIME type the library knows.
  struct mail_bodystruct* GetBodyStructure() const;
  // The decoded subject; empty when the message has none.
  void GetSubject(koString& out) const;
  // The contents of `part` (a part of this message's body structure) as they
  // stand in the body text, still transfer-encoded.
  void GetSectionText(const struct mail_bodystruct* part, koString& out) const;
  // The MIME header of a nested part; empty for the top-level body.
  void GetPartText(const struct mail_bodystruct* part, koString& out) const;
  // The header text.
  void GetRawText(koString& out) const;

  // RFC 2047 encoded words of a header value decoded to UTF-8 (8-bit text
  // that is no UTF-8 read as Windows-1252); "(no subject)" when nothing is
  // left.
  static void DecodeMimeHeader(const char* value, koString& out);

 private:
  void SetDirection(int noDeliveredTo);
  // Quotes bare boundaries in the part headers of the body (see MimeText);
  // header: the message header as the parser will read it.
  void QuoteNestedBoundaries(const koString& header);
  // Copies [offset, offset + size) of the body text, clipped to its end.
  void CopyBody(unsigned long offset, unsigned long size, koString& out) const;

  struct mail_envelope* envelope_ = nullptr;
  struct mail_bodystruct* body_ = nullptr;
  koString header_;
  koString bodyText_;
  int direction_ = kReceived;
  koString account_;
  koString alias_;
};

#endif  // PV_APP_SYNC_MAILMESSAGE_H
