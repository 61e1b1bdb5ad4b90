#include "app/web/objectbase.h"

#include <memory>
#include <string>

#include "app/store/configmgr.h"
#include "web_fixture.h"

namespace {

using pvtest::ReadToEnd;

// A connection that has read `request` from a socket pair; Answer() gives
// what the handler wrote, once the connection is closed.
class Served {
 public:
  explicit Served(const std::string& request) {
    int ends[2];
    EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends));
    struct timeval limit = {5, 0};
    setsockopt(ends[0], SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    peer_ = ends[1];
    connection_ = std::make_unique<koHttpConnection>(ends[0], nullptr);
    EXPECT_TRUE(pvtest::SendAll(peer_, request));
    EXPECT_EQ(1, connection_->ReadRequest());
  }
  ~Served() { close(peer_); }
  koHttpConnection* connection() { return connection_.get(); }
  std::string Answer() {
    connection_.reset();
    return ReadToEnd(peer_);
  }

 private:
  int peer_;
  std::unique_ptr<koHttpConnection> connection_;
};

// A handler whose one action writes the given body in the given kind.
class EchoHandler : public ObjectBase {
 public:
  EchoHandler(koHttpConnection* connection, int argument) : ObjectBase(connection, argument) {}
  void RunAction(const koString& action) {
    if (action.EqualsNoCase("Echo")) {
      response_ += connection_->GetParameter("text")->GetString();
      SetContentKind(connection_->GetParameter("kind")->ToInt());
    } else {
      SetRedirect("/index.html");
    }
  }
};

TEST(ObjectBaseAnswer, EnvelopesOfBodiesAndRedirects) {
  const std::string head =
      "HTTP/1.0 200 OK\r\nCache-Control: no-cache\r\nPragma: no-cache\r\nExpires: 0\r\n"
      "charset: UTF8\r\n";
  const std::string redirect = "HTTP/1.0 302 Found\r\nLocation: /index.html\r\n\r\n";
  const struct {
    const char* request;
    std::string answer;
  } kCases[] = {
      // A GET carries the body's length in bytes.
      {"GET /?_action=Echo&text=%C3%A9t%C3%A9&kind=0 HTTP/1.1\r\n\r\n",
       head + "Content-Length: 5\r\nContent-Type: text/html\r\n\r\n\xC3\xA9t\xC3\xA9"},
      {"GET /?_action=Echo HTTP/1.0\r\n\r\n",
       head + "Content-Length: 0\r\nContent-Type: text/html\r\n\r\n"},
      // A POST none; kinds choose the type, any other kind gives no type line.
      {"POST / HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
       "Content-Length: 28\r\n\r\n_action=echo&text=[1]&kind=1",
       head + "Content-Type: text/plain\r\n\r\n[1]"},
      {"GET /?_action=Echo&text=x&kind=7 HTTP/1.0\r\n\r\n", head + "Content-Length: 1\r\n\r\nx"},
      {"GET /?_action=Nothing HTTP/1.0\r\n\r\n", redirect},
      {"GET / HTTP/1.0\r\n\r\n", redirect},
      {"POST / HTTP/1.0\r\n\r\n", redirect},
  };
  for (const auto& c : kCases) {
    Served served(c.request);
    RunObjectFactory<EchoHandler>(served.connection(), 0);
    EXPECT_EQ(c.answer, served.Answer()) << c.request;
  }
}

TEST(AccountJson, IndexingValueCountsAttachmentsTwice) {
  const struct {
    int attachments, mailStatus, mailTotal, mailDone, fileStatus, fileTotal, fileDone;
    int expected;
  } table[] = {
      {0, 1, 10, 10, 0, 0, 0, 100},    // mail finished, attachments not wanted
      {1, 1, 10, 10, 1, 5, 5, 100},    // both finished
      {1, 1, 10, 10, 0, 5, 2, 70},     // (10 + 4) * 100 / (10 + 10)
      {0, 0, 200, 50, 1, 0, 0, 25},    // mail running, attachments ignored
      {0, 2, 3, 1, 0, 9, 9, 33},       // to be extended: still counted
      {1, 0, 0, 0, 0, 0, 0, 0},        // nothing known yet
      {0, 0, 10, 11, 0, 0, 0, 99},     // more done than known
      {1, 0, 10, 10, 0, 1, 2, 99},     // attachments overshoot
      {0, 0, 2000000000, 1999999999, 0, 0, 0, 99},  // no overflow on big counts
  };
  for (const auto& p : table) {
    AccountInfo account;
    account.downloadAttachments = p.attachments;
    account.mailIndexingStatus = p.mailStatus;
    account.mailTotal = p.mailTotal;
    account.mailProcessed = p.mailDone;
    account.attachmentIndexingStatus = p.fileStatus;
    account.attachmentTotal = p.fileTotal;
    account.attachmentProcessed = p.fileDone;
    EXPECT_EQ(p.expected, ObjectBase::IndexingValue(account))
        << p.mailTotal << "/" << p.mailDone << " " << p.fileTotal << "/" << p.fileDone;
  }
}

