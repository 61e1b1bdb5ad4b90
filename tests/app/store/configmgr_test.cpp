#include "app/store/configmgr.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <string>

#include "core/kinifile.h"
#include "store_fixture.h"

namespace {

namespace fs = std::filesystem;

class ConfigMgrTest : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    main_ini_ = home_.path() + "/.config/Brantlow/Postvane/postvane.ini";
    low_ini_ = home_.path() + "/.local/state/Brantlow/Postvane/postvane.ini";
  }
  std::string Ini(const std::string& path, const char* key) {
    koString out;
    IniReadString("GENERAL", key, "", out, path.c_str());
    return out.GetString();
  }
  void SetIni(const char* key, const char* value) {
    ASSERT_EQ(IniWriteString("GENERAL", key, value, main_ini_.c_str()), 1);
  }
  std::string main_ini_, low_ini_;
};

TEST_F(ConfigMgrTest, FirstStartMakesBothIniCopiesUuidAndVersion) {
  ConfigMgr config;
  Preferences prefs;
  prefs.sidebar_activetab.SetAs("changed");
  config.GetPreferences(prefs);
  EXPECT_STREQ(prefs.sidebar_activetab.GetString(), "contact");
  EXPECT_EQ(prefs.files_perpage, 10);
  EXPECT_FALSE(fs::exists(main_ini_)) << "the constructor reads no ini value";

  EXPECT_EQ(config.GetPort(), 40000);
  EXPECT_EQ(pvtest::ReadFile(main_ini_), "[GENERAL]\nPort=40000\n");
  EXPECT_EQ(pvtest::ReadFile(low_ini_), "[GENERAL]\nPort=40000\n");
  struct stat st;
  ASSERT_EQ(stat(main_ini_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  ASSERT_EQ(config.LoadSystemUuid(), 1);
  int changed = -1;
  ASSERT_EQ(config.CheckAppVersion(changed), 1);
  EXPECT_EQ(changed, 1);
  std::string uuid = Ini(main_ini_, "System_UUID");
  EXPECT_TRUE(std::regex_match(
      uuid, std::regex("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")))
      << uuid;
  EXPECT_EQ(Ini(low_ini_, "App_Version"), "1.89 Beta");

  ConfigMgr second;
  ASSERT_EQ(second.LoadSystemUuid(), 1);
  ASSERT_EQ(second.CheckAppVersion(changed), 1);
  EXPECT_EQ(changed, 0);
  koString held;
  second.GetSystemUuid(held);
  EXPECT_EQ(uuid, held.GetString());

  // Another version changes; another letter case does not, and the other
  // copy gets the text read.
  SetIni("App_Version", "1.88 Beta");
  ASSERT_EQ(second.CheckAppVersion(changed), 1);
  EXPECT_EQ(changed, 1);
  SetIni("App_Version", "1.89 BETA");
  ASSERT_EQ(second.CheckAppVersion(changed), 1);
  EXPECT_EQ(changed, 0);
  EXPECT_EQ(Ini(low_ini_, "App_Version"), "1.89 BETA");
}

// The port goes into the default profile of Chrome and of Chromium, in the
// user-data folders the browsers use on Linux (the ones the setup cleans).
TEST_F(ConfigMgrTest, PortGoesToBothCopiesAndToTheExtensionOnlyWhenItsProfileExists) {
  const std::string chrome = home_.path() + "/.config/google-chrome/Default";
  const std::string chromium = home_.path() + "/.config/chromium/Default";
  const std::string file = "/Local Storage/chrome-extension_hdlheflidpohcjiefeogmcljhkkndkge_0.localstorage";
  const char kRows[] = "SELECT group_concat(key || '=' || value) FROM ItemTable";
  ConfigMgr config;
  ASSERT_EQ(config.SetPort(40001), 1);
  EXPECT_EQ(Ini(main_ini_, "Port"), "40001");
  EXPECT_EQ(Ini(low_ini_, "Port"), "40001");
  EXPECT_FALSE(fs::exists(home_.path() + "/.config/google-chrome"));
  EXPECT_FALSE(fs::exists(home_.path() + "/.config/chromium"));

  ASSERT_TRUE(fs::create_directories(chromium));
  ASSERT_EQ(config.SetPort(40001), 1);
  EXPECT_EQ(pvtest::SqliteQuery(chromium + file, kRows), "pv_port=40001");
  EXPECT_FALSE(fs::exists(home_.path() + "/.config/google-chrome"));
  ASSERT_TRUE(fs::create_directories(chrome));
  // A second write replaces the row.
  ASSERT_EQ(config.SetPort(40002), 1);
  EXPECT_EQ(pvtest::SqliteQuery(chromium + file, kRows), "pv_port=40002");
  EXPECT_EQ(pvtest::SqliteQuery(chrome + file, kRows), "pv_port=40002");
  EXPECT_FALSE(fs::exists(home_.path() + "/.local/share/Google"));

  // The getter reads the main copy and mirrors it into the other one.
  ASSERT_EQ(IniWriteString("GENERAL", "Port", "1234", low_ini_.c_str()), 1);
  EXPECT_EQ(config.GetPort(), 40002);
  EXPECT_EQ(Ini(low_ini_, "Port"), "40002");
}

TEST_F(ConfigMgrTest, RequestCounterWrapsFrom119To10) {
  ConfigMgr config;
  std::string seen;
  for (int call = 1; call <= 230; ++call) {
    int value = 0;
    ASSERT_EQ(config.NextRequestCount(&value), 1);
    if (call == 1 || call == 10 || call == 119 || call == 120 || call == 121 || call == 230)
      seen += std::to_string(value) + " ";
  }
  EXPECT_EQ(seen, "1 10 119 10 11 10 ");
}

TEST_F(ConfigMgrTest, PasscodeIsStoredEncodedOnOneLine) {
  ConfigMgr config;
  // Long enough for the codec to break its output into several lines.
  std::string clear = "secret \x01\x7f\xc3\xa9 " + std::string(120, 'x');
  ASSERT_EQ(config.SetPasscode(clear.c_str()), 1);
  std::string stored = Ini(main_ini_, "Passcode");
  EXPECT_GT(stored.size(), 60u);
  EXPECT_EQ(stored.find("secret"), std::string::npos);
  std::string file = pvtest::ReadFile(main_ini_);
  EXPECT_EQ(std::count(file.begin(), file.end(), '\n'), 3) << file;
  koString back;
  ASSERT_EQ(config.GetPasscode(back), 1);
  EXPECT_EQ(std::string(back.GetString(), back.GetLength()), clear);
  SetIni("Passcode", "***");
  EXPECT_EQ(config.GetPasscode(back), 0);
}

TEST_F(ConfigMgrTest, EndpointsComeFromTheMainCopy) {
  koString host;
  ConfigMgr::GetUpgradeHost(host);
  EXPECT_STREQ(host.GetString(), "") << "no upgrade request by default";
  SetIni("Contacts_Feed_Host", "127.0.0.1:8080");
  ConfigMgr::GetContactsFeedHost(host);
  EXPECT_STREQ(host.GetString(), "127.0.0.1:8080");
  SetIni("Imap_Port", "10993");
  EXPECT_EQ(ConfigMgr::GetImapPort(), 10993);
  SetIni("Imap_Port", "70000");
  EXPECT_EQ(ConfigMgr::GetImapPort(), 993) << "a port that cannot be one";
}

TEST_F(ConfigMgrTest, PreferenceAndProxyRowsAreReadLeniently) {
  OpenWithSchema();
  Exec("INSERT INTO preferences VALUES ('FILES_PERPAGE', '25x'), ('contacts_perpage', 'none');"
       "INSERT INTO proxy VALUES ('proxy_type', '3'), ('proxy_port', ''), ('PROXY_HOST', 'h')");
  ConfigMgr config;
  Preferences prefs;
  config.GetPreferences(prefs);
  EXPECT_EQ(prefs.files_perpage, 25);
  EXPECT_EQ(prefs.contacts_perpage, 0);
  ProxySettings proxy;
  config.GetProxySettings(proxy);
  EXPECT_EQ(proxy.type, 3);
  EXPECT_EQ(proxy.port, 0) << "an empty value reads as 0";
  EXPECT_STREQ(proxy.host.GetString(), "h");
}

}  // namespace
