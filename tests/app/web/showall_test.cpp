// The default handler's answers: the attachment list with its envelope,
// search, filters, sorting and paging, the change checks the pages poll,
// statistics and diagnostics, and the upgrade wake of the list requests.
// Mails are stored by the summary store and the attachment extractor, as
// the indexer keeps them, or by the indexer itself from Dovecot.
#include "app/web/showall.h"

#include <zlib.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "showall_fixture.h"
#include "app/web/versionmgr.h"
#include "core/kfile.h"
#include "support/child.h"
#include "support/imap_peers.h"
#include "support/lsan_gio.h"

namespace {

using namespace webtest;

const char kInlineMail[] =
    "From: Cy <cy@example.org>\r\nTo: someone@example.com\r\nSubject: Logo\r\nMIME-Version: 1.0\r\n"
    "Content-Type: multipart/related; boundary=\"r\"\r\n\r\n--r\r\nContent-Type: text/html\r\n\r\n<img>\r\n--r\r\n"
    "Content-Type: image/png; name=\"logo.png\"\r\nContent-Disposition: inline\r\n\r\nnot a picture\r\n--r--\r\n";
const char kSentMail[] =
    "From: someone@example.com\r\nTo: Ann <ann@example.org>\r\nSubject: report for Ann\r\nMIME-Version: 1.0\r\n"
    "Content-Type: application/pdf; name=out.pdf\r\nContent-Disposition: attachment; filename=out.pdf\r\n\r\npdf\r\n";

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
            json.Keys());
  // The inline picture is hidden.
  EXPECT_EQ("2 1 2 1 2 1.89 Beta someone@example.com",
            json.Join({"totalRows", "result.data.curRowBegin", "result.data.curRowEnd", "result.data.curPageNo",
                       "result.data.filesPerPage", "result.data.version", "result.accountInfo.0.Email"}));
  const std::vector<std::string> keys = {"fileid",   "mailid",     "mailmsgid", "receiveremail",  "received",
                                         "mailtype", "filetype",   "sendername", "filename",      "icon",
                                         "isfilemodified", "filemodificationtime", "size",        "subject"};
  ASSERT_EQ(2u, json.Rows());
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(keys, json.Keys(Json::RowPath(i)));
    for (const std::string& key : keys) EXPECT_TRUE(json_object_is_type(json.At(Json::RowPath(i) + key), json_type_string));
    // Untouched since extraction, which dated the file with its mail.
    EXPECT_EQ(json.Row(i, "received"), json.Row(i, "filemodificationtime"));
    EXPECT_EQ(".small", json.Row(i, "icon").substr(json.Row(i, "icon").size() - 6));
    EXPECT_TRUE(std::filesystem::is_regular_file(PictureRoot() + "/" + json.Row(i, "icon"))) << json.Row(i, "icon");
  }
  EXPECT_EQ("red.png ann@example.org " + std::to_string(kDate + 86400) + " 1 0 someone@example.com",
            json.Join({"filename", "sendername", "received", "mailtype", "isfilemodified", "receiveremail"},
                      Json::RowPath(0)));
  EXPECT_EQ("report.pdf bob@example.org Quarterly report", json.Join({"filename", "sendername", "subject"},
                                                                     Json::RowPath(1)));
  // The fingerprint covers exactly the result text.
  size_t begin = body.find("\"result\":") + 9;
  std::string result = body.substr(begin, body.find(",\"totalRows\"") - begin);
  EXPECT_EQ(std::to_string(crc32(0, reinterpret_cast<const Bytef*>(result.data()), result.size())), json["resultcrc"]);

  // The user changed one saved file and removed the other, which stays
  // removed; a folder is listed without its name's extension.
  koString root;
  PathMgr::GetAttachmentsDir(root);
  auto saved = [&](const char* name) {
    return root.GetString() + ("/" + Sql(std::string("SELECT file_path FROM file WHERE file_name = '") + name + "'"));
  };
  const time_t changedAt = time(nullptr) + 60;
  ASSERT_EQ(1, SetFileTime(saved("report.pdf").c_str(), changedAt));
  ASSERT_EQ(0, unlink(saved("red.png").c_str()));
  Sql("UPDATE file SET is_folder = 1 WHERE file_name = 'report.pdf'");
  Json changed(Ask("_action=DataLoad&pageNo=1"));
  EXPECT_EQ("red.png 0 0 report 1 " + std::to_string(changedAt),
            changed.Join({"0.filename", "0.isfilemodified", "0.filemodificationtime", "1.filename", "1.isfilemodified",
                          "1.filemodificationtime"}, "result.data.rows."));
  EXPECT_FALSE(std::filesystem::exists(saved("red.png")));
}

