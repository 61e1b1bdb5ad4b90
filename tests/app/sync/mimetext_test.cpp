// Header text of real-world mail: repair to UTF-8, fields, parameters and
// boundaries as mailers actually write them.
#include "app/sync/mimetext.h"

#include <gtest/gtest.h>

#include <string>

#include "app/sync/mailinit.h"

namespace {

class MimeTextTest : public ::testing::Test {
 protected:
  // The charset tables of the mail library.
  static void SetUpTestSuite() { InitMailLibrary(); }
};

TEST_F(MimeTextTest, RepairUtf8) {
  const struct {
    std::string in, out;
  } kCases[] = {
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
      {"caf\xE9", "caf\xC3\xA9"},
      {"\x80\x99", "\xE2\x82\xAC\xE2\x84\xA2"},
      {"\x81", "\xEF\xBF\xBD"},
      // Overlong forms, surrogates and cut sequences are no UTF-8.
      {"\xC0\xAF", "\xC3\x80\xC2\xAF"},
      {"\xED\xA0\x80", "\xC3\xAD\xC2\xA0\xE2\x82\xAC"},
      {"ab\xE2\x82", "ab\xC3\xA2\xE2\x80\x9A"},
      {std::string("a\0b", 3), std::string("a\0b", 3)},
  };
  for (const auto& c : kCases) {
    koString text;
    text.SetAs(c.in.data(), static_cast<int>(c.in.size()));
    MimeText::RepairUtf8(text);
    EXPECT_EQ(c.out, std::string(text.GetString(), text.GetLength())) << c.in;
  }
}

TEST_F(MimeTextTest, GetField) {
  const char kHeader[] =
      "Content-Type: application/pdf;\r\n\tname=\"a.pdf\"\r\ncontent-DISPOSITION : attachment\r\n"
      "X-Content-Type: no\r\n\r\nContent-Language: body\r\n";
  const struct {
    const char* name;
    int found;
    const char* value;
  } kCases[] = {{"Content-Type", 1, "application/pdf;\tname=\"a.pdf\""},
                {"Content-Disposition", 1, "attachment"},
                {"Content-Language", 0, ""},
                {"Type", 0, ""}};
  for (const auto& c : kCases) {
    koString value;
    EXPECT_EQ(c.found, MimeText::GetField(kHeader, sizeof kHeader - 1, c.name, value)) << c.name;
    EXPECT_STREQ(c.value, value.GetString()) << c.name;
  }
}

TEST_F(MimeTextTest, GetParameter) {
  const struct {
    const char* field;
    const char* name;
    int found;
    const char* value;
  } kCases[] = {
      {"attachment; filename=\"a \\\"q\\\".pdf\"", "filename", 1, "a \"q\".pdf"},
      {"attachment; FILENAME = report.pdf ; size=3", "filename", 1, "report.pdf"},
      {"application/pdf; name=\"=?iso-8859-1?Q?caf=E9.pdf?=\"", "name", 1, "caf\xC3\xA9.pdf"},
      {"attachment; filename*=utf-8''%E2%82%AC%20x.pdf", "filename", 1, "\xE2\x82\xAC x.pdf"},
      {"attachment; filename*=iso-8859-1'fr'na%EFve", "filename", 1, "na\xC3\xAFve"},
      // Continuations in the order of their numbers, whatever the order given.
      {"attachment; filename*1*=%20b; filename*0*=utf-8''%C3%A0; filename*2=c.txt", "filename", 1,
       "\xC3\xA0 bc.txt"},
      {"attachment; filename*0=\"a \"; filename*1=\"b.txt\"", "filename", 1, "a b.txt"},
      // The RFC 2231 form wins over the plain one.
      {"attachment; filename=plain.txt; filename*=utf-8''ext.txt", "filename", 1, "ext.txt"},
      {"attachment; filename=", "filename", 0, ""},
      {"attachment; filename=\"\"", "filename", 0, ""},
      {"attachment; filenames=x", "filename", 0, ""},
      {"attachment", "filename", 0, ""},
      {"attachment; filename=\"unterminated", "filename", 1, "unterminated"},
  };
  for (const auto& c : kCases) {
    koString value;
    EXPECT_EQ(c.found, MimeText::GetParameter(koString(c.field), c.name, value)) << c.field;
    EXPECT_STREQ(c.value, value.GetString()) << c.field;
  }
  EXPECT_EQ(2, MimeText::CountParameters(koString("attachment; a=1; b=\"x;y\"")));
  EXPECT_EQ(0, MimeText::CountParameters(koString("attachment;")));
}

TEST_F(MimeTextTest, QuoteBoundaries) {
  const struct {
    const char* in;
    const char* out;
  } kCases[] = {
      {"Content-Type: multipart/mixed; boundary==_x=\r\n", "Content-Type: multipart/mixed; boundary=\"=_x=\"\r\n"},
      {"Content-Type: multipart/mixed;\r\n boundary=a=b; x=y\r\n", "Content-Type: multipart/mixed;\r\n boundary=\"a=b\"; x=y\r\n"},
      {"Content-Type: multipart/mixed; boundary=\"=_x=\"\r\n", nullptr},
      {"Content-Type: multipart/mixed; boundary=plain\r\n", nullptr},
      {"X-Note: boundary==_x=\r\n", nullptr},
      {"Content-Type: text/plain; xboundary==_x=\r\n", nullptr},
  };
  for (const auto& c : kCases) {
    koString header(c.in);
    EXPECT_EQ(c.out != nullptr ? 1 : 0, MimeText::QuoteBoundaries(header)) << c.in;
    EXPECT_STREQ(c.out != nullptr ? c.out : c.in, header.GetString());
  }
}

}  // namespace

