// The default handler's answers: the attachment list with its envelope,
// search, filters, sorting and paging, the change checks the pages poll,
// statistics and diagnostics. Mails are stored by the summary store and the
// attachment extractor, as the indexer keeps them.
#include "app/web/showall.h"

#include <json.h>
#include <zlib.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "app/sync/mailmessage.h"
#include "app/sync/mailsummary.h"
#include "app/sync/processattachment.h"
#include "core/kfile.h"
#include "support/lsan_gio.h"
#include "web_fixture.h"
// Last: the mail library's headers define min and max as macros.
extern "C" {
#include <c-client/c-client.h>
}

namespace {

using namespace webtest;

const int64_t kDate = 1236254400;  // Thu, 5 Mar 2009 12:00:00 UTC
const char kAccount[] = "someone@example.com";
const char kRedirect[] = "HTTP/1.0 302 Found\r\nLocation: /index.html\r\n\r\n";
const char kInlineMail[] =
    "From: Cy <cy@example.org>\r\nTo: someone@example.com\r\nSubject: Logo\r\nMIME-Version: 1.0\r\n"
    "Content-Type: multipart/related; boundary=\"r\"\r\n\r\n--r\r\nContent-Type: text/html\r\n\r\n<img>\r\n"
    "--r\r\nContent-Type: image/png; name=\"logo.png\"\r\nContent-Disposition: inline; filename=\"logo.png\"\r\n"
    "\r\nnot really a picture\r\n--r--\r\n";
const char kSentMail[] =
    "From: someone@example.com\r\nTo: Ann <ann@example.org>\r\nSubject: report for Ann\r\nMIME-Version: 1.0\r\n"
    "Content-Type: application/pdf; name=out.pdf\r\nContent-Disposition: attachment; filename=out.pdf\r\n\r\npdf\r\n";

// A parsed answer; root is null when the text is not exactly one JSON value.
struct Json {
  explicit Json(const std::string& text) {
    json_tokener* tokener = json_tokener_new();
    json_tokener_set_flags(tokener, JSON_TOKENER_STRICT);
    root = json_tokener_parse_ex(tokener, text.c_str(), static_cast<int>(text.size()));
    if (json_tokener_get_error(tokener) != json_tokener_success || json_tokener_get_parse_end(tokener) != text.size()) {
      json_object_put(root);
      root = nullptr;
    }
    json_tokener_free(tokener);
  }
  ~Json() { json_object_put(root); }
  json_object* operator[](const char* path) const {
    json_object* at = root;
    std::string rest = path;
    while (at != nullptr && !rest.empty()) {
      size_t dot = rest.find('.');
      at = json_object_object_get(at, rest.substr(0, dot).c_str());
      rest = dot == std::string::npos ? "" : rest.substr(dot + 1);
    }
    return at;
  }
  std::string Text(const char* path) const {
    json_object* at = (*this)[path];
    return at != nullptr ? json_object_get_string(at) : "<none>";
  }
  json_object* root = nullptr;
};

std::vector<std::string> Keys(json_object* object) {
  std::vector<std::string> keys;
  if (json_object_is_type(object, json_type_object)) {
    json_object_object_foreach(object, key, value) {
      (void)value;
      keys.push_back(key);
    }
  }
  return keys;
}

std::string Field(json_object* row, const char* key) {
  json_object* value = json_object_object_get(row, key);
  return value != nullptr && json_object_is_type(value, json_type_string) ? json_object_get_string(value) : "<none>";
}

std::string Fixture(const std::string& name) {
  return ReadFile(std::string(getenv("PV_SOURCE_DIR")) + "/tests/app/sync/data/store/" + name);
}

class ShowAllTest : public ServerTest {
 protected:
  void SetUp() override {
    ServerTest::SetUp();
    env_.Set("LANG", "C");
    env_.Set("LC_ALL", "C");
    MakeSummaryDatabase();
  }