TEST_F(ShowAllTest, PagesAddUpForEveryFilterAndSearch) {
  int first = AddAccount(kAccount);
  int second = AddAccount("other@example.com");
  Store(first, Fixture("bob1.eml"), 1);
  Store(first, Fixture("bob2.eml"), 2, kDate + 1);
  Store(first, Fixture("kinds.eml"), 3, kDate + 2);
  Store(first, kSentMail, 4, kDate + 3);
  Store(second, Fixture("bob1.eml"), 1, kDate + 4);
  const std::string report = "file.id IN (SELECT rowid FROM fts_file WHERE fts_file MATCH 'report')";
  const std::pair<const char*, std::string> kSearches[] = {
      {"", "1"}, {"report", report}, {"-report", "NOT " + report}, {"--report", "NOT " + report}};
  for (int context : {0, first, second})
    for (int receivedOnly : {0, 1})
      for (int showInline : {0, 1})
        for (const auto& [search, where] : kSearches) {
          SetView(3, context, receivedOnly, showInline);
          std::string label = std::to_string(context) + std::to_string(receivedOnly) + std::to_string(showInline) + search;
          std::set<std::string> seen;
          std::string total;
          for (int page = 1; page < 10; ++page) {
            Json json(Ask("_action=DataLoad&pageNo=" + std::to_string(page) + "&search=" + search));
            ASSERT_NE(nullptr, json.root) << label;
            total = json["totalRows"];
            int end = std::stoi(total) < page * 3 ? std::stoi(total) : page * 3;
            EXPECT_EQ(std::to_string(end), json["result.data.curRowEnd"]) << label;
            for (size_t i = 0; i < json.Rows(); ++i) EXPECT_TRUE(seen.insert(json.Row(i, "fileid")).second) << label;
            if (json.Rows() == 0) break;
          }
          std::string got;
          for (const std::string& id : seen) got += (got.empty() ? "" : ",") + id;
          std::string filter = where + (context ? " AND mail.account_id = " + std::to_string(context) : "") +
                               (receivedOnly ? " AND module_id = 1" : "") + (showInline ? "" : " AND is_inline != 1");
          EXPECT_EQ(Sql("SELECT ifnull(group_concat(id), '') FROM (SELECT file.id FROM file JOIN mail ON mail.id = "
                        "mail_id WHERE " + filter + " ORDER BY CAST(file.id AS TEXT))"), got) << label;
          EXPECT_EQ(std::to_string(seen.size()), total) << label;
        }
  // Names and subjects match; one '-' or many negate alike.
  SetView(20, 0, 0, 1);
  Json found(Ask("_action=DataLoad&pageNo=1&search=report"));
  std::string names;
  for (size_t i = 0; i < found.Rows(); ++i) names += found.Row(i, "filename") + ";";
  EXPECT_EQ("report.pdf;out.pdf;report.pdf;report.pdf;", names);
  EXPECT_EQ(Ask("_action=DataLoad&pageNo=1&search=-report"), Ask("_action=DataLoad&pageNo=1&search=--report"));
  // Page 0 (or none) reads from the start.
  SetView(3, 0, 0, 1);
  Json zero(Ask("_action=DataLoad"));
  EXPECT_EQ("-2 0 0 3", zero.Join({"curRowBegin", "curRowEnd", "curPageNo"}, "result.data.") + " " +
                            std::to_string(zero.Rows()));
  EXPECT_EQ("HTTP/1.0 302 Found\r\nLocation: /index.html\r\n\r\n", Get("/?_object=ShowAll&_action=Nope"));
  EXPECT_EQ(kUnknown, Get("/?_object=showall&_action=DataLoad"));
}

