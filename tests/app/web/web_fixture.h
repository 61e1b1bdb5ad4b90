// The web service's tests: a private HOME with gLog writing into it and a
// ConfigMgr as gConfigMgr, the ini file naming the port to start at, and
// readers of raw answers (support/loopback.h sends the requests).
#ifndef PV_TESTS_APP_WEB_WEB_FIXTURE_H
#define PV_TESTS_APP_WEB_WEB_FIXTURE_H

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "app/store/configmgr.h"
#include "app/store/summaryschema.h"
#include "app/web/httpservicemgr.h"
#include "core/kinifile.h"
#include "core/kplatform.h"
#include "core/ksqlite.h"
#include "core/pathmgr.h"
#include "core/sqlitemgr.h"
#include "support/files.h"
#include "support/log_capture.h"
#include "support/loopback.h"
#include "support/private_home.h"

namespace webtest {

using namespace pvtest;

const char kUnknown[] = "HTTP/1.0 200 OK\r\n\r\nUnable to locate Object Factory";
const char kPictureFolder[] = "7B3D9E51-2C84-4A6F-9E07-D5A1C8B42F96";

inline std::string Get(int port, const std::string& target, const std::string& headers = "") {
  return Exchange(port, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                            "\r\n" + headers + "\r\n");
}

inline std::string BodyOf(const std::string& answer) {
  size_t end = answer.find("\r\n\r\n");
  return end == std::string::npos ? "" : answer.substr(end + 4);
}

// The value of the first header line "Name: value" of an answer, or "<none>".
inline std::string HeaderOf(const std::string& answer, const std::string& name) {
  size_t end = answer.find("\r\n\r\n");
  std::string head = end == std::string::npos ? answer : answer.substr(0, end + 2);
  size_t at = head.find("\r\n" + name + ": ");
  if (at == std::string::npos) return "<none>";
  at += name.size() + 4;
  return head.substr(at, head.find("\r\n", at) - at);
}

// A port that is free now, as are the `run` - 1 ports after it.
inline int FreePorts(int run) {
  for (int attempt = 0; attempt < 50; ++attempt) {
    int first = FreeLoopbackPort();
    bool allFree = first > 0 && first + run < 65000;
    for (int p = first + 1; allFree && p < first + run; ++p) allFree = PortIsFree(p);
    if (allFree) return first;
  }
  return -1;
}

class WebTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(home_.path().empty());
    RenewConfig();
  }
  void TearDown() override {
    gConfigMgr = nullptr;
    config_.reset();
  }
  // A fresh configuration object, as a new start of the program makes it.
  void RenewConfig() {
    gConfigMgr = nullptr;
    config_ = std::make_unique<ConfigMgr>();
    gConfigMgr = config_.get();
  }

  std::string MainIni() {
    koString dir;
    PathMgr::GetConfigDir(dir);
    return std::string(dir.GetString()) + "/postvane.ini";
  }
  std::string LowIni() {
    koString dir;
    PathMgr::GetLowIntegrityDataDir(dir);
    return std::string(dir.GetString()) + "/postvane.ini";
  }
  void ConfigurePort(int port) {
    std::string value = std::to_string(port);
    ASSERT_EQ(1, IniWriteString("GENERAL", "Port", value.c_str(), MainIni().c_str()));
    ASSERT_EQ(1, IniWriteString("GENERAL", "Port", value.c_str(), LowIni().c_str()));
  }
  int PortIn(const std::string& ini) { return IniReadInt("GENERAL", "Port", -1, ini.c_str()); }
  // The port a started server took: the configured one, or the next free
  // one when a test running beside took it after it was found free.
  int Served(int configured) {
    const int served = PortIn(MainIni());
    EXPECT_GE(served, configured);
    return served;
  }
  std::string Log() { return log_.Text(); }

  PrivateHome home_;
  LogCapture log_{home_.path() + "/test.log"};
  std::unique_ptr<ConfigMgr> config_;
};

inline std::string SourceFile(const std::string& relative) {
  const char* root = getenv("PV_SOURCE_DIR");
  return root != nullptr ? ReadFile(std::string(root) + "/" + relative) : "";
}

// A started server on a free port, for tests of the dispatcher and the
// handlers, with request helpers and the summary database's path.
class ServerTest : public WebTest {
 protected:
  void SetUp() override {
    WebTest::SetUp();
    ASSERT_NE(nullptr, getenv("PV_SOURCE_DIR"));
    port_ = FreePorts(2);
    ASSERT_GT(port_, 0);
    ConfigurePort(port_);
    server_.Start();
    port_ = Served(port_);
  }
  void TearDown() override {
    server_.Stop();
    WebTest::TearDown();
  }

  std::string Get(const std::string& target, const std::string& headers = "") {
    return webtest::Get(port_, target, headers);
  }
  std::string Post(const std::string& target, const std::string& headers = "") {
    return Exchange(port_, "POST " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" +
                               std::to_string(port_) + "\r\n" + headers + "Content-Length: 0\r\n\r\n");
  }
  // A POST of a form body; the whole answer.
  std::string PostForm(const std::string& target, const std::string& body) {
    return Exchange(port_, "POST " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) +
                               "\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                               std::to_string(body.size()) + "\r\n\r\n" + body);
  }
  // The summary database with its tables, as the services make it at start.
  void MakeSummaryDatabase() {
    koString dir;
    PathMgr::GetConfigDir(dir);
    koMakeFolders((std::string(dir.GetString()) + "/data").c_str(), 0700, nullptr);
    koSQLite db(gLog);
    ASSERT_EQ(1, SQLiteMgr::OpenAndInitialize(&db, SQLiteMgr::kSummaryDatabase));
    ASSERT_EQ(1, CreateSummarySchema(&db));
  }
  std::string PictureRoot() {
    koString temp;
    koGetTempFolder(temp);
    return std::string(temp.GetString()) + "/" + kPictureFolder;
  }
  std::string SummaryPath() {
    koString dir;
    PathMgr::GetConfigDir(dir);
    return std::string(dir.GetString()) + "/data/postvane.summary";
  }

  int port_ = 0;
  HttpServiceMgr server_;
};

}  // namespace webtest

#endif  // PV_TESTS_APP_WEB_WEB_FIXTURE_H
