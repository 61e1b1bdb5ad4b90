// koCurl against loopback peers: the Python HTTP(S) server, tinyproxy and microsocks.
#include "core/kcurl.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "core/klog.h"
#include "support/peers.h"

namespace {

class KoCurlTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    pvtest::ClearProxyEnvironment();
    ASSERT_EQ(1, koCurl::GlobalInit());
  }

  // GET or POST through a freshly reset client; answers the Request result.
  int Fetch(const std::string& url, const char* method = "GET", const char* body = nullptr, int length = -1) {
    return client_.Request(url.c_str(), method, body, length);
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

  koCurl client_;
};

// The part of an echoed request after the head.
std::string EchoedBody(const std::string& echo) {
  size_t end = echo.find("\r\n\r\n");
  return end == std::string::npos ? "<no head>" : echo.substr(end + 4);
}

TEST_F(KoCurlTest, FollowsRedirectsAndTreatsErrorStatusAsSuccess) {
  pvtest::HttpPeer web;
  ASSERT_TRUE(web.Start()) << web.Error();

  for (const char* code : {"301", "302"}) {
    ASSERT_EQ(1, client_.Reset());
    ASSERT_EQ(1, Fetch(web.Url(std::string("/redirect?code=") + code + "&to=/status%3Fbody%3Dlanded")))
        << ErrorText();
    EXPECT_EQ("landed", Body()) << code;
  }

  ASSERT_EQ(1, client_.Reset());
  ASSERT_EQ(1, Fetch(web.Url("/status?code=404&body=no+such+page")));
  EXPECT_EQ("no such page", Body());
  EXPECT_EQ("", ErrorText());
  ASSERT_EQ(1, client_.Reset());
  ASSERT_EQ(1, Fetch(web.Url("/status?code=500&body=broken")));
  EXPECT_EQ("broken", Body());
}

TEST_F(KoCurlTest, BodyWithZeroBytesArrivesWhole) {
  pvtest::HttpPeer web;
  ASSERT_TRUE(web.Start()) << web.Error();
  // Larger than the preallocated 64 KiB and than one libcurl block.
  const int n = 200000;
  ASSERT_EQ(1, client_.Reset());
  ASSERT_EQ(1, Fetch(web.Url("/bytes?n=" + std::to_string(n)))) << ErrorText();
  std::string body = Body();
  ASSERT_EQ((size_t)n, body.size());
  for (int i = 0; i < n; ++i) ASSERT_EQ((char)(i % 256), body[i]) << "at " << i;

  // The next request replaces the body rather than adding to it.
  ASSERT_EQ(1, client_.Reset());
  ASSERT_EQ(1, Fetch(web.Url("/status?body=short")));
  EXPECT_EQ("short", Body());
}

TEST_F(KoCurlTest, SelfSignedHttpsServerIsAccepted) {
  pvtest::HttpPeer web;
  ASSERT_TRUE(web.Start(true)) << web.Error();
  ASSERT_EQ(1, client_.Reset());
  ASSERT_EQ(1, Fetch(web.Url("/status?body=secure"))) << ErrorText();
  EXPECT_EQ("secure", Body());
}

TEST_F(KoCurlTest, PostSendsBodyAsGivenAfterCallersHeaders) {
  pvtest::HttpPeer web;
  ASSERT_TRUE(web.Start()) << web.Error();

  // Lower-case method, text length taken from the body.
  ASSERT_EQ(1, client_.Reset());
  ASSERT_EQ(1, client_.AddHeader("X-First: 1"));
  ASSERT_EQ(1, client_.AddHeader("X-Second: 2"));
  ASSERT_EQ(1, Fetch(web.Url("/echo"), "post", "a=1&b=%41")) << ErrorText();
  std::string echo = Body();
  EXPECT_EQ(0u, echo.find("POST /echo HTTP/1.1\r\n")) << echo;
  size_t first = echo.find("X-First: 1\r\n");
  size_t second = echo.find("X-Second: 2\r\n");
  size_t length = echo.find("Content-Length: 9\r\n");
  ASSERT_NE(std::string::npos, first) << echo;
  EXPECT_LT(first, second) << echo;
  EXPECT_LT(second, length) << echo;
  EXPECT_EQ(echo.find("Content-Length"), echo.rfind("Content-Length")) << echo;
  EXPECT_EQ("a=1&b=%41", EchoedBody(echo));

  // An explicit length sends exactly those bytes, zero bytes included.
  const char binary[] = {'x', 0, 'y', 0, 'z', 'w'};  // 'w' lies beyond the length
  ASSERT_EQ(1, client_.Reset());
  ASSERT_EQ(1, Fetch(web.Url("/echo"), "POST", binary, 5)) << ErrorText();
  echo = Body();
  EXPECT_NE(std::string::npos, echo.find("Content-Length: 5\r\n")) << echo;
  EXPECT_EQ(std::string("x\0y\0z", 5), EchoedBody(echo));
}

