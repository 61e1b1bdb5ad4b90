// The stored-password codec and plain Base64, both through the mail library's
// encoder and decoder.
//
// A stored password is the clear text with every byte rotated right by one
// bit, in Base64 with CR LF after each 60 characters and at the end. There is
// no key: it only keeps passwords from being read at a glance in the database.
//
// Built into its own library (pvcodec) with the mail library, which programs
// that only need paths do not link. A program linking it must define the mail
// library's mm_* callbacks. No state: safe from any thread.
#ifndef PV_CORE_KPASSWD_H
#define PV_CORE_KPASSWD_H

#include "core/kstring.h"

class PasswordMgr {
 public:
  // out = the stored form of all bytes of `clear`. 1.
  static int Encode(const koString& clear, koString& out);
  // out = the clear text of a stored form, every byte kept. 1, or 0 (out
  // untouched) when the text is not Base64.
  static int Decode(const koString& stored, koString& out);
};

// out = Base64 of all bytes of text; keepLineBreaks 0 removes every CR LF. 1.
int Base64Encode(const koString& text, koString& out, int keepLineBreaks);
// out = the decoded bytes up to the first zero byte (they are taken as text).
// 1, or 0 (out untouched) when the text is not Base64.
int Base64Decode(const koString& text, koString& out);

#endif  // PV_CORE_KPASSWD_H
