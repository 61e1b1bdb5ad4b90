// Loopback clients and a private HOME for the web service's tests: gLog
// writes into that HOME, the ini file names the port to start at, and raw
// requests go to 127.0.0.1 with their whole answers read up to the close.
#ifndef PV_TESTS_APP_WEB_WEB_FIXTURE_H
#define PV_TESTS_APP_WEB_WEB_FIXTURE_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "app/store/configmgr.h"
#include "core/kinifile.h"
#include "core/klog.h"
#include "core/pathmgr.h"
#include "support/private_home.h"

namespace webtest {

inline bool WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

inline std::string ReadToEnd(int fd) {
  std::string out;
  char buffer[65536];
  for (;;) {
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    out.append(buffer, static_cast<size_t>(n));
  }
  return out;
}

// A connected client socket whose receives give up after 10 s, or -1.
inline int ConnectTo(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct timeval limit = {10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  struct sockaddr_in where = {};
  where.sin_family = AF_INET;
  where.sin_port = htons(static_cast<uint16_t>(port));
  where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<struct sockaddr*>(&where), sizeof where) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

inline std::string Exchange(int port, const std::string& request) {
  int fd = ConnectTo(port);
  if (fd < 0) return "connect failed";
  WriteAll(fd, request);
  std::string answer = ReadToEnd(fd);
  close(fd);
  return answer;
}

inline std::string Get(int port, const std::string& target, const std::string& headers = "") {
  return Exchange(port, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" +
                            std::to_string(port) + "\r\n" + headers + "\r\n");
}

inline std::string HeadOf(const std::string& answer) {
  size_t end = answer.find("\r\n\r\n");
  return end == std::string::npos ? answer : answer.substr(0, end + 4);
}

inline std::string BodyOf(const std::string& answer) {
  size_t end = answer.find("\r\n\r\n");
  return end == std::string::npos ? "" : answer.substr(end + 4);
}

// The value of the first header line "Name: value" of an answer, or "<none>".
inline std::string HeaderOf(const std::string& answer, const std::string& name) {
  std::string head = HeadOf(answer);
  size_t at = head.find("\r\n" + name + ": ");
  if (at == std::string::npos) return "<none>";
  at += name.size() + 4;
  return head.substr(at, head.find("\r\n", at) - at);
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream all;
  all << in.rdbuf();
  return all.str();
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

// A port that is free now, as are the `run` ports after it.
inline int FreePorts(int run) {
  for (int attempt = 0; attempt < 50; ++attempt) {
    int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in where = {};
    where.sin_family = AF_INET;
    where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(probe, reinterpret_cast<struct sockaddr*>(&where), sizeof where);
    socklen_t length = sizeof where;
    getsockname(probe, reinterpret_cast<struct sockaddr*>(&where), &length);
    close(probe);
    int first = ntohs(where.sin_port);
    bool all_free = first + run < 65000;
    for (int p = first; all_free && p < first + run; ++p) {
      int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      where.sin_port = htons(static_cast<uint16_t>(p));
      all_free = bind(s, reinterpret_cast<struct sockaddr*>(&where), sizeof where) == 0;
      close(s);
    }
    if (all_free) return first;
  }
  return -1;
}

// A socket listening on 127.0.0.1:port, so the server must look further.
class HeldPort {
 public:
  explicit HeldPort(int port) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in where = {};
    where.sin_family = AF_INET;
    where.sin_port = htons(static_cast<uint16_t>(port));
    where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    held_ = bind(fd_, reinterpret_cast<struct sockaddr*>(&where), sizeof where) == 0 &&
            listen(fd_, 4) == 0;
  }
  ~HeldPort() { close(fd_); }
  bool held() const { return held_; }

 private:
  int fd_;
  bool held_;
};

// A private HOME with gLog writing into it and a ConfigMgr as gConfigMgr.
class WebTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(home_.path().empty());
    log_path_ = home_.path() + "/test.log";
    log_.SetFileName(log_path_.c_str());
    gLog = &log_;
    RenewConfig();
  }
  void TearDown() override {
    gConfigMgr = nullptr;
    config_.reset();
    gLog = nullptr;
  }
  // A fresh configuration object, as a new start of the program makes it.
  void RenewConfig() {
    gConfigMgr = nullptr;
    config_.reset();
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
  std::string Log() { return ReadFile(log_path_); }

  PrivateHome home_;
  koLog log_{"test"};
  std::string log_path_;
  std::unique_ptr<ConfigMgr> config_;
};

}  // namespace webtest

#endif  // PV_TESTS_APP_WEB_WEB_FIXTURE_H
