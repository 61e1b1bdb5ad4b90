#include "core/kdate.h"

#include <cstring>

namespace {

const char* const kDayNames[7][2] = {
    {"Sunday", "Sun"},   {"Monday", "Mon"}, {"Tuesday", "Tue"},  {"Wednesday", "Wed"},
    {"Thursday", "Thu"}, {"Friday", "Fri"}, {"Saturday", "Sat"},
};

const char* const kMonthNames[12][2] = {
    {"January", "Jan"},   {"February", "Feb"}, {"March", "Mar"},    {"April", "Apr"},
    {"May", "May"},       {"June", "Jun"},     {"July", "Jul"},     {"August", "Aug"},
    {"September", "Sep"}, {"October", "Oct"},  {"November", "Nov"}, {"December", "Dec"},
};

const int kYearBase = 1970;

struct ParseState {
  struct tm* record;
  bool year_read;     // %Y, %y or %C has set the year
  bool century_read;  // %C has set the century, which a later %y keeps
};

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

const char* SkipSpace(const char* in) {
  while (IsSpace(*in)) ++in;
  return in;
}

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Answers the input after `name` when the input starts with it, ignoring case.
const char* MatchName(const char* in, const char* name) {
  for (; *name != '\0'; ++name, ++in) {
    if (LowerAscii(*in) != LowerAscii(*name)) return nullptr;
  }
  return in;
}

// Full name before short one, so "Tuesday" is consumed whole.
const char* ReadName(const char* in, const char* const (*names)[2], int count, int* out) {
  for (int i = 0; i < count; ++i) {
    for (int form = 0; form < 2; ++form) {
      const char* rest = MatchName(in, names[i][form]);
      if (rest != nullptr) {
        *out = i;
        return rest;
      }
    }
  }
  return nullptr;
}

// The upper bound also caps the digits read: a bound of 31 reads "12" of "123".
const char* ReadNumber(const char* in, int low, int high, int* out) {
  if (!IsDigit(*in)) return nullptr;
  int value = 0;
  int digits_left = high;
  do {
    value = value * 10 + (*in++ - '0');
    digits_left /= 10;
  } while (value * 10 <= high && digits_left > 0 && IsDigit(*in));
  if (value < low || value > high) return nullptr;
  *out = value;
  return in;
}

const char* Parse(const char* in, const char* format, ParseState* state);

const char* ParseDirective(const char* in, char directive, ParseState* state) {
  struct tm* tm = state->record;
  int value = 0;
  switch (directive) {
    case '%':
      return *in == '%' ? in + 1 : nullptr;
    case 'a':
    case 'A':
      return ReadName(in, kDayNames, 7, &tm->tm_wday);
    case 'b':
    case 'B':
    case 'h':
      return ReadName(in, kMonthNames, 12, &tm->tm_mon);
    case 'C': {
      in = ReadNumber(in, 0, 99, &value);
      if (in == nullptr) return nullptr;
      int year = value * 100;
      if (state->year_read) year += (tm->tm_year + kYearBase) % 100;
      tm->tm_year = year - kYearBase;
      state->year_read = true;
      state->century_read = true;
      return in;
    }
    case 'd':
    case 'e':
      return ReadNumber(in, 1, 31, &tm->tm_mday);
    case 'H':
    case 'k':
      return ReadNumber(in, 0, 23, &tm->tm_hour);
    case 'I':
    case 'l':
      in = ReadNumber(in, 1, 12, &value);
      if (in != nullptr) tm->tm_hour = value % 12;
      return in;
    case 'j':
      in = ReadNumber(in, 1, 366, &value);
      if (in != nullptr) tm->tm_yday = value - 1;
      return in;
    case 'm':
      in = ReadNumber(in, 1, 12, &value);
      if (in != nullptr) tm->tm_mon = value - 1;
      return in;
    case 'M':
      return ReadNumber(in, 0, 59, &tm->tm_min);
    case 'S':
      // 60 and 61 leave room for leap seconds.
      return ReadNumber(in, 0, 61, &tm->tm_sec);
    case 'U':
    case 'W':
      return ReadNumber(in, 0, 53, &value);
    case 'w':
      return ReadNumber(in, 0, 6, &tm->tm_wday);
    case 'Y':
      in = ReadNumber(in, 0, 9999, &value);
      if (in == nullptr) return nullptr;
      tm->tm_year = value - kYearBase;
      state->year_read = true;
      return in;
    case 'y': {
      in = ReadNumber(in, 0, 99, &value);
      if (in == nullptr) return nullptr;
      int year;
      if (state->century_read) {
        year = (tm->tm_year + kYearBase) / 100 * 100 + value;
      } else {
        year = value + (value <= 68 ? 2000 : 1900);
      }
      tm->tm_year = year - kYearBase;
      state->year_read = true;
      return in;
    }
    case 'n':
    case 't':
      return SkipSpace(in);
    case 'D':
    case 'x':
      return Parse(in, "%m/%d/%y", state);
    case 'R':
      return Parse(in, "%H:%M", state);
    case 'T':
    case 'X':
      return Parse(in, "%H:%M:%S", state);
    case 'r':
      // There is no %p, so this never matches; kept so that it fails the same way.
      return Parse(in, "%I:%M:%S %p", state);
    case 'c':
      return Parse(in, "%x %X", state);
    default:
      return nullptr;
  }
}

const char* Parse(const char* in, const char* format, ParseState* state) {
  while (*format != '\0') {
    const char c = *format++;
    if (IsSpace(c)) {
      in = SkipSpace(in);
      continue;
    }
    if (c != '%') {
      if (*in != c) return nullptr;
      ++in;
      continue;
    }
    if (*format == 'E' || *format == 'O') ++format;
    if (*format == '\0') return nullptr;
    in = ParseDirective(in, *format++, state);
    if (in == nullptr) return nullptr;
  }
  return in;
}

}  // namespace

const char* koDate::strptime(const char* input, const char* format, struct tm* record) {
  if (input == nullptr || format == nullptr || record == nullptr) return nullptr;
  ParseState state = {record, false, false};
  return Parse(input, format, &state);
}
