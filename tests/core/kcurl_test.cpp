// koCurl against loopback peers: the Python HTTP(S) server, tinyproxy and microsocks.
#include "core/kcurl.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "support/files.h"
#include "support/log_capture.h"

namespace {

class KoCurlTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    pvtest::ClearProxyEnvironment();
    ASSERT_EQ(1, koCurl::GlobalInit());
  }
  void SetUp() override { ASSERT_TRUE(web_.Start()) << web_.Error(); }

  // A request through a freshly reset client, optionally through a proxy
  // (socks 0: HTTP, 1: SOCKS5) with "user:password"; the Request result.
  int Fetch(const std::string& url, const char* method = "GET", const char* body = nullptr,
            int length = -1, const pvtest::Peer* proxy = nullptr, int socks = 0,
            const char* userPwd = nullptr) {
    EXPECT_EQ(0, client_.Reset());
    if (proxy != nullptr) {
      EXPECT_EQ(1, client_.SetProxy(proxy->Address().c_str(), socks));
    }
    if (userPwd != nullptr) {
      EXPECT_EQ(1, client_.SetProxyUserPwd(userPwd));
    }
    return client_.Request(url.c_str(), method, body, length);
  }
  int Through(const pvtest::Peer& proxy, int socks, const std::string& url,
              const char* userPwd = nullptr) {
    return Fetch(url, "GET", nullptr, -1, &proxy, socks, userPwd);
  }
  std::string Body() {
    koString text;
    uint32_t length = 0;
    client_.GetResponse(text, &length);
    EXPECT_EQ(text.GetLength(), length);
    return std::string(text.GetString(), length);
  }
  std::string ErrorText() {
    koString text;
    client_.GetErrorText(text);
    return text.GetString();
  }
  // The echoed request's body (after the head).
  std::string EchoedBody() {
    std::string echo = Body();
    size_t end = echo.find("\r\n\r\n");
    return end == std::string::npos ? "<no head>" : echo.substr(end + 4);
  }

  pvtest::HttpPeer web_;
  koCurl client_;
};

TEST_F(KoCurlTest, RedirectsErrorStatusZeroBytesAndSelfSignedHttps) {
  for (const char* code : {"301", "302"}) {
    ASSERT_EQ(
        1, Fetch(web_.Url(std::string("/redirect?code=") + code + "&to=/status%3Fbody%3Dlanded")))
        << ErrorText();
    EXPECT_EQ("landed", Body()) << code;
  }
  ASSERT_EQ(1, Fetch(web_.Url("/status?code=404&body=no+such+page")));
  EXPECT_EQ("no such page", Body());
  EXPECT_EQ("", ErrorText());

  // Larger than the preallocated 64 KiB and than one libcurl block.
  const int n = 200000;
  ASSERT_EQ(1, Fetch(web_.Url("/bytes?n=" + std::to_string(n)))) << ErrorText();
  std::string body = Body();
  ASSERT_EQ(static_cast<size_t>(n), body.size());
  for (int i = 0; i < n; ++i) ASSERT_EQ(static_cast<char>(i % 256), body[i]) << "at " << i;
  // The next request replaces the body rather than adding to it.
  ASSERT_EQ(1, Fetch(web_.Url("/status?body=short")));
  EXPECT_EQ("short", Body());

  pvtest::HttpPeer secure;
  ASSERT_TRUE(secure.Start(true)) << secure.Error();
  ASSERT_EQ(1, Fetch(secure.Url("/status?body=secure"))) << ErrorText();
  EXPECT_EQ("secure", Body());
}

TEST_F(KoCurlTest, PostSendsBodyAsGivenAfterCallersHeadersForOneRequest) {
  ASSERT_EQ(0, client_.Reset());
  ASSERT_EQ(1, client_.AddHeader("X-First: 1"));
  ASSERT_EQ(1, client_.AddHeader("X-Second: 2"));
  // Lower-case method, text length taken from the body.
  ASSERT_EQ(1, client_.Request(web_.Url("/echo").c_str(), "post", "a=1&b=%41", -1)) << ErrorText();
  std::string echo = Body();
  EXPECT_EQ(0u, echo.find("POST /echo HTTP/1.1\r\n")) << echo;
  EXPECT_LT(echo.find("X-First: 1\r\n"), echo.find("X-Second: 2\r\n")) << echo;
  EXPECT_NE(std::string::npos, echo.find("Content-Length: 9\r\n")) << echo;
  EXPECT_EQ("a=1&b=%41", EchoedBody());

  // The headers went with that request, also without a Reset in between.
  ASSERT_EQ(1, client_.Request(web_.Url("/echo").c_str(), "GET", nullptr, -1));
  EXPECT_EQ(std::string::npos, Body().find("X-First")) << Body();

  // An explicit length sends exactly those bytes, zero bytes included.
  const char binary[] = {'x', 0, 'y', 0, 'z', 'w'};  // 'w' lies beyond the length
  ASSERT_EQ(1, Fetch(web_.Url("/echo"), "POST", binary, 5)) << ErrorText();
  EXPECT_NE(std::string::npos, Body().find("Content-Length: 5\r\n")) << Body();
  EXPECT_EQ(std::string("x\0y\0z", 5), EchoedBody());

  // Other methods are refused before any transfer.
  const int before = web_.RequestCount();
  EXPECT_EQ(0, Fetch(web_.Url("/echo"), "PUT", "x"));
  EXPECT_NE(std::string::npos, ErrorText().find("PUT")) << ErrorText();
  EXPECT_EQ(before, web_.RequestCount());
}

