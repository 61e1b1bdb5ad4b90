// The contacts service's client against the loopback stand-in.
#include "app/store/contact.h"
#include "app/sync/contacts_fixture.h"

namespace {

const char kOne[] =
    R"({"id": "c1", "updated": "2024-02-01T00:00:00.000Z", "title": "One",
        "emails": [{"address": "one@example.org"}], "photo": {"etag": "p1", "data": "\u0089PNG\u0000x"}})";
const char kTwo[] =
    R"({"id": "c2", "updated": "2024-02-02T00:00:00.000Z", "title": "Two", "photo": {"etag": "p2", "data": ""}})";
const char kGroups[] = R"({"id": "g6", "updated": "2024-01-01T00:00:00.000Z", "title": "System Group: My Contacts", "system": "Contacts"})";

class GDataClientTest : public ContactsTest {
 protected:
  // After the ini names the stand-in.
  void SetUp() override {
    ContactsTest::SetUp();
    client_ = std::make_unique<GDataClient>(kAccount, kPassword);
  }
  std::string Error() {
    koString text;
    client_->GetLastError(text);
    return text.GetString();
  }
  std::unique_ptr<GDataClient> client_;
};

TEST_F(GDataClientTest, SignInPostsTheFormAndReadsTokenOrError) {
  const struct {
    const char* more;  // script keys; none: the stand-in's own answer
    const char* password;
    int ok;
    const char* token_or_error;
  } kCases[] = {
      {"", kPassword, 1, "tok0-"},
      {"", "wrong", 0, "BadAuthentication"},
      {R"("bodies": {"login": "SID=s\nLSID=l\nAuth=  abc \n"})", kPassword, 1, "abc"},
      // A line after the token must not become a header line of its own.
      {R"("bodies": {"login": "Auth=abc\r\nX-Injected: 1\n"})", kPassword, 1, "abc"},
      {R"("bodies": {"login": "Url=u\nerror=CaptchaRequired\nCaptchaToken=t\n"})", kPassword, 0, "CaptchaRequired"},
      {R"("bodies": {"login": "Auth=  \r\nX-Injected: 1\n"})", kPassword, 0, "Auth="},
      {R"("bodies": {"login": "Error=\n"})", kPassword, 0, "Error=\n"},
  };
  for (const auto& c : kCases) {
    Serve("", "", c.more);
    GDataClient client(kAccount, c.password);
    ASSERT_EQ(c.ok, client.Login()) << c.more;
    koString text;
    c.ok ? client.GetAuthToken(text) : client.GetLastError(text);
    EXPECT_EQ(0u, std::string(text.GetString()).find(c.token_or_error)) << c.more << ": " << text.GetString();
    if (c.ok) {
      EXPECT_EQ(std::string::npos, std::string(text.GetString()).find('\n'));
    }
  }
  // The service's own headers are not the sign-in's.
  EXPECT_EQ(std::string::npos, fake_.Requests().at(0).find("GData-Version"));

  Serve("", "", R"("bodies": {"login": "Error=)" + std::string(300, 'e') + "\"}");
  EXPECT_EQ(0, client_->Login());
  EXPECT_EQ(std::string(255, 'e'), Error());
}