  int AddAccount(const char* email, int attachments = 1) {
    AccountInfo account;
    account.email.SetAs(email);
    account.password.SetAs("pw");
    account.downloadAll = 1;
    account.downloadAttachments = attachments;
    EXPECT_EQ(1, gConfigMgr->AddAccount(account));
    return account.id;
  }
  // Keeps the message as the indexer does: summary and attachments in one
  // transaction.
  void Store(int accountId, const std::string& text, int uid, int64_t date = kDate) {
    AccountInfo account;
    ASSERT_EQ(1, gConfigMgr->GetAccountById(accountId, account));
    koSQLite db(gLog);
    ASSERT_EQ(1, SQLiteMgr::OpenAndInitialize(&db, SQLiteMgr::kSummaryDatabase));
    MailMessage message;
    message.SetAccountEmail(account.email.GetString());
    message.Parse(text.data(), static_cast<uint32_t>(text.size()), 0);
    MailHeaderDetails record;
    record.uid = uid;
    record.receivedDate = date;
    record.direction = message.GetDirection();
    message.GetSubject(record.subject);
    const ENVELOPE* envelope = message.GetEnvelope();
    record.messageId.SetAs(envelope->message_id != nullptr ? envelope->message_id : "");
    const ADDRESS* other = record.direction == MailMessage::kSent ? envelope->to : envelope->from;
    MailSummary::FormatAddress(other, record.counterpartName, record.counterpartEmail);
    MailSummary summary(&db, account.email.GetString(), accountId);
    ProcessAttachment attachments(&db, account.email.GetString());
    ASSERT_EQ(1, SQLiteMgr::BeginTransaction(&db));
    ASSERT_EQ(1, summary.SaveMailSummary(record, message) && attachments.SaveAttachmentSummary(record, message));
    ASSERT_EQ(1, SQLiteMgr::EndTransaction(&db));
  }
  void SetView(int perPage, int context = 0, int receivedOnly = 1, int showInline = 0) {
    Preferences preferences;
    gConfigMgr->GetPreferences(preferences);
    preferences.files_perpage = perPage;
    preferences.context_type = context;
    preferences.show_recv_attachments = receivedOnly;
    preferences.show_inline_images = showInline;
    gConfigMgr->SetPreferences(preferences);
  }
  std::string Ask(const std::string& query) { return BodyOf(Get("/?_object=ShowAll&" + query)); }
  std::string Sql(const std::string& sql) { return SqliteQuery(SummaryPath(), sql); }
  // Every path below HOME, for "nothing was created".
  std::set<std::string> Tree() {
    std::set<std::string> paths;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(home_.path())) {
      if (entry.path().filename() != "test.log") paths.insert(entry.path().string());
    }
    return paths;
  }

  ScopedEnv env_;
};

