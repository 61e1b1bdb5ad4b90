// The contact views of the default handler: the contact list with its
// filters, search and paging, the switch to the details of a single match,
// one contact's details with its conversations, the trend series over the
// calendar, and the change checks the pages poll for both.
#include "app/web/showall.h"

#include <time.h>

#include <string>
#include <vector>

#include "showall_fixture.h"
#include "support/child.h"

namespace {

using namespace webtest;

// The names a list answer shows joined by ",", or "details:<name>" when the
// answer is one contact's details.
std::string Shown(const Json& json) {
  if (json["result.data.type"] == "ContactDetails") return "details:" + json["result.data.contactDetails.contactname"];
  json_object* contacts = json.At("result.data.contacts");
  if (json["result.data.type"] != "ContactLoad" || contacts == nullptr) return "<no list>";
  std::string names;
  for (size_t i = 0; i < json_object_array_length(contacts); ++i)
    names += (i > 0 ? "," : "") + json["result.data.contacts." + std::to_string(i) + ".contactname"];
  return names;
}

// A JSON array of numbers as "1,0,2".
std::string Series(const Json& json, const std::string& path) {
  json_object* array = json.At(path);
  if (array == nullptr || !json_object_is_type(array, json_type_array)) return "<none>";
  std::string out;
  for (size_t i = 0; i < json_object_array_length(array); ++i)
    out += (i > 0 ? "," : "") + std::to_string(json_object_get_int64(json_object_array_get_idx(array, i)));
  return out;
}

TEST_F(ShowAllTest, TheContactListFiltersSearchesAndPages) {
  int a = AddAccount(kAccount);
  int b = AddAccount("other@example.com");
  const ContactSeed kSeeds[] = {
      {"erin Evans", {"erin@example.org"}, 1},
      {"Bob Baker", {"bob@x.com", "bob@y.com"}, 0, 1, "", "golf"},
      {"alice Archer", {"alice@example.org"}},
      {"Carol Chen", {"carol@example.org"}, 1, 0, "", "", {"Friends"}},
      {"dave Doe", {"dave@example.org"}, 0, 0, "", "", {"Friends"}},
  };
  for (const ContactSeed& seed : kSeeds) AddContact(a, seed);
  // The other account: one address of Zed's spans two of Yul's words.
  AddContact(b, {"Zed Zimmer", {"bob@x.com", "alice@z.com"}, 1, 0, "", "", {"Team"}});
  AddContact(b, {"Yul Young", {"bob@z.com"}});
  Store(a, ContactMail(kAccount, "alice Archer <alice@example.org>", false, "u1@x", "Hello"), 1);
  Sql("UPDATE mail SET unseen = 1");

  SetContactView("Everyone", "All", 30, a);
  std::string answer = Get("/?_action=ContactLoad&pageNo=1&browser=t");
  EXPECT_EQ("text/plain", HeaderOf(answer, "Content-Type"));
  Json all(BodyOf(answer));
  ASSERT_NE(nullptr, all.root) << BodyOf(answer);
  EXPECT_EQ("alice Archer,Bob Baker,Carol Chen,dave Doe,erin Evans", Shown(all));
  EXPECT_EQ((std::vector<std::string>{"type", "contactCount", "forceList", "forceDetails", "curRowBegin", "curRowEnd",
                                      "curPageNo", "contactsPerPage", "curSearch", "contacts", "groups", "activeGroup",
                                      "activeContactType", "version"}),
            all.Keys("result.data"));
  EXPECT_EQ((std::vector<std::string>{"contactid", "accountid", "isphotoexist", "mark", "type", "unseenCount",
                                      "contactname", "contacttaglist", "contactemaillist", "contactphonelist"}),
            all.Keys("result.data.contacts.0"));
  EXPECT_EQ("5 5 1 5 Everyone All 1.89 Beta",
            all.Join({"totalRows", "result.data.contactCount", "result.data.curRowBegin", "result.data.curRowEnd",
                      "result.data.activeGroup", "result.data.activeContactType", "result.data.version"}));
  EXPECT_EQ("1 0 0|0 1 0 golf bob@x.com\nbob@y.com|0 0 1",
            all.Join({"unseenCount", "mark", "type"}, "result.data.contacts.0.") + "|" +
                all.Join({"unseenCount", "mark", "type", "contacttaglist", "contactemaillist"},
                         "result.data.contacts.1.") + "|" +
                all.Join({"unseenCount", "mark", "type"}, "result.data.contacts.4."));
  EXPECT_EQ("Friends All Contacts Everyone <none>",
            all.Join({"result.data.groups.0", "result.data.groups.1", "result.data.groups.2", "result.data.groups.3"}));
  EXPECT_EQ("Friends Team All Contacts Everyone", [&] {
    SetContactView("Everyone", "All");
    return Json(Ask("_action=ContactLoad&pageNo=1")).Join({"0", "1", "2", "3"}, "result.data.groups.");
  }());

  const struct {
    int account;
    const char *group, *type, *query, *shown;
  } kCases[] = {
      {a, "Friends", "All", "", "Carol Chen,dave Doe"},
      {a, "All Contacts", "All", "", "Carol Chen,erin Evans"},
      {a, "Everyone", "Starred Contacts", "", "details:Bob Baker"},
      {a, "Everyone", "Starred Contacts", "&forceList=1", "Bob Baker"},
      {a, "Everyone", "Unread Mails", "&forceList=1", "alice Archer"},
      {a, "Friends", "Unread Mails", "", ""},
      {a, "Everyone", "All", "&search=alice", "details:alice Archer"},
      {a, "Everyone", "All", "&search=alice&forceList=1", "alice Archer"},
      {a, "Friends", "All", "&search=alice", ""},
      {a, "Everyone", "All", "&search=example.org", "alice Archer,Carol Chen,dave Doe,erin Evans"},
      {a, "Everyone", "All", "&search=golf", "details:Bob Baker"},
      // forceDetails drops the group and type filters and matches an
      // address as a whole.
      {a, "Friends", "Starred Contacts", "&search=bob@y.com&forceDetails=1", "details:Bob Baker"},
      {b, "Everyone", "All", "&search=bob@z.com", "Yul Young,Zed Zimmer"},
      {b, "Everyone", "All", "&search=bob@z.com&forceDetails=1", "details:Yul Young"},
      {b, "Everyone", "All", "&search=%22bob@z.com&forceDetails=1&forceList=1", "Yul Young"},
      {0, "Team", "All", "", "details:Zed Zimmer"},
      {0, "Everyone", "All", "&search=bob@x.com", "Bob Baker,Zed Zimmer"},
  };
  for (const auto& c : kCases) {
    SetContactView(c.group, c.type, 30, c.account);
    Json json(Ask(std::string("_action=ContactLoad&pageNo=1") + c.query));
    ASSERT_NE(nullptr, json.root) << c.group << c.query;
    EXPECT_EQ(c.shown, Shown(json)) << c.group << " " << c.type << c.query;
    EXPECT_EQ(c.group, json["result.data.activeGroup"]);
  }

  // Pages of two cover the list once, in order.
  SetContactView("Everyone", "All", 2, a);
  std::string pages;
  for (int page = 1; page <= 4; ++page) {
    Json json(Ask("_action=ContactLoad&pageNo=" + std::to_string(page)));
    pages += json.Join({"curRowBegin", "curRowEnd", "contactCount"}, "result.data.") + ":" + Shown(json) + ";";
  }
  EXPECT_EQ("1 2 2:alice Archer,Bob Baker;3 4 2:Carol Chen,dave Doe;5 5 1:erin Evans;7 5 0:;", pages);

  // A group that is gone: everyone is listed, and later lists start from
  // the service's own group.
  SetContactView("Gone", "All", 30, a);
  Json gone(Ask("_action=ContactLoad&pageNo=1"));
  EXPECT_EQ("alice Archer,Bob Baker,Carol Chen,dave Doe,erin Evans|My Contacts", Shown(gone) + "|" +
                                                                                    gone["result.data.activeGroup"]);
  Preferences preferences;
  gConfigMgr->GetPreferences(preferences);
  EXPECT_STREQ("My Contacts", preferences.active_group.GetString());
  EXPECT_EQ(a, preferences.context_type);

  // Only the contacts the account wrote to.
  Store(a, ContactMail(kAccount, "Carol Chen <carol@example.org>", true, "s1@x", "Hi Carol"), 2);
  for (const char* search : {"", "&search=example.org"}) {
    SetContactView("Everyone", "All", 30, a, 1);
    EXPECT_EQ("Carol Chen", Shown(Json(Ask(std::string("_action=ContactLoad&pageNo=1&forceList=1") + search))));
    EXPECT_EQ("details:Carol Chen", Shown(Json(Ask(std::string("_action=ContactLoad&pageNo=1") + search))));
  }

  // The poll tells whether the list would change.
  SetContactView("Everyone", "All", 30, a);
  std::string crc = Json(Ask("_action=ContactLoad&pageNo=1"))["resultcrc"];
  const std::string check = "_action=CheckStatus&type=Contact&pageNo=1&crc=" + crc;
  EXPECT_EQ("{\"version\":\"1.89 Beta\",\"totalRows\":5,\"sidebarLock\":0,\"status\":0}", Ask(check));
  AddContact(a, {"Finn Fox", {"finn@example.org"}});
  EXPECT_EQ("{\"version\":\"1.89 Beta\",\"totalRows\":6,\"sidebarLock\":0,\"status\":1}", Ask(check));
}

TEST_F(ShowAllTest, AContactsDetailsAndConversations) {
  int a = AddAccount(kAccount);
  const std::string tess = "Tess Tran <tess@example.org>";
  // Three conversations: the first answered last, the third the account's.
  Store(a, ContactMail(kAccount, tess, false, "a1@x", "Plans"), 1, kDate);
  Store(a, ContactMail(kAccount, tess, false, "b1@x", " \t "), 2, kDate + 86400);
  Store(a, ContactMail(kAccount, tess, true, "c1@x", "Invoice"), 3, kDate + 2 * 86400);
  Store(a, ContactMail(kAccount, tess, false, "a2@x", "Re: Plans", "a1@x"), 4, kDate + 3 * 86400);
  Sql("UPDATE mail SET unseen = 1 WHERE subject = 'Invoice' OR subject = 'Plans'");
  const std::string id = Sql("SELECT id FROM contact WHERE name = 'Tess Tran'");
  ASSERT_NE("", id);
  Sql("UPDATE contact SET notes = 'Met at \"the\" fair' WHERE id = " + id);

  const std::string details = "_action=ContactDetails&contactid=" + id + "&mailsPerPage=2&mailPageNo=";
  Json first(Ask(details + "1"));
  ASSERT_NE(nullptr, first.root) << Ask(details + "1");
  EXPECT_EQ((std::vector<std::string>{"type", "contactCount", "contactDetails", "groups", "activeGroup",
                                      "activeContactType", "curMailBegin", "curMailEnd", "curMailPageNo", "totalMails",
                                      "version"}),
            first.Keys("result.data"));
  EXPECT_EQ((std::vector<std::string>{"contactid", "contactname", "mark", "type", "accountid", "emailaddress",
                                      "phonelist", "tags", "notes", "isphotoexist", "totalsent", "totalrecv",
                                      "unseenCount", "trendDetails", "threadDetails"}),
            first.Keys("result.data.contactDetails"));
  EXPECT_EQ((std::vector<std::string>{"RecvTrend", "SentTrend", "RecvTrendStartTime", "RecvTrendEndTime",
                                      "SentTrendStartTime", "SentTrendEndTime", "GroupType"}),
            first.Keys("result.data.contactDetails.trendDetails"));
  EXPECT_EQ(id + " " + std::to_string(a) + " tess@example.org Met at \"the\" fair 1 3 2 1",
            first.Join({"contactid", "accountid", "emailaddress", "notes", "totalsent", "totalrecv", "unseenCount",
                        "trendDetails.GroupType"},
                       "result.data.contactDetails."));
  EXPECT_EQ("1 " + std::to_string(kDate) + " " + std::to_string(kDate + 3 * 86400),
            first.Join({"totalRows", "result.data.contactDetails.trendDetails.RecvTrendStartTime",
                        "result.data.contactDetails.trendDetails.RecvTrendEndTime"}));

  const struct {
    const char* page;
    std::string rows, range;
  } kPages[] = {
      {"1", "<a2@x> 1 0 " + std::to_string((kDate + 3 * 86400) * 1000) + " Re: Plans|<c1@x> 2 1 " +
                std::to_string((kDate + 2 * 86400) * 1000) + " Invoice|",
       "1 2 1 3"},
      {"2", "<b1@x> 1 0 " + std::to_string((kDate + 86400) * 1000) + " (no subject)|", "3 3 2 3"},
      {"5", "", "9 3 5 3"},
  };
  for (const auto& p : kPages) {
    Json json(Ask(details + p.page));
    std::string rows;
    json_object* threads = json.At("result.data.contactDetails.threadDetails");
    ASSERT_NE(nullptr, threads) << p.page;
    for (size_t i = 0; i < json_object_array_length(threads); ++i)
      rows += json.Join({"MessageId", "ModuleId", "IsUnseen", "Time", "Subject"},
                        "result.data.contactDetails.threadDetails." + std::to_string(i) + ".") + "|";
    EXPECT_EQ(p.rows, rows) << p.page;
    EXPECT_EQ(p.range, json.Join({"curMailBegin", "curMailEnd", "curMailPageNo", "totalMails"}, "result.data."));
  }
  // A single match of the list shows the first page of its conversations.
  EXPECT_EQ("details:Tess Tran 1 1 3 2",
            [&] {
              Json json(Ask("_action=ContactLoad&pageNo=1&search=tess&mailsPerPage=1"));
              return Shown(json) + " " + json.Join({"curMailPageNo", "curMailBegin", "totalMails"}, "result.data.") +
                     " " + json["result.data.contactDetails.unseenCount"];
            }());

  // The poll tells whether these details would change.
  std::string crc = first["resultcrc"];
  const std::string check = "_action=CheckStatus&type=details&contactid=" + id + "&mailsPerPage=2&mailPageNo=1&crc=";
  EXPECT_EQ("{\"version\":\"1.89 Beta\",\"totalRows\":1,\"sidebarLock\":0,\"status\":0}", Ask(check + crc));
  Store(a, ContactMail(kAccount, tess, false, "d1@x", "News"), 5, kDate + 4 * 86400);
  EXPECT_EQ("{\"version\":\"1.89 Beta\",\"totalRows\":1,\"sidebarLock\":0,\"status\":1}", Ask(check + crc));

  // A contact without addresses has no mail; one without a row answers
  // nothing at all.
  const std::string nobody = std::to_string(AddContact(a, {"No Body", {}}));
  Json empty(Ask("_action=ContactDetails&mailsPerPage=2&mailPageNo=1&contactid=" + nobody));
  EXPECT_EQ("0 0 0 { } [ ] 0 0", empty.Join({"totalsent", "totalrecv", "unseenCount", "trendDetails", "threadDetails"},
                                         "result.data.contactDetails.") +
                                  " " + empty.Join({"curMailEnd", "totalMails"}, "result.data."));
  for (const char* query : {"ContactDetails&contactid=9999", "ContactDetails&contactid=x", "ContactDetails&contactid=-1",
                            "ContactDetails", "CheckStatus&type=details&contactid=9999"})
    EXPECT_EQ("", Ask(std::string("_action=") + query)) << query;

  // Every contact's answers are JSON, whatever its texts hold.
  AddContact(a, {"Q \"uote\" \\ back\nline\x01", {"q@example.org"}, 1, 1, "notes\t\"x\"\x7f", "t\xc3\xa9g"});
  Store(a, ContactMail(kAccount, "Q <q@example.org>", false, "q1@x", "\"quoted\" \\ subject\x02"), 6, kDate);
  const std::string ids = Sql("SELECT group_concat(id) FROM contact");
  for (size_t from = 0; from < ids.size();) {
    size_t comma = ids.find(',', from);
    std::string one = ids.substr(from, comma - from);
    from = comma == std::string::npos ? ids.size() : comma + 1;
    std::string body = Ask("_action=ContactDetails&mailsPerPage=5&mailPageNo=1&contactid=" + one);
    Json json(body);
    EXPECT_NE(nullptr, json.root) << one << ": " << body;
    EXPECT_EQ(one, json["result.data.contactDetails.contactid"]);
  }
  Json list(Ask("_action=ContactLoad&pageNo=1"));
  EXPECT_NE(nullptr, list.root);
}

// "now" of the trend series, fixed by the test.
int64_t gNow = 0;
int64_t FixedNow() { return gNow; }

// The expected series, computed apart: every local calendar day from the
// first mail to now, named with the pattern, one bucket per name.
const char kExpectedSeries[] = R"(import datetime, json, sys, zoneinfo
a = json.load(open(sys.argv[1]))
zone = zoneinfo.ZoneInfo(a["tz"])
def name(t): return datetime.datetime.fromtimestamp(t, zone).strftime(a["pattern"])
day = datetime.datetime.fromtimestamp(min(t for t, m in a["mails"]), zone).date()
last = datetime.datetime.fromtimestamp(a["now"], zone).date()
names = []
while day <= last:
    if not names or names[-1] != day.strftime(a["pattern"]): names.append(day.strftime(a["pattern"]))
    day += datetime.timedelta(days=1)
assert len(set(names)) == len(names)
for module in (1, 2):
    print(",".join(str(sum(1 for t, m in a["mails"] if m == module and name(t) == n)) for n in names))
)";

