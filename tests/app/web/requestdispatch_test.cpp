#include "app/web/requestdispatch.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "app/web/httpservicemgr.h"
#include "platform/folders.h"
#include "web_fixture.h"

namespace {

using namespace webtest;

const char kUnknown[] = "HTTP/1.0 200 OK\r\n\r\nUnable to locate Object Factory";
const char kRedirect[] = "HTTP/1.0 302 Found\r\nLocation: /index.html\r\n\r\n";
const char kNotFound[] = "HTTP/1.0 404 Not Found\r\n\r\n";
const char kForbidden[] = "HTTP/1.0 403 Forbidden\r\n\r\n";
const char kPictureFolder[] = "7B3D9E51-2C84-4A6F-9E07-D5A1C8B42F96";

std::string SourceFile(const std::string& relative) {
  const char* root = getenv("PV_SOURCE_DIR");
  return root != nullptr ? ReadFile(std::string(root) + "/" + relative) : "";
}

long SourceTime(const std::string& relative) {
  struct stat info;
  const char* root = getenv("PV_SOURCE_DIR");
  if (root == nullptr || stat((std::string(root) + "/" + relative).c_str(), &info) != 0) return -1;
  return static_cast<long>(info.st_mtime);
}

class Dispatch : public WebTest {
 protected:
  void SetUp() override {
    WebTest::SetUp();
    ASSERT_NE(nullptr, getenv("PV_SOURCE_DIR"));
    port_ = FreePorts(2);
    ASSERT_GT(port_, 0);
    ConfigurePort(port_);
    server_.Start();
    ASSERT_EQ(port_, PortIn(MainIni()));
  }
  void TearDown() override {
    server_.Stop();
    WebTest::TearDown();
  }