TEST_F(ShowAllTest, RequestTextNeverBecomesStatementText) {
  int id = AddAccount(kAccount);
  Store(id, Fixture("bob1.eml"), 1, kDate + 3);
  Store(id, Fixture("picture.eml"), 2, kDate + 1);
  Store(id, Fixture("kinds.eml"), 3, kDate + 2);
  Store(id, kSentMail, 4, kDate);
  SetView(50, 0, 0, 1);
  // Sort keys as comparable text ('#': a number), the file id breaking ties.
  auto padded = [](const std::string& value) { return std::string(20 - value.size(), '0') + value; };
  const struct {
    const char* query;
    std::vector<const char*> keys;
    bool descending;
  } kCases[] = {
      {"sortKey=(SELECT+1)", {"#received"}, true},
      {"sortKey=received&sortOrder=asc", {"#received"}, false},
      {"sortKey=size&sortOrder=DESC;DROP+TABLE+file", {"#size"}, false},
      // A known key keeps its column whatever the order says.
      {"sortKey=fileid&sortOrder=", {"#fileid"}, false},
      {"sortKey=FileId", {"#fileid"}, false},
      {"sortKey=sendername&sortOrder=ASC", {"sendername"}, false},
      {"sortKey=SenderName&sortOrder=desc", {"sendername"}, true},
      {"group=filetype&sortKey=filename&sortOrder=asc", {"filetype", "filename"}, false},
      {"group=1);DELETE+FROM+file;--&sortKey=size&sortOrder=asc", {"#size"}, false},
  };
  for (const auto& c : kCases) {
    Json json(Ask(std::string("_action=DataLoad&pageNo=1&") + c.query));
    ASSERT_EQ(8u, json.Rows()) << c.query;
    std::vector<std::string> order;
    for (size_t i = 0; i < 8; ++i) {
      std::string key;
      for (const char* name : c.keys) key += (name[0] == '#' ? padded(json.Row(i, name + 1)) : json.Row(i, name)) + "\x01";
      order.push_back(key + padded(json.Row(i, "fileid")));
    }
    for (size_t i = 1; i < 8; ++i) EXPECT_EQ(c.descending, order[i - 1] > order[i]) << c.query << " " << i;
  }
  // A size that is none of the four names draws nothing, anywhere.
  auto tree = [&] {
    std::set<std::string> paths;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(home_.path()))
      if (entry.path().filename() != "test.log") paths.insert(entry.path().string());
    return paths;
  };
  std::set<std::string> before = tree();
  Json json(Ask("_action=DataLoad&pageNo=1&size=../../x"));
  for (size_t i = 0; i < 8; ++i) EXPECT_EQ("", json.Row(i, "icon"));
  EXPECT_EQ(before, tree());
}

// Whatever the search box held, the lists answer a whole envelope of valid
// JSON: text the full-text engine cannot read lists nothing and says so,
// and text that is no UTF-8 is repaired before it is used or shown.
TEST_F(ShowAllTest, EverySearchTextGetsAWholeEnvelope) {
  int id = AddAccount(kAccount);
  Store(id, Fixture("bob1.eml"), 1);
  AddContact(id, {"Ann Archer", {"ann@example.org"}});
  AddContact(id, {"Bob Baker", {"bob@example.org"}});
  SetView(20, 0, 0, 1);
  SetContactView("Everyone", "All");
  const struct {
    const char* search;
    bool readable;
    const char* shown;  // as the contact list echoes it
  } kCases[] = {
      {"a%20OR", false, "a OR"},          {"%22", false, "\""},     {"NEAR", false, "NEAR"},
      {"NOT", false, "NOT"},              {"-a%20OR", false, "-a OR"}, {"(report", false, "(report"},
      {"%FF%FE", true, "\xC3\xBF\xC3\xBE"}, {"%FF%FE%C3", true, "\xC3\xBF\xC3\xBE\xC3\x83"},
      {"report", true, "report"},
  };
  for (const auto& c : kCases) {
    for (const char* action : {"DataLoad", "ContactLoad"}) {
      std::string answer = Ask(std::string("_action=") + action + "&pageNo=1&forceList=1&search=" + c.search);
      std::string label = std::string(action) + " " + c.search + ": " + answer;
      json_tokener* tokener = json_tokener_new();
      json_tokener_set_flags(tokener, JSON_TOKENER_STRICT | JSON_TOKENER_VALIDATE_UTF8);
      json_object* strict = json_tokener_parse_ex(tokener, answer.c_str(), static_cast<int>(answer.size()));
      EXPECT_EQ(json_tokener_success, json_tokener_get_error(tokener)) << label;
      json_object_put(strict);
      json_tokener_free(tokener);
      Json json(answer);
      ASSERT_NE(nullptr, json.root) << label;
      EXPECT_EQ(c.readable ? "<none>" : "This search cannot be read", json["searchError"]) << label;
      if (!c.readable) {
        EXPECT_EQ("0", json["totalRows"]) << label;
        EXPECT_EQ("0", json["result.data.curRowEnd"]) << label;
      }
      if (strcmp(action, "ContactLoad") == 0) {
        EXPECT_EQ(c.shown, json["result.data.curSearch"]) << label;
      }
    }
  }
  EXPECT_EQ("1", Json(Ask("_action=DataLoad&pageNo=1&search=report"))["totalRows"]);
  // The contact details take the text as one phrase, which always reads.
  EXPECT_EQ("<none>", Json(Ask("_action=ContactLoad&pageNo=1&forceDetails=1&search=ann%22"))["searchError"]);
}