TEST(AccountJson, BriefAndFullFormsAreExact) {
  AccountInfo account;
  account.id = 7;
  account.email.SetAs("a\"b@x.example");
  account.downloadAll = 0;
  account.downloadAttachments = 1;
  account.downloadSince = 1700000000;
  account.mailStatus.SetAs("Error: \"bad\" login\n");
  account.contactStatus.SetAs("Connecting...");
  account.mailIndexingStatus = 1;
  account.attachmentIndexingStatus = 0;
  account.mailTotal = account.mailProcessed = 10;
  account.attachmentTotal = 5;
  account.attachmentProcessed = 2;
  account.contactUpdatedTime = 1700000100;
  account.mailUpdatedTime = -5;

  koString brief;
  ObjectBase::AppendAccountJson(brief, account, 7, 1);
  EXPECT_STREQ(
      "{\"AccountId\":7,\"Email\":\"a\\\"b@x.example\",\"IsAllMails\":0,"
      "\"IsDownloadAttchments\":1,\"DownloadSince\":1700000000000,\"IsPrimary\":1}",
      brief.GetString());

  koString full("[");
  ObjectBase::AppendAccountJson(full, account, 0, 0);
  EXPECT_STREQ(
      "[{\"AccountId\":7,\"Email\":\"a\\\"b@x.example\",\"IsAllMails\":0,"
      "\"IsDownloadAttchments\":1,\"DownloadSince\":1700000000000,\"IsPrimary\":0,"
      "\"ImapErrorMsg\":\"Error: \\\"bad\\\" login\\n\",\"ContactErrorMsg\":\"Connecting...\","
      "\"IndexingValue\":70,\"IndexStatus\":1,\"ContactUpdatedTime\":1700000100000,"
      "\"MailUpdatedTime\":-5000,\"DownloadSince\":1700000000000,"
      "\"MailProcessed\":10,\"MailTotal\":10,\"AttachmentProcessed\":2,\"AttachmentTotal\":5}",
      full.GetString());
}

// The list comes from the ConfigMgr of a private HOME.
using AccountList = webtest::WebTest;

TEST_F(AccountList, ListsEveryAccountOrOneById) {
  auto json = [](int accountId, int brief, int* result = nullptr) {
    ObjectBase handler(nullptr, 0);
    koString out("junk");
    int ok = handler.GetAccountsJson(out, accountId, brief);
    if (result != nullptr) *result = ok;
    return std::string(out.GetString());
  };
  int result = 0;
  EXPECT_EQ("[]", json(0, 1, &result));
  EXPECT_EQ(1, result);
  for (const char* email : {"one@x.example", "two@x.example"}) {
    AccountInfo account;
    account.email.SetAs(email);
    account.downloadAll = 1;
    ASSERT_EQ(1, gConfigMgr->AddAccount(account));
  }
  Preferences preferences;
  gConfigMgr->GetPreferences(preferences);
  preferences.context_type = 2;
  gConfigMgr->SetPreferences(preferences);
  std::string all = json(0, 1);
  EXPECT_EQ(0u, all.find("[{\"AccountId\":1,")) << all;
  EXPECT_NE(std::string::npos, all.find("\"IsPrimary\":0},{\"AccountId\":2,")) << all;
  EXPECT_NE(std::string::npos, all.find("\"IsPrimary\":1}]")) << all;
  std::string one = json(2, 0);
  EXPECT_EQ(0u, one.find("[{\"AccountId\":2,")) << one;
  EXPECT_NE(std::string::npos, one.find("\"ImapErrorMsg\"")) << "the full form";
  EXPECT_EQ(std::string::npos, one.find("\"AccountId\":1"));
  EXPECT_EQ("[]", json(99, 0, &result));
  EXPECT_EQ(1, result);
  // No configuration: a failure, not an empty list.
  gConfigMgr = nullptr;
  json(0, 1, &result);
  EXPECT_EQ(0, result);
}

}  // namespace
