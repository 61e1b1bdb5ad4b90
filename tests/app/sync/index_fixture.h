// Shared set-up of the indexer tests: the mail fixture (private HOME,
// summary database, one account whose mail thread is the test's thread)
// with the account's server in the ini file, message texts, and the
// summary database read back.
#ifndef PV_TESTS_APP_SYNC_INDEX_FIXTURE_H
#define PV_TESTS_APP_SYNC_INDEX_FIXTURE_H

#include <string>
#include <vector>

#include "app/sync/mail_fixture.h"
#include "core/kinifile.h"
#include "core/ksqlite.h"
#include "core/sqlitemgr.h"

namespace pvtest {

// One RFC 822 message with CR LF line ends. delivered: a Delivered-To line
// for `to`; attachment: a base64 part named "file<n>.bin" of a few KB.
inline std::string MailText(int n, const std::string& to, bool delivered = true, bool attachment = false,
                            const std::string& from = "", const std::string& date = "") {
  std::string text;
  if (delivered) text += "Delivered-To: " + to + "\r\n";
  text += "From: " + (from.empty() ? "Sender " + std::to_string(n) + " <sender" + std::to_string(n % 7) +
                                         "@example.org>"
                                   : from) +
          "\r\nTo: " + to + "\r\nSubject: Message " + std::to_string(n) +
          "\r\nDate: " + (date.empty() ? "Tue, 1 Jun 2010 10:00:00 +0000" : date) + "\r\nMessage-ID: <m" +
          std::to_string(n) + "@example.org>\r\nMIME-Version: 1.0\r\n";
  if (!attachment) return text + "Content-Type: text/plain\r\n\r\nBody of message " + std::to_string(n) + ".\r\n";
  std::string payload;
  for (int i = 0; i < 60; ++i) payload += "QUJDREVGR0hJSktMTU5PUFFSU1RVVldYWVphYmNkZWZnaGlqa2xtbm9wcXJzdHV2d3h5" +
                                          std::to_string(n % 10) + "A\r\n";
  return text + "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n--b\r\nContent-Type: text/plain\r\n\r\n"
                "See the file.\r\n--b\r\nContent-Type: application/octet-stream; name=\"file" +
         std::to_string(n) +
         ".bin\"\r\nContent-Transfer-Encoding: base64\r\nContent-Disposition: attachment; filename=\"file" +
         std::to_string(n) + ".bin\"\r\n\r\n" + payload + "--b--\r\n";
}

}  // namespace pvtest

class IndexTest : public MailTest {
 protected:
  void SetUp() override {
    MailTest::SetUp();
    ASSERT_EQ(1, SQLiteMgr::OpenAndInitialize(&db_, SQLiteMgr::kSummaryDatabase));
  }
  // The connection the test's indexer objects borrow.
  koSQLite* db() { return &db_; }
  // Points the account's server at 127.0.0.1:port.
  void UseServer(int port) {
    koString ini;
    ASSERT_EQ(1, ConfigMgr::OpenIniInConfigDir(ini));
    ASSERT_EQ(1, IniWriteString("GENERAL", "Imap_Host", "127.0.0.1", ini.GetString()));
    ASSERT_EQ(1, IniWriteString("GENERAL", "Imap_Port", std::to_string(port).c_str(), ini.GetString()));
  }
  AccountInfo& Account() {
    account_.Clear();
    config_->GetAccountById(accountId_, account_);
    return account_;
  }

  // Rows of a query of one integer column, in its order.
  static std::vector<int64_t> Column(const std::string& sql) {
    std::vector<int64_t> out;
    koSQLite db;
    if (!SQLiteMgr::Open(&db, SQLiteMgr::kSummaryDatabase)) return out;
    koStatement s(&db, sql.c_str());
    while (s.Step() && s.HasRow()) out.push_back(db.GetInt64(s.Handle(), 0));
    return out;
  }
  static int64_t Value(const std::string& sql) {
    std::vector<int64_t> rows = Column(sql);
    return rows.empty() ? -1 : rows[0];
  }
  std::vector<int64_t> StoredUids() {
    return Column("SELECT uid FROM mail WHERE account_id = " + std::to_string(accountId_) + " ORDER BY uid");
  }
  int64_t ModuleValue(int module, const std::string& column) {
    return Value("SELECT " + column + " FROM module WHERE account_id = " + std::to_string(accountId_) +
                 " AND id = " + std::to_string(module));
  }

  AccountInfo account_;
  koSQLite db_;
};

#endif  // PV_TESTS_APP_SYNC_INDEX_FIXTURE_H