TEST_F(ShowAllTest, PollsSayWhetherAnythingChanged) {
  int id = AddAccount(kAccount);
  Store(id, Fixture("bob1.eml"), 1);
  SetView(10);
  std::string crc = Json(Ask("_action=DataLoad&pageNo=1&size=small&search=report"))["resultcrc"];
  const std::string check = "_action=CheckStatus&type=File&pageNo=1&size=small&search=report&crc=" + crc;
  EXPECT_EQ("{\"version\":\"1.89 Beta\",\"totalRows\":1,\"sidebarLock\":0,\"status\":0}", Ask(check));
  Store(id, Fixture("bob2.eml"), 2, kDate + 1);
  EXPECT_EQ("{\"version\":\"1.89 Beta\",\"totalRows\":2,\"sidebarLock\":0,\"status\":1}", Ask(check));

  // The status answers only when something changed, every text escaped.
  gConfigMgr->SetUpgradeUrl("http://x.example/\"new\"</script>");
  gConfigMgr->SetMailUpdatedTime(id, 1300000000);
  gConfigMgr->SetContactUpdatedTime(id, 1200000000);
  std::string answer = Get("/?_action=StatusMessage");
  EXPECT_EQ("text/html", HeaderOf(answer, "Content-Type"));
  Json status(BodyOf(answer));
  EXPECT_EQ("http://x.example/\"new\"</script> 1200000000000", status.Join({"upgradeLink", "lastUpdatedTime"}, "result."));
  EXPECT_EQ("", Ask("_action=statusmessage&crc=" + status["resultcrc"]));
  gConfigMgr->SetStatusByEmail(kAccount, "Host not found");
  EXPECT_NE("", Ask("_action=StatusMessage&crc=" + status["resultcrc"]));

  AddAccount("other@example.com");
  const struct {
    const char *mail, *contact, *otherMail;
    int narrowed;
    const char* text;
  } kCases[] = {
      {"", "", "", 0, ""},
      {"Connecting...", "", "", 0, "Connecting..."},
      {"CONNECTING...", "Sign-in failed", "", 0, "Error: Click for details"},
      {"", "", "Host not found", 0, "Error: Click for details"},
      {"", "", "Host not found", 1, ""},
      {"Connecting...", "", "Host not found", 1, "Connecting..."},
  };
  for (const auto& c : kCases) {
    gConfigMgr->SetStatusByEmail(kAccount, c.mail);
    gConfigMgr->SetContactStatusByEmail(kAccount, c.contact);
    gConfigMgr->SetStatusByEmail("other@example.com", c.otherMail);
    SetView(10, c.narrowed ? id : 0);
    EXPECT_EQ(c.text, Json(Ask("_action=StatusMessage"))["result.ConnectionStatusMsg"]) << c.mail << c.otherMail;
  }
}

