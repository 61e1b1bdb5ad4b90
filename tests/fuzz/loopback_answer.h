// A loopback HTTP server for fuzz targets that read answers through the
// project's HTTP client: every request, whatever it asks, gets the bytes last
// set, then the connection closes. One thread, started once per process.
#ifndef PV_TESTS_FUZZ_LOOPBACK_ANSWER_H
#define PV_TESTS_FUZZ_LOOPBACK_ANSWER_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <thread>

#include "fuzz_support.h"

namespace pvfuzz {

class LoopbackAnswer {
 public:
  // Listens on an ephemeral loopback port; the answer is empty until Set.
  LoopbackAnswer() {
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    Check(listener >= 0 && bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
              listen(listener, 16) == 0 &&
              getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) == 0,
          "loopback listener");
    port_ = ntohs(address.sin_port);
    std::thread([this, listener] { Serve(listener); }).detach();
  }
  int Port() const { return port_; }
  // "127.0.0.1:<port>"
  std::string Host() const { return "127.0.0.1:" + std::to_string(port_); }
  // The whole answer: status line, header lines and body as given.
  void SetRaw(const std::string& bytes) {
    std::lock_guard<std::mutex> hold(lock_);
    answer_ = bytes;
  }
  // A 200 answer with this body.
  void SetBody(const std::string& body) {
    SetRaw("HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
  }

 private:
  void Serve(int listener) {
    for (;;) {
      int fd = accept(listener, nullptr, nullptr);
      if (fd < 0) continue;
      std::string head;
      char buffer[4096];
      while (head.find("\r\n\r\n") == std::string::npos) {
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        head.append(buffer, static_cast<size_t>(n));
      }
      std::string answer;
      {
        std::lock_guard<std::mutex> hold(lock_);
        answer = answer_;
      }
      for (size_t at = 0; at < answer.size();) {
        ssize_t n = send(fd, answer.data() + at, answer.size() - at, MSG_NOSIGNAL);
        if (n <= 0) break;
        at += static_cast<size_t>(n);
      }
      close(fd);
    }
  }

  int port_ = 0;
  std::mutex lock_;
  std::string answer_;
};

}  // namespace pvfuzz

#endif  // PV_TESTS_FUZZ_LOOPBACK_ANSWER_H
