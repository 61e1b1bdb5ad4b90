#include "app/web/objectbase.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "app/store/configlist.h"
#include "app/store/configmgr.h"
#include "core/ksqlite.h"
#include "core/sqlitemgr.h"
#include "web_fixture.h"

namespace {

using webtest::ReadToEnd;
using webtest::WriteAll;

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
    EXPECT_TRUE(WriteAll(peer_, request));
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

const char kHead200[] =
    "HTTP/1.0 200 OK\r\nCache-Control: no-cache\r\nPragma: no-cache\r\nExpires: 0\r\n"
    "charset: UTF8\r\n";

TEST(ObjectBaseAnswer, GetCarriesTheBodyLengthInBytes) {
  Served served("GET /?_action=Echo&text=%C3%A9t%C3%A9&kind=0 HTTP/1.1\r\n\r\n");
  RunObjectFactory<EchoHandler>(served.connection(), 0);
  EXPECT_EQ(std::string(kHead200) +
                "Content-Length: 5\r\nContent-Type: text/html\r\n\r\n\xC3\xA9t\xC3\xA9",
            served.Answer());
}

TEST(ObjectBaseAnswer, PostHasNoLengthAndKindsChooseTheType) {
  Served plain(
      "POST / HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
      "Content-Length: 28\r\n\r\n_action=echo&text=[1]&kind=1");
  RunObjectFactory<EchoHandler>(plain.connection(), 0);
  EXPECT_EQ(std::string(kHead200) + "Content-Type: text/plain\r\n\r\n[1]", plain.Answer());

  // Any other kind: no Content-Type line, and the head still ends once.
  Served other("GET /?_action=Echo&text=x&kind=7 HTTP/1.0\r\n\r\n");
  RunObjectFactory<EchoHandler>(other.connection(), 0);
  EXPECT_EQ(std::string(kHead200) + "Content-Length: 1\r\n\r\nx", other.Answer());

  Served empty("GET /?_action=Echo HTTP/1.0\r\n\r\n");
  RunObjectFactory<EchoHandler>(empty.connection(), 0);
  EXPECT_EQ(std::string(kHead200) + "Content-Length: 0\r\nContent-Type: text/html\r\n\r\n",
            empty.Answer());
}

TEST(ObjectBaseAnswer, RedirectIsStatusLocationAndBlankLineOnly) {
  for (const char* request : {"GET /?_action=Nothing HTTP/1.0\r\n\r\n",
                              "GET / HTTP/1.0\r\n\r\n", "POST / HTTP/1.0\r\n\r\n"}) {
    Served served(request);
    RunObjectFactory<EchoHandler>(served.connection(), 0);
    EXPECT_EQ("HTTP/1.0 302 Found\r\nLocation: /index.html\r\n\r\n", served.Answer()) << request;
  }
}

TEST(ObjectBaseAnswer, BuffersStartWithTheirRoom) {
  Served served("GET / HTTP/1.0\r\n\r\n");
  struct Probe : ObjectBase {
    using ObjectBase::ObjectBase;
    bool AllReserved() const {
      for (const koString* s : {&response_, &buffer1_, &buffer2_, &buffer3_, &buffer4_,
                                &buffer5_}) {
        if (s->GetCapacity() < kBufferCapacity || s->GetLength() != 0) return false;
      }
      return content_kind_ == kContentHtml && redirect_.GetLength() == 0 && argument_ == 3;
    }
  } probe(served.connection(), 3);
  EXPECT_TRUE(probe.AllReserved());
}

// ---------------------------------------------------------------------------
// Account JSON

struct Progress {
  int attachments, mailStatus, mailTotal, mailDone, fileStatus, fileTotal, fileDone;
  int expected;
};

TEST(AccountJson, IndexingValueCountsAttachmentsTwice) {
  const Progress table[] = {
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
  for (const Progress& p : table) {
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
      "\"MailUpdatedTime\":-5000,\"DownloadSince\":1700000000000}",
      full.GetString());
}

// Accounts come from a ConfigMgr over a summary database in a private HOME.
class AccountList : public webtest::WebTest {
 protected:
  void SetUp() override {
    WebTest::SetUp();
    koString dir;
    ASSERT_GT(PathMgr::GetConfigDir(dir), 0);
    // The configuration object made the folder already, perhaps.
    mkdir((std::string(dir.GetString()) + "/data").c_str(), 0755);
    {
      koSQLite db(gLog);
      ASSERT_EQ(1, SQLiteMgr::OpenAndInitialize(&db, "postvane.summary"));
      ASSERT_EQ(1, CreateSummarySchema(&db));
    }
    RenewConfig();
  }
  int Add(const char* email, int attachments) {
    AccountInfo account;
    account.email.SetAs(email);
    account.password.SetAs("secret");
    account.downloadAll = 1;
    account.downloadAttachments = attachments;
    EXPECT_EQ(1, gConfigMgr->AddAccount(account));
    return account.id;
  }
  std::string Json(int accountId, int brief, int* result = nullptr) {
    ObjectBase handler(nullptr, 0);
    koString out("junk");
    int ok = handler.GetAccountsJson(out, accountId, brief);
    if (result != nullptr) *result = ok;
    return out.GetString();
  }
};

TEST_F(AccountList, ListsEveryAccountOrOneById) {
  int result = 0;
  EXPECT_EQ("[]", Json(0, 1, &result));
  EXPECT_EQ(1, result);

  int first = Add("one@x.example", 0);
  int second = Add("two@x.example", 1);
  ASSERT_EQ(1, first);
  ASSERT_EQ(2, second);
  Preferences preferences;
  gConfigMgr->GetPreferences(preferences);
  preferences.context_type = second;
  gConfigMgr->SetPreferences(preferences);

  EXPECT_EQ(
      "[{\"AccountId\":1,\"Email\":\"one@x.example\",\"IsAllMails\":1,"
      "\"IsDownloadAttchments\":0,\"DownloadSince\":0,\"IsPrimary\":0},"
      "{\"AccountId\":2,\"Email\":\"two@x.example\",\"IsAllMails\":1,"
      "\"IsDownloadAttchments\":1,\"DownloadSince\":0,\"IsPrimary\":1}]",
      Json(0, 1));
  // The full form carries the live statuses ConfigMgr keeps.
  EXPECT_EQ(
      "[{\"AccountId\":2,\"Email\":\"two@x.example\",\"IsAllMails\":1,"
      "\"IsDownloadAttchments\":1,\"DownloadSince\":0,\"IsPrimary\":1,"
      "\"ImapErrorMsg\":\"\",\"ContactErrorMsg\":\"\",\"IndexingValue\":0,\"IndexStatus\":0,"
      "\"ContactUpdatedTime\":0,\"MailUpdatedTime\":0,\"DownloadSince\":0}]",
      Json(second, 0));
  EXPECT_EQ("[]", Json(99, 0, &result));
  EXPECT_EQ(1, result);

  EXPECT_EQ(1, gConfigMgr->DeleteAccount("one@x.example"));
  EXPECT_EQ(0u, Json(0, 1).find("[{\"AccountId\":2,"));
}

TEST_F(AccountList, NoConfigurationIsAFailure) {
  gConfigMgr = nullptr;
  int result = 1;
  Json(0, 1, &result);
  EXPECT_EQ(0, result);
  ObjectBase handler(nullptr, 0);
  koString out;
  EXPECT_EQ(0, handler.AppendAccountJsonByIndex(0, out, 1));
}

}  // namespace
