#include "app/store/configmgr.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>

#include "core/kinifile.h"
#include "core/kpasswd.h"
#include "store_fixture.h"

namespace {

namespace fs = std::filesystem;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string IniValue(const std::string& path, const char* key) {
  koString out;
  IniReadString("GENERAL", key, "", out, path.c_str());
  return out.GetString();
}

class ConfigMgrTest : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    main_ini_ = home_.path() + "/.config/Brantlow/Postvane/postvane.ini";
    low_ini_ = home_.path() + "/.local/state/Brantlow/Postvane/postvane.ini";
    profile_ = home_.path() + "/.local/share/Google/Chrome/User Data/Default";
  }
  std::string LocalStorageFile() const {
    return profile_ +
           "/Local Storage/chrome-extension_hdlheflidpohcjiefeogmcljhkkndkge_0.localstorage";
  }
  std::string main_ini_, low_ini_, profile_;
};

TEST_F(ConfigMgrTest, FirstStartMakesBothIniCopiesUuidAndVersion) {
  ConfigMgr config;
  Preferences prefs;
  prefs.sidebar_activetab.SetAs("changed");
  config.GetPreferences(prefs);
  EXPECT_STREQ(prefs.sidebar_activetab.GetString(), "contact");
  EXPECT_STREQ(prefs.active_group.GetString(), "My Contacts");
  EXPECT_STREQ(prefs.active_contacttype.GetString(), "All");
  EXPECT_EQ(prefs.contacts_perpage, 30);
  EXPECT_EQ(prefs.files_perpage, 10);
  EXPECT_EQ(prefs.show_recv_attachments, 1);
  ProxySettings proxy;
  config.GetProxySettings(proxy);
  EXPECT_EQ(proxy.type, 1);
  EXPECT_EQ(proxy.port, -1);
  // No [proxy] table before the service manager first ran.
  EXPECT_NE(LogText().find("GetProxySettingsFromSqlite"), std::string::npos);
  EXPECT_FALSE(fs::exists(main_ini_)) << "the constructor reads no ini value";

  EXPECT_EQ(config.GetPort(), 40000);
  EXPECT_EQ(ReadFile(main_ini_), "[GENERAL]\nPort=40000\n");
  EXPECT_EQ(ReadFile(low_ini_), "[GENERAL]\nPort=40000\n");
  struct stat st;
  ASSERT_EQ(stat(main_ini_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  ASSERT_EQ(config.LoadSystemUuid(), 1);
  int changed = -1;
  ASSERT_EQ(config.CheckAppVersion(changed), 1);
  EXPECT_EQ(changed, 1);
  std::string uuid = IniValue(main_ini_, "System_UUID");
  EXPECT_TRUE(std::regex_match(
      uuid, std::regex("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")))
      << uuid;
  koString held;
  config.GetSystemUuid(held);
  EXPECT_EQ(uuid, held.GetString());
  EXPECT_EQ(IniValue(main_ini_, "App_Version"), "1.89 Beta");
  EXPECT_EQ(IniValue(low_ini_, "App_Version"), "1.89 Beta");
  EXPECT_EQ(IniValue(low_ini_, "System_UUID"), "") << "the UUID stays in the main copy";

  ConfigMgr second;
  ASSERT_EQ(second.LoadSystemUuid(), 1);
  ASSERT_EQ(second.CheckAppVersion(changed), 1);
  EXPECT_EQ(changed, 0);
  second.GetSystemUuid(held);
  EXPECT_EQ(uuid, held.GetString());
}

TEST_F(ConfigMgrTest, VersionCheckComparesIgnoringCaseAndMirrorsTheStoredText) {
  ConfigMgr config;
  koString path;
  ASSERT_EQ(ConfigMgr::OpenIniInConfigDir(path), 1);
  int changed = -1;

  ASSERT_EQ(IniWriteString("GENERAL", "App_Version", "1.88 Beta", main_ini_.c_str()), 1);
  ASSERT_EQ(config.CheckAppVersion(changed), 1);
  EXPECT_EQ(changed, 1);
  EXPECT_EQ(IniValue(main_ini_, "App_Version"), "1.89 Beta");

  // Another letter case is the same version; the other copy gets the text read.
  ASSERT_EQ(IniWriteString("GENERAL", "App_Version", "1.89 BETA", main_ini_.c_str()), 1);
  ASSERT_EQ(config.CheckAppVersion(changed), 1);
  EXPECT_EQ(changed, 0);
  EXPECT_EQ(IniValue(main_ini_, "App_Version"), "1.89 BETA");
  EXPECT_EQ(IniValue(low_ini_, "App_Version"), "1.89 BETA");
}

TEST_F(ConfigMgrTest, PortGoesToBothCopiesAndToTheExtensionOnlyWhenItsProfileExists) {
  ConfigMgr config;
  ASSERT_EQ(config.SetPort(40001), 1);
  EXPECT_EQ(IniValue(main_ini_, "Port"), "40001");
  EXPECT_EQ(IniValue(low_ini_, "Port"), "40001");
  EXPECT_FALSE(fs::exists(home_.path() + "/.local/share/Google"));

  ASSERT_TRUE(fs::create_directories(profile_));
  ASSERT_EQ(config.SetPort(40001), 1);
  ASSERT_TRUE(fs::exists(LocalStorageFile()));
  // A second write replaces the row.
  ASSERT_EQ(config.SetPort(40002), 1);
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(LocalStorageFile().c_str(), &db), SQLITE_OK);
  sqlite3_stmt* stmt = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT key, value FROM ItemTable", -1, &stmt, nullptr),
            SQLITE_OK);
  ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
  EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)), "pv_port");
  EXPECT_EQ(sqlite3_column_int(stmt, 1), 40002);
  EXPECT_EQ(sqlite3_step(stmt), SQLITE_DONE);
  sqlite3_finalize(stmt);
  sqlite3_close(db);

  // The getter reads the main copy and mirrors it into the other one.
  ASSERT_EQ(IniWriteString("GENERAL", "Port", "1234", low_ini_.c_str()), 1);
  EXPECT_EQ(config.GetPort(), 40002);
  EXPECT_EQ(IniValue(low_ini_, "Port"), "40002");
}

