// Proxy settings through the running program: a save restarts the services
// so the next mail connection goes through the new proxy; a save that
// cannot be written changes nothing and stops nothing.
#include "app/web/proxymgr.h"

#include <dirent.h>

#include <filesystem>

#include "peers_fixture.h"
#include "support/peers.h"

namespace {

using namespace programtest;

int ThreadsOf(pid_t pid) {
  int count = 0;
  DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/task").c_str());
  while (struct dirent* entry = dir != nullptr ? readdir(dir) : nullptr) count += entry->d_name[0] != '.';
  if (dir != nullptr) closedir(dir);
  return count;
}

using ProxyMgrTest = PeersTest;

TEST_F(ProxyMgrTest, SavedProxyCarriesTheNextMailConnection) {
  AddMail(1);
  pvtest::Spawned program({Program()});
  ASSERT_TRUE(WaitFor([&] { return Serving(); })) << Log();
  EXPECT_EQ("({\"proxy_type\":1, \"proxy_host\":\"\", \"proxy_port\":-1, \"proxy_secure\":0, \"proxy_uname\":\"\", "
            "\"proxy_pwd\":\"\" })",
            Ask("_object=ProxyMgr&_action=GetProxySettings"));
  ASSERT_EQ("1", Ask("_object=ConnectionMgr&_action=Add&email=alice&password=pw&isAllMails=1"
                     "&isDownloadAttachments=0&downloadSince=0"));
  ASSERT_TRUE(WaitFor([] { return MailCount(1) == 1; }, 30000)) << Log();

  pvtest::HttpProxyPeer proxy;
  ASSERT_TRUE(proxy.Start("pu", "ps")) << proxy.Error();
  const std::string save = "_object=ProxyMgr&_action=SaveProxySettings&proxyType=2&proxyHost=127.0.0.1&proxyPort=" +
                           std::to_string(proxy.Port()) + "&proxySecure=1&proxyUname=pu&proxyPwd=ps";
  EXPECT_EQ("1", Ask(save));
  EXPECT_EQ("({\"proxy_type\":2, \"proxy_host\":\"127.0.0.1\", \"proxy_port\":" + std::to_string(proxy.Port()) +
                ", \"proxy_secure\":1, \"proxy_uname\":\"pu\", \"proxy_pwd\":\"ps\" })",
            Ask("_object=ProxyMgr&_action=GetProxySettings"));
  // The restarted mail thread connects through the proxy and goes on indexing.
  const std::string connect = "CONNECT 127.0.0.1:" + std::to_string(relay_.Port());
  EXPECT_TRUE(WaitFor([&] { return pvtest::ReadFile(proxy.Dir() + "/tinyproxy.log").find(connect) != std::string::npos; },
                      30000))
      << pvtest::ReadFile(proxy.Dir() + "/tinyproxy.log");
  AddMail(2);
  EXPECT_EQ("1", Ask("_object=ConnectionMgr&_action=Edit&oldEmailAccountId=1&editpassword=0&email=alice"
                     "&isAllMails=1&isDownloadAttachments=0&downloadSince=0"));
  EXPECT_TRUE(WaitFor([] { return MailCount(1) == 2; }, 30000)) << Log();

  // Without a usable database nothing is saved and the services run on.
  int threads = ThreadsOf(program.pid());
  std::string data = data_dir_ + "/data";
  std::filesystem::rename(data, data + ".away");
  pvtest::WriteFile(data, "not a folder");
  EXPECT_EQ("0", Ask("_object=ProxyMgr&_action=SaveProxySettings&proxyType=1"));
  EXPECT_EQ(threads, ThreadsOf(program.pid()));
  std::filesystem::remove(data);
  std::filesystem::rename(data + ".away", data);
  EXPECT_NE(std::string::npos, Ask("_object=ProxyMgr&_action=GetProxySettings").find("\"proxy_type\":2,"));

  // Texts come back escaped.
  EXPECT_EQ("1", Ask("_object=ProxyMgr&_action=SaveProxySettings&proxyType=1&proxyHost=h%22x%5C&proxyPort=-1"
                     "&proxySecure=0&proxyUname=%3C%2Fscript%3E&proxyPwd="));
  EXPECT_EQ("({\"proxy_type\":1, \"proxy_host\":\"h\\\"x\\\\\", \"proxy_port\":-1, \"proxy_secure\":0, "
            "\"proxy_uname\":\"<\\/script>\", \"proxy_pwd\":\"\" })",
            Ask("_object=ProxyMgr&_action=GetProxySettings"));
  TerminateInOrder(program);
}

}  // namespace
