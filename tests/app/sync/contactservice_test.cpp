// Contact synchronisation against the contacts service's stand-in.
#include <thread>

#include "app/sync/contacts_fixture.h"
#include "core/kthread.h"

namespace {

// Oldest first; the feed serves them newest first.
const char kAnn[] =
    R"({"id": "ann", "updated": "2024-02-01T00:00:00.000Z", "title": "Ann", "content": "likes tea",
        "emails": [{"address": "ann@example.org"}, {"address": "ann.work@example.org", "primary": true}],
        "phones": ["+1 555", "+1 556"], "groups": ["g1", "g6"], "mark": 1, "tags": ["tennis", "", "work"],
        "photo": {"etag": "ann1", "data": "ANN-PHOTO"}})";
const char kBob[] =
    R"({"id": "bob", "updated": "2024-02-02T00:00:00.000Z", "emails": [{"address": "bob@example.org"},
        {"address": "robert@example.org", "primary": true}], "groups": ["unknown"]})";
const char kNobody[] = R"({"id": "nobody", "updated": "2024-02-03T00:00:00.000Z"})";
const char kGroups[] =
    R"({"id": "g6", "updated": "2024-01-01T00:00:00.000Z", "title": "System Group: My Contacts", "system": "Contacts"},
       {"id": "g1", "updated": "2024-01-02T00:00:00.000Z", "title": "Tennis club"})";

std::string All() { return std::string(kAnn) + "," + kBob + "," + kNobody; }

class ContactServiceTest : public ContactsTest {
 protected:
  // The contact thread's loop on a thread of its own.
  void StartThread() {
    thread_ = std::thread([this] { Service().SyncContacts(&stop_, &wake_); });
  }
  void StopThread() {
    stop_.Set();
    wake_.Set();
    if (thread_.joinable()) thread_.join();
  }
  // As the thread's owner wakes it, but reset only once the pass began, so
  // the thread neither misses the wake nor runs a second pass on it.
  void Wake() {
    SleepMs(100);
    const size_t before = fake_.Requests().size();
    wake_.Set();
    for (int i = 0; i < 20000 && fake_.Requests().size() == before; ++i) SleepMs(1);
    wake_.Reset();
  }
  void TearDown() override {
    StopThread();
    ContactsTest::TearDown();
  }
  // A mail of the account that refers to the address.
  void MailFrom(const char* address) {
    Sql(std::string("INSERT INTO email_address (account_id, address) VALUES (") + std::to_string(accountId_) +
        ", '" + address + "'); INSERT INTO mail_email_link (mail_id, email_address_id) VALUES (1, "
        "last_insert_rowid());");
  }
  std::string Row(const std::string& uid) {
    return Sql("SELECT name || '|' || type || '|' || mark || '|' || ifnull(photo_etag, 'NULL') || '|' || "
               "ifnull(notes, '') FROM contact WHERE uid LIKE '%/" + uid + "'");
  }
  // A pass whose `count`th request starting with `request` the stand-in holds
  // (the script says which) until the stop event is set.
  void StopWhileHeld(const std::string& request, int count) {
    unlink((fake_.Dir() + "/release").c_str());
    std::thread pass([&] { EXPECT_EQ(1, Service().RunPass(&stop_)); });
    EXPECT_TRUE(WaitFor([&] { return fake_.Count(request) == count; }));
    stop_.Set();
    Release();
    pass.join();
  }

  koEvent stop_, wake_;
  std::thread thread_;
};