TEST_F(ConfigMgrTest, RequestCounterWrapsFrom119To10) {
  ConfigMgr config;
  std::map<int, int> seen;
  for (int call = 1; call <= 230; ++call) {
    int value = 0;
    ASSERT_EQ(config.NextRequestCount(&value), 1);
    seen[call] = value;
  }
  EXPECT_EQ(seen[1], 1);
  EXPECT_EQ(seen[10], 10);
  EXPECT_EQ(seen[119], 119);
  EXPECT_EQ(seen[120], 10);
  EXPECT_EQ(seen[121], 11);
  EXPECT_EQ(seen[229], 119);
  EXPECT_EQ(seen[230], 10);
}

TEST_F(ConfigMgrTest, PasscodeIsStoredEncodedOnOneLine) {
  ConfigMgr config;
  // Long enough for the codec to break its output into several lines.
  std::string clear = "secret \x01\x7f\xc3\xa9 " + std::string(120, 'x');
  ASSERT_EQ(config.SetPasscode(clear.c_str()), 1);
  std::string stored = IniValue(main_ini_, "Passcode");
  EXPECT_GT(stored.size(), 60u);
  EXPECT_EQ(stored.find_first_of("\r\n"), std::string::npos);
  EXPECT_EQ(stored.find("secret"), std::string::npos);
  std::string file = ReadFile(main_ini_);
  EXPECT_EQ(std::count(file.begin(), file.end(), '\n'), 3) << file;

  koString back;
  ASSERT_EQ(config.GetPasscode(back), 1);
  EXPECT_EQ(std::string(back.GetString(), back.GetLength()), clear);

  ASSERT_EQ(config.SetPasscode(""), 1);
  ASSERT_EQ(config.GetPasscode(back), 1);
  EXPECT_EQ(back.GetLength(), 0u);

  ASSERT_EQ(IniWriteString("GENERAL", "Passcode", "***", main_ini_.c_str()), 1);
  EXPECT_EQ(config.GetPasscode(back), 0);
  EXPECT_NE(LogText().find("PasswordMgr::Decode"), std::string::npos);
}

