#include "app/store/contact.h"

#include <gtest/gtest.h>
#include <tinyxml.h>

#include <string>

#include "support/child.h"
#include "support/files.h"
#include "support/log_capture.h"

namespace {

// An entry as the service sends it, with the quirks the reader must absorb:
// link relations in mixed case, a padded title, a primary flag in capitals,
// a deleted group membership and the system's property under its short name.
const char kEntry[] =
    "<?xml version='1.0' encoding='UTF-8'?>"
    "<entry xmlns='http://www.w3.org/2005/Atom' "
    "xmlns:gContact='http://schemas.google.com/contact/2008'"
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
    "  <gd:email rel='http://schemas.google.com/g/2005#home' address='ann@home.example' "
    "primary='TRUE'/>\n"
    "  <gd:email rel='http://schemas.google.com/g/2005#other'/>\n"
    "  <gd:phoneNumber rel='http://schemas.google.com/g/2005#mobile'>+1 555 0100</gd:phoneNumber>\n"
    "  <gd:extendedProperty name='Other.App' value='x'/>\n"
    "  <gContact:groupMembershipInfo deleted='false' href='http://example.com/groups/6'/>\n"
    "  <gContact:groupMembershipInfo deleted='True' href='http://example.com/groups/9'/>\n"
    "  <gd:extendedProperty "
    "name='postvane'><mark>12</mark><tag>work</tag><tag>R&amp;D</tag></gd:extendedProperty>\n"
    "</entry>\n";

// Turns condensing off as start-up does, and collects log records.
class ContactTest : public ::testing::Test {
 protected:
  void SetUp() override { TiXmlBase::SetCondenseWhiteSpace(false); }
  // xmllint's verdict on the text: true for well-formed XML.
  bool WellFormed(const koString& xml) const {
    pvtest::WriteFile(dir_.File("entry.xml"), xml.GetString());
    int status = -1;
    pvtest::CommandOutput("xmllint --noout '" + dir_.File("entry.xml") + "' 2>&1", &status);
    return status == 0;
  }

  pvtest::TempDir dir_;
  LogCapture log_{dir_.File("postvane.log")};
};

std::string S(const koString& s) { return s.GetString(); }

// Every field the getters give, one "name=value" a line ("-" where the getter
// answers 0); emails marked primary get a "*".
std::string Fields(const Contact& c) {
  std::string out;
  koString s;
  auto add = [&](const char* name, int ok) {
    out += std::string(name) + "=" + (ok ? S(s) : "-") + "\n";
  };
  add("id", c.GetId(s));
  add("title", c.GetTitle(s));
  add("content", c.GetContent(s));
  add("edit", c.GetEditUrl(s));
  add("photo", c.GetPhotoUrl(s));
  add("etag", c.GetPhotoEtag(s));
  for (int i = 0; i < c.GetEmailCount(); ++i) {
    int primary = -1, ok = c.GetEmail(i, s, &primary);
    add(primary == 1 ? "email*" : "email", ok);
  }
  for (int i = 0; i < c.GetPhoneCount(); ++i) add("phone", c.GetPhone(i, s));
  for (int i = 0; i < c.GetGroupCount(); ++i) {
    int deleted = -1, ok = c.GetGroupMembership(i, s) && c.IsGroupDeleted(i, &deleted);
    add(deleted == 1 ? "group-deleted" : "group", ok);
  }
  int mark = -1;
  out += "mark=" + std::to_string(c.GetMark(&mark) ? mark : -1) + "\n";
  for (int i = 0; i < c.GetTagCount(); ++i) add("tag", c.GetTag(i, s));
  return out + "deleted=" + std::to_string(c.IsDeleted()) + "\n";
}

const char kEntryFields[] =
    "id=http://www.google.com/m8/feeds/contacts/ann%40example.com/base/7a1\n"
    "title=Ann & Lee\ncontent=line one\nline two\nedit=http://example.com/edit/7a1\n"
    "photo=http://example.com/photo/7a1\netag=\"dxt2\"\n"
    "email=ann@work.example\nemail*=ann@home.example\nemail=\nphone=+1 555 0100\n"
    "group=http://example.com/groups/6\ngroup-deleted=http://example.com/groups/9\n"
    "mark=12\ntag=work\ntag=R&D\ndeleted=0\n";

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
  EXPECT_EQ(Fields(c), kEntryFields);
  koString s;
  int primary;
  EXPECT_EQ(c.GetEmail(3, s, &primary), 0);
  EXPECT_EQ(c.GetTag(2, s), 0);
  EXPECT_EQ(log_.Text(), "");

  // Another program's property is not ours: no mark.
  ASSERT_EQ(
      c.Load("<entry><id>x</id><gd:deleted/>"
             "<gd:extendedProperty name='Other.App'><mark>5</mark></gd:extendedProperty></entry>"),
      1);
  EXPECT_EQ(c.GetExtendedProperty(), nullptr);
  EXPECT_EQ(Fields(c), "id=x\ntitle=-\ncontent=-\nedit=-\nphoto=-\netag=-\nmark=0\ndeleted=1\n");
}

