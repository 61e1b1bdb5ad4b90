// Fuzz target: dates as mails carry them. The input is a format and a date
// text (split at the first zero byte) for koDate::strptime, and as a whole
// the Date field that the indexer reads with the mail library, repaired
// first when the library gives up on it. What must hold: the parser stops
// inside the text, every field it sets stays within its range, a date it
// read prints and reads back alike, and a repaired date needs no second
// repair.
#include <time.h>

#include <string>

#include "app/sync/mailinit.h"
#include "app/sync/mimetext.h"
#include "core/kdate.h"
#include "fuzz_support.h"
#include "support/lsan_gio.h"

extern "C" {
#include <c-client/c-client.h>
}

using pvfuzz::Check;

namespace {

// The indexer's two formats after the mail library's own reader.
const char* const kMailFormats[] = {"%a, %b %d, %Y %H:%M:%S", "%a %b %d %H:%M:%S %Y"};

std::string Fields(const struct tm& t) {
  char text[160];
  snprintf(text, sizeof text, "sec %d min %d hour %d mday %d mon %d year %d wday %d yday %d", t.tm_sec,
           t.tm_min, t.tm_hour, t.tm_mday, t.tm_mon, t.tm_year, t.tm_wday, t.tm_yday);
  return text;
}

void CheckRanges(const struct tm& t, const std::string& input) {
  bool ok = t.tm_sec >= 0 && t.tm_sec <= 61 && t.tm_min >= 0 && t.tm_min <= 59 && t.tm_hour >= 0 &&
            t.tm_hour <= 23 && t.tm_mday >= 0 && t.tm_mday <= 31 && t.tm_mon >= 0 && t.tm_mon <= 11 &&
            t.tm_wday >= 0 && t.tm_wday <= 6 && t.tm_yday >= 0 && t.tm_yday <= 365 &&
            t.tm_year >= -1970 && t.tm_year <= 9999 - 1970;
  Check(ok, "fields within their ranges", input + " -> " + Fields(t));
}

const char* Parse(const std::string& text, const char* format, struct tm* t) {
  memset(t, 0, sizeof *t);
  const char* rest = koDate::strptime(text.c_str(), format, t);
  if (rest != nullptr) {
    Check(rest >= text.c_str() && rest <= text.c_str() + text.size(), "stops inside the text", text);
    CheckRanges(*t, text);
  }
  return rest;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  InitMailLibrary();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  pvfuzz::Pieces pieces(data, size);
  std::string format = pieces.Next();
  std::string text = pieces.Next();
  struct tm t;
  Parse(text, format.c_str(), &t);

  // The input as a whole as a mail's date.
  const std::string whole(reinterpret_cast<const char*>(data), size);
  const std::string date = whole.substr(0, whole.find('\0'));
  for (const char* mailFormat : kMailFormats) {
    if (Parse(date, mailFormat, &t) == nullptr) continue;
    // Printed in the same format, the date reads back to the same fields.
    static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char printed[96];
    if (mailFormat == kMailFormats[0])
      snprintf(printed, sizeof printed, "%s, %s %d, %d %d:%d:%d", kDays[t.tm_wday], kMonths[t.tm_mon], t.tm_mday,
               t.tm_year + 1970, t.tm_hour, t.tm_min, t.tm_sec);
    else
      snprintf(printed, sizeof printed, "%s %s %d %d:%d:%d %d", kDays[t.tm_wday], kMonths[t.tm_mon], t.tm_mday,
               t.tm_hour, t.tm_min, t.tm_sec, t.tm_year + 1970);
    struct tm again;
    Check(Parse(printed, mailFormat, &again) != nullptr && Fields(again) == Fields(t), "print and read back",
          date + " -> " + printed);
  }

  koString repaired(date.c_str());
  int changed = MimeText::RepairDate(repaired);
  Check(strchr(repaired.GetString(), '(') == nullptr, "no comment left", date);
  if (changed) Check(repaired.GetLength() <= date.size(), "a repair only drops", date);
  koString twice(repaired.GetString());
  Check(MimeText::RepairDate(twice) == 0, "a repaired date needs no second repair", date);
  MESSAGECACHE elt;
  memset(&elt, 0, sizeof elt);
  koString copy(repaired.GetString());
  mail_parse_date(&elt, reinterpret_cast<unsigned char*>(const_cast<char*>(copy.GetString())));
  return 0;
}
