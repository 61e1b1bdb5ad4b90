#include "app/web/prefmgr.h"

#include <filesystem>
#include <string>

#include "web_fixture.h"

namespace {

using namespace webtest;

const char kDefaults[] =
    "({\"showInlineImages\":0, \"showReceivedAttachments\":1, \"contactsPerPage\":30, "
    "\"filesPerPage\":10, \"showSenderEmails\":0, \"sidebarActiveTab\":\"contact\",\"sidebarLock\":0, "
    "\"activeGroup\":\"My Contacts\", \"activeContactType\":\"All\", \"accountlist\":[],"
    "\"filterAccountId\":0})";

class PrefMgrTest : public ServerTest {
 protected:
  void SetUp() override {
    ServerTest::SetUp();
    MakeSummaryDatabase();
  }
  std::string Ask(const std::string& query) { return BodyOf(Get("/?_object=PrefMgr&" + query)); }
  std::string Row(const std::string& name) {
    return SqliteQuery(SummaryPath(), "SELECT value FROM preferences WHERE name = '" + name + "'");
  }
  void AddAccount(const char* email) {
    AccountInfo account;
    account.email.SetAs(email);
    account.password.SetAs("pw");
    ASSERT_EQ(1, gConfigMgr->AddAccount(account));
  }
};

TEST_F(PrefMgrTest, SavedValuesComeBackInTheExactAnswer) {
  EXPECT_EQ(kDefaults, Ask("_action=GetPreferences"));
  AddAccount("a@x.example");
  AddAccount("b\"q@x.example");
  EXPECT_EQ("1", Ask("_action=SavePreferences&showInlineImages=1&showReceivedAttachments=0&"
                     "showSenderEmails=1&filesPerPage=25&contactsPerPage=40&filterAccountId=2"));
  // Texts of every kind come back escaped, whatever the type's letter case.
  const std::pair<std::string, std::string> kTexts[] = {
      {"ACTIVETAB", "tab%22%5C%3C%2Fscript%3E"}, {"activegroup", "Gr%C3%BC%C3%9Fe"},
      {"ActiveContactType", "%0A%09"}};
  for (const auto& [type, value] : kTexts)
    EXPECT_EQ("1", Ask("_action=SetBrowserExtPreferences&type=" + type + "&prefData=" + value)) << type;
  EXPECT_EQ("", Ask("_action=SetBrowserExtPreferences&type=activeaccount&prefData=x"));
  EXPECT_EQ("1", Ask("_action=SideBarLockStatus&sidebarLock=1"));

  const std::string expected =
      "({\"showInlineImages\":1, \"showReceivedAttachments\":0, \"contactsPerPage\":40, "
      "\"filesPerPage\":25, \"showSenderEmails\":1, \"sidebarActiveTab\":\"tab\\\"\\\\<\\/script>\","
      "\"sidebarLock\":1, \"activeGroup\":\"Grüße\", \"activeContactType\":\"\\n\\t\", "
      "\"accountlist\":[{\"accountName\":\"a@x.example\",\"accountId\":1 },"
      "{\"accountName\":\"b\\\"q@x.example\",\"accountId\":2 }],\"filterAccountId\":2})";
  EXPECT_EQ(expected, Ask("_action=GetPreferences"));
  // The rows hold the texts as sent; a new start reads them back.
  EXPECT_EQ("25", Row("files_perpage"));
  EXPECT_EQ("Grüße", Row("active_group"));
  RenewConfig();
  gConfigMgr->LoadAccounts();
  EXPECT_EQ(expected, Ask("_action=GetPreferences"));
  // Unknown actions go to the start page; a POST is answered without length.
  EXPECT_EQ("HTTP/1.0 302 Found\r\nLocation: /index.html\r\n\r\n", Get("/?_object=PrefMgr&_action=Nothing"));
  EXPECT_EQ("1", BodyOf(PostForm("/?_object=PrefMgr", "_action=SideBarLockStatus&sidebarLock=0")));
}

TEST_F(PrefMgrTest, AFailedSaveChangesNoRowAndNoCachedValue) {
  // The third of the six rows cannot be written.
  EXPECT_EQ("", SqliteQuery(SummaryPath(),
                            "CREATE TRIGGER refuse BEFORE INSERT ON preferences WHEN "
                            "NEW.name = 'show_sender_emails' BEGIN SELECT RAISE(ABORT, 'no'); END"));
  std::string before = Row("show_inline_images");
  EXPECT_EQ("0", Ask("_action=SavePreferences&showInlineImages=1&showReceivedAttachments=0&"
                     "showSenderEmails=1&filesPerPage=25&contactsPerPage=40&filterAccountId=0"));
  EXPECT_EQ(before, Row("show_inline_images"));
  EXPECT_EQ(kDefaults, Ask("_action=GetPreferences"));
  EXPECT_NE(std::string::npos, Log().find("INSERT OR REPLACE INTO [preferences]"));

  // Without a database nothing is cached either: the lock stays as it was.
  koString dir;
  PathMgr::GetConfigDir(dir);
  std::string data = std::string(dir.GetString()) + "/data";
  std::filesystem::remove_all(data);
  WriteFile(data, "not a folder");
  EXPECT_EQ("0", Ask("_action=SideBarLockStatus&sidebarLock=1"));
  EXPECT_EQ("0", Ask("_action=SetBrowserExtPreferences&type=activetab&prefData=x"));
  EXPECT_EQ(kDefaults, Ask("_action=GetPreferences"));
}

TEST_F(PrefMgrTest, PasscodeChangesOnlyWithTheCurrentOneAndComparesExactly) {
  struct Step {
    std::string query;
    std::string answer;
  } kSteps[] = {
      // Nothing stored: only an empty current passcode changes it.
      {"ValidatePassword&lockPassword=", "1"},
      {"ChangeSidebarPassword&curPassword=x&newPassWord=Secret", "({\"status\":-1})"},
      {"ChangeSidebarPassword&curPassword=&newPassWord=Secret", "({\"status\":1})"},
      {"ValidatePassword&lockPassword=Secret", "1"},
      {"ValidatePassword&lockPassword=secret", "0"},
      {"ValidatePassword&lockPassword=Secret%20", "0"},
      {"ChangeSidebarPassword&curPassword=secret&newPassWord=x", "({\"status\":-1})"},
      {"ChangeSidebarPassword&curPassword=Secret&newPassWord=%C3%A9%3D%0A", "({\"status\":1})"},
      {"ValidatePassword&lockPassword=%C3%A9%3D%0A", "1"},
      {"ValidatePassword&lockPassword=Secret", "0"},
  };
  for (const Step& step : kSteps) EXPECT_EQ(step.answer, Ask("_action=" + step.query)) << step.query;
}

}  // namespace