TEST_F(KoCurlTest, PostWithoutBodySendsNoneEvenWhenStdinHoldsData) {
  pvtest::TempDir tmp;
  pvtest::WriteFile(tmp.File("stdin.txt"), "standard input must not be posted");
  const int saved = dup(0), input = open(tmp.File("stdin.txt").c_str(), O_RDONLY);
  ASSERT_EQ(dup2(input, 0), 0);
  close(input);
  const int result = Fetch(web_.Url("/echo"), "POST", nullptr, -1);
  dup2(saved, 0);
  close(saved);
  ASSERT_EQ(1, result) << ErrorText();
  std::string echo = Body();
  EXPECT_EQ(0u, echo.find("POST /echo HTTP/1.1\r\n")) << echo;
  EXPECT_NE(std::string::npos, echo.find("Content-Length: 0\r\n")) << echo;
  EXPECT_EQ(std::string::npos, echo.find("chunked")) << echo;
  EXPECT_EQ("", EchoedBody());
}

TEST_F(KoCurlTest, ProxiesWorkWithAndWithoutCredentials) {
  pvtest::HttpPeer secure;
  ASSERT_TRUE(secure.Start(true)) << secure.Error();

  pvtest::HttpProxyPeer http;
  ASSERT_TRUE(http.Start()) << http.Error();
  ASSERT_EQ(1, Through(http, 0, secure.Url("/status?body=tunnelled"))) << ErrorText();
  EXPECT_EQ("tunnelled", Body());
  EXPECT_NE(std::string::npos,
            pvtest::ReadFile(http.Dir() + "/tinyproxy.log").find("CONNECT " + secure.Address()));
  ASSERT_EQ(1, Through(http, 0, web_.Url("/status?body=forwarded"))) << ErrorText();
  EXPECT_EQ("forwarded", Body());

  pvtest::HttpProxyPeer closedHttp;
  ASSERT_TRUE(closedHttp.Start("alice", "s3cret")) << closedHttp.Error();
  ASSERT_EQ(1, Through(closedHttp, 0, secure.Url("/status?body=authorised"), "alice:s3cret"))
      << ErrorText();
  EXPECT_EQ("authorised", Body());
  EXPECT_EQ(0, Through(closedHttp, 0, secure.Url("/status?body=refused")));
  EXPECT_NE(std::string::npos, ErrorText().find("407")) << ErrorText();

  pvtest::SocksPeer socks;
  ASSERT_TRUE(socks.Start()) << socks.Error();
  ASSERT_EQ(1, Through(socks, 1, web_.Url("/status?body=socks"))) << ErrorText();
  EXPECT_EQ("socks", Body());
  // Once the proxy is gone the same request fails, so it did go through it.
  socks.Stop();
  EXPECT_EQ(0, Through(socks, 1, web_.Url("/status?body=socks")));

  pvtest::SocksPeer closedSocks;
  ASSERT_TRUE(closedSocks.Start("bob", "pa55")) << closedSocks.Error();
  ASSERT_EQ(1, Through(closedSocks, 1, secure.Url("/status?body=socks+tls"), "bob:pa55"))
      << ErrorText();
  EXPECT_EQ("socks tls", Body());
  EXPECT_EQ(0, Through(closedSocks, 1, web_.Url("/status?body=refused"), "bob:wrong"));
  EXPECT_NE("", ErrorText());
}

TEST_F(KoCurlTest, UnreachableProxyFailsWithLibcurlText) {
  int port = pvtest::FreeLoopbackPort();
  ASSERT_NE(0, port);
  std::string proxy = "127.0.0.1:" + std::to_string(port);
  // The text is for the caller's own message; the client itself writes no record.
  pvtest::TempDir logs;
  LogCapture log(logs.File("error.log"));
  for (int socks : {0, 1}) {
    EXPECT_EQ(0, client_.Reset());
    EXPECT_EQ(1, client_.SetProxy(proxy.c_str(), socks));
    EXPECT_EQ(0, client_.Request(web_.Url("/echo").c_str(), "GET", nullptr, -1));
    std::string error = ErrorText();
    EXPECT_NE(std::string::npos, error.find("connect")) << error;
    EXPECT_NE(std::string::npos, error.find(std::to_string(port))) << error;
    EXPECT_EQ("", Body());
  }
  EXPECT_EQ(0, web_.RequestCount());
  EXPECT_EQ("", log.Text());
  // The next success leaves no stale text behind.
  ASSERT_EQ(1, Fetch(web_.Url("/echo")));
  EXPECT_EQ("", ErrorText());
}

}  // namespace
