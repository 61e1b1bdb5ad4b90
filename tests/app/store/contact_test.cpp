#include "app/store/contact.h"

#include <gtest/gtest.h>
#include <tinyxml.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "core/klog.h"

namespace {

namespace fs = std::filesystem;

// An entry as the service sends it, with the quirks the reader must absorb:
// link relations in mixed case, a padded title, a primary flag in capitals,
// a deleted group membership and the system's property under its short name.
const char kEntry[] =
    "<?xml version='1.0' encoding='UTF-8'?>"
    "<entry xmlns='http://www.w3.org/2005/Atom' xmlns:gContact='http://schemas.google.com/contact/2008'"
    " xmlns:gd='http://schemas.google.com/g/2005' gd:etag='&quot;Qn0_&quot;'>\n"
    "  <id>http://www.google.com/m8/feeds/contacts/ann%40example.com/base/7a1</id>\n"
    "  <updated>2011-05-02T10:00:00.000Z</updated>\n"
    "  <title>  Ann &amp; Lee \n </title>\n"
    "  <content type='text'>line one\nline two</content>\n"
    "  <link rel='alternate' type='text/html' href='http://example.com/alt'/>\n"
    "  <link rel='HTTP://schemas.google.com/contacts/2008/REL#Photo' type='image/*'"
    " href='http://example.com/photo/7a1' gd:etag='&quot;dxt2&quot;'/>\n"
    "  <link rel='self' href='http://example.com/self'/>\n"
    "  <link rel='EDIT' href='http://example.com/edit/7a1'/>\n"
    "  <link rel='edit' href='http://example.com/second-edit'/>\n"
    "  <gd:email rel='http://schemas.google.com/g/2005#work' address='ann@work.example'/>\n"
    "  <gd:email rel='http://schemas.google.com/g/2005#home' address='ann@home.example' primary='TRUE'/>\n"
    "  <gd:email rel='http://schemas.google.com/g/2005#other'/>\n"
    "  <gd:phoneNumber rel='http://schemas.google.com/g/2005#mobile'>+1 555 0100</gd:phoneNumber>\n"
    "  <gd:extendedProperty name='Other.App' value='x'/>\n"
    "  <gContact:groupMembershipInfo deleted='false' href='http://example.com/groups/6'/>\n"
    "  <gContact:groupMembershipInfo deleted='True' href='http://example.com/groups/9'/>\n"
    "  <gd:extendedProperty name='postvane'><mark>12</mark><tag>work</tag><tag>R&amp;D</tag></gd:extendedProperty>\n"
    "</entry>\n";

// Turns condensing off as start-up does, and collects log records in a
// private file.
class ContactTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TiXmlBase::SetCondenseWhiteSpace(false);
    char tmpl[] = "/tmp/pvcontactXXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    log_ = new koLog("test");
    log_->SetFileName((dir_ + "/postvane.log").c_str());
    gLog = log_;
  }
  void TearDown() override {
    gLog = nullptr;
    delete log_;
    fs::remove_all(dir_);
  }
  std::string Log() const {
    std::ifstream in(dir_ + "/postvane.log");
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  // xmllint's verdict on the text: 0 for well-formed XML.
  int Lint(const koString& xml) const {
    std::string path = dir_ + "/entry.xml";
    std::ofstream(path) << xml.GetString();
    std::string cmd = "xmllint --noout '" + path + "' 2>/dev/null";
    return std::system(cmd.c_str());
  }

  std::string dir_;
  koLog* log_ = nullptr;
};

std::string S(const koString& s) { return s.GetString(); }

// gd:fullName of a printed entry, read with the library directly.
std::string FullName(const koString& xml) {
  TiXmlDocument doc;
  doc.Parse(xml.GetString(), nullptr, TIXML_ENCODING_UTF8);
  const TiXmlElement* root = doc.RootElement();
  const TiXmlElement* name = root ? root->FirstChildElement("gd:name") : nullptr;
  const TiXmlElement* full = name ? name->FirstChildElement("gd:fullName") : nullptr;
  return full && full->GetText() ? full->GetText() : "<missing>";
}

