// The list answers of a fixed database, letter for letter: the file list,
// the contact views and the polls over every sort, group, filter, search and
// page the pages send. The statements behind them are tuned for large
// mailboxes (indexes, plans, work per request rather than per row); what
// they answer must not move. Each answer is kept as its CRC-32, taken when
// the answers were known good; PV_PRINT_ANSWERS=1 prints the table anew
// after a change meant to alter them.
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "app/store/configlist.h"
#include "app/web/showall.h"
#include "core/kcrc32.h"
#include "support/list_data.h"
#include "web_fixture.h"

namespace {

using namespace webtest;

// 2010-03-15 00:00 UTC, some weeks after the newest mail: a contact's
// trend runs by week.
int64_t FixedNow() { return 1268611200; }

struct View {
  int context = 0;       // account id, 0 for all
  int receivedOnly = 1;  // files of sent mail hidden
  int showInline = 0;
  int filesPerPage = 10;
  const char* group = "Everyone";
  const char* type = "All Contacts";
  int sentOnly = 0;  // contacts the user wrote to
  int contactsPerPage = 30;
};

struct Case {
  const char* query;
  View view;
  uint32_t crc;
};

class ShowAllAnswersTest : public ServerTest {
 protected:
  void SetUp() override {
    ServerTest::SetUp();
    env_.Set("TZ", "UTC");
    tzset();
    ShowAll::SetClock(&FixedNow);
    MakeSummaryDatabase();
    int ids[2] = {0, 0};
    for (int i = 0; i < 2; ++i) {
      AccountInfo account;
      account.email.SetAs(pvtest::kAccounts[i]);
      account.password.SetAs("pw");
      account.downloadAll = 1;
      account.downloadAttachments = 1;
      ASSERT_EQ(1, gConfigMgr->AddAccount(account));
      ids[i] = account.id;
    }
    pvtest::ListSizes sizes;
    sizes.mails = 3000;
    sizes.files = 600;
    sizes.addresses = 200;
    sizes.contacts = 900;
    sizes.groups = 8;
    koString attachments;
    PathMgr::GetAttachmentsDir(attachments);
    ASSERT_TRUE(pvtest::Generate(SummaryPath(), attachments.GetString(), ids, sizes));
    koSQLite db(gLog);
    ASSERT_EQ(1, SQLiteMgr::OpenAndInitialize(&db, SQLiteMgr::kSummaryDatabase));
    // Folders, and many ties, which only the order's last key settles.
    for (const char* sql : {"UPDATE file SET is_folder = 1 WHERE id % 7 = 0",
                            "UPDATE file SET size = 1000 + id % 5 WHERE id % 2 = 0",
                            "UPDATE mail SET received_date = received_date - received_date % 86400 WHERE id % 3 = 0",
                            "UPDATE contact SET name = 'Same Name' WHERE id % 11 = 0"})
      ASSERT_EQ(1, SQLiteMgr::ExecuteQuery(&db, sql)) << sql;
    // As every start of the services leaves it.
    ASSERT_EQ(1, CreateSummarySchema(&db));
  }
  void TearDown() override {
    ShowAll::SetClock(nullptr);
    ServerTest::TearDown();
    tzset();
  }
  void Apply(const View& view) {
    Preferences preferences;
    gConfigMgr->GetPreferences(preferences);
    preferences.context_type = view.context;
    preferences.show_recv_attachments = view.receivedOnly;
    preferences.show_inline_images = view.showInline;
    preferences.files_perpage = view.filesPerPage;
    preferences.active_group.SetAs(view.group);
    preferences.active_contacttype.SetAs(view.type);
    preferences.show_sender_emails = view.sentOnly;
    preferences.contacts_perpage = view.contactsPerPage;
    gConfigMgr->SetPreferences(preferences);
  }
  // The answer with the program's version text taken out: a new version
  // changes no list.
  std::string Answer(const Case& c) {
    Apply(c.view);
    std::string body = BodyOf(Get(std::string("/?_object=ShowAll&") + c.query));
    for (size_t at; (at = body.find(kAppVersion)) != std::string::npos;) body.replace(at, strlen(kAppVersion), "V");
    return body;
  }