TEST_F(ShowAllTest, APageOfFilesInItsEnvelope) {
  int id = AddAccount(kAccount);
  Store(id, Fixture("bob1.eml"), 1, kDate);
  Store(id, Fixture("picture.eml"), 2, kDate + 86400);
  Store(id, kInlineMail, 3, kDate + 2 * 86400);
  SetView(2);
  std::string answer = Get("/?_action=dataload&pageNo=1&size=Small");
  EXPECT_EQ("text/plain", HeaderOf(answer, "Content-Type"));
  std::string body = BodyOf(answer);
  Json json(body);
  ASSERT_NE(nullptr, json.root) << body;
  EXPECT_EQ((std::vector<std::string>{"result", "totalRows", "indexingStatus", "indexingValue", "resultcrc"}),
            Keys(json.root));
  EXPECT_EQ("2", json.Text("totalRows"));  // the inline picture is hidden
  EXPECT_EQ("1", json.Text("result.data.curRowBegin"));
  EXPECT_EQ("2", json.Text("result.data.curRowEnd"));
  EXPECT_EQ("1", json.Text("result.data.curPageNo"));
  EXPECT_EQ("2", json.Text("result.data.filesPerPage"));
  EXPECT_EQ("1.89 Beta", json.Text("result.data.version"));
  EXPECT_EQ(1u, json_object_array_length(json["result.accountInfo"]));

  const std::vector<std::string> kKeys = {"fileid",   "mailid",   "mailmsgid",      "receiveremail",
                                          "received", "mailtype", "filetype",       "sendername",
                                          "filename", "icon",     "isfilemodified", "filemodificationtime",
                                          "size",     "subject"};
  json_object* rows = json["result.data.rows"];
  ASSERT_EQ(2u, json_object_array_length(rows));
  const char* names[] = {"red.png", "report.pdf"};
  const char* senders[] = {"ann@example.org", "bob@example.org"};
  for (size_t i = 0; i < 2; ++i) {
    json_object* row = json_object_array_get_idx(rows, i);
    EXPECT_EQ(kKeys, Keys(row));
    for (const std::string& key : kKeys) EXPECT_NE("<none>", Field(row, key.c_str())) << key;
    EXPECT_EQ(names[i], Field(row, "filename"));
    EXPECT_EQ(senders[i], Field(row, "sendername"));
    EXPECT_EQ(kAccount, Field(row, "receiveremail"));
    EXPECT_EQ("1", Field(row, "mailtype"));
    EXPECT_EQ(std::to_string(kDate + 86400 * (1 - i)), Field(row, "received"));
    // Untouched since extraction, which dated the file with its mail.
    EXPECT_EQ("0", Field(row, "isfilemodified"));
    EXPECT_EQ(Field(row, "received"), Field(row, "filemodificationtime"));
    std::string icon = Field(row, "icon");
    EXPECT_EQ(".small", icon.substr(icon.size() - 6));
    EXPECT_TRUE(std::filesystem::is_regular_file(PictureRoot() + "/" + icon)) << icon;
  }
  // The fingerprint covers exactly the result text.
  size_t begin = body.find("\"result\":") + 9;
  std::string result = body.substr(begin, body.find(",\"totalRows\"") - begin);
  EXPECT_EQ(std::to_string(crc32(0, reinterpret_cast<const Bytef*>(result.data()), result.size())),
            json.Text("resultcrc"));
}