TEST_F(ContactServiceTest, FirstPassStoresContactsPhotosGroupsAndTags) {
  Serve(All(), kGroups);
  ASSERT_EQ(1, Service().RunPass(&stop_)) << LogText();

  std::vector<std::string> requests = fake_.Requests();
  ASSERT_GE(requests.size(), 4u);
  EXPECT_NE(std::string::npos, requests[0].find("\r\n\r\naccountType=HOSTED_OR_GOOGLE&Email=someone%40example.com&"
                                                "Passwd=p%40ss%20w%2brd%26%3d1&source=Curl-PV-Example&service=cp"));
  const char kQuery[] = "/full?orderby=lastmodified&sortorder=descending&max-results=20000 HTTP/1.1\r\n";
  EXPECT_EQ(0u, requests[1].find(std::string("GET /m8/feeds/contacts/someone@example.com") + kQuery));
  EXPECT_EQ(0u, requests[2].find(std::string("GET /m8/feeds/groups/someone@example.com") + kQuery));
  EXPECT_LT(requests[1].find("Authorization: GoogleLogin auth="), requests[1].find("GData-Version: 3.0"));

  EXPECT_EQ("Ann|1|1|ann1|likes tea", Row("ann"));
  // No title: the primary address names it; no title and no address: not stored.
  EXPECT_EQ("robert@example.org|1|0|NULL|", Row("bob"));
  EXPECT_EQ("", Row("nobody"));
  EXPECT_EQ("ANN-PHOTO", Sql("SELECT photo FROM contact_photo"));
  EXPECT_EQ("My Contacts,Tennis club", Sql("SELECT group_concat(name, ',') FROM (SELECT name FROM [group] ORDER BY name)"));
  // A new contact skips a group that is not stored.
  EXPECT_EQ("2", Sql("SELECT count(*) FROM contact_group_link"));
  EXPECT_EQ("tennis work", Sql("SELECT group_concat(name, ' ') FROM tag"));
  EXPECT_EQ("ann@example.org\nann.work@example.org|+1 555\n+1 556|tennis work|STARRED|GOOGLE",
            Sql("SELECT email || '|' || phone || '|' || tag || '|' || [is] || '|' || type FROM fts_contact "
                "WHERE name = 'Ann'"));
  EXPECT_EQ("4", Sql("SELECT count(*) FROM contact_email_link"));
  EXPECT_EQ(kFeedTime, Sql("SELECT last_contact_modified_time FROM account_status"));
  EXPECT_NE("0", Sql("SELECT contact_updated_time FROM account_status"));
  EXPECT_EQ("", ContactStatus());
  // Nothing of the feed is held until the next pass.
  EXPECT_EQ(-1, Service().GetContactsClient()->GetEntryCount());
}