namespace {

TEST_F(MimeTextTest, RepairAddressListAndDate) {
  const struct {
    const char* in;
    const char* out;  // null: left as it is
  } kLists[] = {
      {", ann@example.org,, bob@example.org,", "ann@example.org, bob@example.org"},
      {"ann@example.org, , \"Lee, Bo\" <bo@example.org>", "ann@example.org, \"Lee, Bo\" <bo@example.org>"},
      {"Support @ Example <help@example.net>", "\"Support @ Example\" <help@example.net>"},
      {"John Q Public jqp@example.com, ann@example.org", "John Q Public <jqp@example.com>, ann@example.org"},
      {"undisclosed-recipients:;", nullptr},
      {"team: a@example.org, b@example.org;", nullptr},
      {"\"Ann\" <ann@example.org>, bob@example.org (Bob)", nullptr},
      {"Bob Smith <bob@example.org>", nullptr},
      // A stray carriage return is no member either, so a second repair finds nothing.
      {"a@example.org,\r", "a@example.org"},
      {"", nullptr},
  };
  for (const auto& c : kLists) {
    koString value(c.in);
    EXPECT_EQ(c.out != nullptr ? 1 : 0, MimeText::RepairAddressList(value)) << c.in;
    EXPECT_STREQ(c.out != nullptr ? c.out : c.in, value.GetString());
  }
  const struct {
    const char* in;
    const char* out;
  } kDates[] = {
      {"Mon, 3 Jun (Monday) 2002 10 : 25 : 06 (EDT) -0400", "Mon, 3 Jun 2002 10:25:06 -0400"},
      {"Thu, 13 Feb 1969 23:32 (nested (comment)) -0330", "Thu, 13 Feb 1969 23:32 -0330"},
      {"Tue, 10 Mar 2009 12:00:00 +0000", nullptr},
  };
  for (const auto& c : kDates) {
    koString value(c.in);
    EXPECT_EQ(c.out != nullptr ? 1 : 0, MimeText::RepairDate(value)) << c.in;
    EXPECT_STREQ(c.out != nullptr ? c.out : c.in, value.GetString());
  }
}

}  // namespace
