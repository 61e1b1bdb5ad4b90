// Fuzz target: one HTTP request as a client could send it to the local web
// server. The input goes through a socket pair into the real reader
// (koHttpConnection::ReadRequest), so receiving, head and body splitting,
// header, query and form parsing and URL decoding all run as in the server;
// the answer writer then echoes the body back.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "core/khttpconnection.h"

namespace {

void Check(bool condition, const char* what) {
  if (!condition) {
    fprintf(stderr, "broken: %s\n", what);
    abort();
  }
}

bool WriteAll(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int ends[2];
  Check(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0, "socketpair");
  int room = 1 << 20;
  setsockopt(ends[1], SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
  // Everything is queued and the sending side closed before the read: the
  // reader sees exactly these bytes, then the peer's close, and never waits.
  Check(WriteAll(ends[1], data, size), "queue the input");
  shutdown(ends[1], SHUT_WR);

  std::string echoed;
  bool read = false;
  {
    koHttpConnection connection(ends[0], nullptr);
    read = connection.ReadRequest() == 1;
    if (read) {
      int method = connection.GetMethod();
      Check(method == koHttpConnection::kMethodOther || method == koHttpConnection::kMethodGet ||
                method == koHttpConnection::kMethodPost,
            "method");
      const koString& path = connection.GetPath();
      Check(memchr(path.GetString(), '?', path.GetLength()) == nullptr, "path without query");
      const koString& body = connection.GetRequestText();
      Check(body.GetLength() <= size, "body from the input");
      Check(body.GetLength() <= koHttpConnection::kMaxBodyLength, "body bounded");
      const koString* length = connection.GetHeader("Content-Length");
      if (length == nullptr) Check(body.GetLength() == 0, "no length, no body");

      for (const char* name : {"_object", "_action", "a", "", "x"}) {
        for (uint32_t index = 0; index < 3; ++index) {
          Check(connection.GetParameter(name, index) != nullptr, "parameter never null");
        }
      }
      connection.GetHeader("Content-Type");
      connection.GetHeader("If-None-Match");

      echoed.assign(body.GetString(), body.GetLength());
      Check(connection.Send(body) == 1, "echo the body");
    }
  }
  // The connection is closed: what it sent is all there is to read.
  std::string answer;
  char buffer[65536];
  for (ssize_t n; (n = recv(ends[1], buffer, sizeof buffer, 0)) > 0;) answer.append(buffer, n);
  if (read) {
    Check(answer == echoed, "echo arrives whole");
  } else {
    // A refused request may have been told why, in one status line.
    Check(answer.empty() || answer == "HTTP/1.0 400 Bad Request\r\n\r\n" ||
              answer == "HTTP/1.0 413 Payload Too Large\r\n\r\n" ||
              answer == "HTTP/1.0 431 Request Header Fields Too Large\r\n\r\n",
          "a failed read answers nothing or its status");
  }
  close(ends[1]);
  return 0;
}
