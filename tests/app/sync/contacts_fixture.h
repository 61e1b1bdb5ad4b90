// Shared set-up of the contacts tests: the mail tests' account and database
// (see mail_fixture.h), the contacts service's stand-in with the ini file
// pointing at it, libcurl and TinyXML prepared as the program prepares them,
// and a connection of the test's own for the service under test.
#ifndef PV_TESTS_APP_SYNC_CONTACTS_FIXTURE_H
#define PV_TESTS_APP_SYNC_CONTACTS_FIXTURE_H

#include <tinyxml.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "app/sync/contactservice.h"
#include "app/sync/gdataclient.h"
#include "core/kcurl.h"
#include "core/kinifile.h"
#include "support/contacts_peer.h"
#include "support/files.h"
// Last: the mail library's headers define macros that break later C++ headers.
#include "app/sync/mail_fixture.h"

class ContactsTest : public MailTest {
 protected:
  // Needs escaping in a form: "@", " ", "+", "&" and "=".
  static constexpr const char* kPassword = "p@ss w+rd&=1";
  static constexpr const char* kFeedTime = "2024-03-01T10:00:00.000Z";

  static void SetUpTestSuite() {
    MailTest::SetUpTestSuite();
    ASSERT_EQ(1, koCurl::GlobalInit());
    TiXmlBase::SetCondenseWhiteSpace(false);
  }
  void SetUp() override {
    MailTest::SetUp();
    ASSERT_TRUE(fake_.Start()) << fake_.Error();
    koString ini;
    ASSERT_EQ(1, ConfigMgr::OpenIniInConfigDir(ini));
    ASSERT_EQ(1, IniWriteString("GENERAL", "Contacts_Login_Host", fake_.LoginHost().c_str(), ini.GetString()));
    ASSERT_EQ(1, IniWriteString("GENERAL", "Contacts_Feed_Host", fake_.FeedHost().c_str(), ini.GetString()));
    Reopen();
    ASSERT_EQ(1, config_->GetAccountById(accountId_, account_));
    account_.password.SetAs(kPassword);
  }
  void TearDown() override {
    service_.reset();
    db_.reset();
    MailTest::TearDown();
  }

  // The service's data: contacts and groups (JSON objects, comma-separated)
  // and further keys ("\"hold\": ..." and the like), with our account known.
  void Serve(const std::string& contacts, const std::string& groups = "", const std::string& more = "") {
    ASSERT_TRUE(fake_.SetScript(std::string("{\"users\": {\"") + kAccount + "\": \"" + kPassword +
                                "\"}, \"updated\": \"" + kFeedTime + "\", \"contacts\": [" + contacts +
                                "], \"groups\": [" + groups + "]" + (more.empty() ? "" : ", " + more) +
                                "}"));
  }
  // A fresh connection and service: the program's connections compile
  // statements with the legacy interface, whose steps fail once another
  // connection changed the schema.
  void Reopen() {
    service_.reset();
    db_ = std::make_unique<koSQLite>(gLog);
    ASSERT_EQ(1, SQLiteMgr::OpenAndInitialize(db_.get(), "postvane.summary"));
  }
  ContactService& Service() {
    if (!service_) service_ = std::make_unique<ContactService>(account_, db_.get());
    return *service_;
  }
  // First column of the first row, on a connection of its own.
  std::string Sql(const std::string& sql) {
    koString dir;
    PathMgr::GetConfigDir(dir);
    return pvtest::SqliteQuery(std::string(dir.GetString()) + "/data/postvane.summary", sql);
  }
  std::string ContactStatus() {
    AccountInfo account;
    config_->GetAccountById(accountId_, account);
    return account.contactStatus.GetString();
  }
  // The fake's request log, all of it.
  std::string Requests() {
    std::string all;
    for (const std::string& r : fake_.Requests()) all += r + "\n--\n";
    return all;
  }
  // Polls for up to 20 s.
  static bool WaitFor(const std::function<bool()>& done) {
    for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
         std::chrono::steady_clock::now() < end; usleep(20000)) {
      if (done()) return true;
    }
    return done();
  }
  void Release() { pvtest::WriteFile(fake_.Dir() + "/release", ""); }

  pvtest::ContactsFakePeer fake_;
  std::unique_ptr<koSQLite> db_;
  AccountInfo account_;
  std::unique_ptr<ContactService> service_;
};

#endif  // PV_TESTS_APP_SYNC_CONTACTS_FIXTURE_H