  std::string Get(const std::string& target, const std::string& headers = "") {
    return webtest::Get(port_, target, headers);
  }
  std::string Post(const std::string& target, const std::string& headers = "",
                   const std::string& body = "") {
    return Exchange(port_, "POST " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" +
                               std::to_string(port_) + "\r\n" + headers +
                               "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
                               body);
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

TEST_F(Dispatch, RouteTableMatchesObjectNamesExactly) {
  EXPECT_EQ(kUnknown, Exchange(port_, "GET /?_object=NoSuch HTTP/1.0\r\n\r\n"));
  // Case matters for objects.
  EXPECT_EQ(kUnknown, Get("/?_object=showall"));
  EXPECT_EQ(kUnknown, Get("/?_object=ShowAll%20"));
  // Rows whose handlers are not part of the program yet.
  for (const char* name : {"ConnectionMgr", "ShowLog", "PrefMgr", "ProxyMgr", "Addon",
                           "VersionMgr", "ContactReqHandler"}) {
    EXPECT_EQ(kUnknown, Get(std::string("/?_object=") + name + "&_action=List")) << name;
  }
  // Row 0 serves a missing or empty object; it knows no action yet.
  EXPECT_EQ(kRedirect, Get("/?_action=DataLoad"));
  EXPECT_EQ(kRedirect, Get("/?_object=&_action=DataLoad"));
  EXPECT_EQ(kRedirect, Get("/?_object=ShowAll&_action=dataload"));
  // Only GET is static: a POST to a page goes to the table.
  EXPECT_EQ(kRedirect, Post("/index.html"));
  EXPECT_EQ(kRedirect, Exchange(port_, "HEAD /index.html HTTP/1.0\r\n\r\n"));

  const std::vector<std::string> names = {"ShowAll", "ConnectionMgr", "ShowLog", "PrefMgr",
                                          "ProxyMgr", "Addon", "VersionMgr",
                                          "ContactReqHandler"};
  size_t rows = 0;
  for (; ObjectFactoryTable[rows].name != nullptr; ++rows) {
    ASSERT_LT(rows, names.size());
    EXPECT_EQ(names[rows], ObjectFactoryTable[rows].name);
  }
  EXPECT_EQ(names.size(), rows);
}

TEST_F(Dispatch, StorePagesCarryValidatorsAndAnswer304OnlyForWhatExists) {
  std::string page = SourceFile("web/index.html");
  long mtime = SourceTime("web/index.html");
  std::string answer = Get("/index.html");
  EXPECT_EQ(0u, answer.find("HTTP/1.1 200 OK\r\n")) << answer;
  EXPECT_NE(std::string::npos, answer.find("\r\nServer:Postvane1.89 Beta\r\n"));
  EXPECT_EQ("\"" + std::to_string(mtime) + "\"", HeaderOf(answer, "ETag"));
  EXPECT_NE("<none>", HeaderOf(answer, "Last-Modified"));
  EXPECT_NE("<none>", HeaderOf(answer, "Date"));
  EXPECT_EQ("close", HeaderOf(answer, "Connection"));
  EXPECT_EQ("text/html", HeaderOf(answer, "Content-type"));
  EXPECT_EQ(std::to_string(page.size()), HeaderOf(answer, "Content-Length"));
  EXPECT_EQ(page, BodyOf(answer));

  // The ETag comes back as it was sent.
  std::string etag = HeaderOf(answer, "ETag");
  std::string stripped = std::to_string(mtime);
  std::string not_modified = "HTTP/1.0 304 Not Modified\r\nETag: " + stripped + "\r\n\r\n\r\n";
  EXPECT_EQ(not_modified, Get("/index.html", "If-None-Match: " + etag + "\r\n"));
  // The 304's own ETag, given back unquoted, still matches.
  EXPECT_EQ(not_modified, Get("/index.html", "If-None-Match: " + stripped + "\r\n"));
  EXPECT_EQ(page, BodyOf(Get("/index.html", "If-None-Match: \"1\"\r\n")));
  EXPECT_EQ(page, BodyOf(Get("/index.html", "If-None-Match: *\r\n")));
  EXPECT_EQ(page, BodyOf(Get("/index.html?x=1")));
  EXPECT_EQ(page, BodyOf(Get("//index.html")));

  // A resource the store does not hold is never "not modified".
  EXPECT_EQ(kNotFound, Get("/nosuch.html", "If-None-Match: \"99999999999\"\r\n"));
  EXPECT_EQ(kNotFound, Get("/nosuch.html", "If-None-Match: \"\"\r\n"));
  EXPECT_EQ(kNotFound, Get("/nosuch.html"));
  // Without a type the store is not asked.
  EXPECT_EQ(kNotFound, Get("/index"));
}

TEST_F(Dispatch, ContactPhotosComeFromTheSummaryDatabaseElseTheDefault) {
  std::string fallback = SourceFile("web/images/pv-contact-default-image.png");
  ASSERT_FALSE(fallback.empty());

  // No database: the default picture, and no database is made.
  unlink(SummaryPath().c_str());
  std::string answer = Get("/GoogleContactphoto?id=5");
  EXPECT_EQ("image/png", HeaderOf(answer, "Content-type"));
  EXPECT_EQ(fallback, BodyOf(answer));
  struct stat info;
  EXPECT_NE(0, stat(SummaryPath().c_str(), &info));

  const std::string jpeg("\xFF\xD8\xFF\xE0\0\x10JFIF\0photo", 16);
  std::string data = SummaryPath().substr(0, SummaryPath().rfind('/'));
  mkdir(data.c_str(), 0755);
  sqlite3* db = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open(SummaryPath().c_str(), &db));
  ASSERT_EQ(SQLITE_OK, sqlite3_exec(db,
                                    "CREATE TABLE contact_photo (contact_id INTEGER PRIMARY KEY,"
                                    " photo BLOB);"
                                    "INSERT INTO contact_photo VALUES (6, NULL);"
                                    "INSERT INTO contact_photo VALUES (8, x'');",
                                    nullptr, nullptr, nullptr));
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO contact_photo VALUES (5, ?)", -1, &insert, nullptr);
  sqlite3_bind_blob(insert, 1, jpeg.data(), static_cast<int>(jpeg.size()), SQLITE_TRANSIENT);
  ASSERT_EQ(SQLITE_DONE, sqlite3_step(insert));
  sqlite3_finalize(insert);
  sqlite3_close(db);

  EXPECT_EQ("HTTP/1.1 200 OK\r\nConnection: close\r\nContent-type: image/jpeg\r\n\r\n" + jpeg,
            Get("/GoogleContactphoto?id=5"));
  EXPECT_EQ(jpeg, BodyOf(Get("/googlecontactphoto?id=5")));
  for (const char* id : {"6", "7", "8", "x", ""}) {
    EXPECT_EQ(fallback, BodyOf(Get(std::string("/GoogleContactphoto?id=") + id))) << id;
  }
  EXPECT_EQ(fallback, BodyOf(Get("/GoogleContactphoto")));
}

TEST_F(Dispatch, PicturesAreServedFromThePictureFolderOnly) {
  std::string root = PictureRoot();
  std::string folder = root + "/a@x.example/recv/attachments/b@y.example";
  koMakeFolders(folder.c_str(), 0755, nullptr);
  const std::string png("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16);
  WriteFile(folder + "/report 1.pdf.extralarge", png);

  std::string answer = Get("/a@x.example/recv/attachments/b@y.example/report%201.pdf.extralarge");
  EXPECT_EQ(0u, answer.find("HTTP/1.1 200 OK\r\n"));
  EXPECT_EQ("image/png", HeaderOf(answer, "Content-type"));
  EXPECT_EQ(png, BodyOf(answer));
  EXPECT_EQ(png, BodyOf(Get("/a%40x.example/recv/attachments/b@y.example/report+1.pdf.extralarge")));
  std::string etag = HeaderOf(answer, "ETag");
  ASSERT_GT(etag.size(), 2u);
  EXPECT_EQ(0u, Get("/a@x.example/recv/attachments/b@y.example/report+1.pdf.extralarge",
                    "If-None-Match: " + etag + "\r\n")
                    .find("HTTP/1.0 304 Not Modified\r\n"));

  // Ways out of the folder, and things in it that are no pictures.
  std::string home = home_.path();
  WriteFile(home + "/secret.png", "secret");
  WriteFile(root + "-twin", "twin");
  symlink((home + "/secret.png").c_str(), (root + "/link.png").c_str());
  symlink(home.c_str(), (root + "/dirlink").c_str());
  for (const char* target :
       {"/..%2f..%2fetc%2fpasswd", "/../../etc/passwd", "/%2e%2e/%2e%2e/etc/passwd",
        "/%2E%2E%2F%2E%2E%2Fetc%2Fpasswd", "/a@x.example/../../secret.png",
        "/a@x.example/%2e%2e/%2e%2e/secret.png", "/..", "/..%2f", "/..%5c..%5csecret.png",
        "/link.png", "/dirlink/secret.png", "/..%2f7B3D9E51-2C84-4A6F-9E07-D5A1C8B42F96-twin",
        "/a@x.example", "/a@x.example/recv/", "/nosuch.png",
        "/%2fetc%2fpasswd"}) {
    EXPECT_EQ(kNotFound, Get(target)) << target;
  }
}

// The request as another user of this machine would send it: from a child
// process that became nobody. Only system calls run in the child.
std::string ExchangeAsNobody(int port, const std::string& request) {
  int out[2];
  if (pipe(out) != 0) return "pipe failed";
  pid_t child = fork();
  if (child == 0) {
    close(out[0]);
    if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) _exit(2);
    int fd = ConnectTo(port);
    if (fd < 0) _exit(3);
    size_t done = 0;
    while (done < request.size()) {
      ssize_t n = send(fd, request.data() + done, request.size() - done, MSG_NOSIGNAL);
      if (n <= 0) _exit(4);
      done += static_cast<size_t>(n);
    }
    static char buffer[65536];
    for (;;) {
      ssize_t n = recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      if (write(out[1], buffer, static_cast<size_t>(n)) != n) _exit(5);
    }
    _exit(0);
  }
  close(out[1]);
  std::string answer;
  char buffer[4096];
  for (;;) {
    ssize_t n = read(out[0], buffer, sizeof buffer);
    if (n <= 0) break;
    answer.append(buffer, static_cast<size_t>(n));
  }
  close(out[0]);
  int status = 0;
  waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "child failed";
  return answer;
}

TEST_F(Dispatch, AnotherUserGetsTheAcrossSessionPageButThePixel) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
  std::string across =
      "HTTP/1.1 200 OK\r\nCache-Control: no-cache\r\nPragma: no-cache\r\nExpires: 0\r\n\r\n" +
      SourceFile("web/acrosssession.html");
  std::string host = "Host: 127.0.0.1:" + std::to_string(port_) + "\r\n";
  EXPECT_EQ(across, ExchangeAsNobody(port_, "GET /index.html HTTP/1.1\r\n" + host + "\r\n"));
  EXPECT_EQ(across, ExchangeAsNobody(port_, "GET /?_object=NoSuch HTTP/1.0\r\n\r\n"));
  std::string pixel = ExchangeAsNobody(port_, "GET /pv-one-pixel.png HTTP/1.0\r\n\r\n");
  EXPECT_EQ("image/png", HeaderOf(pixel, "Content-type"));
  EXPECT_EQ(SourceFile("web/pv-one-pixel.png"), BodyOf(pixel));
  EXPECT_NE(std::string::npos, Log().find("Warning: Request across session"));