TEST_F(ShowAllTest, PagesAddUpForEveryFilterAndSearch) {
  int first = AddAccount(kAccount);
  int second = AddAccount("other@example.com");
  Store(first, Fixture("bob1.eml"), 1);
  Store(first, Fixture("bob2.eml"), 2, kDate + 1);
  Store(first, Fixture("kinds.eml"), 3, kDate + 2);
  Store(first, kSentMail, 4, kDate + 3);
  Store(second, Fixture("bob1.eml"), 1, kDate + 4);
  const std::string report = "(SELECT rowid FROM fts_file WHERE fts_file MATCH 'report')";
  const struct {
    const char* search;
    std::string where;
  } kSearches[] = {{"", "1"}, {"report", "file.id IN " + report}, {"-report", "file.id NOT IN " + report},
                   {"--report", "file.id NOT IN " + report}};
  const int perPage = 3;
  for (int context : {0, first, second})
    for (int receivedOnly : {0, 1})
      for (int showInline : {0, 1})
        for (const auto& search : kSearches) {
          SetView(perPage, context, receivedOnly, showInline);
          std::string where = search.where + (context ? " AND mail.account_id = " + std::to_string(context) : "") +
                              (receivedOnly ? " AND mail.module_id = 1" : "") + (showInline ? "" : " AND is_inline != 1");
          std::string expected = Sql("SELECT ifnull(group_concat(id), '') FROM (SELECT file.id FROM file JOIN mail ON mail.id = "
                                     "file.mail_id WHERE " + where + " ORDER BY file.id)");
          std::set<int> seen;
          std::string label = std::to_string(context) + std::to_string(receivedOnly) + std::to_string(showInline) + search.search;
          long long total = -1;
          for (int page = 1; page < 10; ++page) {
            Json json(Ask("_action=DataLoad&pageNo=" + std::to_string(page) + "&search=" + search.search));
            ASSERT_NE(nullptr, json.root) << label;
            total = json_object_get_int64(json["totalRows"]);
            json_object* rows = json["result.data.rows"];
            EXPECT_EQ(std::to_string(total < page * perPage ? total : page * perPage), json.Text("result.data.curRowEnd"));
            for (size_t i = 0; i < json_object_array_length(rows); ++i)
              EXPECT_TRUE(seen.insert(std::stoi(Field(json_object_array_get_idx(rows, i), "fileid"))).second) << label;
            if (json_object_array_length(rows) == 0) break;
          }
          std::string got;
          for (int id : seen) got += (got.empty() ? "" : ",") + std::to_string(id);
          EXPECT_EQ(expected, got) << label;
          EXPECT_EQ(static_cast<long long>(seen.size()), total) << label;
        }
  // The search finds names and subjects; one '-' or many negate it alike.
  SetView(20, 0, 0, 1);
  std::string matches;
  Json found(Ask("_action=DataLoad&pageNo=1&search=report"));
  for (size_t i = 0; i < json_object_array_length(found["result.data.rows"]); ++i)
    matches += Field(json_object_array_get_idx(found["result.data.rows"], i), "filename") + ";";
  EXPECT_EQ("report.pdf;out.pdf;report.pdf;report.pdf;", matches);
  EXPECT_EQ(Ask("_action=DataLoad&pageNo=1&search=-report"), Ask("_action=DataLoad&pageNo=1&search=--report"));
  // Page 0 (or none) reads from the start, as the pages expect.
  SetView(3, 0, 0, 1);
  Json zero(Ask("_action=DataLoad"));
  EXPECT_EQ("-2|0|0|3", zero.Text("result.data.curRowBegin") + "|" + zero.Text("result.data.curRowEnd") + "|" +
                            zero.Text("result.data.curPageNo") + "|" +
                            std::to_string(json_object_array_length(zero["result.data.rows"])));
  EXPECT_EQ(kRedirect, Get("/?_object=ShowAll&_action=Nope"));
  EXPECT_EQ(kUnknown, Get("/?_object=showall&_action=DataLoad"));
}

TEST_F(ShowAllTest, RequestTextNeverBecomesStatementText) {
  int id = AddAccount(kAccount);
  Store(id, Fixture("bob1.eml"), 1, kDate + 3);
  Store(id, Fixture("picture.eml"), 2, kDate + 1);
  Store(id, Fixture("kinds.eml"), 3, kDate + 2);
  Store(id, kSentMail, 4, kDate);
  SetView(50, 0, 0, 1);
  typedef std::function<std::string(json_object*)> Key;
  auto text = [](const char* name) { return Key([=](json_object* row) { return Field(row, name); }); };
  auto number = [](const char* name) {
    return Key([=](json_object* row) {
      std::string value = Field(row, name);
      return std::string(20 - value.size(), '0') + value;
    });
  };
  const struct {
    const char* query;
    Key key;
    bool descending;
  } kCases[] = {
      {"sortKey=(SELECT+1)", number("received"), true},
      {"sortKey=received&sortOrder=asc", number("received"), false},
      {"sortKey=size&sortOrder=DESC;DROP+TABLE+file", number("received"), true},
      {"sortKey=sendername&sortOrder=ASC", text("sendername"), false},
      {"sortKey=SenderName&sortOrder=desc", text("sendername"), true},
      {"group=filetype&sortKey=filename&sortOrder=asc",
       Key([](json_object* row) { return Field(row, "filetype") + "\x01" + Field(row, "filename"); }), false},
      {"group=1);DELETE+FROM+file;--&sortKey=size&sortOrder=asc", number("size"), false},
  };
  for (const auto& c : kCases) {
    Json json(Ask(std::string("_action=DataLoad&pageNo=1&") + c.query));
    ASSERT_NE(nullptr, json.root) << c.query;
    json_object* rows = json["result.data.rows"];
    ASSERT_EQ(8u, json_object_array_length(rows)) << c.query;
    for (size_t i = 1; i < 8; ++i) {
      json_object* a = json_object_array_get_idx(rows, i - 1);
      json_object* b = json_object_array_get_idx(rows, i);
      std::string ka = c.key(a) + "\x02" + number("fileid")(a), kb = c.key(b) + "\x02" + number("fileid")(b);
      EXPECT_TRUE(c.descending ? ka > kb : ka < kb) << c.query << ": " << ka << " / " << kb;
    }
  }
  // A size that is none of the four names draws nothing, anywhere.
  std::set<std::string> before = Tree();
  Json json(Ask("_action=DataLoad&pageNo=1&size=../../x"));
  ASSERT_NE(nullptr, json.root);
  for (size_t i = 0; i < 8; ++i) EXPECT_EQ("", Field(json_object_array_get_idx(json["result.data.rows"], i), "icon"));
  EXPECT_EQ(before, Tree());
}

