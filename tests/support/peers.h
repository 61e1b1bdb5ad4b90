// Loopback peers for tests: an HTTP/HTTPS server (tests/peers/httpd.py), an
// HTTP proxy with CONNECT (tinyproxy) and a SOCKS5 proxy (microsocks).
//
// Each peer is a child process listening on 127.0.0.1 only, on a port of its
// own, with a private temporary folder for its configuration, output and
// records. The destructor stops the child (SIGTERM, then SIGKILL), reaps it and
// removes the folder. A child also dies with the thread that started it, so a
// crashed test leaves nothing running: start peers from the test's main thread.
//
// Typical use:
//   pvtest::HttpPeer web;
//   ASSERT_TRUE(web.Start()) << web.Error();
//   client.Request(web.Url("/echo").c_str(), ...);
//
// Not thread-safe; one peer object belongs to one thread.
#ifndef PV_TESTS_SUPPORT_PEERS_H
#define PV_TESTS_SUPPORT_PEERS_H

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace pvtest {

// A private folder (mode 0700) under $TMPDIR or /tmp, removed with everything
// in it by the destructor. Path() is empty when it could not be made.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& Path() const { return path_; }
  // Path() + "/" + name.
  std::string File(const std::string& name) const;

 private:
  std::string path_;
};

// A port on 127.0.0.1 that was free a moment ago, outside the range of
// outgoing connections' own ends where the system has one; 0 on failure.
int FreeLoopbackPort();

// Removes the proxy variables that libcurl and libproxy read from the
// environment, so a test's requests go where the test sends them.
void ClearProxyEnvironment();

// Whole content of a file, or "" when it cannot be read.
std::string ReadFile(const std::string& path);
// Writes the file through a temporary one and a rename, so a reader sees the
// old content or the new, never half.
bool WriteFileAtomic(const std::string& path, const std::string& text, int mode = 0600);

// One child process listening on 127.0.0.1. The derived classes say what runs.
class Peer {
 public:
  Peer() = default;
  virtual ~Peer();
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  int Port() const { return port_; }
  // "127.0.0.1:<port>", the form proxies are given in.
  std::string Address() const;
  // The private folder; valid until destruction.
  const std::string& Dir() const { return dir_.Path(); }
  // Why Start failed, with the end of the child's output.
  const std::string& Error() const { return error_; }
  // Whether the child is still alive (reaps it when it has ended).
  bool Running();
  // Stops and reaps the child; nothing when none runs.
  void Stop();

 protected:
  // Starts argv[0] (found on PATH) with standard input from /dev/null and
  // standard output and error into Dir()/output.log.
  bool Launch(const std::vector<std::string>& argv);
  // Waits until 127.0.0.1:port accepts a connection while the child lives.
  bool WaitAccepts(int port, int timeout_ms);
  // Starts the command that make_argv builds for a free port (it may write
  // configuration too) and retries with another port when some other process
  // took that one first.
  bool LaunchOnFreePort(const std::function<std::vector<std::string>(int port)>& make_argv);
  // Starts `python3 tests/peers/<script> --dir Dir() <extra...>` and waits
  // for the port it reports in Dir()/port.
  bool StartScript(const std::string& script, const std::vector<std::string>& extra = {});
  bool Fail(const std::string& why);

  TempDir dir_;
  pid_t pid_ = -1;
  int port_ = 0;
  std::string error_;
};

// tests/peers/httpd.py. Every request is recorded; see that script for its
// paths (/echo, /redirect, /status, /bytes).
class HttpPeer : public Peer {
 public:
  // tls: HTTPS with a self-signed certificate made now.
  bool Start(bool tls = false);
  // "http://127.0.0.1:<port>" or "https://..." followed by path_query.
  std::string Url(const std::string& path_query) const;
  // Requests received so far.
  int RequestCount() const;

 private:
  bool tls_ = false;
};

// tinyproxy: plain HTTP proxying and CONNECT to any port. With a user, only
// clients giving these Basic credentials are served (407 otherwise).
class HttpProxyPeer : public Peer {
 public:
  bool Start(const char* user = nullptr, const char* password = nullptr);
};

// microsocks: SOCKS5. With a user, only that user/password is served.
class SocksPeer : public Peer {
 public:
  bool Start(const char* user = nullptr, const char* password = nullptr);
};

}  // namespace pvtest

#endif  // PV_TESTS_SUPPORT_PEERS_H