TEST_F(ConfigMgrTest, EndpointsComeFromTheMainCopy) {
  koString text;
  ConfigMgr::GetImapHost(text);
  EXPECT_STREQ(text.GetString(), "imap.gmail.com");
  EXPECT_EQ(ConfigMgr::GetImapPort(), 993);
  ConfigMgr::GetContactsLoginHost(text);
  EXPECT_STREQ(text.GetString(), "www.google.com");
  ConfigMgr::GetUpgradeHost(text);
  EXPECT_STREQ(text.GetString(), "");

  const char* ini = main_ini_.c_str();
  ASSERT_EQ(IniWriteString("GENERAL", "Imap_Host", "127.0.0.1", ini), 1);
  ASSERT_EQ(IniWriteString("GENERAL", "Imap_Port", "10993", ini), 1);
  ASSERT_EQ(IniWriteString("GENERAL", "Contacts_Login_Host", "127.0.0.1:8443", ini), 1);
  ASSERT_EQ(IniWriteString("GENERAL", "Contacts_Feed_Host", "127.0.0.1:8080", ini), 1);
  ASSERT_EQ(IniWriteString("GENERAL", "Upgrade_Host", "127.0.0.1:8081", ini), 1);
  ConfigMgr::GetImapHost(text);
  EXPECT_STREQ(text.GetString(), "127.0.0.1");
  EXPECT_EQ(ConfigMgr::GetImapPort(), 10993);
  ConfigMgr::GetContactsLoginHost(text);
  EXPECT_STREQ(text.GetString(), "127.0.0.1:8443");
  ConfigMgr::GetContactsFeedHost(text);
  EXPECT_STREQ(text.GetString(), "127.0.0.1:8080");
  ConfigMgr::GetUpgradeHost(text);
  EXPECT_STREQ(text.GetString(), "127.0.0.1:8081");

  // A port that cannot be one falls back to the default.
  ASSERT_EQ(IniWriteString("GENERAL", "Imap_Port", "70000", ini), 1);
  EXPECT_EQ(ConfigMgr::GetImapPort(), 993);
}

TEST_F(ConfigMgrTest, PreferenceAndProxyRowsAreParsedLeniently) {
  OpenWithSchema();
  Exec("INSERT INTO preferences VALUES ('FILES_PERPAGE', '25x'), ('sidebar_activetab', 'files'),"
       "('Show_Inline_Images', ' +1'), ('contacts_perpage', 'none'), ('unknown', '7')");
  Exec("INSERT INTO proxy VALUES ('proxy_type', '3'), ('proxy_port', ''), ('PROXY_HOST', 'h'),"
       "('proxy_username', 'u'), ('proxy_password', 'p w')");
  ConfigMgr config;
  Preferences prefs;
  config.GetPreferences(prefs);
  EXPECT_EQ(prefs.files_perpage, 25);
  EXPECT_EQ(prefs.show_inline_images, 1);
  EXPECT_EQ(prefs.contacts_perpage, 0);
  EXPECT_STREQ(prefs.sidebar_activetab.GetString(), "files");
  EXPECT_STREQ(prefs.active_group.GetString(), "My Contacts");
  ProxySettings proxy;
  config.GetProxySettings(proxy);
  EXPECT_EQ(proxy.type, 3);
  EXPECT_EQ(proxy.port, 0) << "an empty value reads as 0";
  EXPECT_EQ(proxy.secure, 0);
  EXPECT_STREQ(proxy.host.GetString(), "h");
  EXPECT_STREQ(proxy.password.GetString(), "p w");
  EXPECT_EQ(LogText().find("GetProxySettingsFromSqlite"), std::string::npos);
}

TEST_F(ConfigMgrTest, UpdatePreferenceWritesTheRowThenTheCache) {
  OpenWithSchema();
  Exec("INSERT INTO preferences VALUES ('files_perpage', '10')");
  ConfigMgr config;
  Preferences prefs;
  config.GetPreferences(prefs);
  prefs.files_perpage = 50;
  ASSERT_EQ(config.UpdatePreference(prefs, "files_perpage", "50"), 1);
  EXPECT_EQ(Query("SELECT value FROM preferences WHERE name = 'files_perpage'"), "50");
  Preferences back;
  config.GetPreferences(back);
  EXPECT_EQ(back.files_perpage, 50);

  // No row: nothing is written, and that is no failure.
  prefs.sidebar_lock = 1;
  ASSERT_EQ(config.UpdatePreference(prefs, "sidebar_lock", "1"), 1);
  EXPECT_EQ(QueryInt("SELECT COUNT(*) FROM preferences"), 1);
}

TEST_F(ConfigMgrTest, StatusesWithoutAnAccountLandInTheGeneralMessage) {
  ConfigMgr config;
  koString text;
  EXPECT_EQ(config.SetStatusByEmail("nobody@x", "Login failed"), 0);
  config.GetGeneralMessage(text);
  EXPECT_STREQ(text.GetString(), "Login failed");
  // A routine text does not hide a real message ...
  config.SetStatusByThread(4242, "Fetching", 0);
  config.GetGeneralMessage(text);
  EXPECT_STREQ(text.GetString(), "Login failed");
  // ... unless forced.
  config.SetStatusByThread(4242, "Connecting...", 1);
  config.GetGeneralMessage(text);
  EXPECT_STREQ(text.GetString(), "Connecting...");
  config.SetStatusByThread(4242, "Fetching", 0);
  config.GetGeneralMessage(text);
  EXPECT_STREQ(text.GetString(), "Fetching");
  config.ClearGeneralMessage();
  config.GetGeneralMessage(text);
  EXPECT_STREQ(text.GetString(), "");
}

}  // namespace
