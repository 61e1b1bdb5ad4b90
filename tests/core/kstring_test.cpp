#include "core/kstring.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::string Bytes(const koString& s) { return std::string(s.GetString(), s.GetLength()); }

TEST(KStringGrowth, CapacityDoublesTheNeededSize) {
  koString empty;
  EXPECT_EQ(empty.GetCapacity(), 0u);
  EXPECT_STREQ(empty.GetString(), "");
  empty.Append("", 0);
  EXPECT_EQ(empty.GetCapacity(), 2u);
  EXPECT_EQ(empty.GetLength(), 0u);

  koString five;
  five.Append("12345");
  EXPECT_EQ(five.GetCapacity(), 12u);
  five.Append("67890");  // length 10, capacity 12
  EXPECT_EQ(five.GetCapacity(), 12u);
  five.Append("x");  // 10 + 1 + 1 == 12: still fits
  EXPECT_EQ(five.GetCapacity(), 12u);
  five.RemoveLast(1);
  five.Append("abcde");  // 10 + 5 + 1 > 12: 2 * 16
  EXPECT_EQ(five.GetCapacity(), 32u);
  EXPECT_EQ(Bytes(five), "1234567890abcde");

  koString pre(65536u);
  EXPECT_EQ(pre.GetCapacity(), 65536u);
  EXPECT_EQ(pre.GetLength(), 0u);
}

TEST(KStringGrowth, AppendingToItselfAndSettingFromItself) {
  koString s("abc");
  s.Append(s);
  s.Append(s);
  EXPECT_EQ(Bytes(s), "abcabcabcabc");
  s += s;
  EXPECT_EQ(s.GetLength(), 24u);
  s.SetAs(s.GetString() + 3, 3);
  EXPECT_EQ(Bytes(s), "abc");
  s.SetAs(s);
  EXPECT_EQ(Bytes(s), "abc");
}

TEST(KStringGrowth, ZeroBytesSurviveAppendButNotPlusEquals) {
  koString withZero;
  withZero.Append("a\0b", 3);
  koString whole, cut;
  whole.Append(withZero);
  cut += withZero;
  EXPECT_EQ(whole.GetLength(), 3u);
  EXPECT_EQ(cut.GetLength(), 1u);
  koString* clone = withZero.Clone();
  EXPECT_EQ(clone->GetLength(), 3u);
  delete clone;
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

  koString h("x=");
  h += -5;
  h += 7ul;
  h += static_cast<int64_t>(-9000000000LL);
  EXPECT_EQ(Bytes(h), "x=-57-9000000000");
}

TEST(KStringUrl, EncodeAndDecodeVectors) {
  koString s("a b/\xC3\xBC");
  s.UrlEncode(0);
  EXPECT_EQ(Bytes(s), "a%20b%2f%c3%bc");
  EXPECT_EQ(s.GetCapacity(), s.GetLength() + 1);
  koString m("a b/\xC3\xBC");
  m.UrlEncode(1);
  EXPECT_EQ(Bytes(m), "a%20b/%c3%bc");
  koString keep("-_.!~*'()AZaz09");
  keep.UrlEncode(0);
  EXPECT_EQ(Bytes(keep), "-_.!~*'()AZaz09");

  koString d("a+b%2Fc%2f");
  d.UrlDecode();
  EXPECT_EQ(Bytes(d), "a b/c/");
  koString zero("ab%00cd");
  zero.UrlDecode();
  EXPECT_EQ(Bytes(zero), "ab");
  // A percent sign at the very end must not read behind the content.
  koString tail;
  tail.Append("x%4", 3);
  tail.UrlDecode();
  EXPECT_EQ(Bytes(tail), "x%4");
}

TEST(KStringJson, EscapesQuotesSlashesAndControlBytes) {
  koString s("\"/\\\tx");
  s.JsonEscape();
  EXPECT_EQ(Bytes(s), "\\\"\\/\\\\\\tx");
  koString c("a\x01\x1f\b\f\n\r\xC3\xA9");
  c.JsonEscape();
  EXPECT_EQ(Bytes(c), "a\\u0001\\u001f\\b\\f\\n\\r\xC3\xA9");
}

