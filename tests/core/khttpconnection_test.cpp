#include "core/khttpconnection.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "support/child.h"
#include "support/files.h"
#include "support/log_capture.h"
#include "support/loopback.h"

namespace {

using namespace std::string_literals;

using pvtest::Exchange;
using pvtest::ReadToEnd;

std::string BodyOf(const std::string& answer) {
  size_t end = answer.find("\r\n\r\n");
  return end == std::string::npos ? "" : answer.substr(end + 4);
}

std::string Value(const koString* s) {
  return s == nullptr ? "<none>" : std::string(s->GetString(), s->GetLength());
}

// True when at least n values are stored under name. GetParameter adds a
// missing index at the next free one, so asking twice for index n gives one
// entry only when n values (or more) were there; with fewer the second ask
// misses again and adds another.
bool HasAtLeast(koHttpConnection& c, const char* name, uint32_t n) {
  return c.GetParameter(name, n) == c.GetParameter(name, n);
}

std::string HttpDate(int64_t t) {
  koString out;
  koHttpConnection::FormatHttpDate(t, out);
  return out.GetString();
}

// A connection whose peer end the test writes to, from another thread with
// pauses between the pieces. The connection's receives time out after 5 s,
// so a reader that would wait forever fails instead.
class Paired {
 public:
  Paired() {
    int ends[2];
    EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends));
    struct timeval limit = {5, 0};
    setsockopt(ends[0], SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    peer_ = ends[1];
    connection_ = std::make_unique<koHttpConnection>(ends[0], nullptr);
  }
  ~Paired() {
    if (writer_.joinable()) writer_.join();
    connection_.reset();
    close(peer_);
  }
  koHttpConnection& operator*() { return *connection_; }
  koHttpConnection* operator->() { return connection_.get(); }
  void Feed(const std::string& bytes, bool endInput = false) {
    EXPECT_TRUE(pvtest::SendAll(peer_, bytes));
    if (endInput) shutdown(peer_, SHUT_WR);
  }
  // What the connection has sent so far.
  std::string Answer() {
    std::string out;
    char buffer[4096];
    for (ssize_t n; (n = recv(peer_, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;) out.append(buffer, n);
    return out;
  }
  void FeedSlowly(std::vector<std::string> pieces) {
    writer_ = std::thread([this, pieces] {
      for (const std::string& piece : pieces) {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        pvtest::SendAll(peer_, piece);
      }
    });
  }

 private:
  int peer_ = -1;
  std::unique_ptr<koHttpConnection> connection_;
  std::thread writer_;
};

// A loopback server on koSocket/koHttpConnection as the web server uses them:
// one thread per accepted connection, one request each.
class TestServer {
 public:
  using Handler = std::function<void(koHttpConnection&)>;

  explicit TestServer(Handler handler) : handler_(std::move(handler)) {
    if (listener_.Create() == kInvalidSocket || !listener_.SetReuseAddress() ||
        !listener_.Listen(0, "127.0.0.1")) {
      return;
    }
    port_ = pvtest::LocalPort(listener_.GetHandle());
    acceptor_ = std::thread([this] {
      while (!stop_) {
        koSocketHandle handle;
        if (listener_.WaitReadable(0, 20000) && listener_.Accept(&handle)) {
          workers_.emplace_back([this, handle] {
            koHttpConnection connection(handle, nullptr);
            if (connection.ReadRequest()) {
              handler_(connection);
            } else {
              ++dropped_;
            }
          });
        }
      }
    });
  }
  ~TestServer() { Stop(); }

  int port() const { return port_; }
  int dropped() const { return dropped_; }

  // Ends accepting and waits for every connection thread.
  void Stop() {
    if (!acceptor_.joinable()) return;
    stop_ = true;
    acceptor_.join();
    for (std::thread& worker : workers_) worker.join();
    workers_.clear();
  }

 private:
  Handler handler_;
  koSocket listener_;
  int port_ = -1;
  std::atomic<bool> stop_{false};
  std::atomic<int> dropped_{0};
  std::thread acceptor_;
  std::vector<std::thread> workers_;  // touched by the acceptor only, until Stop
};

struct ParseCase {
  const char* what;
  std::string request;
  bool endInput;  // the client closes its sending side after the request
  int result;
  int method = 0;
  const char* path = "";
  std::vector<std::pair<std::string, std::string>> parameters = {};  // in order
  std::string body = "";
  std::vector<std::string> absent = {};  // names with no value at all
};

TEST(HttpConnectionRead, ParsesRequestsAsTable) {
  const std::vector<ParseCase> cases = {
      {"query decoded, path not; names ignore case",
       "get /p%20q?Q=a%20b+c&q=2 HTTP/1.1\r\nAccept: h\r\naccept: x\r\n\r\n", false, 1, 1, "/p%20q",
       {{"q", "a b c"}, {"q", "2"}}, ""},
      {"empty pieces: leading and doubled '&' count, a trailing one does not",
       "GET /?&&x&y=&=z& HTTP/1.0\r\n\r\n", false, 1, 1, "/",
       {{"", ""}, {"", ""}, {"x", ""}, {"y", ""}, {"", "z"}}, ""},
      {"PUT is no known method", "PUT /x HTTP/1.0\r\n\r\n", false, 1, 0, "/x", {}, ""},
      {"request line without target", "GET\r\n\r\n", false, 1, 1, "", {}, ""},
      {"body cut to the declared length",
       "POST /f HTTP/1.0\r\nContent-Length: 5\r\n\r\n1234567", false, 1, 2, "/f", {}, "12345"},
      {"no Content-Length, no body", "GET /n HTTP/1.0\r\n\r\nextra", false, 1, 1, "/n", {}, ""},
      {"form body after the query, values trimmed, type parameters allowed",
       "POST /form?m=0 HTTP/1.0\r\nContent-Type: Application/X-WWW-Form-Urlencoded; "
       "charset=UTF-8\r\nContent-Length: 17\r\n\r\nn=%20a%2Bb%20&m=1",
       false, 1, 2, "/form", {{"m", "0"}, {"n", "a+b"}, {"m", "1"}}, "n=%20a%2Bb%20&m=1"},
      {"other bodies stay unparsed",
       "POST /j HTTP/1.0\r\nContent-Type: text/plain\r\nContent-Length: 3\r\n\r\nk=v", false, 1,
       2, "/j", {}, "k=v", {"k"}},

      {"a negative length is no length", "POST / HTTP/1.0\r\nContent-Length: -5\r\n\r\nab",
       false, 1, 2, "/", {}, ""},
      {"a hostile length is refused at once",
       "POST / HTTP/1.0\r\nContent-Length: 99999999999999999999999999\r\n\r\nabc", false, 0},
      {"a length one above the bound is refused",
       "POST / HTTP/1.0\r\nContent-Length: 16777217\r\n\r\n", false, 0},
      {"peer closed inside the head", "GET /index.html HT", true, 0},
      {"peer closed inside the body", "POST / HTTP/1.0\r\nContent-Length: 10\r\n\r\nabc", true, 0},
      {"peer closed without a byte", "", true, 0},
  };
  for (const ParseCase& c : cases) {
    SCOPED_TRACE(c.what);
    Paired connection;
    connection.Feed(c.request, c.endInput);
    // Every outcome comes at once; a reader waiting for more hits the 5 s limit.
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(c.result, connection->ReadRequest());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    if (c.result == 0) continue;
    EXPECT_EQ(c.method, connection->GetMethod());
    EXPECT_EQ(c.path, Value(&connection->GetPath()));
    EXPECT_EQ(c.body, Value(&connection->GetRequestText()));
    if (c.request.find("Accept: h\r\n") != std::string::npos) {
      EXPECT_EQ("h", Value(connection->GetHeader("ACCEPT")));  // the first of two, any case
    }
    // Presence first (reading a missing value would add it), then the values
    // in order; the table's names are in lower case.
    std::map<std::string, uint32_t> count, index;
    for (const auto& parameter : c.parameters) ++count[parameter.first];
    for (const auto& [name, n] : count)
      EXPECT_TRUE(HasAtLeast(*connection, name.c_str(), n)) << name;
    for (const std::string& name : c.absent)
      EXPECT_FALSE(HasAtLeast(*connection, name.c_str(), 1)) << name;
    for (const auto& [name, value] : c.parameters) {
      EXPECT_EQ(value, Value(connection->GetParameter(name.c_str(), index[name]++))) << name;
    }
  }
}

TEST(HttpConnectionRead, PiecesAreJoinedAndBytesBeyondTheBodyReadButNotKept) {
  std::string body(300000, 'b');
  for (size_t i = 0; i < body.size(); i += 7) body[i] = static_cast<char>('0' + i % 10);
  {
    Paired connection;
    connection.FeedSlowly({"POST /slow HTTP/1.0\r\nContent-Le", "ngth: 300000\r\n\r", "\n",
                           body.substr(0, 1000), body.substr(1000)});
    ASSERT_EQ(1, connection->ReadRequest());
    EXPECT_EQ(body, Value(&connection->GetRequestText()));
  }
  // Unread bytes would turn the close after the answer into a reset.
  Paired connection;
  connection.FeedSlowly({"POST /x HTTP/1.0\r\nContent-Length: 5\r\n\r\n", "12", "34567890"});
  ASSERT_EQ(1, connection->ReadRequest());
  EXPECT_EQ("12345", Value(&connection->GetRequestText()));
  EXPECT_EQ(0, connection->BytesAvailable());
}

// A head means one thing to every reader, or it is refused before anyone
// looks at it: one line end, no zero byte, no folding, no second copy of a
// header that the checks read.
TEST(HttpConnectionRead, HeadsAreReadOneWayOnly) {
  const struct {
    const char* what;
    std::vector<std::string> pieces;
    const char* fault;  // null: read
  } kCases[] = {
      {"bare line feeds, refused before the head could end",
       {"GET /?_object=NoSuch HTTP/1.0\nHost: evil.example\nOrigin: http://evil.example\n"}, "bare line feed"},
      {"one bare line feed among CR LF", {"GET / HTTP/1.0\r\nHost: a\nOrigin: b\r\n\r\n"}, "bare line feed"},
      {"a bare carriage return", {"GET / HTTP/1.0\r\nX: a\rOrigin: b\r\n\r\n"}, "bare carriage return"},
      {"a zero byte before the Origin line", {"GET / HTTP/1.0\r\nHost: a\r\n\0Origin: x\r\n\r\n"s}, "zero byte"},
      {"two Host lines, ours first", {"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nHost: evil.example\r\n\r\n"},
       "repeated header"},
      {"the same header in another case and spacing", {"GET / HTTP/1.1\r\nhost: a\r\nHOST : a\r\n\r\n"},
       "repeated header"},
      {"Sec-Fetch-Site twice",
       {"GET / HTTP/1.1\r\nSec-Fetch-Site: same-origin\r\nSec-Fetch-Site: cross-site\r\n\r\n"},
       "repeated header"},
      {"Origin twice", {"GET / HTTP/1.1\r\nOrigin: a\r\nOrigin: a\r\n\r\n"}, "repeated header"},
      {"Content-Length twice",
       {"POST / HTTP/1.0\r\nContent-Length: 1\r\nContent-Length: 1\r\n\r\nx"}, "repeated header"},
      {"a folded header line", {"GET / HTTP/1.0\r\nX-A: a\r\n Origin: b\r\n\r\n"}, "folded header line"},
      {"other headers may repeat", {"GET / HTTP/1.0\r\nAccept: a\r\nAccept: b\r\nCookie: c\r\ncookie: d\r\n\r\n"},
       nullptr},
      {"a CR LF split between two receives", {"GET / HTTP/1.0\r", "\nHost: a\r", "\n\r", "\n"}, nullptr},
      {"a zero byte in the body is the body's business",
       {"POST / HTTP/1.0\r\nContent-Length: 3\r\n\r\na\0b"s}, nullptr},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    Paired connection;
    connection.FeedSlowly(c.pieces);
    ASSERT_EQ(c.fault == nullptr ? 1 : 0, connection->ReadRequest());
    if (c.fault == nullptr) {
      EXPECT_EQ(nullptr, connection->GetHeadFault());
      EXPECT_EQ("", connection.Answer());
      continue;
    }
    ASSERT_NE(nullptr, connection->GetHeadFault());
    EXPECT_STREQ(c.fault, connection->GetHeadFault());
    EXPECT_EQ("HTTP/1.0 400 Bad Request\r\n\r\n", connection.Answer());
  }
}

// However many parameters a request carries, a fixed number of them (and of
// their bytes) is kept and the rest only counted, in one record.
TEST(HttpConnectionRead, ParametersStopAtTheirBudget) {
  pvtest::TempDir dir;
  LogCapture log(dir.File("log.txt"));
  // Every record in a second of its own, so that none folds.
  gLog->SetClock([] {
    static int64_t now = 0;
    return now += 1000;
  });
  std::string fields;
  for (uint32_t i = 0; i < koHttpConnection::kMaxParameters - 2; ++i) fields += "a=1&";
  const std::string big(koHttpConnection::kMaxParameterBytes, 'v');
  const struct {
    const char* what;
    std::string query;
    std::string form;
    std::vector<std::pair<std::string, uint32_t>> kept;  // name, values
    uint32_t dropped;
  } kCases[] = {
      {"query and form share the budget", "b=1&" + fields, "c=1&d=1&e=1&f=1",
       {{"a", koHttpConnection::kMaxParameters - 2}, {"b", 1}, {"c", 1}, {"d", 0}}, 3},
      {"a trailing '&' adds nothing, empty pieces count", "b=1&" + fields, "c=1&&d=1&",
       {{"a", koHttpConnection::kMaxParameters - 2}, {"c", 1}, {"d", 0}}, 2},
      {"a value past the bytes left stops the parsing", "", "c=1&x=" + big + "&d=1", {{"c", 1}, {"x", 0}, {"d", 0}}, 2},
      {"within both, nothing is dropped", "", "c=1&x=" + big.substr(10), {{"c", 1}, {"x", 1}}, 0},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    size_t before = log.Text().size();
    Paired connection;
    std::string head = "POST /?" + c.query + " HTTP/1.0\r\nContent-Type: application/x-www-form-urlencoded\r\n";
    connection.FeedSlowly({head + "Content-Length: " + std::to_string(c.form.size()) + "\r\n\r\n", c.form});
    ASSERT_EQ(1, connection->ReadRequest());
    for (const auto& [name, values] : c.kept) {
      if (values > 0) {
        EXPECT_NE("", Value(connection->GetParameter(name.c_str(), values - 1))) << name;
      }
      EXPECT_FALSE(HasAtLeast(*connection, name.c_str(), values + 1)) << name;
    }
    std::string added = log.Text().substr(before);
    if (c.dropped == 0) {
      EXPECT_EQ("", added);
    } else {
      EXPECT_NE(std::string::npos, added.find("Request parameters dropped: " + std::to_string(c.dropped) + " beyond"))
          << added;
    }
  }
}

TEST(HttpConnectionWrite, HttpDates) {
  EXPECT_EQ("Thu, 01 Jan 1970 00:00:00 GMT", HttpDate(0));
  EXPECT_EQ("Tue, 29 Feb 2000 00:00:00 GMT", HttpDate(951782400));
  EXPECT_EQ("Tue, 19 Jan 2038 03:14:08 GMT", HttpDate(2147483648LL));
  EXPECT_EQ("Wed, 31 Dec 1969 23:59:59 GMT", HttpDate(-1));
}

// The answers' bytes as a raw Python socket client receives them.
std::string Python(int port, const std::string& request) {
  const char* source = getenv("PV_SOURCE_DIR");
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : request) hex += std::string{kHex[c >> 4], kHex[c & 15]};
  std::string command = "python3 " + std::string(source != nullptr ? source : ".") +
                        "/tests/core/khttpconnection_client.py " + std::to_string(port) + " " + hex;
  int status = -1;
  std::string out = pvtest::CommandOutput(command, &status);
  EXPECT_EQ(0, status) << command;
  return out;
}

// Compares with `expected`, whose "@DATE@" stands for the answer's Date,
// which is one of the seconds between `before` and now.
void ExpectAnswer(const std::string& expected, const std::string& answer, int64_t before) {
  std::string last;
  for (int64_t t = before; t <= static_cast<int64_t>(time(nullptr)); ++t) {
    last = expected;
    size_t at = last.find("@DATE@");
    if (at != std::string::npos) last.replace(at, 6, HttpDate(t));
    if (last == answer) return;
  }
  EXPECT_EQ(last, answer);
}

TEST(HttpConnectionWire, AnswersAreExact) {
  pvtest::TempDir dir;
  const std::string file = dir.File("picture.png");
  std::string content(20000, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7 % 251);
  pvtest::WriteFile(file, content);
  struct timespec times[2] = {{1700000000, 0}, {1700000000, 0}};
  ASSERT_EQ(0, utimensat(AT_FDCWD, file.c_str(), times, 0));

  TestServer server([&file](koHttpConnection& c) {
    std::string path = c.GetPath().GetString();
    if (path == "/ok") {
      c.SendOk("hello", 5, "text/html", 1700000000, "1.89 Beta");
      return;
    }
    std::string target = path == "/file" ? file : path == "/missing" ? file + ".gone" : "/";
    const koString* validator = c.GetHeader("If-None-Match");
    if (path == "/status" || !c.SendFile(target.c_str(), "image/png",
                                         validator != nullptr ? validator->GetString() : nullptr,
                                         "1.89 Beta")) {
      c.SendStatus("404 Not Found");
    }
  });
  ASSERT_GT(server.port(), 0);
  const int port = server.port();
  const int64_t start = time(nullptr);

  for (const char* path : {"/status", "/missing", "/folder"}) {
    EXPECT_EQ("HTTP/1.0 404 Not Found\r\n\r\n", Python(port, "GET "s + path + " HTTP/1.0\r\n\r\n"));
  }
  ExpectAnswer(
      "HTTP/1.1 200 OK\r\nDate: @DATE@\r\nServer:Postvane1.89 Beta\r\nETag: \"1700000000\"\r\n"
      "Last-Modified: Tue, 14 Nov 2023 22:13:20 GMT\r\nContent-Length: 5\r\n"
      "Connection: close\r\nContent-type: text/html\r\n\r\nhello",
      Python(port, "GET /ok HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"), start);
  // A validator equal to the file's time: not modified.
  EXPECT_EQ("HTTP/1.0 304 Not Modified\r\nETag: 1700000000\r\n\r\n\r\n",
            Python(port, "GET /file HTTP/1.0\r\nIf-None-Match: 1700000000\r\n\r\n"));
  // The file is one second newer than the validator, or there is none: sent whole.
  const std::string fileAnswer =
      "HTTP/1.1 200 OK\r\nDate: @DATE@\r\nServer:Postvane1.89 Beta\r\nETag: \"1700000000\"\r\n"
      "Last-Modified: Tue, 14 Nov 2023 22:13:20 GMT\r\nConnection: close\r\n"
      "Content-type: image/png\r\n\r\n" + content;
  ExpectAnswer(fileAnswer, Python(port, "GET /file HTTP/1.0\r\nIf-None-Match: 1699999999\r\n\r\n"),
               start);
  ExpectAnswer(fileAnswer, Python(port, "GET /file HTTP/1.0\r\n\r\n"), start);
}

// Gathered answers: the bytes that piece-by-piece sends would give, in the
// same order, whether a piece is small, past the gathering limit or a
// prepared answer, and all of them out by the close.
TEST(HttpConnectionWire, GatheredAnswersKeepEveryByteInOrder) {
  std::string big(koHttpConnection::kGatherLimit + 5000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 23);
  koString headers;
  koHttpConnection::AppendHeadersAfterDate(headers, "text/html", 1700000000, "1.89 Beta", 5, 0,
                                           "X-Extra: 1\r\n");
  const std::string ok =
      "HTTP/1.1 200 OK\r\nDate: @DATE@\r\nServer:Postvane1.89 Beta\r\nETag: \"1700000000\"\r\n"
      "Last-Modified: Tue, 14 Nov 2023 22:13:20 GMT\r\nContent-Length: 5\r\nX-Extra: 1\r\n"
      "Connection: close\r\nContent-type: text/html\r\n\r\nhello";
  struct Case {
    const char* what;
    std::function<void(koHttpConnection&)> write;
    std::string expected;
  };
  const std::vector<Case> kCases = {
      {"small pieces, never flushed",
       [](koHttpConnection& c) { c.Send("one,"); c.Send("two,"); c.SendStatus("200 OK"); },
       "one,two,HTTP/1.0 200 OK\r\n\r\n"},
      {"a block past the limit between small pieces",
       [&](koHttpConnection& c) { c.Send("<"); c.SendData(big.data(), big.size()); c.Send(">"); },
       "<" + big + ">"},
      {"pieces around a flush",
       [](koHttpConnection& c) { c.Send("a"); c.Flush(); c.Send("b"); },
       "ab"},
      {"gathered pieces go before a prepared answer",
       [&](koHttpConnection& c) { c.Send("X"); c.SendPrepared(headers, "hello", 5); },
       "X" + ok},
      {"a prepared answer is what SendOk sends",
       [](koHttpConnection& c) {
         c.SendOk("hello", 5, "text/html", 1700000000, "1.89 Beta", "X-Extra: 1\r\n");
       },
       ok},
  };
  TestServer server([&](koHttpConnection& c) {
    c.BeginGathering();
    kCases[static_cast<size_t>(atoi(c.GetPath().GetString() + 1))].write(c);
  });
  ASSERT_GT(server.port(), 0);
  for (size_t i = 0; i < kCases.size(); ++i) {
    SCOPED_TRACE(kCases[i].what);
    const int64_t start = time(nullptr);
    ExpectAnswer(kCases[i].expected,
                 Exchange(server.port(), "GET /" + std::to_string(i) + " HTTP/1.0\r\n\r\n"), start);
  }
}

TEST(HttpConnectionServer, QueryAndFormParameters) {
  std::vector<bool> present;
  std::vector<std::string> query, form;
  int formMethod = -1;
  TestServer server([&](koHttpConnection& c) {
    if (strcmp(c.GetPath().GetString(), "/query") == 0) {
      present = {HasAtLeast(c, "a", 2), HasAtLeast(c, "", 1), HasAtLeast(c, "x", 1)};
      query = {Value(c.GetParameter("a", 0)), Value(c.GetParameter("a", 1)),
               Value(c.GetParameter("", 0)), Value(c.GetParameter("x", 0))};
    } else {
      formMethod = c.GetMethod();
      form = {Value(c.GetParameter("a")), Value(c.GetParameter("b"))};
    }
    c.SendStatus("200 OK");
  });
  ASSERT_GT(server.port(), 0);
  EXPECT_EQ("HTTP/1.0 200 OK\r\n\r\n",
            Exchange(server.port(), "GET /query?A=1&a=2&&x HTTP/1.1\r\n\r\n"));
  EXPECT_EQ("HTTP/1.0 200 OK\r\n\r\n",
            Exchange(server.port(),
                     "POST /form HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                     "Content-Length: 11\r\n\r\na=+x+&b=%41"));
  server.Stop();
  EXPECT_EQ((std::vector<bool>{true, true, true}), present);
  EXPECT_EQ((std::vector<std::string>{"1", "2", "", ""}), query);
  EXPECT_EQ(koHttpConnection::kMethodPost, formMethod);
  EXPECT_EQ((std::vector<std::string>{"x", "A"}), form);
}

// Serves "/hello?n=N" with a small body naming N and "/big" with 4 MiB.
class HttpConnectionRobustness : public ::testing::Test {
 protected:
  void SetUp() override {
    // The default SIGPIPE action stays: a write that could raise it ends the test.
    struct sigaction current;
    ASSERT_EQ(0, sigaction(SIGPIPE, nullptr, &current));
    ASSERT_EQ(SIG_DFL, current.sa_handler);
    big_.resize(4 * 1024 * 1024);
    for (size_t i = 0; i < big_.size(); ++i) big_[i] = static_cast<char>('a' + i % 26);
    server_ = std::make_unique<TestServer>([this](koHttpConnection& c) {
      if (strcmp(c.GetPath().GetString(), "/big") == 0) {
        ++(c.SendOk(big_.data(), static_cast<int64_t>(big_.size()), "text/plain", 0, "")
               ? bigSent_
               : bigFailed_);
      } else {
        std::string body = "hello " + Value(c.GetParameter("n"));
        c.SendOk(body.data(), static_cast<int64_t>(body.size()), "text/plain", 0, "");
      }
    });
    ASSERT_GT(server_->port(), 0);
  }

  // A complete client: true when its answer is whole and its own.
  bool Hello(const std::string& n) {
    std::string answer = Exchange(server_->port(), "GET /hello?n=" + n + " HTTP/1.0\r\n\r\n");
    std::string body = "hello " + n;
    return BodyOf(answer) == body &&
           answer.find("\r\nContent-Length: " + std::to_string(body.size()) + "\r\n") !=
               std::string::npos;
  }
  void HalfHead() {
    int fd = pvtest::ConnectLoopback(server_->port());
    pvtest::SendAll(fd, "GET /hel");
    close(fd);
  }
  // Asks for 4 MiB through a small window, takes 64 KiB and closes.
  void QuitDuringBig() {
    int fd = pvtest::ConnectLoopback(server_->port(), 16384);
    pvtest::SendAll(fd, "GET /big HTTP/1.0\r\n\r\n");
    char buffer[8192];
    for (size_t received = 0; received < 65536;) {
      ssize_t n = recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      received += static_cast<size_t>(n);
    }
    close(fd);
  }

  std::string big_;
  std::atomic<int> bigSent_{0}, bigFailed_{0};
  std::unique_ptr<TestServer> server_;
};

TEST_F(HttpConnectionRobustness, BrokenClientsLeaveTheServerServing) {
  HalfHead();
  EXPECT_TRUE(Hello("after-half-head"));
  QuitDuringBig();
  EXPECT_TRUE(Hello("after-quit"));
  // A complete client of the big answer gets every byte.
  EXPECT_TRUE(BodyOf(Exchange(server_->port(), "GET /big HTTP/1.0\r\n\r\n")) == big_);

  // 200 clients at once, one in ten of them broken.
  std::atomic<int> complete{0}, wrong{0};
  std::vector<std::thread> clients;
  for (int i = 0; i < 200; ++i) {
    if (i % 20 == 3) {
      clients.emplace_back([this] { HalfHead(); });
    } else if (i % 20 == 13) {
      clients.emplace_back([this] { QuitDuringBig(); });
    } else {
      clients.emplace_back(
          [this, i, &complete, &wrong] { ++(Hello(std::to_string(i)) ? complete : wrong); });
    }
  }
  for (std::thread& client : clients) client.join();
  EXPECT_EQ(180, complete.load());
  EXPECT_EQ(0, wrong.load());
  EXPECT_TRUE(Hello("next"));
  server_->Stop();
  EXPECT_EQ(1 + 10, server_->dropped());
  EXPECT_EQ(1 + 10, bigFailed_.load());
  EXPECT_EQ(1, bigSent_.load());
}

}  // namespace