TEST_F(ShowAllTest, TrendsFollowTheCalendar) {
  // 2024-03-31 10:00 UTC: thirty-day steps back from here name January
  // twice and skip February.
  gNow = 1711879200;
  ShowAll::SetClock(&FixedNow);
  int a = AddAccount(kAccount);
  const std::string script = home_.path() + "/series.py";
  WriteFile(script, kExpectedSeries);
  const struct {
    const char* zone;
    int days;  // age of the first mail
    int groupType;
    const char* pattern;
  } kCases[] = {
      {"UTC", 10, 7, "%Y-%m-%d"},  {"UTC", 70, 7, "%Y-%m-%d"},       {"UTC", 71, 4, "%Y-%W"},
      {"UTC", 400, 4, "%Y-%W"},    {"UTC", 3 * 365, 3, "%Y-%m"},     {"UTC", 6 * 365, 1, "%Y"},
      {"Europe/Berlin", 400, 4, "%Y-%W"}, {"Europe/Berlin", 3 * 365 + 40, 3, "%Y-%m"},
      {"Pacific/Chatham", 2000, 3, "%Y-%m"},
  };
  int uid = 0;
  for (const auto& c : kCases) {
    env_.Set("TZ", c.zone);
    tzset();
    const std::string label = std::string(c.zone) + " " + std::to_string(c.days);
    const std::string person = "p" + std::to_string(c.days) + c.zone[0];
    const std::string address = person + "@example.org";
    // The first mail, then mails spread up to now, both ways.
    const int64_t first = gNow - static_cast<int64_t>(c.days) * 86400;
    const std::vector<std::pair<int64_t, bool>> mails = {
        {first, false},         {first + 3600, true},   {gNow - c.days * 86400 / 2, false},
        {gNow - c.days * 86400 / 3, true}, {gNow - 86400, false}, {gNow - 600, false}};
    std::string list;
    for (const auto& [date, sent] : mails) {
      ++uid;
      Store(a, ContactMail(kAccount, person + " <" + address + ">", sent, "t" + std::to_string(uid) + "@x", "T"), uid, date);
      list += std::string(list.empty() ? "" : ",") + "[" + std::to_string(date) + "," + (sent ? "2" : "1") + "]";
    }
    WriteFile(home_.path() + "/series.json", std::string("{\"tz\":\"") + c.zone + "\",\"pattern\":\"" + c.pattern +
                                                 "\",\"now\":" + std::to_string(gNow) + ",\"mails\":[" + list + "]}");
    int status = -1;
    std::string expected = CommandOutput("python3 " + script + " " + home_.path() + "/series.json", &status);
    ASSERT_EQ(0, status) << expected;

    const std::string id = Sql("SELECT contact_id FROM contact_email_link JOIN email_address ON email_address.id = "
                               "email_address_id WHERE address = '" + address + "'");
    Json json(Ask("_action=ContactDetails&mailsPerPage=1&mailPageNo=1&contactid=" + id));
    const std::string trend = "result.data.contactDetails.trendDetails.";
    ASSERT_NE(nullptr, json.root) << label;
    EXPECT_EQ(std::to_string(c.groupType), json[trend + "GroupType"]) << label;
    EXPECT_EQ(expected, Series(json, trend + "RecvTrend") + "\n" + Series(json, trend + "SentTrend") + "\n") << label;
    EXPECT_EQ(std::to_string(first) + " " + std::to_string(gNow - 600) + " " + std::to_string(first + 3600),
              json.Join({"RecvTrendStartTime", "RecvTrendEndTime", "SentTrendStartTime"}, trend))
        << label;
    if (c.days == 10) {
      // Eleven days, the first mail on the first of them.
      EXPECT_EQ("1,0,0,0,0,1,0,0,0,1,1|1,0,0,0,0,0,0,1,0,0,0",
                Series(json, trend + "RecvTrend") + "|" + Series(json, trend + "SentTrend"));
    }
  }
  ShowAll::SetClock(nullptr);
}

}  // namespace