TEST_F(ContactTest, ReadsEveryFieldOfAServiceEntry) {
  Contact c;
  ASSERT_EQ(c.Load(kEntry), 1);
  koString s;
  EXPECT_EQ(c.GetId(s), 1);
  EXPECT_EQ(S(s), "http://www.google.com/m8/feeds/contacts/ann%40example.com/base/7a1");
  EXPECT_EQ(c.GetTitle(s), 1);
  EXPECT_EQ(S(s), "Ann & Lee");
  EXPECT_EQ(c.GetContent(s), 1);
  EXPECT_EQ(S(s), "line one\nline two");
  EXPECT_EQ(c.GetEditUrl(s), 1);
  EXPECT_EQ(S(s), "http://example.com/edit/7a1");
  EXPECT_EQ(c.GetPhotoUrl(s), 1);
  EXPECT_EQ(S(s), "http://example.com/photo/7a1");
  EXPECT_EQ(c.GetPhotoEtag(s), 1);
  EXPECT_EQ(S(s), "\"dxt2\"");

  ASSERT_EQ(c.GetEmailCount(), 3);
  int primary = -1;
  EXPECT_EQ(c.GetEmail(0, s, &primary), 1);
  EXPECT_EQ(S(s), "ann@work.example");
  EXPECT_EQ(primary, 0);
  EXPECT_EQ(c.GetEmail(1, s, &primary), 1);
  EXPECT_EQ(S(s), "ann@home.example");
  EXPECT_EQ(primary, 1);
  EXPECT_EQ(c.GetEmail(2, s, &primary), 1);
  EXPECT_EQ(S(s), "");
  EXPECT_EQ(c.GetEmail(3, s, &primary), 0);

  ASSERT_EQ(c.GetPhoneCount(), 1);
  EXPECT_EQ(c.GetPhone(0, s), 1);
  EXPECT_EQ(S(s), "+1 555 0100");
  EXPECT_EQ(c.GetPhone(1, s), 0);

  ASSERT_EQ(c.GetGroupCount(), 2);
  int deleted = -1;
  EXPECT_EQ(c.GetGroupMembership(1, s), 1);
  EXPECT_EQ(S(s), "http://example.com/groups/9");
  EXPECT_EQ(c.IsGroupDeleted(0, &deleted), 1);
  EXPECT_EQ(deleted, 0);
  EXPECT_EQ(c.IsGroupDeleted(1, &deleted), 1);
  EXPECT_EQ(deleted, 1);
  EXPECT_EQ(c.IsGroupDeleted(2, &deleted), 0);

  int mark = -1;
  EXPECT_EQ(c.GetMark(&mark), 1);
  EXPECT_EQ(mark, 12);
  ASSERT_EQ(c.GetTagCount(), 2);
  EXPECT_EQ(c.GetTag(0, s), 1);
  EXPECT_EQ(S(s), "work");
  EXPECT_EQ(c.GetTag(1, s), 1);
  EXPECT_EQ(S(s), "R&D");
  EXPECT_EQ(c.GetTag(2, s), 0);
  EXPECT_EQ(c.IsDeleted(), 0);
  EXPECT_EQ(Log(), "");
}

TEST_F(ContactTest, MissingItemsGiveEmptyValuesAndZero) {
  Contact c;
  ASSERT_EQ(c.Load("<entry><id>x</id><gd:deleted/>"
                   "<gd:extendedProperty name='Other.App'><mark>5</mark></gd:extendedProperty></entry>"),
            1);
  koString s("stale");
  EXPECT_EQ(c.GetEditUrl(s), 0);
  EXPECT_EQ(S(s), "");
  EXPECT_EQ(c.GetTagCount(), 0);
  // Another program's property is not ours: no mark.
  EXPECT_EQ(c.GetExtendedProperty(), nullptr);
  int mark = -1;
  EXPECT_EQ(c.GetMark(&mark), 1);
  EXPECT_EQ(mark, 0);
  EXPECT_EQ(c.IsDeleted(), 1);
}

TEST_F(ContactTest, RefusesDocumentsThatAreNoEntry) {
  Contact c;
  EXPECT_EQ(c.Load("<feed><entry><id>x</id></entry></feed>"), 0);
  EXPECT_NE(Log().find("ErrMsg:Invalid contact\n"), std::string::npos) << Log();
  koString s;
  EXPECT_EQ(c.GetId(s), 0);
  koString printed;
  EXPECT_EQ(c.ToXmlString(printed), 0);

  EXPECT_EQ(c.Load("<?xml version='1.0'?>"), 0);
  EXPECT_NE(Log().find("ErrMsg:Invalid contact root\n"), std::string::npos) << Log();

  // Not XML at all is left to the caller to report.
  std::string before = Log();
  EXPECT_EQ(c.Load("<html><body>Service unavailable"), 0);
  EXPECT_EQ(c.Load(""), 0);
  EXPECT_EQ(Log(), before);

  // The contact stays usable; the root name is matched ignoring case.
  EXPECT_EQ(c.Load("<ENTRY><id>again</id></ENTRY>"), 1);
  EXPECT_EQ(c.GetId(s), 1);
  EXPECT_EQ(S(s), "again");
}