// Without their database no account can work: the status the pages poll
// names the cause until a start finds the database usable again.
TEST_F(ShowAllTest, TheStatusNamesWhyTheSummaryDatabaseCannotBeUsed) {
  const std::string data = std::filesystem::path(SummaryPath()).parent_path().string();
  const struct {
    const char* what;
    std::function<void()> spoil;
    const char* cause;
  } kCases[] = {
      // A plain file where the data folder belongs, as a data directory that cannot be written.
      {"no data folder", [&] { std::filesystem::rename(data, data + ".kept"); WriteFile(data, "x"); },
       "unable to open database file"},
      {"not a database", [&] {
         std::filesystem::rename(data, data + ".kept");
         std::filesystem::create_directory(data);
         WriteFile(SummaryPath(), std::string(4096, 'x'));
       }, "file is not a database"},
  };
  for (const auto& c : kCases) {
    c.spoil();
    StartServices();
    const std::string status = Json(Ask("_action=StatusMessage"))["result.ConnectionStatusMsg"];
    EXPECT_EQ(0u, status.find("Error: The summary database cannot be opened or made (")) << c.what << ": " << status;
    EXPECT_NE(std::string::npos, status.find(c.cause)) << c.what << ": " << status;
    EXPECT_NE(std::string::npos, status.find(data)) << c.what << ": " << status;
    StopServices();
    std::filesystem::remove_all(data);
    std::filesystem::rename(data + ".kept", data);
    StartServices();
    EXPECT_NE(0u, Json(Ask("_action=StatusMessage"))["result.ConnectionStatusMsg"].find("Error")) << c.what;
    StopServices();
  }
}

TEST_F(ShowAllTest, IndexingProgressOverAccounts) {
  EXPECT_EQ("1 100", Json(Ask("_action=StatusMessage")).Join({"indexingStatus", "indexingValue"}, "result."));
  int a = AddAccount(kAccount, 1);
  int b = AddAccount("other@example.com", 0);
  const struct {
    int mailStatus, mailTotal, mailDone, fileStatus, fileTotal, fileDone, otherStatus, narrowed;
    const char* expected;  // indexingStatus and indexingValue, then the first account's statistics value
  } kCases[] = {
      {1, 10, 10, 1, 5, 5, 1, 0, "1 100 100"}, {1, 10, 10, 0, 5, 2, 1, 0, "0 70 70"}, {0, 10, 12, 1, 0, 0, 1, 0, "0 99 100"},
      {0, 0, 0, 1, 0, 0, 1, 0, "0 0 0"},       {0, 10, 5, 1, 0, 0, 1, 0, "0 50 50"},  {0, 10, 5, 1, 0, 0, 0, 0, "0 25 50"},
      {1, 10, 10, 1, 0, 0, 0, 0, "0 0 100"},   {1, 10, 10, 1, 0, 0, 0, 1, "1 100 100"},
  };
  for (const auto& c : kCases) {
    gConfigMgr->SetModuleIndexingStatus(a, c.mailStatus, 3);
    gConfigMgr->SetModuleProgress(a, c.mailTotal, c.mailDone, 3);
    gConfigMgr->SetModuleIndexingStatus(a, c.fileStatus, 6);
    gConfigMgr->SetModuleProgress(a, c.fileTotal, c.fileDone, 6);
    gConfigMgr->SetModuleIndexingStatus(b, c.otherStatus, 3);
    gConfigMgr->SetModuleProgress(b, 10, 0, 3);
    SetView(10, c.narrowed ? a : 0);
    std::string statistics = Json(Ask("_action=GetStatistics"))["0.indexingvalue"];
    EXPECT_EQ(std::string(c.expected), Json(Ask("_action=StatusMessage")).Join({"indexingStatus", "indexingValue"},
                                                                               "result.") + " " + statistics);
    EXPECT_EQ(std::string(c.expected).substr(0, std::string(c.expected).rfind(' ')),
              Json(Ask("_action=DataLoad")).Join({"indexingStatus", "indexingValue"}));
  }
}

// Accounts removed while the pages poll: every answer stays whole. Many
// accounts make reading them take long enough for removals to fall inside.
TEST_F(ShowAllTest, AnswersStayWholeWhileAccountsGo) {
  for (int i = 0; i < 60; ++i) AddAccount(("user" + std::to_string(i) + "@example.com").c_str());
  std::atomic<bool> done{false};
  std::atomic<int> asked{0};
  std::mutex lock;
  std::string empty;
  std::thread changer([&] {
    for (int round = 0; round < 100; ++round) {
      EXPECT_EQ(1, gConfigMgr->DeleteAccount("user0@example.com"));
      AddAccount("user0@example.com");
    }
    done = true;
  });
  std::vector<std::thread> clients;
  for (const char* action : {"StatusMessage", "DataLoad", "ContactLoad"}) {
    clients.emplace_back([&, action] {
      while (!done) {
        std::string answer = Ask(std::string("_action=") + action);
        ++asked;
        std::lock_guard<std::mutex> hold(lock);
        if (answer.empty()) empty += std::string(action) + " ";
      }
    });
  }
  changer.join();
  for (std::thread& client : clients) client.join();
  EXPECT_EQ("", empty) << "of " << asked.load() << " answers";
  EXPECT_GT(asked.load(), 0);
}