TEST_F(ShowAllTest, ChangedAndMissingSavedFiles) {
  int id = AddAccount(kAccount);
  Store(id, Fixture("bob1.eml"), 1);
  Store(id, Fixture("bob2.eml"), 2, kDate + 1);
  Store(id, Fixture("picture.eml"), 3, kDate + 2);
  SetView(10);
  koString root;
  PathMgr::GetAttachmentsDir(root);
  auto saved = [&](const std::string& name) {
    return std::string(root.GetString()) + "/" + Sql("SELECT file_path FROM file WHERE file_path LIKE '%/" + name + "'");
  };
  ASSERT_EQ(1, SetFileTime(saved("report.pdf").c_str(), time(nullptr) + 60));
  ASSERT_EQ(0, unlink(saved("red.png").c_str()));
  // A folder row is listed without its name's extension.
  Sql("UPDATE file SET is_folder = 1 WHERE file_path LIKE '%/report(1).pdf'");
  Json json(Ask("_action=DataLoad&pageNo=1"));
  std::string rows;
  for (size_t i = 0; i < 3; ++i) {
    json_object* row = json_object_array_get_idx(json["result.data.rows"], i);
    rows += Field(row, "filename") + ":" + Field(row, "isfilemodified") + ":" +
            (Field(row, "filemodificationtime") == Field(row, "received") ? "dated" : Field(row, "filemodificationtime")) + " ";
  }
  EXPECT_EQ("red.png:0:0 report:0:dated report.pdf:1:" + std::to_string(time(nullptr) + 60) + " ", rows);
  EXPECT_FALSE(std::filesystem::exists(saved("red.png")));
}

