// The upgrade-information request: its answers, and the upgrade thread
// that sends it only when woken and stores only a changed link.
#include <memory>
#include <thread>

#include "app/sync/historymgr.h"
#include "app/web/versionmgr.h"
#include "core/kcurl.h"
#include "support/child.h"
#include "web_fixture.h"

namespace {

using namespace webtest;

class UpgradeTest : public WebTest {
 protected:
  static void SetUpTestSuite() { koCurl::GlobalInit(); }
  void SetUp() override {
    WebTest::SetUp();
    ClearProxyEnvironment();
    ASSERT_TRUE(web_.Start()) << web_.Error();
  }
  void Answer(const std::string& text) { ASSERT_TRUE(WriteFileAtomic(web_.Dir() + "/upgrade_answer", text)); }
  std::string UpgradeUrl() {
    koString url;
    config_->GetUpgradeUrl(url);
    return url.GetString();
  }
  std::string RequestLine(int n) {
    std::string request = ReadFile(web_.Dir() + "/requests/" + std::to_string(n) + ".req");
    return request.substr(0, request.find("\r\n"));
  }

  HttpPeer web_;
};

TEST_F(UpgradeTest, AnswersGiveALinkOnlyWhenANewerVersionExists) {
  const struct {
    const char* answer;
    int result;
    const char* link;
  } kCases[] = {
      {"pvUpgradeLinkStatus=http://x/y", 1, "http://x/y"},
      {"pvUpgradeLinkStatus=Postvane is UPTO date", 1, "old"},
      {"PVUPGRADELINKSTATUS=http://x/y", 0, "old"},
      {"<html>proxy error</html>", 0, "old"},
      {"", 0, "old"},
  };
  HttpClient client;
  std::string url = web_.Url("/upgradeinfo/upgrade_info.php?majorver=1");
  for (const auto& c : kCases) {
    Answer(c.answer);
    koString link("old");
    EXPECT_EQ(c.result, VersionMgr::CheckUpgrade(&client, url.c_str(), link)) << c.answer;
    EXPECT_STREQ(c.link, link.GetString()) << c.answer;
  }
  koString link("old");
  web_.Stop();
  EXPECT_EQ(0, VersionMgr::CheckUpgrade(&client, url.c_str(), link));
  EXPECT_STREQ("old", link.GetString());
}

TEST_F(UpgradeTest, TheThreadAsksOnlyWhenWokenAndStoresOnlyChanges) {
  ASSERT_EQ(1, IniWriteString("GENERAL", "Upgrade_Host", web_.Address().c_str(), MainIni().c_str()));
  ASSERT_EQ(1, config_->LoadSystemUuid());
  config_->SetBrowserName("Chrome 5.0/x&y");
  Answer("pvUpgradeLinkStatus=http://x/y");
  HistoryMgr::SetUpgradeCheckFactory(VersionMgr::MakeUpgradeCheck);
  auto history = std::make_unique<HistoryMgr>();
  history->Start();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(0, web_.RequestCount());

  history->CheckUpgradeNow();
  ASSERT_TRUE(WaitFor([&] { return UpgradeUrl() == "http://x/y"; })) << Log();
  EXPECT_EQ(1, web_.RequestCount());
  koString uuid;
  config_->GetSystemUuid(uuid);
  uuid.UrlEncode(0);
  EXPECT_EQ("GET /upgradeinfo/upgrade_info.php?majorver=1&minorver=89&beta=Beta&os=win&uuid=" +
                std::string(uuid.GetString()) + "&action=upgrade&browser=Chrome%205.0%2fx%26y HTTP/1.1",
            RequestLine(1));

  // The same answer again is not stored again.
  config_->SetUpgradeUrl("shown");
  history->CheckUpgradeNow();
  ASSERT_TRUE(WaitFor([&] { return web_.RequestCount() == 2; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ("shown", UpgradeUrl());
  history.reset();
  EXPECT_EQ(2, web_.RequestCount());
  HistoryMgr::SetUpgradeCheckFactory(nullptr);
}

}  // namespace
