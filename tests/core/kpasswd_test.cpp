#include "core/kpasswd.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

std::string Str(const koString& s) { return std::string(s.GetString(), s.GetLength()); }

std::string Encoded(const std::string& clear) {
  koString in, out;
  in.SetAs(clear.data(), static_cast<int>(clear.size()));
  EXPECT_EQ(PasswordMgr::Encode(in, out), 1);
  return Str(out);
}

TEST(PasswordCodec, StoredFormIsLineBrokenBase64OfRotatedBytes) {
  EXPECT_EQ(Encoded(""), "\r\n");
  EXPECT_EQ(Encoded("\x01"), "gA==\r\n");  // 0x01 -> 0x80 before Base64
  // 45 bytes fill one 60-character line exactly; the closing CR LF follows.
  std::string line = Encoded(std::string(45, 'p'));
  ASSERT_EQ(line.size(), 64u);
  EXPECT_EQ(line.find_first_of("\r\n"), 60u);
  EXPECT_EQ(line.substr(60), "\r\n\r\n");
  EXPECT_EQ(Encoded(std::string(46, 'p')).substr(60), "\r\nOA==\r\n");

  // Line breaks anywhere decode the same.
  koString split("Mj\r\nIy\nMg==\r\n"), whole("MjIyMg=="), a, b;
  ASSERT_EQ(PasswordMgr::Decode(split, a), 1);
  ASSERT_EQ(PasswordMgr::Decode(whole, b), 1);
  EXPECT_EQ(Str(a), Str(b));
}

TEST(PasswordCodec, DecodeUndoesEncodeForAnyBytes) {
  std::mt19937 random(20240611);
  for (int round = 0; round < 1000; ++round) {
    std::string clear(random() % 200, '\0');
    for (char& c : clear) c = static_cast<char>(random() & 0xff);
    koString stored(Encoded(clear).c_str()), back("unchanged");
    ASSERT_EQ(PasswordMgr::Decode(stored, back), 1) << "round " << round;
    ASSERT_EQ(Str(back), clear) << "round " << round;
  }
}

TEST(PasswordCodec, MalformedTextFailsAndLeavesOutAlone) {
  for (const char* bad : {"!!!!", "YQ=", "A===", "====", "YW!!Jj", "YWJjZA=", "pass-word"}) {
    koString stored(bad), out("kept");
    EXPECT_EQ(PasswordMgr::Decode(stored, out), 0) << bad;
    EXPECT_STREQ(out.GetString(), "kept") << bad;
    EXPECT_EQ(Base64Decode(stored, out), 0) << bad;
  }
}

TEST(PlainBase64, EncodesWithOrWithoutLineBreaksAndDecodesToText) {
  koString text(std::string(50, 'x').c_str()), out, back;
  ASSERT_EQ(Base64Encode(text, out, 1), 1);
  EXPECT_EQ(Str(out).find("\r\n"), 60u);
  ASSERT_EQ(Base64Encode(text, out, 0), 1);
  EXPECT_EQ(Str(out).find_first_of("\r\n"), std::string::npos);
  ASSERT_EQ(Base64Decode(out, back), 1);
  EXPECT_EQ(Str(back), std::string(50, 'x'));
  // The decoded bytes are taken as text: they end at a zero byte.
  ASSERT_EQ(Base64Decode(koString("YQBi"), back), 1);  // "a\0b"
  EXPECT_EQ(Str(back), "a");
}

}  // namespace
