// Leaks that LeakSanitizer is told to let pass, all inside libraries and none
// of ours, so a leak of our own still fails a run:
// - GIO builds its MIME database once per process and keeps it where
//   LeakSanitizer cannot see it (about 100 bytes, inside libgio only);
// - the mail library's header parser loses a few bytes on some malformed
//   header fields (a domain with blanks inside, words and dots where an
//   address should be, transfer encodings beyond the few unknown ones its
//   table holds); only its own frames are named.
// lsan_gio.h hands the list to test programs; program tests write it into
// a suppressions file for the programs they start.
#ifndef PV_TESTS_SUPPORT_LSAN_SUPPRESSIONS_H
#define PV_TESTS_SUPPORT_LSAN_SUPPRESSIONS_H

#define PV_LSAN_GIO "leak:libgio-2.0.so\n"
#define PV_LSAN_MAIL_PARSER \
  "leak:rfc822_parse_domain\n" \
  "leak:rfc822_parse_addrspec\n" \
  "leak:rfc822_parse_content_header\n"
#define PV_LSAN_SUPPRESSIONS PV_LSAN_GIO PV_LSAN_MAIL_PARSER

#endif  // PV_TESTS_SUPPORT_LSAN_SUPPRESSIONS_H
