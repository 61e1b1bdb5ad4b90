// The running program with real peers: Dovecot behind the XLIST relay as the
// mail service (accounts alice@gmail.com and bob@gmail.com, password "pw",
// mail in "[Gmail]/All Mail"), the contacts fake as the contacts service,
// and requests to the program's JSON API.
#ifndef PV_TESTS_APP_WEB_PEERS_FIXTURE_H
#define PV_TESTS_APP_WEB_PEERS_FIXTURE_H

#include <string>

#include "app/store/configmgr.h"
#include "core/kinifile.h"
#include "core/ksqlite.h"
#include "core/sqlitemgr.h"
#include "program_fixture.h"
#include "support/contacts_peer.h"
#include "support/imap_peers.h"

namespace programtest {

constexpr const char kAllMail[] = "[Gmail]/All Mail";

class PeersTest : public PostvaneTest {
 protected:
  void SetUp() override {
    PostvaneTest::SetUp();
    ASSERT_TRUE(dovecot_.Start("alice@gmail.com", "pw", {"bob@gmail.com"})) << dovecot_.Error();
    for (const char* user : {"", "bob@gmail.com"}) {
      for (const char* folder : {kAllMail, "[Gmail]/Spam", "[Gmail]/Trash"})
        ASSERT_TRUE(dovecot_.CreateFolder(folder, user));
    }
    ASSERT_TRUE(relay_.Start(dovecot_.Port())) << relay_.Error();
    ASSERT_TRUE(contacts_.Start()) << contacts_.Error();
    ASSERT_TRUE(contacts_.SetScript(R"({"users": {"alice@gmail.com": "pw", "bob@gmail.com": "pw"}})"));
    const std::string ini = data_dir_ + "/postvane.ini";
    const std::pair<const char*, std::string> kEndpoints[] = {
        {"Imap_Host", "127.0.0.1"}, {"Imap_Port", std::to_string(relay_.Port())},
        {"Contacts_Login_Host", contacts_.LoginHost()}, {"Contacts_Feed_Host", contacts_.FeedHost()}};
    for (const auto& [key, value] : kEndpoints)
      ASSERT_EQ(1, IniWriteString("GENERAL", key, value.c_str(), ini.c_str()));
  }

  // A failed test also shows what the peers saw last.
  void TearDown() override {
    if (HasFailure())
      std::cerr << "dovecot.log, the end:\n" << pvtest::Tail(dovecot_.Log()) << "\nmail commands, the end:\n"
                << pvtest::Tail(relay_.Commands()) << "\n";
    PostvaneTest::TearDown();
  }

  // Mail from ann@example.org delivered to `user`'s All Mail.
  void AddMail(int n, const std::string& user = "") {
    std::string to = user.empty() ? "alice@gmail.com" : user;
    std::string text = "Delivered-To: " + to + "\r\nFrom: Ann <ann@example.org>\r\nTo: " + to +
                       "\r\nSubject: Note " + std::to_string(n) +
                       "\r\nDate: Tue, 1 Jun 2010 10:00:00 +0000\r\nMessage-ID: <n" + std::to_string(n) +
                       "." + to + ">\r\n\r\nText.\r\n";
    ASSERT_TRUE(dovecot_.AddMessage(kAllMail, text, true, 0, nullptr, user));
  }

  // The body of the program's answer to GET /?query.
  std::string Ask(const std::string& query) {
    std::string answer = pvtest::Exchange(port_, "GET /?" + query + " HTTP/1.0\r\n\r\n");
    size_t end = answer.find("\r\n\r\n");
    return end == std::string::npos ? "<no answer: " + answer + ">" : answer.substr(end + 4);
  }

  // The first column of the first row, as text; "" for no row.
  static std::string Query(const std::string& sql) {
    koSQLite db;
    if (!SQLiteMgr::Open(&db, SQLiteMgr::kSummaryDatabase)) return "<no database>";
    koStatement s(&db, sql.c_str());
    if (!s.Step() || !s.HasRow()) return "";
    const unsigned char* text = sqlite3_column_text(*s.Handle(), 0);
    return text != nullptr ? reinterpret_cast<const char*>(text) : "NULL";
  }
  static int MailCount(int accountId) {
    return std::stoi("0" + Query("SELECT COUNT(*) FROM mail WHERE account_id = " + std::to_string(accountId)));
  }

  pvtest::DovecotPeer dovecot_;
  pvtest::XlistRelayPeer relay_;
  pvtest::ContactsFakePeer contacts_;
};

}  // namespace programtest

#endif  // PV_TESTS_APP_WEB_PEERS_FIXTURE_H