  // The server's own user is served as before.
  EXPECT_EQ(SourceFile("web/index.html"), BodyOf(Get("/index.html")));
}

TEST_F(Dispatch, ForeignHostsAndOriginsAreRefused) {
  std::string p = std::to_string(port_);
  std::string other = std::to_string(port_ + 1);
  for (const std::string& host : std::vector<std::string>
       {std::string("evil.example"), "evil.example:" + p, "127.0.0.1:" + other,
        "127.0.0.1.evil.example", "localhost.evil.example:" + p, "127.0.0.1:", "[::1]:" + p,
        "127.0.0.1:" + p + "0"}) {
    EXPECT_EQ(kForbidden, Exchange(port_, "GET /index.html HTTP/1.1\r\nHost: " + host +
                                              "\r\n\r\n"))
        << host;
  }
  EXPECT_NE(std::string::npos, Log().find("Request refused: foreign Host evil.example"));
  for (const std::string& host : std::vector<std::string>{"127.0.0.1", "127.0.0.1:" + p, "localhost:" + p,
                                  std::string("LocalHost")}) {
    EXPECT_EQ(kUnknown, Exchange(port_, "GET /?_object=NoSuch HTTP/1.1\r\nHost: " + host +
                                            "\r\n\r\n"))
        << host;
  }

  for (const std::string& origin : std::vector<std::string>
       {std::string("http://evil.example"), std::string("null"), "http://127.0.0.1:" + other,
        "https://127.0.0.1:" + p, "http://127.0.0.1:" + p + ".evil.example",
        std::string("chrome-extension"), std::string("http://localhost.evil.example")}) {
    EXPECT_EQ(kForbidden, Post("/?_object=PrefMgr", "Origin: " + origin + "\r\n")) << origin;
  }
  for (const std::string& origin : std::vector<std::string>
       {"http://127.0.0.1:" + p, "http://localhost:" + p,
        std::string("chrome-extension://hdlheflidpohcjiefeogmcljhkkndkge"),
        std::string("moz-extension://6a1c2f00-0000-4000-8000-000000000000")}) {
    EXPECT_EQ(kUnknown, Post("/?_object=PrefMgr", "Origin: " + origin + "\r\n")) << origin;
  }
  // Reading is guarded by Host; a GET is not refused for its Origin.
  EXPECT_EQ(kUnknown, Get("/?_object=NoSuch", "Origin: http://evil.example\r\n"));
}

}  // namespace
