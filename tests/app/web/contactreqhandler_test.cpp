// The contact handler against the contacts service's stand-in: what each
// action sends, how a refused token is renewed once, what the database
// holds afterwards, what is never sent, and how an action and an account
// change take the account lock in turn.
#include "app/web/contactreqhandler.h"

#include <tinyxml.h>

#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "app/sync/gdataclient.h"
#include "app/web/servicemgr.h"
#include "showall_fixture.h"
#include "support/child.h"
#include "support/contacts_peer.h"

namespace {

using namespace webtest;
using Clock = std::chrono::steady_clock;

const char kQuoted[] = "someone%40example.com";
const char kUpdated[] = "2024-01-01T00:00:00.000Z";

// What a test reads of an entry: "name|addresses|groups|notes|mark|tags".
std::string Summary(const std::string& xml) {
  TiXmlDocument doc;
  doc.Parse(xml.c_str(), nullptr, TIXML_ENCODING_UTF8);
  const TiXmlElement* entry = doc.RootElement();
  if (entry == nullptr) return "<no entry: " + xml + ">";
  auto text = [](const TiXmlElement* e) { return e != nullptr && e->GetText() != nullptr ? e->GetText() : ""; };
  auto all = [&](const TiXmlElement* parent, const char* name, const char* attribute) {
    std::string out;
    for (const TiXmlElement* e = parent != nullptr ? parent->FirstChildElement(name) : nullptr; e != nullptr;
         e = e->NextSiblingElement(name)) {
      const char* value = attribute != nullptr ? e->Attribute(attribute) : text(e);
      out += (out.empty() ? "" : ",") + std::string(value != nullptr ? value : "");
    }
    return out;
  };
  const TiXmlElement* name = entry->FirstChildElement("gd:name");
  const TiXmlElement* property = entry->FirstChildElement("gd:extendedProperty");
  return std::string(name != nullptr ? text(name->FirstChildElement("gd:fullName")) : text(entry->FirstChildElement("title"))) +
         "|" + all(entry, "gd:email", "address") + "|" + all(entry, "gContact:groupMembershipInfo", "href") + "|" +
         text(entry->FirstChildElement("content")) + "|" +
         (property != nullptr ? text(property->FirstChildElement("mark")) : "") + "|" + all(property, "tag", nullptr);
}

class ContactHandlerTest : public ShowAllTest {
 protected:
  static void SetUpTestSuite() {
    ShowAllTest::SetUpTestSuite();
    TiXmlBase::SetCondenseWhiteSpace(false);
  }
  void SetUp() override {
    ShowAllTest::SetUp();
    ASSERT_TRUE(fake_.Start()) << fake_.Error();
    // The mail threads of a test that starts them find nobody.
    const std::pair<const char*, std::string> kIni[] = {{"Contacts_Login_Host", fake_.LoginHost()},
                                                        {"Contacts_Feed_Host", fake_.FeedHost()},
                                                        {"Imap_Host", "127.0.0.1"},
                                                        {"Imap_Port", "1"}};
    for (const auto& [key, value] : kIni) ASSERT_EQ(1, IniWriteString("GENERAL", key, value.c_str(), MainIni().c_str()));
    account_ = AddAccount(kAccount);
    Serve("");
  }

