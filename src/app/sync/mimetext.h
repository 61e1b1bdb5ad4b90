// MimeText: header text of real-world mail, read more forgivingly than the
// mail library reads it.
//
// The library's parameter parser stops an unquoted value at the first blank
// or '=', knows nothing of RFC 2231 (charset'language'%XX values, numbered
// continuations) and leaves 8-bit bytes as they came. What the system stores
// or answers must be valid UTF-8 and must not lose an attachment's name, so
// the parameters that name files, and boundaries, are read here from the
// header text itself.
//
// Static functions without state; safe from any thread (the mail library
// converts to UTF-8 from static tables).
#ifndef PV_APP_SYNC_MIMETEXT_H
#define PV_APP_SYNC_MIMETEXT_H

#include <cstdint>

#include "core/kstring.h"

class MimeText {
 public:
  // Replaces every byte that is not part of a well-formed UTF-8 sequence by
  // that byte read as Windows-1252 (undefined positions: U+FFFD). Text that
  // is valid UTF-8 is left as it is.
  static void RepairUtf8(koString& text);
  // out = RFC 2047 encoded words of value decoded to UTF-8 and repaired;
  // an unknown charset keeps the decoded bytes (repaired). May be empty.
  static void DecodeWords(const char* value, uint32_t length, koString& out);

  // out = the unfolded value of the first header field `name` (no case) in
  // the header block (lines up to the first empty one). 1 when found.
  static int GetField(const char* header, uint32_t length, const char* name, koString& out);
  // Number of parameters of a field value ("type; a=1; b=2" has 2), at most
  // kMaxParameters counted.
  static int CountParameters(const koString& field);
  // out = the value of parameter `name` (no case) of a field value, UTF-8:
  // numbered continuations joined in order, RFC 2231 values converted from
  // their charset, quoted strings unquoted, an unquoted value taken up to the
  // next ';' (blanks kept), encoded words decoded. Values that are empty
  // count as absent. 1 when found.
  static int GetParameter(const koString& field, const char* name, koString& out);

  // Puts double quotes around an unquoted boundary value of the
  // Content-Type fields of a header block when it holds a character the
  // mail library would stop at ('=' and the other specials). 1 when the
  // block changed.
  static int QuoteBoundaries(koString& header);

  // Header fields that real-world mailers write in shapes the mail library
  // gives up on, rewritten in place before it parses the block (first field
  // of each name; 1 when the block changed):
  // - an address list (From, Sender, Reply-To, To, Cc, Bcc): see
  //   RepairAddressList;
  // - a Date the library cannot read: see RepairDate.
  static int RepairHeader(koString& header);
  // Drops empty members ("a@x, , b@y", a leading or trailing comma), quotes
  // a display name that holds an unquoted '@' before "<address>", and makes
  // "several words name@host" a name with "<name@host>". Text without these
  // shapes is left as it is. 1 when changed.
  static int RepairAddressList(koString& value);
  // Comments dropped, blanks around the ':' of the time and runs of blanks
  // removed ("Mon, 3 Jun (Monday) 2002 10 : 25 : 06 (EDT) -0400" becomes
  // "Mon, 3 Jun 2002 10:25:06 -0400"). 1 when changed.
  static int RepairDate(koString& value);

  // Parameters looked at per field.
  static const int kMaxParameters = 50;
};

#endif  // PV_APP_SYNC_MIMETEXT_H