// Restores standard input when the test ends, however it ends.
class StdinFromFile {
 public:
  explicit StdinFromFile(const std::string& path) : saved_(dup(0)) {
    int fd = open(path.c_str(), O_RDONLY);
    ok_ = saved_ >= 0 && fd >= 0 && dup2(fd, 0) == 0;
    if (fd >= 0) close(fd);
  }
  ~StdinFromFile() {
    if (saved_ >= 0) {
      dup2(saved_, 0);
      close(saved_);
    }
    clearerr(stdin);
  }
  bool ok() const { return ok_; }

 private:
  int saved_;
  bool ok_ = false;
};

TEST_F(KoCurlTest, PostWithoutBodySendsNoneEvenWhenStdinHoldsData) {
  pvtest::HttpPeer web;
  ASSERT_TRUE(web.Start()) << web.Error();
  pvtest::TempDir tmp;
  std::string input = tmp.File("stdin.txt");
  FILE* f = fopen(input.c_str(), "w");
  ASSERT_NE(nullptr, f);
  fputs("standard input must not be posted", f);
  fclose(f);

  StdinFromFile redirect(input);
  ASSERT_TRUE(redirect.ok());
  ASSERT_EQ(1, client_.Reset());
  ASSERT_EQ(1, client_.AddHeader("X-Caller: yes"));
  ASSERT_EQ(1, Fetch(web.Url("/echo"), "POST", nullptr, -1)) << ErrorText();
  std::string echo = Body();
  EXPECT_EQ(0u, echo.find("POST /echo HTTP/1.1\r\n")) << echo;
  EXPECT_NE(std::string::npos, echo.find("X-Caller: yes\r\n")) << echo;
  EXPECT_NE(std::string::npos, echo.find("Content-Length: 0\r\n")) << echo;
  EXPECT_EQ(std::string::npos, echo.find("chunked")) << echo;
  EXPECT_EQ("", EchoedBody(echo));
}

TEST_F(KoCurlTest, HeadersApplyToOneRequestOnly) {
  pvtest::HttpPeer web;
  ASSERT_TRUE(web.Start()) << web.Error();
  ASSERT_EQ(1, client_.Reset());
  ASSERT_EQ(1, client_.AddHeader("X-Once: here"));
  ASSERT_EQ(1, Fetch(web.Url("/echo")));
  EXPECT_NE(std::string::npos, Body().find("X-Once: here\r\n"));

  // Also without a Reset in between: the list went with the request.
  ASSERT_EQ(1, Fetch(web.Url("/echo")));
  EXPECT_EQ(std::string::npos, Body().find("X-Once")) << Body();
  ASSERT_EQ(1, client_.Reset());
  ASSERT_EQ(1, Fetch(web.Url("/echo")));
  EXPECT_EQ(std::string::npos, Body().find("X-Once")) << Body();
}

TEST_F(KoCurlTest, OtherMethodsAreRefusedWithoutTransfer) {
  pvtest::HttpPeer web;
  ASSERT_TRUE(web.Start()) << web.Error();
  ASSERT_EQ(1, client_.Reset());
  EXPECT_EQ(0, Fetch(web.Url("/echo"), "PUT", "x"));
  EXPECT_NE(std::string::npos, ErrorText().find("PUT")) << ErrorText();
  EXPECT_EQ(0, web.RequestCount());
}