TEST(KStringText, CutTokenFindReplaceTrim) {
  koString list("a&&b");
  koString token;
  std::string seen;
  int count = 0;
  while (list.CutToken("&", token)) {
    seen += "[" + Bytes(token) + "]";
    ++count;
  }
  EXPECT_EQ(count, 3);
  EXPECT_EQ(seen, "[a][][b]");

  koString abc("aBc");
  EXPECT_EQ(abc.FindNoCase("B", 0), 1);
  EXPECT_EQ(abc.FindNoCase("b", 3), -1);
  EXPECT_EQ(abc.FindNoCase("C", 1), 2);
  EXPECT_EQ(abc.Find("b"), -1);
  EXPECT_EQ(abc.Find("B"), 1);

  koString r("aXa");
  EXPECT_EQ(r.ReplaceNoCase("x", "xx"), 4);
  EXPECT_EQ(Bytes(r), "axxa");
  koString r2("one TWO two");
  r2.ReplaceNoCase("two", "2");
  EXPECT_EQ(Bytes(r2), "one 2 2");

  koString short_("abc");
  EXPECT_EQ(short_.RemoveLast(5), 0);
  EXPECT_STREQ(short_.GetString(), "");
  koString none;
  EXPECT_EQ(none.RemoveLast(1), 0);

  koString nbsp("\xA0 x ");
  nbsp.TrimLeft();
  EXPECT_EQ(Bytes(nbsp), "\xA0 x ");
  koString padded(" \t\r\n x y \v\f");
  padded.Trim();
  EXPECT_EQ(Bytes(padded), "x y");
  koString zeros("000120");
  zeros.TrimLeftChar('0');
  EXPECT_EQ(Bytes(zeros), "120");
}

TEST(KStringCompare, CaseInsensitiveAndNumbers) {
  koString action("getversion");
  EXPECT_TRUE(action.EqualsNoCase("GetVersion"));
  EXPECT_LT(koString("a").CompareNoCase("B"), 0);
  EXPECT_NE(koString("\xC3").CompareNoCase("\xE3"), 0);  // only ASCII folds
  EXPECT_EQ(koString("  42abc").ToInt(), 42);
  EXPECT_EQ(koString("-9000000000").ToInt64(), -9000000000LL);
  EXPECT_DOUBLE_EQ(koString("2.5e1").ToDouble(), 25.0);
  EXPECT_EQ(koString("x").ToInt(), 0);
}

TEST(KStringWide, Utf16RoundTripAndReplacement) {
  koString s("\xF0\x9F\x98\x80");  // U+1F600
  uint32_t units = 0;
  const char16_t* w = s.GetAsWideChar(&units);
  ASSERT_EQ(units, 2u);
  EXPECT_EQ(w[0], 0xD83D);
  EXPECT_EQ(w[1], 0xDE00);
  EXPECT_EQ(w[2], 0);

  koString back;
  back.SetAsWideChar(w);
  EXPECT_EQ(Bytes(back), "\xF0\x9F\x98\x80");

  koString bad("a\xFF" "b\xE2\x82");
  const char16_t* bw = bad.GetAsWideChar(&units);
  ASSERT_EQ(units, 4u);
  EXPECT_EQ(bw[1], 0xFFFD);
  EXPECT_EQ(bw[3], 0xFFFD);
  EXPECT_STREQ(bad.GetAsUtf8(), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");

  const char16_t lone[] = {u'x', 0xD800, u'y', 0};
  koString fromLone;
  fromLone.SetAsWideChar(lone);
  EXPECT_EQ(Bytes(fromLone), "x\xEF\xBF\xBDy");

  koString empty;
  EXPECT_EQ(empty.GetAsWideChar(&units)[0], 0);
  EXPECT_EQ(units, 0u);
  empty.SetAsWideChar(u"");
  EXPECT_GT(empty.GetCapacity(), 0u);
}

}  // namespace