TEST_F(ContactServiceTest, LaterPassesReadChangesDeletionsAndRemovedAddresses) {
  Serve(All(), kGroups);
  MailFrom("ANN@example.org");
  StartThread();
  ASSERT_TRUE(WaitFor([&] { return Sql("SELECT last_contact_modified_time FROM account_status") == kFeedTime; }));

  // Ann is deleted but mail knows her; Bob is deleted and unknown to mail; Cy
  // is new and in a group deleted meanwhile; Old is older than the stored time.
  Serve(R"({"id": "ann", "updated": "2024-03-02T00:00:00.000Z", "deleted": true},
           {"id": "bob", "updated": "2024-03-02T00:00:00.000Z", "deleted": true},
           {"id": "cy", "updated": "2024-03-03T00:00:00.000Z", "title": "Cy", "emails": [{"address": "cy@example.org"}],
            "groups": [{"id": "g1", "deleted": true}]},
           {"id": "old", "updated": "2024-01-01T00:00:00.000Z", "title": "Old"})",
        R"({"id": "g1", "updated": "2024-03-02T00:00:00.000Z", "deleted": true})",
        R"("updated": "2024-03-09T00:00:00.000Z")");
  Wake();
  ASSERT_TRUE(WaitFor([&] { return !Row("cy").empty(); })) << LogText();
  ASSERT_TRUE(WaitFor([&] { return Sql("SELECT last_contact_modified_time FROM account_status") != kFeedTime; }));
  EXPECT_EQ(0u, fake_.Requests().at(4).find("GET /m8/feeds/contacts/someone@example.com/full?orderby=lastmodified&"
                                            "sortorder=descending&max-results=20000&showdeleted=true&"
                                            "updated-min=2024-03-01T10%3a00%3a00.000Z HTTP/1.1"))
      << Requests();
  EXPECT_EQ(1, fake_.Count("POST /accounts/ClientLogin"));

  EXPECT_EQ("Ann|0|0|NULL|", Sql("SELECT name || '|' || type || '|' || mark || '|' || ifnull(photo_etag, 'NULL') "
                                 "|| '|' || uid FROM contact WHERE name = 'Ann'"));
  EXPECT_EQ("0", Sql("SELECT count(*) FROM contact_photo"));
  EXPECT_EQ("||", Sql("SELECT tag || '|' || [is] || '|' || type FROM fts_contact WHERE name = 'Ann'"));
  EXPECT_EQ("", Sql("SELECT id FROM contact WHERE name = 'robert@example.org'"));
  EXPECT_EQ("", Sql("SELECT rowid FROM fts_contact WHERE name = 'robert@example.org'"));
  EXPECT_EQ("0", Sql("SELECT count(*) FROM contact_email_link WHERE email_address_id IN (SELECT id FROM "
                     "email_address WHERE address LIKE '%ob%')"));
  // The entry older than the stored time is not asked for; g1 went with its links.
  EXPECT_EQ("", Row("old"));
  EXPECT_EQ("My Contacts", Sql("SELECT group_concat(name) FROM [group]"));
  EXPECT_EQ("0", Sql("SELECT count(*) FROM contact_group_link WHERE group_id NOT IN (SELECT id FROM [group])"));
  EXPECT_EQ("2024-03-09T00:00:00.000Z", Sql("SELECT last_contact_modified_time FROM account_status"));

  // Cy loses his address: it becomes a local contact named by it.
  Serve(R"({"id": "cy", "updated": "2024-03-10T00:00:00.000Z", "title": "Cy", "emails": [{"address": "c2@example.org"}]})");
  Wake();
  ASSERT_TRUE(WaitFor([&] { return !Sql("SELECT id FROM contact WHERE name = 'cy@example.org' AND type = 0").empty(); }));
  EXPECT_EQ("c2@example.org", Sql("SELECT email FROM fts_contact WHERE name = 'Cy'"));
}

TEST_F(ContactServiceTest, RefusedSignInAndStaleTokensAreTheStatusUntilAPassSucceeds) {
  Serve(kAnn, "", R"("users": {"someone@example.com": "other"})");
  StartThread();
  ASSERT_TRUE(WaitFor([&] { return ContactStatus() == "BadAuthentication"; })) << ContactStatus();
  EXPECT_NE(std::string::npos, LogText().find("BadAuthentication"));
  EXPECT_EQ("", Row("ann"));

  Serve(kAnn);
  Wake();
  ASSERT_TRUE(WaitFor([&] { return ContactStatus().empty() && !Row("ann").empty(); })) << ContactStatus();
  EXPECT_EQ(2, fake_.Count("POST /accounts/ClientLogin"));
  AccountInfo account;
  config_->GetAccountById(accountId_, account);
  EXPECT_EQ(0u, std::string(account.contactAuthToken.GetString()).find("tok0-"));

  // A token the service stopped taking fails one pass, and the next signs in anew.
  Serve(kAnn, "", R"("token_epoch": 1)");
  Wake();
  ASSERT_TRUE(WaitFor([&] { return ContactStatus() == "Token invalid"; })) << ContactStatus();
  Wake();
  ASSERT_TRUE(WaitFor([&] { return ContactStatus().empty(); })) << ContactStatus();
  EXPECT_EQ(3, fake_.Count("POST /accounts/ClientLogin"));
}

