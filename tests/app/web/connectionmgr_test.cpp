// Accounts through the running program's JSON API, with Dovecot and the
// contacts fake as the services: add, edit, delete, list and test, the
// background threads following every change, bad input refused, and no
// deadlock when changes, saves and lists run at once.
#include "app/web/connectionmgr.h"

#include <atomic>
#include <mutex>
#include <filesystem>
#include <thread>
#include <vector>

#include "peers_fixture.h"

namespace {

using namespace programtest;

const char kAdd[] = "_object=ConnectionMgr&_action=Add&password=pw&isAllMails=1&isDownloadAttachments=0"
                    "&downloadSince=0&email=";
const char kAllMailOptions[] = "isAllMails=1&isDownloadAttachments=0&downloadSince=0";

class ConnectionMgrTest : public PeersTest {
 protected:
  void StartProgram() {
    program_ = std::make_unique<pvtest::Spawned>(std::vector<std::string>{Program()});
    ASSERT_TRUE(WaitFor([&] { return Serving(); })) << Log();
  }
  void TearDown() override {
    if (program_ != nullptr) TerminateInOrder(*program_);
    PeersTest::TearDown();
  }
  std::string Edit(int oldId, const std::string& email, const std::string& options) {
    return Ask("_object=ConnectionMgr&_action=Edit&editpassword=0&oldEmailAccountId=" + std::to_string(oldId) +
               "&email=" + email + "&" + options);
  }
  std::string Test(const std::string& credentials) {
    return Ask("_object=ConnectionMgr&_action=TestConnection&" + credentials);
  }
  static std::string Accounts() {
    return Query("SELECT ifnull(group_concat(a, ' '), '') FROM (SELECT id || ':' || email a FROM account ORDER BY id)");
  }
  std::string AccountFolder(const std::string& email) { return home_.path() + "/Postvane Attachments/" + email; }