TEST_F(KoCurlTest, HttpProxyTunnelsWithAndWithoutCredentials) {
  pvtest::HttpPeer secure;
  ASSERT_TRUE(secure.Start(true)) << secure.Error();
  pvtest::HttpPeer plain;
  ASSERT_TRUE(plain.Start()) << plain.Error();

  pvtest::HttpProxyPeer open_proxy;
  ASSERT_TRUE(open_proxy.Start()) << open_proxy.Error();
  ASSERT_EQ(1, client_.Reset());
  ASSERT_EQ(1, client_.SetProxy(open_proxy.Address().c_str(), 0));
  ASSERT_EQ(1, Fetch(secure.Url("/status?body=tunnelled"))) << ErrorText();
  EXPECT_EQ("tunnelled", Body());
  EXPECT_NE(std::string::npos, pvtest::ReadFile(open_proxy.Dir() + "/tinyproxy.log")
                                   .find("CONNECT " + secure.Address()));
  ASSERT_EQ(1, client_.Reset());
  ASSERT_EQ(1, client_.SetProxy(open_proxy.Address().c_str(), 0));
  ASSERT_EQ(1, Fetch(plain.Url("/status?body=forwarded"))) << ErrorText();
  EXPECT_EQ("forwarded", Body());

  pvtest::HttpProxyPeer closed_proxy;
  ASSERT_TRUE(closed_proxy.Start("alice", "s3cret")) << closed_proxy.Error();
  ASSERT_EQ(1, client_.Reset());
  ASSERT_EQ(1, client_.SetProxy(closed_proxy.Address().c_str(), 0));
  ASSERT_EQ(1, client_.SetProxyUserPwd("alice:s3cret"));
  ASSERT_EQ(1, Fetch(secure.Url("/status?body=authorised"))) << ErrorText();
  EXPECT_EQ("authorised", Body());

  // The credentials are what let the request through.
  ASSERT_EQ(1, client_.Reset());
  ASSERT_EQ(1, client_.SetProxy(closed_proxy.Address().c_str(), 0));
  EXPECT_EQ(0, Fetch(secure.Url("/status?body=refused")));
  EXPECT_NE(std::string::npos, ErrorText().find("407")) << ErrorText();
}

TEST_F(KoCurlTest, SocksProxyWorksWithAndWithoutCredentials) {
  pvtest::HttpPeer web;
  ASSERT_TRUE(web.Start()) << web.Error();
  pvtest::HttpPeer secure;
  ASSERT_TRUE(secure.Start(true)) << secure.Error();

  pvtest::SocksPeer open_proxy;
  ASSERT_TRUE(open_proxy.Start()) << open_proxy.Error();
  ASSERT_EQ(1, client_.Reset());
  ASSERT_EQ(1, client_.SetProxy(open_proxy.Address().c_str(), 1));
  ASSERT_EQ(1, Fetch(web.Url("/status?body=socks"))) << ErrorText();
  EXPECT_EQ("socks", Body());
  // Once the proxy is gone the same request fails, so it did go through it.
  open_proxy.Stop();
  ASSERT_EQ(1, client_.Reset());
  ASSERT_EQ(1, client_.SetProxy(open_proxy.Address().c_str(), 1));
  EXPECT_EQ(0, Fetch(web.Url("/status?body=socks")));

  pvtest::SocksPeer closed_proxy;
  ASSERT_TRUE(closed_proxy.Start("bob", "pa55")) << closed_proxy.Error();
  ASSERT_EQ(1, client_.Reset());
  ASSERT_EQ(1, client_.SetProxy(closed_proxy.Address().c_str(), 1));
  ASSERT_EQ(1, client_.SetProxyUserPwd("bob:pa55"));
  ASSERT_EQ(1, Fetch(secure.Url("/status?body=socks+tls"))) << ErrorText();
  EXPECT_EQ("socks tls", Body());

  ASSERT_EQ(1, client_.Reset());
  ASSERT_EQ(1, client_.SetProxy(closed_proxy.Address().c_str(), 1));
  ASSERT_EQ(1, client_.SetProxyUserPwd("bob:wrong"));
  EXPECT_EQ(0, Fetch(web.Url("/status?body=refused")));
  EXPECT_NE("", ErrorText());
}

TEST_F(KoCurlTest, UnreachableProxyFailsWithLibcurlText) {
  pvtest::HttpPeer web;
  ASSERT_TRUE(web.Start()) << web.Error();
  int port = pvtest::FreeLoopbackPort();
  ASSERT_NE(0, port);
  std::string proxy = "127.0.0.1:" + std::to_string(port);
  // The text is for the caller's own message; the client itself writes no record.
  pvtest::TempDir logs;
  koLog log("test");
  log.SetFileName(logs.File("error.log").c_str());
  gLog = &log;

  for (int socks : {0, 1}) {
    EXPECT_EQ(1, client_.Reset());
    EXPECT_EQ(1, client_.SetProxy(proxy.c_str(), socks));
    EXPECT_EQ(0, Fetch(web.Url("/echo")));
    std::string error = ErrorText();
    EXPECT_NE(std::string::npos, error.find("connect")) << error;
    EXPECT_NE(std::string::npos, error.find(std::to_string(port))) << error;
    EXPECT_EQ("", Body());
  }
  gLog = nullptr;
  EXPECT_EQ(0, web.RequestCount());
  EXPECT_EQ("", pvtest::ReadFile(logs.File("error.log")));

  // The next success leaves no stale text behind.
  ASSERT_EQ(1, client_.Reset());
  ASSERT_EQ(1, Fetch(web.Url("/echo")));
  EXPECT_EQ("", ErrorText());
}

}  // namespace
