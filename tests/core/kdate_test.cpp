#include "core/kdate.h"

#include <array>
#include <cstring>
#include <ctime>
#include <string>

#include <gtest/gtest.h>

namespace {

// sec, min, hour, mday, mon, year, wday, yday; fields the format does not
// name must keep what the caller put there (U).
using Fields = std::array<int, 8>;
enum { kSec, kMin, kHour, kMday, kMon, kYear, kWday, kYday };
const int U = -99;

Fields Only(int field, int value) {
  Fields f;
  f.fill(U);
  f[field] = value;
  return f;
}

struct tm Prefilled() {
  struct tm tm;
  std::memset(&tm, 0, sizeof tm);
  tm.tm_sec = tm.tm_min = tm.tm_hour = tm.tm_mday = U;
  tm.tm_mon = tm.tm_year = tm.tm_wday = tm.tm_yday = U;
  return tm;
}

TEST(koDate, ParsesAndLeavesTheRest) {
  const Fields mail = {3, 2, 10, 1, 5, 40, 2, U}, kNone = Only(kSec, U);
  const struct {
    const char* input;
    const char* format;
    const char* rest;  // what is left unconsumed
    Fields want;
  } cases[] = {
      // The two formats the mail indexer tries.
      {"Tue, Jun 1, 2010 10:02:03", "%a, %b %d, %Y %H:%M:%S", "", mail},
      {"Tue Jun  1 10:02:03 2010 +0000", "%a %b %d %H:%M:%S %Y", " +0000", mail},
      {"tUESDAY, june 01, 2010 10:02:03", "%A, %B %e, %Y %k:%M:%S", "", mail},
      // Names: full before short, any case, only as long as the name.
      {"Tuesday", "%a", "", Only(kWday, 2)},
      {"tue", "%a", "", Only(kWday, 2)},
      {"Sundays", "%A", "s", Only(kWday, 0)},
      {"Junk", "%b", "k", Only(kMon, 5)},
      {"Sept", "%b", "t", Only(kMon, 8)},
      // Numbers stop once another digit would pass the bound.
      {"123", "%d", "3", Only(kMday, 12)},
      {"2010", "%y", "10", Only(kYear, 50)},
      {"60", "%M", "0", Only(kMin, 6)},
      {"61", "%S", "", Only(kSec, 61)},
      {"366", "%j", "", Only(kYday, 365)},
      {"12", "%I", "", Only(kHour, 0)},
      {"53", "%U", "", kNone},
      // Years are kept relative to 1970; two-digit years wrap at 69.
      {"0", "%Y", "", Only(kYear, -1970)},
      {"99999", "%Y", "9", Only(kYear, 8029)},
      {"68", "%y", "", Only(kYear, 98)},
      {"69", "%y", "", Only(kYear, -1)},
      // The century and the year within it, in either order.
      {"19 05", "%C %y", "", Only(kYear, -65)},
      {"05 19", "%y %C", "", Only(kYear, -65)},
      {"2010 19", "%Y %C", "", Only(kYear, -60)},
      // Composite directives, white space, literals and modifiers.
      {"06/01/10 10:02:03", "%c", "", {3, 2, 10, 1, 5, 40, U, U}},
      {"  \t\n10", "%n%H", "", Only(kHour, 10)},
      {"10", " %H ", "", Only(kHour, 10)},
      {"10%0", "%H%%", "0", Only(kHour, 10)},
      {"2010", "%EY", "", Only(kYear, 40)},
      {"abc", "", "abc", kNone},
  };
  for (const auto& c : cases) {
    struct tm tm = Prefilled();
    const char* rest = koDate::strptime(c.input, c.format, &tm);
    SCOPED_TRACE(std::string("'") + c.input + "' by '" + c.format + "'");
    ASSERT_NE(nullptr, rest);
    EXPECT_EQ(c.input + std::strlen(c.input) - std::strlen(c.rest), rest);
    EXPECT_EQ(c.want, (Fields{tm.tm_sec, tm.tm_min, tm.tm_hour, tm.tm_mday, tm.tm_mon, tm.tm_year,
                              tm.tm_wday, tm.tm_yday}));
  }
}

TEST(koDate, RejectsMismatches) {
  const char* const cases[][2] = {
      {"Tu", "%a"},     {"Jux", "%b"},       {"", "%d"},      {" 1", "%d"},  {"0", "%d"},
      {"32", "%d"},     {"24", "%H"},        {"62", "%S"},    {"13", "%m"},  {"0", "%I"},
      {"0", "%j"},      {"54", "%W"},        {"7", "%w"},     {"x", "%"},    {"x", "%Q"},
      {"Tue Jun", "%a, %b"},  // a literal must match exactly
      {"10", "%H:%M"},        // input ends early
      {"AM", "%p"},           // no AM/PM directive
      {"10:02:03 AM", "%r"},
      {"06/01/10", "%c"},
  };
  for (const auto& c : cases) {
    struct tm tm = Prefilled();
    EXPECT_EQ(nullptr, koDate::strptime(c[0], c[1], &tm)) << "'" << c[0] << "' by '" << c[1] << "'";
  }
  struct tm tm = Prefilled();
  EXPECT_EQ(nullptr, koDate::strptime(nullptr, "%d", &tm));
  EXPECT_EQ(nullptr, koDate::strptime("1", "%d", nullptr));
}

// The caller adds 70 to reach the runtime's 1900-based year.
TEST(koDate, ResultConvertsToCalendarTime) {
  struct tm tm;
  std::memset(&tm, 0, sizeof tm);
  ASSERT_NE(nullptr, koDate::strptime("Tue, Jun 1, 2010 10:02:03", "%a, %b %d, %Y %H:%M:%S", &tm));
  tm.tm_year += 70;
  EXPECT_EQ(1275386523, timegm(&tm));
}

}  // namespace