  // The service: our account, its system group, these contacts (JSON
  // objects) and further keys.
  void Serve(const std::string& contacts, const std::string& more = "") {
    ASSERT_TRUE(fake_.SetScript(std::string("{\"users\": {\"") + kAccount + "\": \"pw\"}, \"groups\": [{\"id\": \"g6\", "
                                "\"title\": \"System Group: My Contacts\", \"updated\": \"" + kUpdated +
                                "\", \"system\": \"Contacts\"}], \"contacts\": [" + contacts + "]" +
                                (more.empty() ? "" : ", " + more) + "}"));
  }
  std::string Link(const std::string& kind, const std::string& id) {
    return "http://" + fake_.FeedHost() + "/m8/feeds/" + kind + "/" + kQuoted + "/" + id;
  }
  // Signs in as the program would and caches the token as the account's.
  std::string SignIn() {
    GDataClient client(kAccount, "pw");
    EXPECT_EQ(1, client.Login());
    koString token;
    client.GetAuthToken(token);
    gConfigMgr->SetContactAuthToken(account_, token.GetString());
    return token.GetString();
  }
  std::string CachedToken() {
    AccountInfo account;
    gConfigMgr->GetAccountById(account_, account);
    return account.contactAuthToken.GetString();
  }
  std::string Send(const std::string& action, int contactId, const std::string& more = "") {
    return BodyOf(Get("/?_object=ContactReqHandler&_action=" + action + "&accountid=" + std::to_string(account_) +
                      "&contactid=" + std::to_string(contactId) + more));
  }
  // The request lines of the service's requests since `from` of them,
  // joined by ";" and without the protocol.
  std::string Lines(size_t from) {
    std::vector<std::string> all = fake_.Requests();
    std::string out;
    for (size_t i = from; i < all.size(); ++i) {
      std::string line = all[i].substr(0, all[i].find(" HTTP/"));
      out += (out.empty() ? "" : ";") + line.substr(0, line.find('?'));
    }
    return out;
  }
  std::string Body(size_t index) {
    std::string request = fake_.Requests().at(index);
    return request.substr(request.find("\r\n\r\n") + 4);
  }
  std::string Header(size_t index, const std::string& name) {
    return HeaderOf(fake_.Requests().at(index), name);
  }
  // "type|mark|uid|edit_url|notes" of the contact's row.
  std::string Row(int id) {
    return Sql("SELECT type || '|' || mark || '|' || ifnull(uid, '-') || '|' || ifnull(edit_url, '-') || '|' || "
               "ifnull(notes, '-') FROM contact WHERE id = " + std::to_string(id));
  }
  // "is|type|notes|tag" of its full-text row.
  std::string Words(int id) {
    return Sql("SELECT [is] || '|' || type || '|' || notes || '|' || tag FROM fts_contact WHERE rowid = " +
               std::to_string(id));
  }
  std::string Tags(int id) {
    return Sql("SELECT group_concat(name) FROM (SELECT tag.name FROM contact_tag_link JOIN tag ON tag.id = tag_id "
               "WHERE contact_id = " + std::to_string(id) + " ORDER BY tag.name)");
  }

