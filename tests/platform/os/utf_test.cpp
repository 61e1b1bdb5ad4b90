#include "platform/os/utf.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::u16string To16(const std::string& s) {
  std::u16string out(koUtf8ToUtf16(s.data(), s.size(), nullptr), u'\0');
  koUtf8ToUtf16(s.data(), s.size(), out.data());
  return out;
}

std::string To8(const std::u16string& w) {
  std::string out(koUtf16ToUtf8(w.data(), w.size(), nullptr), '\0');
  koUtf16ToUtf8(w.data(), w.size(), out.data());
  return out;
}

TEST(Utf, IllFormedUtf8BecomesOneReplacementPerMaximalSubpart) {
  struct Case {
    std::string in;
    std::u16string out;
  } cases[] = {
      {"", u""},
      {"Zo\xC3\xAB \xE5\xB1\xB1\xE7\x94\xB0", u"Zo\u00EB \u5C71\u7530"},
      {"\xF0\x9F\x98\x80", u"\U0001F600"},
      {"\xC0\xAF", u"\uFFFD\uFFFD"},          // overlong lead bytes are never valid
      {"\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},  // overlong three-byte form
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},  // encoded surrogate
      {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
      {"\xE2\x82" "x", u"\uFFFDx"},          // truncated sequence, then ASCII
      {"\xF0\x9F\x98", u"\uFFFD"},           // truncated at the end
      {"\x80\xBF", u"\uFFFD\uFFFD"},          // stray continuation bytes
  };
  for (const auto& c : cases) EXPECT_EQ(To16(c.in), c.out) << c.in;
}

TEST(Utf, Utf16RoundTripsAndLoneSurrogatesAreReplaced) {
  std::string text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z";
  EXPECT_EQ(To8(To16(text)), text);
  EXPECT_EQ(To8(std::u16string{0xDC00, u'a'}), "\xEF\xBF\xBD" "a");
  EXPECT_EQ(To8(std::u16string{u'a', 0xD83D}), "a\xEF\xBF\xBD");
}

}  // namespace