TEST_F(ShowAllTest, PollsSayWhetherAnythingChanged) {
  int id = AddAccount(kAccount);
  Store(id, Fixture("bob1.eml"), 1);
  SetView(10);
  const std::string list = "_action=DataLoad&pageNo=1&size=small&search=report";
  std::string crc = Json(Ask(list)).Text("resultcrc");
  const std::string check = "_action=CheckStatus&type=File&pageNo=1&size=small&search=report&crc=";
  EXPECT_EQ("{\"version\":\"1.89 Beta\",\"totalRows\":1,\"sidebarLock\":0,\"status\":0}", Ask(check + crc));
  Store(id, Fixture("bob2.eml"), 2, kDate + 1);
  EXPECT_EQ("{\"version\":\"1.89 Beta\",\"totalRows\":2,\"sidebarLock\":0,\"status\":1}", Ask(check + crc));

  // The status poll answers only when something changed, its own crc back
  // being "unchanged"; every text in it is escaped.
  gConfigMgr->SetUpgradeUrl("http://x.example/\"new\"</script>");
  gConfigMgr->SetMailUpdatedTime(id, 1300000000);
  gConfigMgr->SetContactUpdatedTime(id, 1200000000);
  std::string answer = Get("/?_action=StatusMessage");
  EXPECT_EQ("text/html", HeaderOf(answer, "Content-Type"));
  Json status(BodyOf(answer));
  ASSERT_NE(nullptr, status.root) << BodyOf(answer);
  EXPECT_EQ("http://x.example/\"new\"</script>", status.Text("result.upgradeLink"));
  EXPECT_EQ("1200000000000", status.Text("result.lastUpdatedTime"));
  std::string own = status.Text("resultcrc");
  EXPECT_EQ("", Ask("_action=statusmessage&crc=" + own));
  gConfigMgr->SetStatusByEmail(kAccount, "Host not found");
  EXPECT_NE("", Ask("_action=StatusMessage&crc=" + own));

  // Account states as the pages summarise them.
  int other = AddAccount("other@example.com");
  const struct {
    const char *mail, *contact, *otherMail;
    int context;
    const char* text;
  } kCases[] = {
      {"", "", "", 0, ""},
      {"Connecting...", "", "", 0, "Connecting..."},
      {"CONNECTING...", "Sign-in failed", "", 0, "Error: Click for details"},
      {"", "", "Host not found", 0, "Error: Click for details"},
      {"", "", "Host not found", id, ""},
      {"Connecting...", "", "Host not found", id, "Connecting..."},
  };
  for (const auto& c : kCases) {
    gConfigMgr->SetStatusByEmail(kAccount, c.mail);
    gConfigMgr->SetContactStatusByEmail(kAccount, c.contact);
    gConfigMgr->SetStatusByEmail("other@example.com", c.otherMail);
    SetView(10, c.context);
    EXPECT_EQ(c.text, Json(Ask("_action=StatusMessage")).Text("result.ConnectionStatusMsg")) << c.mail << c.otherMail;
  }
  (void)other;
}

TEST_F(ShowAllTest, IndexingProgressOverAccounts) {
  EXPECT_EQ("1 100", [&] { Json j(Ask("_action=StatusMessage")); return j.Text("result.indexingStatus") + " " +
                                                                          j.Text("result.indexingValue"); }());
  int a = AddAccount(kAccount, 1);
  int b = AddAccount("other@example.com", 0);
  const struct {
    int mailStatus, mailTotal, mailDone, fileStatus, fileTotal, fileDone, otherStatus, context;
    const char* overall;     // indexingStatus and indexingValue
    const char* statistics;  // the first account's indexingvalue
  } kCases[] = {
      {1, 10, 10, 1, 5, 5, 1, 0, "1 100", "100"},
      {1, 10, 10, 0, 5, 2, 1, 0, "0 70", "70"},
      {0, 10, 12, 1, 0, 0, 1, 0, "0 99", "100"},
      {0, 0, 0, 1, 0, 0, 1, 0, "0 0", "0"},
      {0, 10, 5, 1, 0, 0, 1, 0, "0 50", "50"},
      {0, 10, 5, 1, 0, 0, 0, 0, "0 25", "50"},
      {1, 10, 10, 1, 0, 0, 0, 0, "0 0", "100"},
      {1, 10, 10, 1, 0, 0, 0, 1, "1 100", "100"},
  };
  for (const auto& c : kCases) {
    gConfigMgr->SetModuleIndexingStatus(a, c.mailStatus, 3);
    gConfigMgr->SetModuleProgress(a, c.mailTotal, c.mailDone, 3);
    gConfigMgr->SetModuleIndexingStatus(a, c.fileStatus, 6);
    gConfigMgr->SetModuleProgress(a, c.fileTotal, c.fileDone, 6);
    gConfigMgr->SetModuleIndexingStatus(b, c.otherStatus, 3);
    gConfigMgr->SetModuleProgress(b, 10, 0, 3);
    SetView(10, c.context == 1 ? a : 0);
    Json status(Ask("_action=StatusMessage"));
    EXPECT_EQ(c.overall, status.Text("result.indexingStatus") + " " + status.Text("result.indexingValue"))
        << c.overall;
    Json list(Ask("_action=DataLoad"));
    EXPECT_EQ(c.overall, list.Text("indexingStatus") + " " + list.Text("indexingValue")) << c.overall;
    Json statistics(Ask("_action=GetStatistics"));
    EXPECT_EQ(c.statistics, Field(json_object_array_get_idx(statistics.root, 0), "indexingvalue")) << c.overall;
  }
}

