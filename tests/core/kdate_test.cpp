#include "core/kdate.h"

#include <cstring>
#include <ctime>

#include <gtest/gtest.h>

namespace {

// Fields the format does not name must keep what the caller put there.
const int kUntouched = -99;

struct Fields {
  int sec, min, hour, mday, mon, year, wday, yday;
};

const Fields kNone = {kUntouched, kUntouched, kUntouched, kUntouched,
                      kUntouched, kUntouched, kUntouched, kUntouched};

struct tm Prefilled() {
  struct tm tm;
  std::memset(&tm, 0, sizeof tm);
  tm.tm_sec = tm.tm_min = tm.tm_hour = tm.tm_mday = kUntouched;
  tm.tm_mon = tm.tm_year = tm.tm_wday = tm.tm_yday = kUntouched;
  return tm;
}

Fields Read(const struct tm& tm) {
  return {tm.tm_sec, tm.tm_min, tm.tm_hour, tm.tm_mday,
          tm.tm_mon, tm.tm_year, tm.tm_wday, tm.tm_yday};
}

void ExpectFields(const Fields& want, const Fields& got, const char* what) {
  EXPECT_EQ(want.sec, got.sec) << what;
  EXPECT_EQ(want.min, got.min) << what;
  EXPECT_EQ(want.hour, got.hour) << what;
  EXPECT_EQ(want.mday, got.mday) << what;
  EXPECT_EQ(want.mon, got.mon) << what;
  EXPECT_EQ(want.year, got.year) << what;
  EXPECT_EQ(want.wday, got.wday) << what;
  EXPECT_EQ(want.yday, got.yday) << what;
}

Fields With(Fields f, int Fields::*field, int value) {
  f.*field = value;
  return f;
}

struct Match {
  const char* input;
  const char* format;
  const char* rest;  // what is left unconsumed
  Fields want;
};

TEST(koDate, ParsesAndLeavesTheRest) {
  const Fields mail = {3, 2, 10, 1, 5, 40, 2, kUntouched};
  const Match cases[] = {
      // The two formats the mail indexer tries.
      {"Tue, Jun 1, 2010 10:02:03", "%a, %b %d, %Y %H:%M:%S", "", mail},
      {"Tue Jun  1 10:02:03 2010 +0000", "%a %b %d %H:%M:%S %Y", " +0000", mail},
      {"tUESDAY, june 01, 2010 10:02:03", "%A, %B %e, %Y %k:%M:%S", "", mail},
      // Names: full before short, any case, only as long as the name.
      {"Tuesday", "%a", "", With(kNone, &Fields::wday, 2)},
      {"tue", "%a", "", With(kNone, &Fields::wday, 2)},
      {"Sundays", "%A", "s", With(kNone, &Fields::wday, 0)},
      {"Junk", "%b", "k", With(kNone, &Fields::mon, 5)},
      {"MAY", "%h", "", With(kNone, &Fields::mon, 4)},
      {"September", "%b", "", With(kNone, &Fields::mon, 8)},
      {"Sept", "%b", "t", With(kNone, &Fields::mon, 8)},
      // Numbers stop once another digit would pass the bound.
      {"123", "%d", "3", With(kNone, &Fields::mday, 12)},
      {"2010", "%y", "10", With(kNone, &Fields::year, 50)},
      {"7x", "%d", "x", With(kNone, &Fields::mday, 7)},
      {"61", "%S", "", With(kNone, &Fields::sec, 61)},
      {"60", "%M", "0", With(kNone, &Fields::min, 6)},
      {"400", "%j", "0", With(kNone, &Fields::yday, 39)},
      {"366", "%j", "", With(kNone, &Fields::yday, 365)},
      {"1", "%j", "", With(kNone, &Fields::yday, 0)},
      {"12", "%m", "", With(kNone, &Fields::mon, 11)},
      {"12", "%I", "", With(kNone, &Fields::hour, 0)},
      {"11", "%l", "", With(kNone, &Fields::hour, 11)},
      {"53", "%U", "", kNone},
      {"6", "%w", "", With(kNone, &Fields::wday, 6)},
      // Years are kept relative to 1970.
      {"1970", "%Y", "", With(kNone, &Fields::year, 0)},
      {"0", "%Y", "", With(kNone, &Fields::year, -1970)},
      {"9999", "%Y", "", With(kNone, &Fields::year, 8029)},
      {"99999", "%Y", "9", With(kNone, &Fields::year, 8029)},
      {"2038", "%Y", "", With(kNone, &Fields::year, 68)},
      {"00", "%y", "", With(kNone, &Fields::year, 30)},
      {"68", "%y", "", With(kNone, &Fields::year, 98)},
      {"69", "%y", "", With(kNone, &Fields::year, -1)},
      {"99", "%y", "", With(kNone, &Fields::year, 29)},
      // The century and the year within it, in either order.
      {"20", "%C", "", With(kNone, &Fields::year, 30)},
      {"19 05", "%C %y", "", With(kNone, &Fields::year, -65)},
      {"05 19", "%y %C", "", With(kNone, &Fields::year, -65)},
      {"2010 19", "%Y %C", "", With(kNone, &Fields::year, -60)},
      // Composite directives.
      {"06/01/10", "%D", "", {kUntouched, kUntouched, kUntouched, 1, 5, 40, kUntouched, kUntouched}},
      {"10:02", "%R", "", {kUntouched, 2, 10, kUntouched, kUntouched, kUntouched, kUntouched, kUntouched}},
      {"10:02:03", "%T", "", {3, 2, 10, kUntouched, kUntouched, kUntouched, kUntouched, kUntouched}},
      {"06/01/10 10:02:03", "%c", "", {3, 2, 10, 1, 5, 40, kUntouched, kUntouched}},
      // White space, literals and modifiers.
      {"  \t\n10", "%n%H", "", With(kNone, &Fields::hour, 10)},
      {"10", "%t%H", "", With(kNone, &Fields::hour, 10)},
      {"10", " %H ", "", With(kNone, &Fields::hour, 10)},
      {"10%0", "%H%%", "0", With(kNone, &Fields::hour, 10)},
      {"5%", "%d%%", "", With(kNone, &Fields::mday, 5)},
      {"10", "%OH", "", With(kNone, &Fields::hour, 10)},
      {"2010", "%EY", "", With(kNone, &Fields::year, 40)},
      {"", "", "", kNone},
      {"abc", "", "abc", kNone},
  };
  for (const Match& c : cases) {
    struct tm tm = Prefilled();
    const char* rest = koDate::strptime(c.input, c.format, &tm);
    const std::string what = std::string("'") + c.input + "' by '" + c.format + "'";
    ASSERT_NE(nullptr, rest) << what;
    EXPECT_STREQ(c.rest, rest) << what;
    EXPECT_EQ(c.input + std::strlen(c.input) - std::strlen(c.rest), rest) << what;
    ExpectFields(c.want, Read(tm), what.c_str());
  }
}

TEST(koDate, RejectsMismatches) {
  const char* const cases[][2] = {
      {"Tu", "%a"},          // shorter than the short name
      {"Jux", "%b"},
      {"", "%a"},
      {"", "%d"},
      {" 1", "%d"},          // a number starts with a digit
      {"+1", "%d"},
      {"0", "%d"},           // below the bound
      {"32", "%d"},          // above the bound
      {"24", "%H"},
      {"62", "%S"},
      {"0", "%m"},
      {"13", "%m"},
      {"0", "%I"},
      {"13", "%I"},
      {"0", "%j"},
      {"54", "%W"},
      {"7", "%w"},
      {"Tue Jun", "%a, %b"},  // a literal must match exactly
      {"10:02", "%H.%M"},
      {"10", "%H:%M"},        // input ends early
      {"x", "%"},             // nothing after the percent sign
      {"x", "%E"},
      {"AM", "%p"},           // no AM/PM directive
      {"10:02:03 AM", "%r"},
      {"x", "%Q"},
      {"x", "%Ex"},
      {"06/01/10", "%c"},
      {"%", "%d"},
  };
  for (const auto& c : cases) {
    struct tm tm = Prefilled();
    EXPECT_EQ(nullptr, koDate::strptime(c[0], c[1], &tm)) << "'" << c[0] << "' by '" << c[1] << "'";
  }
}

TEST(koDate, RejectsNullArguments) {
  struct tm tm = Prefilled();
  EXPECT_EQ(nullptr, koDate::strptime(nullptr, "%d", &tm));
  EXPECT_EQ(nullptr, koDate::strptime("1", nullptr, &tm));
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