TEST_F(ContactTest, ReadsAnEntryOfACallersFeed) {
  TiXmlDocument feed;
  feed.Parse("<feed><entry><id>one</id></entry><entry><id>two</id></entry></feed>", nullptr,
             TIXML_ENCODING_UTF8);
  ASSERT_FALSE(feed.Error());
  Contact c;
  ASSERT_EQ(c.Load(kEntry), 1);
  TiXmlElement* second = feed.RootElement()->FirstChildElement("entry")->NextSiblingElement("entry");
  EXPECT_EQ(c.SetEntry(second), 1);
  koString s;
  EXPECT_EQ(c.GetId(s), 1);
  EXPECT_EQ(S(s), "two");
  EXPECT_EQ(c.AddGroupMembership("http://example.com/groups/1"), 1);
  EXPECT_EQ(c.GetGroupCount(), 1);
  // Only a loaded document can be printed or have its property replaced.
  EXPECT_EQ(c.ToXmlString(s), 0);
  koString xml;
  FormatExtendedPropertyXml(ContactField(), xml);
  EXPECT_EQ(c.ReplaceExtendedProperty(xml.GetString()), 0);
  EXPECT_NE(Log().find("Invalid contact root"), std::string::npos);
}

TEST_F(ContactTest, ReplacingThePropertyLeavesOneNewPropertyLast) {
  // The entry carries ours under both names; both must go.
  std::string text = kEntry;
  text.insert(text.find("  <gd:phoneNumber"),
              "  <gd:extendedProperty name='Brantlow.Postvane'><mark>99</mark></gd:extendedProperty>\n");
  Contact c;
  ASSERT_EQ(c.Load(text.c_str()), 1);

  ContactField field;
  field.SetValue(4);
  FormatTagXml(field, "family");
  FormatTagXml(field, "a<b");
  koString xml;
  FormatExtendedPropertyXml(field, xml);
  EXPECT_EQ(S(xml),
            "<gd:extendedProperty name=\"Brantlow.Postvane\"><mark>4</mark><tag>family</tag>"
            "<tag>a&lt;b</tag></gd:extendedProperty>");
  ASSERT_EQ(c.ReplaceExtendedProperty(xml.GetString()), 1);

  koString printed;
  ASSERT_EQ(c.ToXmlString(printed), 1);
  EXPECT_EQ(Lint(printed), 0) << S(printed);

  TiXmlDocument doc;
  doc.Parse(printed.GetString(), nullptr, TIXML_ENCODING_UTF8);
  ASSERT_FALSE(doc.Error());
  int ours = 0, foreign = 0;
  for (const TiXmlElement* e = doc.RootElement()->FirstChildElement("gd:extendedProperty"); e;
       e = e->NextSiblingElement("gd:extendedProperty")) {
    std::string name = e->Attribute("name");
    (name == "Other.App" ? foreign : ours)++;
  }
  EXPECT_EQ(ours, 1);
  EXPECT_EQ(foreign, 1);
  const TiXmlElement* last = doc.RootElement()->LastChild()->ToElement();
  ASSERT_NE(last, nullptr);
  EXPECT_STREQ(last->Value(), "gd:extendedProperty");
  EXPECT_STREQ(last->Attribute("name"), "Brantlow.Postvane");

  int mark = 0;
  c.GetMark(&mark);
  EXPECT_EQ(mark, 4);
  koString s;
  ASSERT_EQ(c.GetTagCount(), 2);
  c.GetTag(1, s);
  EXPECT_EQ(S(s), "a<b");
  // The rest of the entry survives the reload.
  c.GetTitle(s);
  EXPECT_EQ(S(s), "Ann & Lee");
  c.GetPhotoEtag(s);
  EXPECT_EQ(S(s), "\"dxt2\"");
  EXPECT_EQ(c.GetEmailCount(), 3);

  // A broken replacement changes nothing.
  EXPECT_EQ(c.ReplaceExtendedProperty("<gd:extendedProperty name='x'>"), 0);
  EXPECT_NE(Log().find("ErrMsg:Error"), std::string::npos) << Log();
  c.GetMark(&mark);
  EXPECT_EQ(mark, 4);
}