TEST_F(ContactServiceTest, PhotosAreAskedOnlyWhenTheirEtagChanges) {
  const char kPhoto[] = R"({"id": "ann", "updated": "%s", "title": "Ann", "photo": {"etag": "%s", "data": "%s"}})";
  const struct {
    const char* etag;
    const char* data;
    int requests;  // photo requests so far
    const char* stored_etag;
    const char* photo;
  } kSteps[] = {
      {"e1", "ONE", 1, "e1", "ONE"},
      {"e1", "ONE", 1, "e1", "ONE"},  // unchanged
      {"e2", "TWO", 2, "e2", "TWO"},  // changed: replaced
      {"e3", "", 3, "", ""},          // empty answer: no etag kept ...
      {"e3", "THREE", 4, "e3", "THREE"},  // ... so the same etag is asked again
  };
  int day = 10;
  for (const auto& s : kSteps) {
    char entry[512];
    std::string updated = "2024-03-" + std::to_string(day++) + "T00:00:00.000Z";
    snprintf(entry, sizeof(entry), kPhoto, updated.c_str(), s.etag, s.data);
    Serve(entry, "", R"("updated": ")" + updated + "\"");
    ASSERT_EQ(1, Service().RunPass(&stop_)) << LogText();
    EXPECT_EQ(s.requests, fake_.Count("GET /m8/feeds/photos/")) << s.etag;
    EXPECT_EQ(s.stored_etag, Sql("SELECT photo_etag FROM contact")) << s.etag;
    EXPECT_EQ(s.photo, Sql("SELECT photo FROM contact_photo")) << s.etag;
    EXPECT_EQ("1", Sql("SELECT count(*) FROM contact_photo")) << s.etag;
  }
}

TEST_F(ContactServiceTest, LettersCaseAndApostrophesDoNotMakeSecondContacts) {
  // Local contacts made from mail, as the indexer makes them.
  for (const char* quoted : {"John@Example.org", "o''brien@example.org"}) {
    MailFrom(quoted);
    Sql("INSERT INTO contact (name, account_id, type) VALUES ('x', " + std::to_string(accountId_) + ", 0); "
        "INSERT INTO contact_email_link (contact_id, email_address_id) VALUES (last_insert_rowid(), "
        "(SELECT id FROM email_address WHERE address = '" + quoted + "'))");
  }
  Serve(R"({"id": "john", "updated": "2024-02-01T00:00:00.000Z", "title": "John", "emails": [{"address": "john@example.org"}]},
           {"id": "ob", "updated": "2024-02-01T00:00:00.000Z", "title": "O'Brien", "emails": [{"address": "o'brien@example.org"}]})");
  ASSERT_EQ(1, Service().RunPass(&stop_)) << LogText();
  Serve(R"({"id": "john", "updated": "2024-03-02T00:00:00.000Z", "title": "John", "emails": [{"address": "JOHN@example.org"}]},
           {"id": "ob", "updated": "2024-03-02T00:00:00.000Z", "deleted": true})",
        "", R"("updated": "2024-03-05T00:00:00.000Z")");
  ASSERT_EQ(1, Service().RunPass(&stop_)) << LogText();
  EXPECT_EQ("John|1,O'Brien|0",
            Sql("SELECT group_concat(name || '|' || type) FROM (SELECT * FROM contact ORDER BY name)"));
  EXPECT_EQ("2", Sql("SELECT count(*) FROM contact_email_link"));
}