TEST_F(ShowAllTest, StatisticsAndDiagnostics) {
  EXPECT_EQ("[]", Ask("_action=GetStatistics"));
  int id = AddAccount(kAccount);
  for (const char* query : {"id=9", "id=x", ""}) EXPECT_EQ("Invalid account id", Ask(std::string("_action=GetDiagnostics&") + query));
  Store(id, Fixture("bob1.eml"), 1);
  Store(id, Fixture("kinds.eml"), 2, kDate + 1);
  Store(id, kSentMail, 3, kDate + 2);
  // The All Mail walk has reached from the first to the third mail.
  Sql("INSERT INTO module (id, account_id, processed_uid_from, processed_uid_to) VALUES (3, " + std::to_string(id) +
      ", 1, 3)");
  gConfigMgr->SetStatusByEmail(kAccount, "Login \"failed\"");
  gConfigMgr->SetMailUpdatedTime(id, 1300000000);

  std::string answer = Get("/?_action=GetStatistics");
  EXPECT_EQ("text/plain", HeaderOf(answer, "Content-Type"));
  Json statistics(BodyOf(answer));
  ASSERT_NE(nullptr, statistics.root) << BodyOf(answer);
  json_object* account = json_object_array_get_idx(statistics.root, 0);
  EXPECT_EQ((std::vector<std::string>{"accountid", "accountemail", "MailCount", "indexingstatus", "connstatus",
                                      "indexingvalue", "AttachmentCount", "OldestMail", "LatestMail"}),
            Keys(account));
  Json diagnostics(Ask("_action=GetDiagnostics&id=" + std::to_string(id)));
  ASSERT_NE(nullptr, diagnostics.root);
  EXPECT_EQ((std::vector<std::string>{"accountid", "accountemail", "ImapErrorMsg", "ContactErrorMsg",
                                      "MailUpdatedTime", "ContactUpdatedTime", "MailCount", "indexingstatus",
                                      "connstatus", "indexingvalue", "AttachmentCount", "OldestMail", "LatestMail",
                                      "LogFilePath"}),
            Keys(diagnostics.root));
  koString dir;
  PathMgr::GetConfigDir(dir);
  EXPECT_EQ(std::string(dir.GetString()) + "/postvane.log", diagnostics.Text("LogFilePath"));
  EXPECT_EQ("Login \"failed\"", diagnostics.Text("ImapErrorMsg"));
  EXPECT_EQ("1300000000000", diagnostics.Text("MailUpdatedTime"));
  json_object* both[] = {account, diagnostics.root};
  for (json_object* object : both) {
    auto at = [&](const char* member, const char* key) { return Field(json_object_object_get(object, member), key); };
    EXPECT_EQ(std::to_string(id), Field(object, "accountid"));
    EXPECT_EQ("2 1 6 1", at("MailCount", "InboxMailCount") + " " + at("MailCount", "SentMailCount") + " " +
                             at("AttachmentCount", "InboxAttachmentCount") + " " +
                             at("AttachmentCount", "SentAttachmentCount"));
    EXPECT_EQ("1|bob@example.org|Quarterly report|" + std::to_string(kDate * 1000),
              at("OldestMail", "ModuleType") + "|" + at("OldestMail", "FromOrTo") + "|" + at("OldestMail", "Subject") +
                  "|" + at("OldestMail", "Recvtime"));
    EXPECT_EQ("2|ann@example.org|report for Ann", at("LatestMail", "ModuleType") + "|" + at("LatestMail", "FromOrTo") +
                                                      "|" + at("LatestMail", "Subject"));
  }
}

}  // namespace
