#include "core/kstring.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Bytes(const koString& s) { return std::string(s.GetString(), s.GetLength()); }

TEST(KStringGrowth, CapacityDoublesTheNeededSizeAndSelfCopiesWork) {
  koString empty;
  EXPECT_EQ(empty.GetCapacity(), 0u);
  empty.Append("", 0);
  EXPECT_EQ(empty.GetCapacity(), 2u);
  EXPECT_EQ(empty.GetLength(), 0u);

  koString s;
  s.Append("12345");
  EXPECT_EQ(s.GetCapacity(), 12u);
  s.Append("67890x");  // 11 + 1 == 12: still fits
  EXPECT_EQ(s.GetCapacity(), 12u);
  s.RemoveLast(1);
  s.Append("abcde");  // 10 + 5 + 1 > 12: 2 * 16
  EXPECT_EQ(s.GetCapacity(), 32u);
  EXPECT_EQ(Bytes(s), "1234567890abcde");

  // Appending to itself and setting from itself copy before freeing.
  koString self("abc");
  self.Append(self);
  self += self;
  EXPECT_EQ(Bytes(self), "abcabcabcabc");
  self.SetAs(self.GetString() + 3, 3);
  self.SetAs(self);
  EXPECT_EQ(Bytes(self), "abc");

  // Zero bytes survive Append but not +=, which takes C text.
  koString withZero, whole, cut;
  withZero.Append("a\0b", 3);
  whole.Append(withZero);
  cut += withZero;
  EXPECT_EQ(whole.GetLength(), 3u);
  EXPECT_EQ(cut.GetLength(), 1u);
}

TEST(KStringFormat, RegrowsAndRewritesTheI64Prefix) {
  koString s;
  s.AppendFormat("%d", 123456);
  EXPECT_EQ(s.GetCapacity(), 12u);
  EXPECT_EQ(Bytes(s), "123456");

  std::string hundred(100, 'q');
  koString f;
  int n = f.Format("%s|%I64d|%I64u", hundred.c_str(), static_cast<int64_t>(1234567890123LL),
                   static_cast<uint64_t>(18446744073709551615ULL));
  std::string expected = hundred + "|1234567890123|18446744073709551615";
  EXPECT_EQ(Bytes(f), expected);
  EXPECT_EQ(n, static_cast<int>(expected.size()));

  koString g;
  g.AppendFormat("[%5I64d][%-4I64u][%%I64d][%I64x]", static_cast<int64_t>(-7),
                 static_cast<uint64_t>(3), static_cast<int64_t>(255));
  EXPECT_EQ(Bytes(g), "[   -7][3   ][%I64d][ff]");
}

TEST(KStringEscapes, UrlAndJsonVectors) {
  const struct {
    const char* in;
    int mode;  // UrlEncode mode; -1: UrlDecode; -2: JsonEscape
    std::string out;
  } cases[] = {
      {"a b/\xC3\xBC", 0, "a%20b%2f%c3%bc"},
      {"a b/\xC3\xBC", 1, "a%20b/%c3%bc"},
      {"-_.!~*'()AZaz09", 0, "-_.!~*'()AZaz09"},
      {"a+b%2Fc%2f", -1, "a b/c/"},
      {"ab%00cd", -1, "ab"},
      {"x%4", -1, "x%4"},  // a percent sign at the end must not read behind the content
      {"\"/\\\tx", -2, "\\\"\\/\\\\\\tx"},
      {"a\x01\x1f\b\f\n\r\xC3\xA9", -2, "a\\u0001\\u001f\\b\\f\\n\\r\xC3\xA9"},
  };
  for (const auto& c : cases) {
    koString s(c.in);
    if (c.mode >= 0) {
      s.UrlEncode(c.mode);
      EXPECT_EQ(s.GetCapacity(), s.GetLength() + 1) << c.in;
    } else if (c.mode == -1) {
      s.UrlDecode();
    } else {
      s.JsonEscape();
    }
    EXPECT_EQ(Bytes(s), c.out) << c.in;
  }
}

TEST(KStringText, CutFindReplaceTrimAndNumbers) {
  koString list("a&&b"), token;
  std::string seen;
  while (list.CutToken("&", token)) seen += "[" + Bytes(token) + "]";
  EXPECT_EQ(seen, "[a][][b]");

  // The search folds ASCII only, starts at `start` and ends at a zero byte.
  const struct {
    const char* text;
    const char* needle;
    int start, at;
  } finds[] = {
      {"Boundary", "bOUNDARY", 0, 0},     {"xx bOuNdArY", "boundary", 0, 3},
      {"bbbBoundary", "boundary", 1, 3},  {"b", "bo", 0, -1},
      {"abc", "", 1, 1},                  {"abc", "c", 3, -1},
      {"--=_a--=_A", "=_a", 4, 7},        {"\xC3\xA9 \xC3\x89", "\xC3\x89", 0, 3},
      {"Tail", "AIL", 0, 1},              {"ab", "b", -4, 1},
  };
  for (const auto& f : finds) EXPECT_EQ(koString(f.text).FindNoCase(f.needle, f.start), f.at) << f.text;
  koString zero;
  zero.SetAs("ab\0cd", 5);
  EXPECT_EQ(zero.FindNoCase("cd", 0), -1);
  // An insertion keeps the bytes after a zero byte (a header may hold one).
  zero.ReplaceAt(1, 0, "\"");
  EXPECT_EQ(Bytes(zero), std::string("a\"b\0cd", 6));

  koString r("one TWO two");
  EXPECT_EQ(r.FindNoCase("two", 5), 8);
  EXPECT_EQ(r.ReplaceNoCase("two", "2"), 7);
  EXPECT_EQ(Bytes(r), "one 2 2");
  EXPECT_NE(koString("\xC3").CompareNoCase("\xE3"), 0);  // only ASCII folds
  EXPECT_EQ(r.RemoveLast(8), 0);
  EXPECT_STREQ(r.GetString(), "");

  koString padded(" \t\r\n x y \v\f\xA0");  // a no-break space is no blank
  padded.Trim();
  EXPECT_EQ(Bytes(padded), "x y \v\f\xA0");
  EXPECT_EQ(koString("  42abc").ToInt(), 42);
  EXPECT_EQ(koString("-9000000000").ToInt64(), -9000000000LL);
}

TEST(KStringWide, Utf16PairAndReplacement) {
  koString s("\xF0\x9F\x98\x80");  // U+1F600
  uint32_t units = 0;
  const char16_t* w = s.GetAsWideChar(&units);
  ASSERT_EQ(units, 2u);
  EXPECT_EQ(w[0], 0xD83D);
  EXPECT_EQ(w[1], 0xDE00);
  koString back;
  back.SetAsWideChar(w);
  EXPECT_EQ(Bytes(back), "\xF0\x9F\x98\x80");

  koString bad("a\xFF" "b\xE2\x82");
  bad.GetAsWideChar(&units);
  EXPECT_EQ(units, 4u);
  EXPECT_STREQ(bad.GetAsUtf8(), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
}

}  // namespace