  std::unique_ptr<pvtest::Spawned> program_;
};

TEST_F(ConnectionMgrTest, AccountsAreAddedEditedAndDeletedWithTheirThreads) {
  for (int n = 1; n <= 3; ++n) AddMail(n);
  for (int n = 1; n <= 2; ++n) AddMail(n, "bob@gmail.com");
  StartProgram();

  // Add completes the address; the same address again adds nothing.
  EXPECT_EQ("1", Ask(std::string(kAdd) + "alice"));
  EXPECT_EQ("0", Ask(std::string(kAdd) + "alice"));
  EXPECT_EQ("0", Ask(std::string(kAdd) + "ALICE%40gmail.com"));
  std::string list = Ask("_object=ConnectionMgr&_action=List");
  EXPECT_EQ(0u, list.find("[{\"AccountId\":1,\"Email\":\"alice@gmail.com\",\"IsAllMails\":1,")) << list;
  EXPECT_NE(std::string::npos, list.find("\"ImapErrorMsg\":")) << list;
  EXPECT_EQ(0u, Ask("_object=ConnectionMgr&_action=GetAccountDetails&id=1").find("({\"AccountId\":1,"));
  EXPECT_TRUE(WaitFor([] { return MailCount(1) == 3; }, 30000)) << Log();

  // A changed period keeps the id.
  EXPECT_EQ("1", Edit(1, "alice%40gmail.com", "isAllMails=0&isDownloadAttachments=0&downloadSince=1262304000000"));
  EXPECT_EQ("0", Query("SELECT download_all FROM account WHERE id = 1"));
  EXPECT_EQ("1262304000", Query("SELECT download_since FROM account WHERE id = 1"));

  // A changed address is a new account; the old one's rows go.
  EXPECT_EQ("2", Edit(1, "bob", kAllMailOptions));
  EXPECT_EQ("2:bob@gmail.com", Accounts());
  EXPECT_EQ(0, MailCount(1));
  EXPECT_FALSE(std::filesystem::exists(AccountFolder("alice@gmail.com")));
  EXPECT_TRUE(WaitFor([] { return MailCount(2) == 2; }, 30000)) << Log();

  // Changing to an address another account has changes and stops nothing.
  EXPECT_EQ("3", Ask(std::string(kAdd) + "alice"));
  EXPECT_EQ("0", Edit(2, "alice%40gmail.com", kAllMailOptions));
  EXPECT_NE(std::string::npos, Log().find("Duplicate account details"));
  EXPECT_EQ("2:bob@gmail.com 3:alice@gmail.com", Accounts());

  // Deleting the account the pages filter on clears the filter.
  EXPECT_EQ("1", Ask("_object=PrefMgr&_action=SavePreferences&showInlineImages=0&showReceivedAttachments=1"
                     "&showSenderEmails=0&filesPerPage=10&contactsPerPage=30&filterAccountId=3"));
  EXPECT_EQ("'alice@gmail.com' removed successfully", Ask("_object=ConnectionMgr&_action=Delete&accountId=3"));
  EXPECT_NE(std::string::npos, Ask("_object=PrefMgr&_action=GetPreferences").find("\"filterAccountId\":0})"));
  EXPECT_EQ("2:bob@gmail.com", Accounts());
  EXPECT_EQ("Failed to remove ''", Ask("_object=ConnectionMgr&_action=Delete&accountId=3"));
}

// A new address whose old account cannot be removed changes nothing.
TEST_F(ConnectionMgrTest, AnEditThatCannotRemoveTheOldAccountKeepsIt) {
  AddMail(1);
  StartProgram();
  ASSERT_EQ("1", Ask(std::string(kAdd) + "alice"));
  ASSERT_EQ("", Query("CREATE TRIGGER keep BEFORE DELETE ON account WHEN old.id = 1 "
                      "BEGIN SELECT RAISE(ABORT, 'kept'); END"));
  EXPECT_EQ("0", Edit(1, "bob", kAllMailOptions));
  EXPECT_NE(std::string::npos, Log().find("DeleteAccount")) << Log();
  EXPECT_EQ("1:alice@gmail.com", Accounts());
  std::string list = Ask("_object=ConnectionMgr&_action=List");
  EXPECT_EQ(0u, list.find("[{\"AccountId\":1,\"Email\":\"alice@gmail.com\",")) << list;
  EXPECT_EQ(std::string::npos, list.find("bob@gmail.com")) << list;
  // alice's threads run again.
  AddMail(2);
  EXPECT_EQ("", Ask("_object=ShowAll&_action=Refresh"));
  EXPECT_TRUE(WaitFor([] { return MailCount(1) == 2; }, 30000)) << Log();
}

TEST_F(ConnectionMgrTest, TestConnectionSaysWhichServiceRefused) {
  StartProgram();
  EXPECT_EQ("{\"TestStatus\":1,\"TestStatusMsg\":\"connected successfully\"}", Test("email=alice&password=pw"));
  // The contacts service refuses: its own text.
  ASSERT_TRUE(contacts_.SetScript(R"({"users": {}})"));
  std::string refused = Test("email=alice&password=pw");
  EXPECT_EQ(0u, refused.find("{\"TestStatus\":-1,\"TestStatusMsg\":\"")) << refused;
  EXPECT_NE(std::string::npos, refused.find("BadAuthentication")) << refused;
  // Wrong mail credentials: the mail library's text, not the earlier one.
  std::string wrong = Test("email=alice&password=wrong");
  EXPECT_EQ(0u, wrong.find("{\"TestStatus\":0,\"TestStatusMsg\":\"")) << wrong;
  EXPECT_EQ(std::string::npos, wrong.find("BadAuthentication")) << wrong;
  EXPECT_GT(wrong.size(), std::string("{\"TestStatus\":0,\"TestStatusMsg\":\"\"}").size()) << wrong;
  EXPECT_EQ(wrong, Test("email=alice&password=wrong"));
  // Nothing was stored by any of it.
  EXPECT_EQ("", Accounts());
}

TEST_F(ConnectionMgrTest, BadInputIsRefusedAndStoresNothing) {
  StartProgram();
  size_t records = Count(Log(), "\n");
  const std::string kRefusedAdds[] = {
      "",                                   // no address at all
      "a%2Fb",                              // a folder separator
      "..",                                 // a way up
      "x..y%40gmail.com",
      "a%5Cb",                              // a backslash
      "a%0Ab",                              // a line break
  };
  for (const std::string& email : kRefusedAdds) EXPECT_EQ("0", Ask(std::string(kAdd) + email)) << email;
  // 64 KB of address: too long to name an account (sent as a form).
  std::string answer = pvtest::Exchange(
      port_, "POST /?_object=ConnectionMgr&_action=Add HTTP/1.0\r\nContent-Type: application/x-www-form-urlencoded\r\n"
             "Content-Length: " + std::to_string(65536 + 6) + "\r\n\r\nemail=" + std::string(65536, 'a'));
  EXPECT_EQ("0", answer.substr(answer.find("\r\n\r\n") + 4));
  EXPECT_GT(Count(Log(), "\n"), records + 6) << "each refusal is logged";
  // Ids that are no numbers, or none.
  EXPECT_EQ("0", Edit(0, "x", kAllMailOptions));
  EXPECT_EQ("0", Ask("_object=ConnectionMgr&_action=Edit&oldEmailAccountId=abc&email=x"));
  EXPECT_EQ("Failed to remove ''", Ask("_object=ConnectionMgr&_action=Delete&accountId=abc"));
  EXPECT_EQ("", Ask("_object=ConnectionMgr&_action=GetAccountDetails&id=-1"));
  EXPECT_EQ("[]", Ask("_object=ConnectionMgr&_action=List"));
  EXPECT_EQ("", Accounts());
  // Nothing made beside the attachments root.
  EXPECT_FALSE(std::filesystem::exists(home_.path() + "/b"));
  EXPECT_FALSE(std::filesystem::exists(home_.path() + "/Postvane Attachments/a"));
  EXPECT_EQ("HTTP/1.0 302 Found\r\nLocation: /index.html\r\n\r\n",
            pvtest::Exchange(port_, "GET /?_object=ConnectionMgr&_action=Nothing HTTP/1.0\r\n\r\n"));
}

// Account changes, preference saves and lists at once for 30 s: every
// request is answered (a deadlock would leave one waiting past the
// client's time-out), and at the end the table, the list and the threads
// tell the same story.
TEST_F(ConnectionMgrTest, ChangesSavesAndListsAtOnceNeverDeadlock) {
  StartProgram();
  std::atomic<bool> stop{false};
  std::atomic<int> unanswered{0}, rounds{0};
  std::mutex lock;
  std::string failures;
  auto loop = [&](auto step) {
    return std::thread([&, step] {
      while (!stop) {
        std::string failure = step();
        ++rounds;
        if (failure.empty()) continue;
        ++unanswered;
        std::lock_guard<std::mutex> hold(lock);
        failures += failure + "\n";
      }
    });
  };
  std::vector<std::thread> clients;
  // Each step answers "" when all went well, else what it got.
  clients.push_back(loop([&] {
    std::string added = Ask(std::string(kAdd) + "alice");
    std::string id = added == "0" ? Query("SELECT id FROM account") : added;
    std::string removed = Ask("_object=ConnectionMgr&_action=Delete&accountId=" + id);
    bool answered = added.find("<no answer") == std::string::npos && removed.find("<no answer") == std::string::npos;
    return answered ? std::string() : "add " + added + ", delete " + removed;
  }));
  clients.push_back(loop([&] {
    std::string saved = Ask("_object=PrefMgr&_action=SavePreferences&showInlineImages=1&showReceivedAttachments=1"
                            "&showSenderEmails=0&filesPerPage=10&contactsPerPage=30&filterAccountId=0");
    return saved == "1" ? std::string() : "save " + saved;
  }));
  clients.push_back(loop([&] {
    std::string list = Ask("_object=ConnectionMgr&_action=List");
    return !list.empty() && list.front() == '[' && list.back() == ']' ? std::string() : "list " + list;
  }));
  std::this_thread::sleep_for(std::chrono::seconds(30));
  stop = true;
  for (std::thread& client : clients) client.join();
  EXPECT_EQ(0, unanswered.load()) << "of " << rounds.load() << ":\n" << failures;
  EXPECT_GT(rounds.load(), 30);

  // The table and the list agree, and every listed account has its threads.
  std::string accounts = Accounts();
  std::string list = Ask("_object=ConnectionMgr&_action=List");
  EXPECT_EQ(accounts.empty(), list == "[]") << accounts << " / " << list;
  EXPECT_EQ("'alice@gmail.com' removed successfully",
            accounts.empty() ? "'alice@gmail.com' removed successfully"
                             : Ask("_object=ConnectionMgr&_action=Delete&accountId=" +
                                   accounts.substr(0, accounts.find(':'))));
  EXPECT_EQ("[]", Ask("_object=ConnectionMgr&_action=List"));
}

}  // namespace