  ScopedEnv env_;
};

View Files(int context, int receivedOnly, int showInline, int perPage = 10) {
  View v;
  v.context = context;
  v.receivedOnly = receivedOnly;
  v.showInline = showInline;
  v.filesPerPage = perPage;
  return v;
}

View Contacts(const char* group, const char* type = "All Contacts", int context = 0, int sentOnly = 0,
              int perPage = 30) {
  View v;
  v.group = group;
  v.type = type;
  v.context = context;
  v.sentOnly = sentOnly;
  v.contactsPerPage = perPage;
  return v;
}

const Case kCases[] = {
    {"_action=DataLoad&pageNo=1&sortKey=received&sortOrder=DESC", View(), 0x9c005d9b},
    {"_action=DataLoad&pageNo=1&sortKey=subject&sortOrder=DESC", View(), 0x58fe9dec},
    {"_action=DataLoad&pageNo=1&sortKey=filename&sortOrder=DESC", View(), 0xa28f160e},
    {"_action=DataLoad&pageNo=1&sortKey=size&sortOrder=DESC", View(), 0x93bdaa78},
    {"_action=DataLoad&pageNo=1&sortKey=filetype&sortOrder=DESC", View(), 0x115961f0},
    {"_action=DataLoad&pageNo=1&sortKey=sendername&sortOrder=DESC", View(), 0x21a42b5b},
    {"_action=DataLoad&pageNo=1&sortKey=receiveremail&sortOrder=DESC", View(), 0x164f8c74},
    {"_action=DataLoad&pageNo=1&sortKey=fileid&sortOrder=DESC", View(), 0x9c005d9b},
    {"_action=DataLoad&pageNo=1&sortKey=mailid&sortOrder=DESC", View(), 0x9c005d9b},
    {"_action=DataLoad&pageNo=1&sortKey=msgid&sortOrder=DESC", View(), 0x986d90f2},
    {"_action=DataLoad&pageNo=1&sortKey=module&sortOrder=DESC", View(), 0x9c005d9b},
    {"_action=DataLoad&pageNo=1&sortKey=accountid&sortOrder=DESC", View(), 0x02c500dd},
    {"_action=DataLoad&pageNo=1&sortKey=filepath&sortOrder=DESC", View(), 0x29dd9d03},
    {"_action=DataLoad&pageNo=1&sortKey=isfolder&sortOrder=DESC", View(), 0x609979cd},
    {"_action=DataLoad&pageNo=1&sortKey=received&sortOrder=ASC", View(), 0xd9a67b29},
    {"_action=DataLoad&pageNo=1&sortKey=filename&sortOrder=ASC", View(), 0x1a079120},
    {"_action=DataLoad&pageNo=1&sortKey=size&sortOrder=ASC", View(), 0xb5f73cc9},
    {"_action=DataLoad&pageNo=1&sortKey=sendername&sortOrder=ASC", View(), 0xad8493bb},
    {"_action=DataLoad&pageNo=1&sortKey=isfolder&sortOrder=ASC", View(), 0xd51e4f98},
    {"_action=DataLoad&pageNo=1&group=filetype&sortKey=filename&sortOrder=ASC", View(), 0x33ad5f4c},
    {"_action=DataLoad&pageNo=1&group=sendername&sortKey=received&sortOrder=DESC", View(), 0x8a626fbc},
    {"_action=DataLoad&pageNo=1&group=receiveremail&sortKey=size&sortOrder=ASC", View(), 0x4e03ff77},
    {"_action=DataLoad&pageNo=1&search=report", View(), 0x8b6ecfef},
    {"_action=DataLoad&pageNo=1&search=-report", View(), 0xc6db17d1},
    {"_action=DataLoad&pageNo=1&search=report&sortKey=size&sortOrder=ASC", View(), 0x352c2b8f},
    {"_action=DataLoad&pageNo=1&search=pdf&sortKey=sendername&sortOrder=DESC", View(), 0x3c848522},
    {"_action=DataLoad&pageNo=3&search=-report", View(), 0xff1b1823},
    {"_action=DataLoad&pageNo=30", View(), 0xcf1de727},
    {"_action=DataLoad&pageNo=50", View(), 0xf0d8115c},
    {"_action=DataLoad&pageNo=2&sortKey=isfolder&sortOrder=DESC", View(), 0xcc0428da},
    {"_action=DataLoad&pageNo=1", Files(1, 1, 0), 0xf0bc966c},
    {"_action=DataLoad&pageNo=1&sortKey=subject&sortOrder=ASC", Files(1, 1, 0), 0x2ed2b352},
    {"_action=DataLoad&pageNo=1&search=-report", Files(1, 1, 0), 0x97135b13},
    {"_action=DataLoad&pageNo=1&search=report", Files(1, 1, 0), 0x70406461},
    {"_action=DataLoad&pageNo=1", Files(2, 0, 1), 0x69419a06},
    {"_action=DataLoad&pageNo=1&sortKey=subject&sortOrder=ASC", Files(2, 0, 1), 0xc5f9721e},
    {"_action=DataLoad&pageNo=1&search=-report", Files(2, 0, 1), 0xc87826e4},
    {"_action=DataLoad&pageNo=1&search=report", Files(2, 0, 1), 0xc2132091},
    {"_action=DataLoad&pageNo=1", Files(0, 0, 1, 7), 0x85a977f6},
    {"_action=DataLoad&pageNo=1&sortKey=subject&sortOrder=ASC", Files(0, 0, 1, 7), 0xfc2a8e56},
    {"_action=DataLoad&pageNo=1&search=-report", Files(0, 0, 1, 7), 0xf8091c62},
    {"_action=DataLoad&pageNo=1&search=report", Files(0, 0, 1, 7), 0x4022522f},
    {"_action=DataLoad&pageNo=1", Files(2, 1, 1, 4), 0x5b8629b2},
    {"_action=DataLoad&pageNo=1&sortKey=subject&sortOrder=ASC", Files(2, 1, 1, 4), 0x5b382d13},
    {"_action=DataLoad&pageNo=1&search=-report", Files(2, 1, 1, 4), 0x49281528},
    {"_action=DataLoad&pageNo=1&search=report", Files(2, 1, 1, 4), 0xa65d544f},
    {"_action=CheckStatus&type=file&pageNo=1&crc=1", View(), 0x40990a48},
    {"_action=CheckStatus&type=file&pageNo=1&search=-report&crc=1", View(), 0x2d414813},
    {"_action=StatusMessage&crc=1", View(), 0xd49b719f},
    {"_action=ContactLoad&pageNo=1", Contacts("Everyone", "All Contacts"), 0x32f3c1e5},
    {"_action=ContactLoad&pageNo=1", Contacts("Everyone", "Starred Contacts"), 0x275866e1},
    {"_action=ContactLoad&pageNo=1", Contacts("Everyone", "Unread Mails"), 0xf5ad1661},
    {"_action=ContactLoad&pageNo=1", Contacts("All Contacts", "All Contacts"), 0xc8384333},
    {"_action=ContactLoad&pageNo=1", Contacts("All Contacts", "Starred Contacts"), 0x3184c144},
    {"_action=ContactLoad&pageNo=1", Contacts("All Contacts", "Unread Mails"), 0x2ebf5c87},
    {"_action=ContactLoad&pageNo=1", Contacts("My Contacts", "All Contacts"), 0x934b8439},
    {"_action=ContactLoad&pageNo=1", Contacts("My Contacts", "Starred Contacts"), 0x80ccbee7},
    {"_action=ContactLoad&pageNo=1", Contacts("My Contacts", "Unread Mails"), 0x8e286f27},
    {"_action=ContactLoad&pageNo=1", Contacts("Group 3", "All Contacts"), 0x4c4623f2},
    {"_action=ContactLoad&pageNo=1", Contacts("Group 3", "Starred Contacts"), 0x810f7f73},
    {"_action=ContactLoad&pageNo=1", Contacts("Group 3", "Unread Mails"), 0xa32bfab2},
    {"_action=ContactLoad&pageNo=5", Contacts("Everyone"), 0x8e82451d},
    {"_action=ContactLoad&pageNo=20", Contacts("Everyone"), 0x71ff7c0c},
    {"_action=ContactLoad&pageNo=26", Contacts("Everyone"), 0x2e43161c},
    {"_action=ContactLoad&pageNo=27", Contacts("Everyone"), 0x062e6d5c},
    {"_action=ContactLoad&pageNo=28", Contacts("Everyone"), 0xe622eaf7},
    {"_action=ContactLoad&pageNo=12", Contacts("My Contacts", "All Contacts", 0, 0, 25), 0x4161559e},
    {"_action=ContactLoad&pageNo=13", Contacts("My Contacts", "All Contacts", 0, 0, 25), 0xbd97b7fa},
    {"_action=ContactLoad&pageNo=15", Contacts("Everyone", "All Contacts", 1, 0, 25), 0xacd85a19},
    {"_action=ContactLoad&pageNo=1", Contacts("My Contacts", "All Contacts", 1), 0x908a788f},
    {"_action=ContactLoad&pageNo=1", Contacts("Group 2", "All Contacts", 2), 0x16dea56c},
    {"_action=ContactLoad&pageNo=1", Contacts("Everyone", "All Contacts", 0, 1), 0x382815c8},
    {"_action=ContactLoad&pageNo=1", Contacts("My Contacts", "All Contacts", 0, 1), 0xd93ad756},
    {"_action=ContactLoad&pageNo=1&search=person1*", Contacts("Everyone", "All Contacts", 0, 1), 0xc755a475},
    {"_action=ContactLoad&pageNo=1&search=moreau", Contacts("Everyone"), 0x63b002f8},
    {"_action=ContactLoad&pageNo=1&search=person1*", Contacts("Everyone"), 0xc755a475},
    {"_action=ContactLoad&pageNo=1&search=person12@example.org&forceDetails=1", Contacts("Everyone"), 0xe951f827},
    {"_action=ContactLoad&pageNo=1&search=nomatchxyz", Contacts("Everyone"), 0x60ca97d2},
    {"_action=ContactLoad&pageNo=1&search=person5@example.org", Contacts("Everyone"), 0x4c05c8ff},
    {"_action=ContactLoad&pageNo=1&search=person5@example.org&forceList=1", Contacts("Everyone"), 0x15afd495},
    {"_action=ContactLoad&pageNo=1", Contacts("No such group"), 0x9c358e94},
    {"_action=ContactLoad&pageNo=1", Contacts("Everyone", "All Contacts", 0, 0, 11), 0x8f267ec0},
    {"_action=CheckStatus&type=contact&pageNo=1&crc=1", Contacts("Everyone"), 0xe7b281e4},
    {"_action=ContactDetails&mailsPerPage=10&contactid=1&mailPageNo=1", Contacts("Everyone"), 0x58b26494},
    {"_action=ContactDetails&mailsPerPage=10&contactid=1&mailPageNo=3", Contacts("Everyone"), 0xabdd3827},
    {"_action=ContactDetails&mailsPerPage=10&contactid=1&mailPageNo=40", Contacts("Everyone"), 0x44437914},
    {"_action=ContactDetails&mailsPerPage=10&contactid=7&mailPageNo=1", Contacts("Everyone"), 0x70cc7aa5},
    {"_action=ContactDetails&mailsPerPage=10&contactid=250&mailPageNo=1", Contacts("Everyone"), 0x0dc30cb6},
    {"_action=ContactDetails&mailsPerPage=10&contactid=99999&mailPageNo=1", Contacts("Everyone"), 0x00000000},
    {"_action=CheckStatus&type=details&contactid=1&mailsPerPage=10&mailPageNo=1&crc=1", Contacts("Everyone"), 0x7ef7e75a},
};

TEST_F(ShowAllAnswersTest, ListsAnswerAsTheyDidForAFixedDatabase) {
  static const koCrc32 kCrc;
  const bool print = getenv("PV_PRINT_ANSWERS") != nullptr;
  for (const Case& c : kCases) {
    std::string answer = Answer(c);
    const uint32_t crc = kCrc.Compute(answer.data(), static_cast<int>(answer.size()));
    if (print) {
      printf("crc 0x%08x %s\n    %.300s\n", crc, c.query, answer.c_str());
      continue;
    }
    EXPECT_EQ(c.crc, crc) << c.query << " (view: account " << c.view.context << ", group " << c.view.group
                          << ", type " << c.view.type << ")\n"
                          << answer.substr(0, 3000);
  }
}

}  // namespace