TEST_F(ContactServiceTest, StopsKeepTheModificationTimeAndTheNextPassStoresTheRest) {
  Serve(All(), kGroups, R"("hold": "/m8/feeds/photos/")");
  StopWhileHeld("GET /m8/feeds/photos/", 1);
  // Ann, the oldest, was being stored; Bob after her was not.
  EXPECT_EQ("Ann|1|1|ann1|likes tea", Row("ann"));
  EXPECT_EQ("", Row("bob"));
  EXPECT_EQ("NULL", Sql("SELECT last_contact_modified_time FROM account_status"));
  EXPECT_NE("0", Sql("SELECT contact_updated_time FROM account_status"));

  stop_.Reset();
  ASSERT_EQ(1, Service().RunPass(&stop_)) << LogText();
  EXPECT_FALSE(Row("bob").empty());
  EXPECT_EQ(kFeedTime, Sql("SELECT last_contact_modified_time FROM account_status"));

  // Stopped inside the groups: none of them kept, no transaction left open.
  Serve(kAnn, R"({"id": "g9", "updated": "2024-03-05T00:00:00.000Z", "title": "Late"})",
        R"("hold": "/m8/feeds/groups/", "updated": "2024-03-06T00:00:00.000Z")");
  StopWhileHeld("GET /m8/feeds/groups/", 3);
  EXPECT_EQ("", Sql("SELECT id FROM [group] WHERE name = 'Late'"));
  EXPECT_EQ(1, SQLiteMgr::ExecuteQuery(db_.get(), "BEGIN IMMEDIATE TRANSACTION"));
  EXPECT_EQ(1, SQLiteMgr::ExecuteQuery(db_.get(), "ROLLBACK TRANSACTION"));
}

TEST_F(ContactServiceTest, FailedStepsFailThePassAndAreRetried) {
  // The stored time cannot be read: logged, and read again by the next pass.
  Sql("ALTER TABLE account_status RENAME TO status_away");
  Serve(All(), kGroups);
  EXPECT_EQ(0, Service().RunPass(&stop_));
  EXPECT_NE(std::string::npos, LogText().find("GetLastModifiedTimeFromSQLite"));
  Sql("ALTER TABLE status_away RENAME TO account_status");
  ASSERT_EQ(1, Service().RunPass(&stop_)) << LogText();

  // A feed cut short, or counting fewer than it holds, fails the pass: the
  // modification time stays, so the next pass asks for the missing ones again.
  std::string entries;
  for (int i = 0; i < 25; ++i)
    entries += (i ? ",{" : "{") + std::string(R"("id": "p)") + std::to_string(i) +
               R"(", "updated": "2024-03-20T00:00:00.000Z", "title": "P"})";
  const std::string before = Sql("SELECT last_contact_modified_time FROM account_status");
  for (const char* total : {"30", "1"}) {
    Serve(entries, "", std::string(R"("total_results": {"contacts": )") + total +
                           R"(}, "updated": "2024-04-01T00:00:00.000Z")");
    EXPECT_EQ(0, Service().RunPass(&stop_)) << total;
    EXPECT_EQ(before, Sql("SELECT last_contact_modified_time FROM account_status")) << total;
    EXPECT_EQ("0", Sql("SELECT count(*) FROM contact WHERE name = 'P'")) << total;
    EXPECT_EQ(std::string("Contacts feed cut short: 25 of ") + total + " entries", ContactStatus()) << LogText();
  }
  Serve(entries, "", R"("updated": "2024-04-01T00:00:00.000Z")");
  ASSERT_EQ(1, Service().RunPass(&stop_)) << LogText();
  EXPECT_EQ("25", Sql("SELECT count(*) FROM contact WHERE name = 'P'"));
  EXPECT_EQ("2024-04-01T00:00:00.000Z", Sql("SELECT last_contact_modified_time FROM account_status"));

  const struct {
    const char* change;  // SQL that makes the next pass fail
    const char* entry;
    const char* logged;
    const char* unchanged;  // a query whose answer the failure must not change
  } kCases[] = {
      // A changed contact is stored whole or not at all: its tags come late.
      {"CREATE TRIGGER refuse BEFORE INSERT ON contact_tag_link BEGIN SELECT RAISE(ABORT, 'no'); END",
       R"({"id": "bob", "updated": "2024-04-02T00:00:00.000Z", "title": "Bobby", "tags": ["new"]})",
       "InsertContactTags", "SELECT name FROM contact WHERE uid LIKE '%/bob'"},
      // A deleted contact is converted whole or not at all: its photo is the last to go.
      {"CREATE TRIGGER refuse BEFORE DELETE ON contact_photo BEGIN SELECT RAISE(ABORT, 'no'); END",
       R"({"id": "ann", "updated": "2024-04-02T00:00:00.000Z", "deleted": true})", "MarkFtsContactAsNonGoogleContact",
       "SELECT count(*) || uid || type || (SELECT [is] FROM fts_contact WHERE name = 'Ann') FROM contact JOIN "
       "contact_photo ON contact_id = id WHERE name = 'Ann'"},
      {"CREATE TRIGGER refuse BEFORE UPDATE ON contact BEGIN SELECT RAISE(ABORT, 'no'); END",
       R"({"id": "ann", "updated": "2024-04-02T00:00:00.000Z", "deleted": true})", "MarkContactAsNonGoogleContact",
       "SELECT count(*) || uid || type FROM contact WHERE name = 'Ann'"},
  };
  for (const auto& c : kCases) {
    std::string before = Sql(c.unchanged);
    Sql(c.change);
    Reopen();
    Serve(c.entry, "", R"("updated": "2024-05-01T00:00:00.000Z")");
    EXPECT_EQ(0, Service().RunPass(&stop_)) << c.logged;
    EXPECT_NE(std::string::npos, LogText().find(c.logged)) << c.logged;
    EXPECT_EQ(before, Sql(c.unchanged)) << c.logged;
    EXPECT_EQ("2024-04-01T00:00:00.000Z", Sql("SELECT last_contact_modified_time FROM account_status"));
    Sql("DROP TRIGGER IF EXISTS refuse");
  }
}