TEST_F(ContactTest, RefusesDocumentsThatAreNoEntry) {
  Contact c;
  EXPECT_EQ(c.Load("<feed><entry><id>x</id></entry></feed>"), 0);
  EXPECT_TRUE(log_.Has("ErrMsg:Invalid contact\n")) << log_.Text();
  koString s;
  EXPECT_EQ(c.GetId(s), 0);
  EXPECT_EQ(c.ToXmlString(s), 0);
  EXPECT_EQ(c.Load("<?xml version='1.0'?>"), 0);
  EXPECT_TRUE(log_.Has("ErrMsg:Invalid contact root\n")) << log_.Text();
  // Not XML at all is left to the caller to report.
  std::string before = log_.Text();
  EXPECT_EQ(c.Load("<html><body>Service unavailable"), 0);
  EXPECT_EQ(c.Load(""), 0);
  EXPECT_EQ(log_.Text(), before);
  // The contact stays usable; the root name is matched ignoring case.
  EXPECT_EQ(c.Load("<ENTRY><id>again</id></ENTRY>"), 1);
  EXPECT_EQ(c.GetId(s), 1);
  EXPECT_EQ(S(s), "again");

  // An entry of a caller's feed is read in place, but only a loaded document
  // can be printed or have its property replaced.
  TiXmlDocument feed;
  feed.Parse("<feed><entry><id>one</id></entry><entry><id>two</id></entry></feed>", nullptr,
             TIXML_ENCODING_UTF8);
  EXPECT_EQ(c.SetEntry(feed.RootElement()->FirstChildElement("entry")->NextSiblingElement("entry")),
            1);
  EXPECT_EQ(c.GetId(s), 1);
  EXPECT_EQ(S(s), "two");
  EXPECT_EQ(c.ToXmlString(s), 0);
  EXPECT_EQ(c.ReplaceExtendedProperty("<gd:extendedProperty name='x'/>"), 0);
}

TEST_F(ContactTest, ReplacingThePropertyLeavesOneNewPropertyLast) {
  // The entry carries ours under both names; both must go.
  std::string text = kEntry;
  text.insert(
      text.find("  <gd:phoneNumber"),
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
  EXPECT_TRUE(WellFormed(printed)) << S(printed);
  TiXmlDocument doc;
  doc.Parse(printed.GetString(), nullptr, TIXML_ENCODING_UTF8);
  ASSERT_FALSE(doc.Error());
  std::string names;
  for (const TiXmlElement* e = doc.RootElement()->FirstChildElement("gd:extendedProperty"); e;
       e = e->NextSiblingElement("gd:extendedProperty")) {
    names += std::string(e->Attribute("name")) + ";";
  }
  EXPECT_EQ(names, "Other.App;Brantlow.Postvane;");
  EXPECT_EQ(doc.RootElement()->LastChild()->ToElement()->Attribute("name"),
            std::string("Brantlow.Postvane"));
  // The rest of the entry survives the reload.
  std::string expected = kEntryFields;
  expected.replace(expected.find("mark=12"), std::string::npos,
                   "mark=4\ntag=family\ntag=a<b\ndeleted=0\n");
  EXPECT_EQ(Fields(c), expected);

  // A broken replacement changes nothing.
  EXPECT_EQ(c.ReplaceExtendedProperty("<gd:extendedProperty name='x'>"), 0);
  EXPECT_TRUE(log_.Has("ErrMsg:Error")) << log_.Text();
  EXPECT_EQ(Fields(c), expected);
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
  EXPECT_EQ(
      S(out),
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
  EXPECT_TRUE(WellFormed(out));
  Contact c;
  ASSERT_EQ(c.Load(out), 1);
  koString printed;
  c.ToXmlString(printed);
  EXPECT_EQ(FullName(printed), "A & B");
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
  EXPECT_TRUE(WellFormed(printed)) << S(printed);
  Contact again;
  ASSERT_EQ(again.Load(printed), 1);
  EXPECT_EQ(Fields(again),
            std::string("id=-\ntitle=-\ncontent=") + notes +
                "\nedit=-\nphoto=-\netag=-\ngroup=http://example.com/groups/6?a=1&b=2\n"
                "mark=0\ntag=" +
                name + "\ndeleted=0\n");
  EXPECT_EQ(FullName(printed), name);
}

TEST_F(ContactTest, NotesAreEncodedOnceWhenPrinted) {
  // Texts the library's own printer would copy unencoded ("&#x..."), line
  // breaks that a reader would normalise, and a CDATA piece to be replaced.
  for (const char* notes :
       {"a<b & \"c\"", "&#x41; stays literal", "&#x<gd:deleted/>;", "dos\r\nline\tand tab", ""}) {
    SCOPED_TRACE(notes);
    Contact c;
    ASSERT_EQ(c.Load("<entry><content type='text'>old <![CDATA[x<y]]> text</content></entry>"), 1);
    koString s;
    c.GetContent(s);
    EXPECT_EQ(S(s), "old x<y text");
    ASSERT_EQ(c.SetContent(notes), 1);
    koString printed;
    c.ToXmlString(printed);
    EXPECT_TRUE(WellFormed(printed)) << S(printed);
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

}  // namespace