TEST_F(GDataClientTest, AnswersThatAreNoFeedAndCountsThatAreNotThere) {
  const std::string feed =
      R"(<feed><updated>u</updated><entry><id>a</id></entry><entry><id>b</id></entry></feed>)";
  const struct {
    std::string more;
    int result, isFeed, count;
    std::string error, detail;
  } kCases[] = {
      {R"("errors": {"contacts": {"status": 400, "h1": "Bad Request", "h2": "x"}})", 0, 0, -1, "Bad Request", "x"},
      {R"("bodies": {"contacts": "<other>t</other>"})", 1, 0, -1, "<other>t</other>", "-1"},
      {R"("bodies": {"contacts": "not XML <"})", 0, 0, -1, "not XML <", "-1"},
      {R"("bodies": {"contacts": "<HTML><HEAD/></HTML>"})", 0, 0, -1, "<HTML><HEAD/></HTML>", "-1"},
      {R"("token_epoch": 1)", 0, 0, -1, "Token invalid", "Error 401"},
      // The service's total beyond what the answer holds, or none at all.
      {R"("total_results": {"contacts": 30})", 1, 1, 25, "Contacts feed cut short: 25 of 30 entries", "-1"},
      {R"("total_results": {"contacts": 1})", 1, 1, 1, "Contacts feed cut short: 25 of 1 entries", "-1"},
      {R"("bodies": {"contacts": ")" + feed + "\"}", 1, 1, 2, "", "-1"},
  };
  std::string contacts;
  for (int i = 0; i < 25; ++i)
    contacts += (i ? "," : "") + std::string(R"({"id": "c)") + std::to_string(i) +
                R"(", "updated": "2024-02-01T00:00:00.000Z"})";
  for (const auto& c : kCases) {
    Serve(contacts, "", "");
    GDataClient client(kAccount, kPassword);
    ASSERT_EQ(1, client.Login());
    Serve(contacts, "", c.more);
    int isFeed = 7;
    EXPECT_EQ(c.result, client.FetchContacts(nullptr, &isFeed)) << c.more;
    EXPECT_EQ(c.isFeed, isFeed) << c.more;
    EXPECT_EQ(c.count, client.GetEntryCount()) << c.more;
    koString error, detail;
    client.GetLastError(error);
    client.GetErrorDetail(detail);
    EXPECT_EQ(c.error, error.GetString()) << c.more;
    EXPECT_EQ(c.detail, detail.GetString()) << c.more;
  }
}

// The feed is walked for its entries rather than parsed whole: what may
// stand between them must neither hide an entry nor make one.
TEST_F(GDataClientTest, FeedsAreReadEntryByEntryWhateverStandsBetween) {
  const struct {
    const char* body;  // JSON text of the answer
    int result, isFeed, count;
    const char* ids;      // of the entries, joined by "|"
    const char* updated;  // the feed's own
  } kCases[] = {
      {R"(<?xml version='1.0'?>\n<!-- <feed> --><!DOCTYPE feed><feed a='x>y' b=\"'\"><updated>u</updated>)"
       R"(<!-- <entry><id>no</id></entry> --><entry><id>a</id><title>x &amp; y</title></entry> text )"
       R"(<![CDATA[<entry><id>no</id></entry>]]><?pi <entry> ?><entry/><entry><id>b</id><updated>in</updated>)"
       R"(<entry><id>inner</id></entry></entry>\n</feed >trailing)",
       1, 1, 3, "a||b", "u"},
      {R"(<feed/>)", 1, 1, 0, "", ""},
      {R"(<feed><openSearch:totalResults>1</openSearch:totalResults><entry><id>a</id></entry></feed>)", 1, 1, 1,
       "a", ""},
      // Cut or malformed: refused like any answer that is no XML.
      {R"(<feed><entry><id>a</id></entry>)", 0, 0, -1, "", ""},
      {R"(<feed><entry><id>a</id></entr></feed>)", 0, 0, -1, "", ""},
      {R"(<feed><entry><id>a</id></entry></feeds>)", 0, 0, -1, "", ""},
      // A tag cut right after its "<": the XML library would stop the process on it.
      {R"(<feed><entry><id>a</id></entry><)", 0, 0, -1, "", ""},
      {R"(<feed><entry><id>a</id></entry>< \n)", 0, 0, -1, "", ""},
      // Another root, even one that begins alike, is no feed.
      {R"(<feeds><entry><id>a</id></entry></feeds>)", 1, 0, -1, "", ""},
  };
  for (const auto& c : kCases) {
    Serve("", "", std::string(R"("bodies": {"contacts": ")") + c.body + "\"}");
    GDataClient client(kAccount, kPassword);
    ASSERT_EQ(1, client.Login());
    int isFeed = 7;
    EXPECT_EQ(c.result, client.FetchContacts(nullptr, &isFeed)) << c.body;
    EXPECT_EQ(c.isFeed, isFeed) << c.body;
    ASSERT_EQ(c.count, client.GetEntryCount()) << c.body;
    std::string ids;
    Contact entry;
    for (int i = 0; i < c.count; ++i) {
      koString id;
      ASSERT_EQ(1, client.GetEntry(i, entry)) << c.body;
      entry.GetId(id);
      ids += (i ? "|" : "") + std::string(id.GetString());
    }
    EXPECT_EQ(c.ids, ids) << c.body;
    koString updated, title;
    client.GetUpdated(updated);
    EXPECT_EQ(c.updated, std::string(updated.GetString())) << c.body;
    if (c.count == 3) {
      ASSERT_EQ(1, client.GetEntry(0, entry));
      entry.GetTitle(title);
      EXPECT_STREQ("x & y", title.GetString());
    }
    if (c.result == 0) {
      koString error;
      client.GetLastError(error);
      EXPECT_EQ(0u, std::string(error.GetString()).find("<feed")) << error.GetString();
    }
    client.ReleaseFeed();
    EXPECT_EQ(-1, client.GetEntryCount());
    EXPECT_EQ(0, client.GetEntry(0, entry));
  }
}

