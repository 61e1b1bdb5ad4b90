// koDate: reads a date text by a strptime-style format.
//
// Stateless and reentrant: safe to call from any number of threads at once.
#ifndef PV_CORE_KDATE_H
#define PV_CORE_KDATE_H

#include <ctime>

class koDate {
 public:
  // Parses `input` by `format` into `record` and answers the first input
  // character not consumed (a pointer into `input`), or null when the input does
  // not match. Only the fields the format names are written; the caller clears
  // the record first. tm_year counts years since 1970, not 1900: add 70 before
  // handing the record to mktime or timegm. Names are English and compared
  // ignoring case. On failure the record may be partly written.
  static const char* strptime(const char* input, const char* format, struct tm* record);
};

#endif  // PV_CORE_KDATE_H
