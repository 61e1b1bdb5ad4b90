#include "app/web/addon.h"

#include <string>

#include "web_fixture.h"

namespace {

using namespace webtest;

using AddonTest = ServerTest;

TEST_F(AddonTest, StatusReadsTheSideBarsVersionIgnoringCase) {
  const std::pair<const char*, const char*> kCases[] = {
      {nullptr, "0"}, {"1.89 Beta", "1"}, {"1.89 beta", "1"}, {"1.88 Beta", "0"}, {"", "0"}};
  for (const auto& [stored, answer] : kCases) {
    if (stored != nullptr) {
      ASSERT_EQ(1, IniWriteString("GENERAL", "IE_SideBar_version", stored, LowIni().c_str()));
    }
    EXPECT_EQ(answer, BodyOf(Get("/?_object=Addon&_action=Status"))) << (stored ? stored : "none");
  }
  // Unknown actions answer headers and an empty body.
  std::string answer = Get("/?_object=Addon&_action=Nothing");
  EXPECT_EQ(0u, answer.find("HTTP/1.0 200 OK\r\n"));
  EXPECT_EQ("", BodyOf(answer));
  // Without a main window nothing can be registered.
  EXPECT_EQ("0", BodyOf(Get("/?_object=Addon&_action=Install")));
}

}  // namespace
