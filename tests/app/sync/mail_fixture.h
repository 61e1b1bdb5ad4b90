// Shared set-up of the mail-layer tests: the mail library initialised once
// per process, SIGPIPE ignored as the program does, the proxy variables
// cleared, a private HOME with a summary database, a ConfigMgr holding one
// account whose mail thread is the test's thread, a log file of the test's
// own, and short library time-outs so a failing test does not hang.
#ifndef PV_TESTS_APP_SYNC_MAIL_FIXTURE_H
#define PV_TESTS_APP_SYNC_MAIL_FIXTURE_H

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>
#include <string>

#include "app/store/configmgr.h"
#include "app/store/summaryschema.h"
#include "app/sync/callbacks.h"
#include "app/sync/mailext.h"
#include "app/sync/mailinit.h"
#include "core/ksocket.h"
#include "core/ksqlite.h"
#include "core/pathmgr.h"
#include "core/sqlitemgr.h"
#include "platform/os/thread_id.h"
#include "support/log_capture.h"
#include "support/private_home.h"

extern "C" {
#include <c-client/c-client.h>
}

class MailTest : public ::testing::Test {
 protected:
  static constexpr const char* kAccount = "someone@example.com";

  static void SetUpTestSuite() {
    koIgnoreSigPipe();
    InitMailLibrary();
  }

  void SetUp() override {
    ASSERT_FALSE(home_.path().empty());
    pvtest::ClearProxyEnvironment();
    koString dir;
    ASSERT_GT(PathMgr::GetConfigDir(dir), 0);
    ASSERT_EQ(0, mkdir((std::string(dir.GetString()) + "/data").c_str(), 0755));
    {
      koSQLite db(gLog);
      ASSERT_EQ(1, SQLiteMgr::OpenAndInitialize(&db, "postvane.summary"));
      ASSERT_EQ(1, CreateSummarySchema(&db));
    }
    config_ = std::make_unique<ConfigMgr>();
    gConfigMgr = config_.get();
    AccountInfo account;
    account.email.SetAs(kAccount);
    account.password.SetAs("unused");
    account.downloadAll = 1;
    ConfigureAccount(account);
    ASSERT_EQ(1, config_->AddAccount(account));
    accountId_ = account.id;
    ASSERT_EQ(1, config_->SetThreadIdByEmail(koCurrentThreadId(), kAccount));
    SetStatus(kStatusConnecting);
    mail_parameters(NIL, SET_READTIMEOUT, reinterpret_cast<void*>(10));
    mail_parameters(NIL, SET_WRITETIMEOUT, reinterpret_cast<void*>(10));
    mail_parameters(NIL, SET_TIMEOUT, nullptr);
    mail_parameters(NIL, SET_MAXLOGINTRIALS, reinterpret_cast<void*>(1));
  }
  // Changes the account before it is added.
  virtual void ConfigureAccount(AccountInfo&) {}
  void TearDown() override {
    ClearMailLoginPassword();
    gConfigMgr = nullptr;
  }

  // The account's status, as the web pages read it.
  std::string Status() {
    koString text;
    config_->GetStatusById(accountId_, text);
    return text.GetString();
  }
  void SetStatus(const char* text) { config_->SetStatusByEmail(kAccount, text); }
  std::string GeneralMessage() {
    koString text;
    config_->GetGeneralMessage(text);
    return text.GetString();
  }
  // The account's special folder of this kind (3 All Mail, 4 Spam, 5 Trash).
  std::string Folder(int kind) {
    AccountInfo account;
    config_->GetAccountById(accountId_, account);
    return (kind == kFolderAllMail ? account.allMailFolder
            : kind == kFolderSpam  ? account.spamFolder
                                   : account.trashFolder).GetString();
  }
  void SetProxy(int type, const std::string& host, int port, int secure = 0, const char* user = "",
                const char* password = "") {
    ProxySettings proxy;
    proxy.type = type;
    proxy.host.SetAs(host.c_str());
    proxy.port = port;
    proxy.secure = secure;
    proxy.user.SetAs(user);
    proxy.password.SetAs(password);
    config_->SetProxySettings(proxy);
  }
  std::string LogText() const { return log_.Text(); }

  // "{127.0.0.1:port/imap/ssl<flags>/user="address"}folder"
  static std::string Mailbox(int port, const std::string& address, const std::string& folder,
                             const char* flags = "/novalidate-cert") {
    return "{127.0.0.1:" + std::to_string(port) + "/imap/ssl" + flags + "/user=\"" + address + "\"}" + folder;
  }
  // Signs in with the thread's credential set to `password`; null on failure.
  static MAILSTREAM* Open(const std::string& mailbox, const std::string& password, long options = NIL) {
    SetMailLoginPassword(koString(password.c_str()));
    return mail_open(NIL, const_cast<char*>(mailbox.c_str()), options);
  }

  PrivateHome home_;
  LogCapture log_{home_.path() + "/test.log"};
  std::unique_ptr<ConfigMgr> config_;
  int accountId_ = 0;
};

#endif  // PV_TESTS_APP_SYNC_MAIL_FIXTURE_H
