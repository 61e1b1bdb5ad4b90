// The program indexes an account that is in its database when it starts,
// and still ends in order, "Stopped" last, while its threads are busy.
#include "app/store/configmgr.h"
#include "core/kinifile.h"
#include "core/ksqlite.h"
#include "core/sqlitemgr.h"
#include "program_fixture.h"
#include "support/imap_peers.h"

namespace {

using namespace programtest;

const char kAccount[] = "someone@example.com";
const char kAllMail[] = "[Gmail]/All Mail";

int64_t MailCount() {
  koSQLite db;
  if (!SQLiteMgr::Open(&db, SQLiteMgr::kSummaryDatabase)) return -1;
  koStatement s(&db, "SELECT COUNT(*) FROM mail");
  return s.Step() && s.HasRow() ? db.GetInt64(s.Handle(), 0) : -1;
}

TEST_F(PostvaneTest, AnAccountInTheDatabaseIsIndexedAtStart) {
  pvtest::DovecotPeer dovecot;
  ASSERT_TRUE(dovecot.Start(kAccount, "secret")) << dovecot.Error();
  for (const char* folder : {kAllMail, "[Gmail]/Spam", "[Gmail]/Trash"}) ASSERT_TRUE(dovecot.CreateFolder(folder));
  for (int n = 1; n <= 40; ++n) {
    std::string text = "Delivered-To: " + std::string(kAccount) + "\r\nFrom: Ann <ann" + std::to_string(n % 3) +
                       "@example.org>\r\nSubject: Note " + std::to_string(n) +
                       "\r\nDate: Tue, 1 Jun 2010 10:00:00 +0000\r\nMessage-ID: <n" + std::to_string(n) +
                       "@example.org>\r\n\r\nText.\r\n";
    ASSERT_TRUE(dovecot.AddMessage(kAllMail, text));
  }
  pvtest::XlistRelayPeer relay;
  ASSERT_TRUE(relay.Start(dovecot.Port())) << relay.Error();
  std::string ini = data_dir_ + "/postvane.ini";
  ASSERT_EQ(1, IniWriteString("GENERAL", "Imap_Host", "127.0.0.1", ini.c_str()));
  ASSERT_EQ(1, IniWriteString("GENERAL", "Imap_Port", std::to_string(relay.Port()).c_str(), ini.c_str()));
  for (const char* key : {"Contacts_Login_Host", "Contacts_Feed_Host"})
    ASSERT_EQ(1, IniWriteString("GENERAL", key, "127.0.0.1:1", ini.c_str()));
  {
    ConfigMgr config;
    AccountInfo account;
    account.email.SetAs(kAccount);
    account.password.SetAs("secret");
    account.downloadAll = 1;
    ASSERT_EQ(1, config.AddAccount(account));
  }
  pvtest::Spawned program({Program()}, home_.path() + "/stderr.txt");
  ASSERT_TRUE(program.Started());
  EXPECT_TRUE(WaitFor([] { return MailCount() == 40; }, 90000)) << MailCount() << " mails\n" << Log();
  TerminateInOrder(program);
}

}  // namespace