TEST_F(GDataClientTest, PhotosSystemGroupAndEntryWrites) {
  Serve(std::string(kOne) + "," + kTwo, kGroups);
  ASSERT_EQ(1, client_->Login());
  int isFeed = 0;
  ASSERT_EQ(1, client_->FetchContacts(nullptr, &isFeed));
  Contact one, two;
  ASSERT_EQ(1, client_->GetEntry(1, one));
  EXPECT_EQ(0, client_->GetEntry(2, two));
  ASSERT_EQ(1, client_->GetEntry(0, two));
  EXPECT_EQ(1, client_->ResponseContains("ONE@EXAMPLE.ORG"));
  koString url, bytes;
  uint32_t count = 9;
  one.GetPhotoUrl(url);
  ASSERT_EQ(1, client_->GetPhoto(url.GetString(), bytes, &count)) << Error();
  EXPECT_EQ(std::string("\x89PNG\0x", 6), std::string(bytes.GetString(), count));
  two.GetPhotoUrl(url);
  ASSERT_EQ(1, client_->GetPhoto(url.GetString(), bytes, &count));
  EXPECT_EQ(0u, count);
  EXPECT_EQ("Photo not found", Error());

  koString id;
  ASSERT_EQ(1, client_->GetMyContactsGroupId(id)) << Error();
  EXPECT_EQ("http://" + fake_.FeedHost() + "/m8/feeds/groups/someone%40example.com/base/g6", id.GetString());

  ContactFields fields;
  fields.FormatNameXml("Made Here");
  fields.FormatEmailXml("made@example.org", "home", 1);
  koString entry, answer;
  fields.BuildContactEntryXml(entry);
  ASSERT_EQ(1, client_->CreateContact(entry.GetString(), answer)) << Error();
  Contact made;
  ASSERT_EQ(1, made.Load(answer)) << answer.GetString();
  made.SetContent("notes & more");
  koString edit;
  made.GetEditUrl(edit);
  ASSERT_EQ(1, client_->UpdateContact(edit.GetString(), made, answer)) << Error();
  std::string update = fake_.Requests().back();
  EXPECT_LT(update.find("\r\nContent-Type: application/atom+xml\r\n"),
            update.find("\r\nX-HTTP-Method-Override: PUT\r\n")) << update;
  ASSERT_EQ(1, client_->FetchContacts(nullptr, &isFeed));
  EXPECT_EQ(3, client_->GetEntryCount());
  EXPECT_EQ(1, client_->ResponseContains("<content type='text'>notes &amp; more</content>"));

  edit += "-gone";
  EXPECT_EQ(0, client_->UpdateContact(edit.GetString(), made, answer));
  EXPECT_EQ("Not Found", Error());
  EXPECT_STREQ("", answer.GetString());
}

}  // namespace