TEST_F(ShowAllTest, StatisticsAndDiagnostics) {
  EXPECT_EQ("[]", Ask("_action=GetStatistics"));
  int id = AddAccount(kAccount);
  for (const char* query : {"&id=9", "&id=x", ""})
    EXPECT_EQ("Invalid account id", Ask(std::string("_action=GetDiagnostics") + query));
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
  Json diagnostics(Ask("_action=GetDiagnostics&id=" + std::to_string(id)));
  ASSERT_NE(nullptr, statistics.root) << BodyOf(answer);
  ASSERT_NE(nullptr, diagnostics.root);
  const std::vector<std::string> pieces = {"MailCount", "indexingstatus", "connstatus", "indexingvalue",
                                           "AttachmentCount", "OldestMail", "LatestMail"};
  std::vector<std::string> keys = {"accountid", "accountemail"};
  keys.insert(keys.end(), pieces.begin(), pieces.end());
  EXPECT_EQ(keys, statistics.Keys("0"));
  keys = {"accountid", "accountemail", "ImapErrorMsg", "ContactErrorMsg", "MailUpdatedTime", "ContactUpdatedTime"};
  keys.insert(keys.end(), pieces.begin(), pieces.end());
  keys.push_back("LogFilePath");
  EXPECT_EQ(keys, diagnostics.Keys());
  koString dir;
  PathMgr::GetConfigDir(dir);
  EXPECT_EQ(std::string(dir.GetString()) + "/postvane.log|Login \"failed\"|1300000000000",
            diagnostics["LogFilePath"] + "|" + diagnostics["ImapErrorMsg"] + "|" + diagnostics["MailUpdatedTime"]);
  for (const auto& [json, prefix] : {std::make_pair(&statistics, "0."), std::make_pair(&diagnostics, "")}) {
    EXPECT_EQ(std::to_string(id) + " 2 1 6 1 Login \"failed\"",
              json->Join({"accountid", "MailCount.InboxMailCount", "MailCount.SentMailCount",
                          "AttachmentCount.InboxAttachmentCount", "AttachmentCount.SentAttachmentCount", "connstatus"},
                         prefix));
    EXPECT_EQ("1 bob@example.org Quarterly report " + std::to_string(kDate * 1000) + " 2 ann@example.org report for Ann",
              json->Join({"OldestMail.ModuleType", "OldestMail.FromOrTo", "OldestMail.Subject", "OldestMail.Recvtime",
                          "LatestMail.ModuleType", "LatestMail.FromOrTo", "LatestMail.Subject"}, prefix));
  }
}