TEST_F(ContactTest, BuildsANewEntry) {
  ContactFields f;
  f.FormatNameXml("A & B");
  f.FormatEmailXml("a&b@example.com", "home", 1);
  f.FormatEmailXml("x@example.com", "work", 0);
  f.FormatContentXml("n");
  f.GetMarkField().SetValue(2);
  FormatTagXml(f.GetMarkField(), "t");
  koString out;
  f.BuildContactEntryXml(out);
  EXPECT_EQ(S(out),
            "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>"
            "<entry xmlns=\"http://www.w3.org/2005/Atom\""
            " xmlns:gContact=\"http://schemas.google.com/contact/2008\""
            " xmlns:batch=\"http://schemas.google.com/gdata/batch\""
            " xmlns:gd=\"http://schemas.google.com/g/2005\">"
            "<category scheme=\"http://schemas.google.com/g/2005#kind\""
            " term=\"http://schemas.google.com/contact/2008#contact\" /> "
            "<gd:name><gd:fullName>A &amp; B</gd:fullName></gd:name>"
            "<gd:email rel=\"http://schemas.google.com/g/2005#home\" address=\"a&amp;b@example.com\""
            " primary=\"true\" />"
            "<gd:email rel=\"http://schemas.google.com/g/2005#work\" address=\"x@example.com\""
            " primary=\"false\" />"
            "<content type=\"text\">n</content>"
            "<gd:extendedProperty name=\"Brantlow.Postvane\"><mark>2</mark><tag>t</tag>"
            "</gd:extendedProperty></entry>");
  EXPECT_EQ(Lint(out), 0);

  Contact c;
  ASSERT_EQ(c.Load(out), 1);
  koString printed;
  c.ToXmlString(printed);
  EXPECT_EQ(FullName(printed), "A & B");
  EXPECT_NE(printed.Find("A &amp; B"), -1);
  EXPECT_EQ(printed.Find("&amp;amp;"), -1);
}

TEST_F(ContactTest, TextsSurviveBuildPrintAndParse) {
  const char* name = "Zo\xc3\xab \xe5\xb1\xb1\xe7\x94\xb0";  // "Zoë 山田"
  const char* notes = "a<b & \"c\" 'd'";
  ContactFields f;
  f.FormatNameXml(name);
  f.FormatContentXml(notes);
  FormatTagXml(f.GetMarkField(), name);
  koString built;
  f.BuildContactEntryXml(built);

  Contact c;
  ASSERT_EQ(c.Load(built), 1);
  c.AddGroupMembership("http://example.com/groups/6?a=1&b=2");
  koString printed;
  ASSERT_EQ(c.ToXmlString(printed), 1);
  EXPECT_EQ(Lint(printed), 0) << S(printed);

  Contact again;
  ASSERT_EQ(again.Load(printed), 1);
  koString s;
  again.GetContent(s);
  EXPECT_EQ(S(s), notes);
  again.GetTag(0, s);
  EXPECT_EQ(S(s), name);
  again.GetGroupMembership(0, s);
  EXPECT_EQ(S(s), "http://example.com/groups/6?a=1&b=2");
  EXPECT_EQ(FullName(printed), name);
}

TEST_F(ContactTest, NotesAreEncodedOnceWhenPrinted) {
  // Texts the library's own printer would copy unencoded ("&#x..."), line
  // breaks that a reader would normalise, and a CDATA piece to be replaced.
  const char* cases[] = {
      "a<b & \"c\"",
      "&#x41; stays literal",
      "&#x<gd:deleted/>;",
      "dos\r\nline\tand tab",
      "",
  };
  for (const char* notes : cases) {
    SCOPED_TRACE(notes);
    Contact c;
    ASSERT_EQ(c.Load("<entry><content type='text'>old <![CDATA[x<y]]> text</content></entry>"), 1);
    koString s;
    c.GetContent(s);
    EXPECT_EQ(S(s), "old x<y text");
    ASSERT_EQ(c.SetContent(notes), 1);
    koString printed;
    c.ToXmlString(printed);
    EXPECT_EQ(Lint(printed), 0) << S(printed);
    Contact again;
    ASSERT_EQ(again.Load(printed), 1);
    EXPECT_EQ(again.GetContent(s), 1);
    EXPECT_EQ(S(s), notes);
    EXPECT_EQ(again.IsDeleted(), 0);
  }

  // An entry without notes gets a content element at its end.
  Contact c;
  ASSERT_EQ(c.Load("<entry><id>x</id></entry>"), 1);
  ASSERT_EQ(c.SetContent("new"), 1);
  koString printed;
  c.ToXmlString(printed);
  EXPECT_EQ(S(printed), "<entry><id>x</id><content>new</content></entry>");
}

TEST_F(ContactTest, EscapesOnlyTheFourMarkupCharacters) {
  koString out("kept:");
  XmlEscape("<a href=\"x\">&'\xc3\xa9</a>", out);
  EXPECT_EQ(S(out), "kept:&lt;a href=&quot;x&quot;&gt;&amp;'\xc3\xa9&lt;/a&gt;");
}

}  // namespace