TEST_F(ContactServiceTest, FirstPassThroughEachKindOfProxy) {
  pvtest::HttpProxyPeer tinyproxy;
  ASSERT_TRUE(tinyproxy.Start("pu", "pp")) << tinyproxy.Error();
  pvtest::SocksPeer microsocks;
  ASSERT_TRUE(microsocks.Start()) << microsocks.Error();
  const std::string dead = "http://127.0.0.1:" + std::to_string(pvtest::FreeLoopbackPort());
  const struct {
    int type;
    pvtest::Peer* proxy;
    const char* env;  // https_proxy for the automatic look-up (and for libcurl)
    std::string log;
  } kCases[] = {
      {2, &tinyproxy, nullptr, "/tinyproxy.log"},
      {3, &microsocks, nullptr, "/output.log"},
      {4, nullptr, nullptr, ""},                 // nothing found: direct
      {4, &tinyproxy, "tinyproxy", "/tinyproxy.log"},
      {1, nullptr, dead.c_str(), ""},            // direct ignores the environment
  };
  // Every case after the first stores the same feed again: Bob's group that is
  // not stored must not fail the update of a stored contact.
  for (const auto& c : kCases) {
    std::string env = c.env == nullptr ? "" : c.proxy ? "http://" + c.proxy->Address() : c.env;
    ScopedEnv proxyEnv{{"https_proxy", c.env ? env.c_str() : nullptr}, {"http_proxy", c.env ? env.c_str() : nullptr}};
    SetProxy(c.type, "127.0.0.1", c.proxy && c.type != 4 ? c.proxy->Port() : 0, 1, "pu", "pp");
    Serve(All(), kGroups);
    service_.reset();
    Sql("UPDATE account_status SET last_contact_modified_time = NULL");
    ASSERT_EQ(1, Service().RunPass(&stop_)) << c.type << " " << ContactStatus() << LogText();
    if (c.proxy == nullptr) continue;
    std::string log = pvtest::ReadFile(c.proxy->Dir() + c.log);
    EXPECT_NE(std::string::npos, log.find(fake_.LoginHost())) << c.type << log;
    EXPECT_NE(std::string::npos, log.find(fake_.FeedHost())) << c.type << log;
  }
}

}  // namespace