TEST_F(ShowAllTest, ListRequestsWakeTheUpgradeCheckOnTheTenthAndEvery110th) {
  HttpPeer web;
  ASSERT_TRUE(web.Start()) << web.Error();
  ASSERT_TRUE(WriteFileAtomic(web.Dir() + "/upgrade_answer", "pvUpgradeLinkStatus=Postvane is upto date"));
  ASSERT_EQ(1, IniWriteString("GENERAL", "Upgrade_Host", web.Address().c_str(), MainIni().c_str()));
  HistoryMgr::SetUpgradeCheckFactory(VersionMgr::MakeUpgradeCheck);
  StartServices();
  auto browserOf = [&](int n) {
    std::string request = ReadFile(web.Dir() + "/requests/" + std::to_string(n) + ".req");
    size_t at = request.find("&browser=");
    return at == std::string::npos ? "" : request.substr(at + 9, request.find(' ', at) - at - 9);
  };
  // The requests came, and no more a while later, when a wake too early
  // would have shown.
  auto settled = [&](int requests) {
    const bool came = WaitFor([&] { return web.RequestCount() >= requests; }, 30000);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    return came && web.RequestCount() == requests;
  };
  for (int n = 1; n <= 120; ++n) {
    ASSERT_NE("", Ask("_action=DataLoad&browser=B" + std::to_string(n)));
    if (n == 9 || n == 119) {
      EXPECT_TRUE(settled(n == 9 ? 0 : 1)) << n;
    }
  }
  ASSERT_TRUE(WaitFor([&] { return web.RequestCount() == 2; }));
  EXPECT_EQ("B10 B120", browserOf(1) + " " + browserOf(2));

  // A new start counts from 0 again; of 30 parallel first requests the one
  // that reached 10 wakes the check once, with its own browser name.
  RenewConfig();
  std::vector<std::thread> requests;
  for (int n = 1; n <= 30; ++n) requests.emplace_back([this, n] { Ask("_action=DataLoad&browser=P" + std::to_string(n)); });
  for (std::thread& request : requests) request.join();
  ASSERT_TRUE(WaitFor([&] { return web.RequestCount() == 3; }));
  EXPECT_TRUE(settled(3));
  koString stored;
  gConfigMgr->GetBrowserName(stored);
  EXPECT_EQ(std::string(stored.GetString()), browserOf(3));
  EXPECT_EQ('P', browserOf(3)[0]);
}

TEST_F(ShowAllTest, TheListOfAMailboxTheIndexerFilled) {
  pvtest::DovecotPeer dovecot;
  pvtest::XlistRelayPeer relay;
  const char kAllMail[] = "[Gmail]/All Mail";
  ASSERT_TRUE(dovecot.Start(kAccount, "pw")) << dovecot.Error();
  for (const char* folder : {kAllMail, "[Gmail]/Spam", "[Gmail]/Trash"}) ASSERT_TRUE(dovecot.CreateFolder(folder));
  // Mails 3, 6 and 9 bring a file; mail n arrived on June n.
  for (int n = 1; n <= 9; ++n) {
    std::string text = pvtest::MailText(n, kAccount, true, n % 3 == 0, "", std::to_string(n) + " Jun 2010 10:00 +0000");
    ASSERT_TRUE(dovecot.AddMessage(kAllMail, text, true, 1275386400 + n * 86400));
  }
  ASSERT_TRUE(relay.Start(dovecot.Port())) << relay.Error();
  const std::pair<const char*, std::string> kIni[] = {{"Imap_Host", "127.0.0.1"},
                                                      {"Imap_Port", std::to_string(relay.Port())},
                                                      {"Contacts_Login_Host", "127.0.0.1:1"},
                                                      {"Contacts_Feed_Host", "127.0.0.1:1"}};
  for (const auto& [key, value] : kIni) ASSERT_EQ(1, IniWriteString("GENERAL", key, value.c_str(), MainIni().c_str()));
  AddAccount(kAccount);
  StartServices();
  ASSERT_TRUE(WaitFor([&] {
    return Sql("SELECT COUNT(*) FROM module WHERE id IN (3, 6) AND indexing_status = 1 AND total_msgs = processed_msgs") ==
           "2";
  }, 60000)) << Log();
  SetView(2);
  std::string rows;
  for (int page = 1; page <= 2; ++page) {
    Json json(Ask("_action=DataLoad&pageNo=" + std::to_string(page)));
    ASSERT_EQ("3", json["totalRows"]);
    for (size_t i = 0; i < json.Rows(); ++i) rows += json.Join({"filename", "sendername", "isfilemodified"}, Json::RowPath(i)) + ";";
  }
  EXPECT_EQ("file9.bin sender2@example.org 0;file6.bin sender6@example.org 0;file3.bin sender3@example.org 0;", rows);
  EXPECT_EQ("1 Message 6", Json(Ask("_action=DataLoad&pageNo=1&search=file6")).Join({"totalRows", "result.data.rows.0.subject"}));
  EXPECT_EQ("1 100", Json(Ask("_action=StatusMessage")).Join({"indexingStatus", "indexingValue"}, "result."));
  EXPECT_EQ("9 3 Message 9", Json(Ask("_action=GetStatistics")).Join({"MailCount.InboxMailCount",
                                                                        "AttachmentCount.InboxAttachmentCount",
                                                                        "LatestMail.Subject"}, "0."));
  StopServices();
}

}  // namespace