  pvtest::ContactsFakePeer fake_;
  int account_ = 0;
};

TEST_F(ContactHandlerTest, CreateSendsTheStoredContactWithTheCachedToken) {
  const int dora = AddContact(account_, {"Dora D\xc3\xad""az", {"dora@example.org", "d.diaz@example.net"}, 0, 1,
                                         "Likes <tea> & cake", "tea cake"});
  const int nemo = AddContact(account_, {"Nemo", {}});
  const std::string token = SignIn();
  const std::string group = Link("groups", "base/g6");
  const struct {
    int id;
    std::string entry, row, notes, words;
  } kCases[] = {
      {dora, "Dora D\xc3\xad""az|dora@example.org,d.diaz@example.net|" + group + "|Likes <tea> & cake|1|tea,cake", "2|1",
       "Likes <tea> & cake", "STARRED|GOOGLE|Likes <tea> & cake|tea cake"},
      // Without addresses: name and group only.
      {nemo, "Nemo||" + group + "||0|", "2|0", "", "|GOOGLE||"},
  };
  for (const auto& c : kCases) {
    const size_t before = fake_.Requests().size();
    EXPECT_EQ("1", Send("Create", c.id));
    EXPECT_EQ("GET /m8/feeds/groups/someone@example.com/full;POST /m8/feeds/contacts/someone@example.com/full",
              Lines(before));
    EXPECT_EQ("GoogleLogin auth=" + token, Header(before + 1, "Authorization"));
    EXPECT_EQ(c.entry, Summary(Body(before + 1)));
    // The service's identifiers of the new entry; the local contact is now
    // also the service's.
    const std::string edit = Sql("SELECT edit_url FROM contact WHERE id = " + std::to_string(c.id));
    const std::string id = edit.substr(edit.rfind('/') + 1);
    EXPECT_EQ(0u, id.find("new")) << edit;
    EXPECT_EQ(c.row + "|" + Link("contacts", "base/" + id) + "|" + Link("contacts", "full/" + id) + "|" + c.notes,
              Row(c.id));
    EXPECT_EQ(c.words, Words(c.id));
  }
  EXPECT_EQ(token, CachedToken());
}

TEST_F(ContactHandlerTest, EditInfoRenewsARefusedTokenOnce) {
  Serve(std::string("{\"id\": \"c1\", \"updated\": \"") + kUpdated + "\", \"title\": \"Ed\", \"content\": \"old\", "
        "\"emails\": [{\"address\": \"ed@example.org\", \"primary\": true}], \"mark\": 1, \"tags\": [\"x\"]}");
  const std::string edit = Link("contacts", "full/c1");
  const int ed = AddContact(account_, {"Ed", {"ed@example.org"}, 1, 1, "old", "x", {}, edit});
  gConfigMgr->SetContactAuthToken(account_, "stale");
  size_t before = fake_.Requests().size();
  EXPECT_EQ("1", Send("EditInfo", ed, "&notes=new+%22notes%22&tags=+a++b+A+"));
  const std::string path = std::string("/m8/feeds/contacts/") + kQuoted + "/full/c1";
  EXPECT_EQ("GET " + path + ";POST /accounts/ClientLogin;GET " + path + ";POST " + path, Lines(before));
  const std::string token = CachedToken();
  EXPECT_NE("stale", token);
  EXPECT_NE("", token);
  EXPECT_EQ("GoogleLogin auth=" + token, Header(before + 3, "Authorization"));
  EXPECT_EQ("PUT", Header(before + 3, "X-HTTP-Method-Override"));
  // The service's entry with the new notes and tags, the mark kept.
  EXPECT_EQ("Ed|ed@example.org||new \"notes\"|1|a,b", Summary(Body(before + 3)));
  const std::string uid = Link("contacts", "base/c1");
  EXPECT_EQ("1|1|" + uid + "|" + edit + "|new \"notes\"", Row(ed));
  EXPECT_EQ("STARRED|GOOGLE|new \"notes\"|a b", Words(ed));
  EXPECT_EQ("a,b", Tags(ed));

  // Unchanged notes are not written again; the rest is.
  Sql("UPDATE fts_contact SET notes = 'kept' WHERE rowid = " + std::to_string(ed));
  Sql("UPDATE contact SET mark = 0, uid = 'u' WHERE id = " + std::to_string(ed));
  before = fake_.Requests().size();
  EXPECT_EQ("1", Send("EditInfo", ed, "&notes=new+%22notes%22&tags=b"));
  EXPECT_EQ("GET " + path + ";POST " + path, Lines(before));
  EXPECT_EQ("Ed|ed@example.org||new \"notes\"|0|b", Summary(Body(before + 1)));
  EXPECT_EQ("1|0|" + uid + "|" + edit + "|new \"notes\"", Row(ed));
  EXPECT_EQ("|GOOGLE|kept|b", Words(ed));
  EXPECT_EQ("b", Tags(ed));
}

TEST_F(ContactHandlerTest, UpdateMarkStarsAtTheServiceFirst) {
  Serve(std::string("{\"id\": \"c2\", \"updated\": \"") + kUpdated + "\", \"title\": \"Sam\", \"content\": \"s\", "
        "\"emails\": [{\"address\": \"sam@example.org\"}], \"mark\": 1, \"tags\": [\"old\"]}");
  const int una = AddContact(account_, {"Una", {"una@example.org"}, 0, 0, "n1", "t1 t2"});
  const int sam = AddContact(account_, {"Sam", {"sam@example.org"}, 1, 1, "s", "s1", {}, Link("contacts", "full/c2")});
  const std::string token = SignIn();
  const struct {
    int id;
    const char* mark;
    std::string requests, entry, stored, words;
  } kCases[] = {
      // A local contact is made at the service, with what it stores.
      {una, "1", "GET /m8/feeds/groups/someone@example.com/full;POST /m8/feeds/contacts/someone@example.com/full",
       "Una|una@example.org|" + Link("groups", "base/g6") + "|n1|1|t1,t2", "2|1", "STARRED|GOOGLE|n1|t1 t2"},
      {una, "0", "GET /m8/feeds/contacts/" + std::string(kQuoted) + "/full/new*;POST /m8/feeds/contacts/" +
                     kQuoted + "/full/new*",
       "Una|una@example.org|" + Link("groups", "base/g6") + "|n1|0|t1,t2", "2|0", "|GOOGLE|n1|t1 t2"},
      // A service contact keeps its type; its stored notes and tags go along.
      {sam, "0", "GET /m8/feeds/contacts/" + std::string(kQuoted) + "/full/c2;POST /m8/feeds/contacts/" +
                     kQuoted + "/full/c2",
       "Sam|sam@example.org||s|0|s1", "1|0", "|GOOGLE|s|s1"},
  };
  for (const auto& c : kCases) {
    const size_t before = fake_.Requests().size();
    EXPECT_EQ("1", Send("UpdateMark", c.id, std::string("&mark=") + c.mark)) << c.id << c.mark;
    std::string lines = Lines(before);
    for (size_t at = lines.find("/new"); at != std::string::npos; at = lines.find("/new", at + 1))
      lines.replace(at + 4, lines.find_first_not_of("0123456789", at + 4) - at - 4, "*");
    EXPECT_EQ(c.requests, lines);
    EXPECT_EQ(c.entry, Summary(Body(fake_.Requests().size() - 1)));
    EXPECT_EQ(c.stored, Row(c.id).substr(0, 3));
    EXPECT_EQ(c.words, Words(c.id));
  }
  EXPECT_EQ(token, CachedToken());
}

TEST_F(ContactHandlerTest, WhatNeverReachesTheServiceOrFails) {
  const int una = AddContact(account_, {"Una", {"una@example.org"}});
  const int gone = AddContact(account_, {"Gone", {"gone@example.org"}, 1, 0, "", "", {}, Link("contacts", "full/c9")});
  SignIn();
  const std::string untouched = Row(una);
  size_t before = fake_.Requests().size();
  const std::string kRedirect = "HTTP/1.0 302 Found\r\nLocation: /index.html\r\n\r\n";
  for (const char* action : {"create", "CREATE", "Create%20", "editinfo", "updateMark", "Nope", ""})
    EXPECT_EQ(kRedirect, Get(std::string("/?_object=ContactReqHandler&contactid=1&accountid=1&_action=") + action))
        << action;
  for (const char* action : {"Create", "EditInfo", "UpdateMark"}) {
    EXPECT_EQ("0", Send(action, 9999)) << action;
    EXPECT_EQ("0", Send(action, -1)) << action;
    EXPECT_EQ("0", BodyOf(Get(std::string("/?_object=ContactReqHandler&_action=") + action + "&accountid=77&contactid=" +
                              std::to_string(una))));
  }
  EXPECT_EQ("", Lines(before));

  // An entry the service no longer has: no second attempt.
  EXPECT_EQ("0", Send("EditInfo", gone, "&notes=x"));
  EXPECT_EQ(std::string("GET /m8/feeds/contacts/") + kQuoted + "/full/c9", Lines(before));

  // A service answering with error pages: one renewal, then "0".
  Serve("", "\"errors\": {\"write\": {\"status\": 500, \"h1\": \"Internal Error\", \"h2\": \"x\"}}");
  before = fake_.Requests().size();
  EXPECT_EQ("0", Send("Create", una));
  EXPECT_EQ("GET /m8/feeds/groups/someone@example.com/full;POST /m8/feeds/contacts/someone@example.com/full;"
            "POST /accounts/ClientLogin;POST /m8/feeds/contacts/someone@example.com/full",
            Lines(before));
  EXPECT_EQ(untouched, Row(una));
  EXPECT_NE(std::string::npos, Log().find("Internal Error"));
}

TEST_F(ContactHandlerTest, AnActionAndAnAccountChangeTakeTurns) {
  const int una = AddContact(account_, {"Una", {"una@example.org"}});
  Serve("", "\"hold\": \"/m8/feeds/groups/\"");
  StartServices();
  const std::string edit = "/?_object=ConnectionMgr&_action=Edit&oldEmailAccountId=" + std::to_string(account_) +
                           "&email=" + kAccount + "&editpassword=0&isAllMails=1&isDownloadAttachments=1";
  for (const bool markFirst : {true, false}) {
    // The account's contact thread waits in the held group read.
    const int held = fake_.Count("GET /m8/feeds/groups/");
    ASSERT_TRUE(WaitFor([&] { return fake_.Count("GET /m8/feeds/groups/") > held; })) << markFirst;
    std::string markAnswer, editAnswer;
    Clock::time_point markDone, editDone;
    auto mark = [&] {
      markAnswer = Send("UpdateMark", una, "&mark=1");
      markDone = Clock::now();
    };
    auto change = [&] {
      editAnswer = BodyOf(Get(edit));
      editDone = Clock::now();
    };
    std::thread first(markFirst ? std::function<void()>(mark) : std::function<void()>(change));
    // UpdateMark waits in its own group read, holding the lock; or the
    // change waits for the contact thread to stop, holding the lock.
    if (markFirst) {
      ASSERT_TRUE(WaitFor([&] { return fake_.Count("GET /m8/feeds/groups/") > held + 1; }));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const size_t requests = fake_.Requests().size();
    std::thread second(markFirst ? std::function<void()>(change) : std::function<void()>(mark));
    // The second waits for the lock: it neither answers nor asks anything.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ("", markAnswer + editAnswer) << markFirst;
    EXPECT_EQ(requests, fake_.Requests().size()) << markFirst;
    const Clock::time_point released = Clock::now();
    WriteFile(fake_.Dir() + "/release", "");
    first.join();
    second.join();
    EXPECT_EQ("1", markAnswer) << markFirst;
    EXPECT_EQ(std::to_string(account_), editAnswer) << markFirst;
    EXPECT_EQ(markFirst, markDone < editDone);
    // Not held up by the contact thread's 30 s wait.
    EXPECT_LT((markFirst ? editDone : markDone) - released, std::chrono::seconds(20)) << markFirst;
    unlink((fake_.Dir() + "/release").c_str());
    Sql("UPDATE contact SET edit_url = '', type = 0 WHERE id = " + std::to_string(una));
  }
}

// A request still waiting for the contacts service when the program stops
// ends against live objects: the stop keeps the log, ConfigMgr and the
// service manager for the process's end instead of deleting them under it.
TEST_F(ContactHandlerTest, ARequestHeldAcrossTheStopEndsAgainstLiveObjects) {
  const int una = AddContact(account_, {"Una", {"una@example.org"}});
  // The program's own objects, as its start-up makes them.
  server_.Stop();
  gHttpServiceMgr = new HttpServiceMgr();
  gHttpServiceMgr->Start();
  ASSERT_EQ(port_, gHttpServiceMgr->GetPort());
  Serve("", "\"hold\": \"/m8/feeds/groups/\"");
  const int held = fake_.Count("GET /m8/feeds/groups/");
  std::string answer = "<none>";
  std::thread request([&] { answer = Send("UpdateMark", una, "&mark=1"); });
  ASSERT_TRUE(WaitFor([&] { return fake_.Count("GET /m8/feeds/groups/") > held; }));
  koLog* capture = gLog;
  gLog = new koLog("test");
  gLog->SetFileName((home_.path() + "/test.log").c_str());
  ConfigMgr* config = config_.release();

  ServiceMgr::StopAllServices();
  EXPECT_TRUE(ServiceMgr::RequestsOutlived());
  EXPECT_EQ(nullptr, gHttpServiceMgr);
  EXPECT_EQ(config, gConfigMgr);
  ASSERT_NE(nullptr, gLog);
  WriteFile(fake_.Dir() + "/release", "");
  request.join();
  EXPECT_EQ("1", answer) << Log();
  EXPECT_EQ("1", Sql("SELECT mark FROM contact WHERE id = " + std::to_string(una)));
  EXPECT_NE(std::string::npos, Log().find("1 requests outlived the server's stop")) << Log();
  delete gLog;
  gLog = capture;
  config_.reset(config);
}

}  // namespace
