// The upgrade-information request: its answers, and the upgrade thread
// that sends it only when woken and stores only a changed link.
#include <memory>
#include <chrono>

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
      {"pvUpgradeLinkStatus=Postvane is upto date\n", 1, "old"},
      {"pvUpgradeLinkStatus= http://x/z\r\n", 1, "http://x/z"},
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
  // The stop joins the thread after the answer is handled; two requests in
  // all: none was sent before the first wake.
  history.reset();
  EXPECT_EQ("shown", UpgradeUrl());
  EXPECT_EQ(2, web_.RequestCount());
  HistoryMgr::SetUpgradeCheckFactory(nullptr);
}

}  // namespace

namespace {

using VersionHandlerTest = webtest::ServerTest;

TEST_F(VersionHandlerTest, VersionAnswerAndItsDebugDelay) {
  const std::string kVersion = "({\"version\":\"1.89 Beta\",\"builddate\":\"19 May 2010\"})";
  for (const char* debug : {"", "&_debug=2", "&_debug=1"}) {
    auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(kVersion, webtest::BodyOf(Get(std::string("/?_object=VersionMgr&_action=getversion") + debug)));
    long ms = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                    std::chrono::steady_clock::now() - asked).count());
    // Without the pause the answer takes milliseconds.
    if (std::string(debug) == "&_debug=1")
      EXPECT_GE(ms, 1900) << debug;
    else
      EXPECT_LT(ms, 1900) << debug;
  }
  // Other actions: headers and an empty body.
  std::string answer = Get("/?_object=VersionMgr&_action=Other");
  EXPECT_EQ(0u, answer.find("HTTP/1.0 200 OK\r\n"));
  EXPECT_EQ("", webtest::BodyOf(answer));
}

}  // namespace
