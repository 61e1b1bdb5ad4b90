#include "app/web/requestdispatch.h"

#include <sys/stat.h>

#include <algorithm>
#include <string>

#include "core/kplatform.h"
#include "web_fixture.h"

namespace {

using namespace webtest;

const char kRedirect[] = "HTTP/1.0 302 Found\r\nLocation: /index.html\r\n\r\n";
const char kNotFound[] = "HTTP/1.0 404 Not Found\r\n\r\n";
const char kForbidden[] = "HTTP/1.0 403 Forbidden\r\n\r\n";

using Dispatch = ServerTest;

TEST_F(Dispatch, RouteTableMatchesObjectNamesExactly) {
  EXPECT_EQ(kUnknown, Exchange(port_, "GET /?_object=NoSuch HTTP/1.0\r\n\r\n"));
  // Case matters.
  for (const char* name : {"showall", "ShowAll%20", "prefmgr", "connectionmgr", "contactreqhandler"})
    EXPECT_EQ(kUnknown, Get(std::string("/?_object=") + name + "&_action=List")) << name;
  for (const char* name : {"PrefMgr", "ContactReqHandler"})
    EXPECT_EQ(kRedirect, Get(std::string("/?_object=") + name + "&_action=List")) << name;
  // Row 0 serves a missing or empty object; an action it does not know
  // goes to the start page.
  EXPECT_EQ(kRedirect, Get("/?_action=NoSuchAction"));
  EXPECT_EQ(kRedirect, Get("/?_object=&_action=NoSuchAction"));
  // Only GET is static: a POST to a page goes to the table.
  EXPECT_EQ(kRedirect, Post("/index.html"));
  EXPECT_EQ(kRedirect, Exchange(port_, "HEAD /index.html HTTP/1.0\r\n\r\n"));
}

TEST_F(Dispatch, StorePagesCarryValidatorsAndAnswer304OnlyForWhatExists) {
  std::string page = SourceFile("web/index.html");
  struct stat info;
  ASSERT_EQ(0, stat((std::string(getenv("PV_SOURCE_DIR")) + "/web/index.html").c_str(), &info));
  long mtime = static_cast<long>(info.st_mtime);
  std::string answer = Get("/index.html");
  EXPECT_EQ(0u, answer.find("HTTP/1.1 200 OK\r\n")) << answer;
  EXPECT_NE(std::string::npos, answer.find("\r\nServer:Postvane1.89 Beta\r\n"));
  EXPECT_EQ("\"" + std::to_string(mtime) + "\"", HeaderOf(answer, "ETag"));
  EXPECT_NE("<none>", HeaderOf(answer, "Last-Modified"));
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
  // A resource the store does not hold is never "not modified".
  EXPECT_EQ(kNotFound, Get("/nosuch.html", "If-None-Match: \"99999999999\"\r\n"));
  EXPECT_EQ(kNotFound, Get("/nosuch.html", "If-None-Match: \"\"\r\n"));
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
  mkdir(SummaryPath().substr(0, SummaryPath().rfind('/')).c_str(), 0755);
  ASSERT_EQ("", SqliteQuery(SummaryPath(),
                            "CREATE TABLE contact_photo (contact_id INTEGER PRIMARY KEY, photo BLOB);"
                            "INSERT INTO contact_photo VALUES (5, x'FFD8FFE000104A4649460070686F746F'),"
                            " (6, NULL), (8, x'')"));

  EXPECT_EQ("HTTP/1.1 200 OK\r\nConnection: close\r\nContent-type: image/jpeg\r\n\r\n" + jpeg,
            Get("/GoogleContactphoto?id=5"));
  for (const char* id : {"6", "7", "8", "x"})
    EXPECT_EQ(fallback, BodyOf(Get(std::string("/GoogleContactphoto?id=") + id))) << id;
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

TEST_F(Dispatch, AnotherUserGetsTheAcrossSessionPageButThePixel) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
  std::string across =
      "HTTP/1.1 200 OK\r\nCache-Control: no-cache\r\nPragma: no-cache\r\nExpires: 0\r\n\r\n" +
      SourceFile("web/acrosssession.html");
  std::string host = "Host: 127.0.0.1:" + std::to_string(port_) + "\r\n";
  EXPECT_EQ(across, Exchange(port_, "GET /index.html HTTP/1.1\r\n" + host + "\r\n", true));
  EXPECT_EQ(across, Exchange(port_, "GET /?_object=NoSuch HTTP/1.0\r\n\r\n", true));
  // The image's name opens nothing else.
  for (const std::string method : {"GET", "POST"}) {
    EXPECT_EQ(across, Exchange(port_, method + " /pv-one-pixel.png?_object=NoSuch HTTP/1.0\r\n\r\n", true));
    EXPECT_EQ(across, Exchange(port_, method + " /pv-one-pixel.png/x HTTP/1.0\r\n\r\n", true));
  }
  EXPECT_EQ(across, Exchange(port_, "POST /pv-one-pixel.png HTTP/1.0\r\n\r\n", true));
  std::string pixel = Exchange(port_, "GET /pv-one-pixel.png HTTP/1.0\r\n\r\n", true);
  EXPECT_EQ("image/png", HeaderOf(pixel, "Content-type"));
  EXPECT_EQ(SourceFile("web/pv-one-pixel.png"), BodyOf(pixel));
  EXPECT_NE(std::string::npos, Log().find("Warning: Request across session"));

  // The server's own user is served as before.
  EXPECT_EQ(SourceFile("web/index.html"), BodyOf(Get("/index.html")));
}

TEST_F(Dispatch, ForeignHostsAndOriginsAreRefused) {
  const std::string p = std::to_string(port_), other = std::to_string(port_ + 1);
  const std::string foreignHosts[] = {"evil.example", "evil.example:" + p, "127.0.0.1:" + other,
                                      "127.0.0.1.evil.example", "localhost.evil.example:" + p,
                                      "127.0.0.1:", "[::1]:" + p, "127.0.0.1:" + p + "0"};
  for (const std::string& host : foreignHosts) {
    EXPECT_EQ(kForbidden, Exchange(port_, "GET /index.html HTTP/1.1\r\nHost: " + host + "\r\n\r\n"))
        << host;
    // However the colon is written.
    EXPECT_EQ(kForbidden, Exchange(port_, "GET /index.html HTTP/1.1\r\nHost:" + host + "\r\n\r\n"))
        << host;
    EXPECT_EQ(kForbidden, Exchange(port_, "GET /index.html HTTP/1.1\r\nhost \t: " + host + "\r\n\r\n"))
        << host;
  }
  EXPECT_NE(std::string::npos, Log().find("Request refused: foreign Host evil.example"));
  for (const std::string& host :
       {std::string("127.0.0.1"), "127.0.0.1:" + p, "localhost:" + p, std::string("LocalHost")})
    EXPECT_EQ(kUnknown, Exchange(port_, "GET /?_object=NoSuch HTTP/1.1\r\nHost: " + host + "\r\n\r\n"))
        << host;

  // An origin is ours only with our scheme, host and port.
  const std::string foreignOrigins[] = {"http://evil.example", "null", "http://127.0.0.1:" + other,
                                        "https://127.0.0.1:" + p, "http://127.0.0.1:" + p + ".evil.example",
                                        "chrome-extension", "http://localhost.evil.example",
                                        "http://127.0.0.1", "http://localhost",
                                        // Only our extension, exactly: no other one, of any browser.
                                        "evil-extension://abc", "chrome-extension://abc",
                                        "moz-extension://6a1c2f00-0000-4000-8000-000000000000",
                                        "chrome-extension://hdlheflidpohcjiefeogmcljhkkndkge.evil",
                                        "chrome-extension://hdlheflidpohcjiefeogmcljhkkndkge/",
                                        "chrome-extension://hdlheflidpohcjiefeogmcljhkkndkgeX"};
  for (const std::string& origin : foreignOrigins)
    EXPECT_EQ(kForbidden, Post("/?_object=NoSuch", "Origin: " + origin + "\r\n")) << origin;
  const std::string ownOrigins[] = {"http://127.0.0.1:" + p, "http://localhost:" + p,
                                    "chrome-extension://hdlheflidpohcjiefeogmcljhkkndkge"};
  for (const std::string& origin : ownOrigins)
    EXPECT_EQ(kUnknown, Post("/?_object=NoSuch", "Origin: " + origin + "\r\n")) << origin;
}

// What a browser says about a request decides whether it may read or change
// anything: the handler table, the photos and the pictures. Pages stay open
// to every site, but no other site may frame them.
TEST_F(Dispatch, RequestsOfOtherSitesReachNoHandlerPhotoOrPicture) {
  koMakeFolders((PictureRoot() + "/a@x.example/recv").c_str(), 0755, nullptr);
  WriteFile(PictureRoot() + "/a@x.example/recv/report.pdf.small", "png bytes");
  struct Route {
    std::string target;
    std::string answer;  // when the request may go on
  } routes[] = {
      {"/?_object=NoSuch", kUnknown},
      {"/GoogleContactphoto?id=1", SourceFile("web/images/pv-contact-default-image.png")},
      {"/a@x.example/recv/report.pdf.small", "png bytes"},
  };
  const std::string refused[] = {"Sec-Fetch-Site: cross-site", "Sec-Fetch-Site: same-site",
                                 "Sec-Fetch-Site: SAME-SITE", "Origin: http://evil.example",
                                 "Origin: null", "Origin: http://127.0.0.1",
                                 "Sec-Fetch-Site: same-origin\r\nOrigin: http://evil.example"};
  const std::string allowed[] = {"", "Sec-Fetch-Site: same-origin", "Sec-Fetch-Site: none",
                                 "Origin: http://127.0.0.1:" + std::to_string(port_)};
  // Every refusal in a second of its own, so that none folds.
  gLog->SetClock([] {
    static int64_t now = 0;
    return now += 1000;
  });
  for (const Route& route : routes) {
    for (const std::string& header : refused) {
      size_t records = Log().size();
      EXPECT_EQ(kForbidden, Get(route.target, header + "\r\n")) << route.target << " " << header;
      // One record, naming what was refused.
      std::string added = Log().substr(records);
      EXPECT_EQ(1, std::count(added.begin(), added.end(), '\n')) << added;
      EXPECT_NE(std::string::npos, added.find("Request refused: foreign ")) << added;
    }
    for (const std::string& header : allowed) {
      std::string answer = Get(route.target, header.empty() ? "" : header + "\r\n");
      EXPECT_EQ(route.answer, route.answer == kUnknown ? answer : BodyOf(answer))
          << route.target << " " << header;
    }
  }
  // A page of the store is open to every site; as a frame only to our own
  // pages and our browser extension.
  std::string page = Get("/index.html", "Sec-Fetch-Site: cross-site\r\n");
  EXPECT_EQ(SourceFile("web/index.html"), BodyOf(page));
  std::string policy = HeaderOf(page, "Content-Security-Policy");
  EXPECT_NE(std::string::npos, policy.find("script-src 'self';")) << policy;
  EXPECT_EQ("frame-ancestors 'self' chrome-extension://hdlheflidpohcjiefeogmcljhkkndkge",
            policy.substr(std::min(policy.size(), policy.find("frame-ancestors"))));
  EXPECT_EQ("<none>", HeaderOf(Get("/pv-one-pixel.png"), "Content-Security-Policy"));
}

TEST_F(Dispatch, HeaderTextCannotForgeALogRecord) {
  size_t records = Log().size();
  EXPECT_EQ(kForbidden, Exchange(port_, std::string("GET / HTTP/1.1\r\nHost: evil\x1bX [1.89 Beta] "
                                                    "[2026-01-01 00:00:00] forged\x7fmore%00end\r\n\r\n")));
  std::string added = Log().substr(records);
  EXPECT_EQ(1, std::count(added.begin(), added.end(), '\n')) << added;
  EXPECT_NE(std::string::npos, added.find("evil\\x1BX [1.89 Beta]")) << added;
  EXPECT_NE(std::string::npos, added.find("forged\\x7Fmore%00end")) << added;
  // A line break of its own kind ends no line: the head is refused, and the
  // record names why without repeating the text.
  records = Log().size();
  EXPECT_EQ("HTTP/1.0 400 Bad Request\r\n\r\n",
            Exchange(port_, "GET / HTTP/1.1\r\nHost: evil\nX [1.89 Beta] forged\r\n\r\n"));
  added = Log().substr(records);
  EXPECT_EQ(1, std::count(added.begin(), added.end(), '\n')) << added;
  EXPECT_NE(std::string::npos, added.find("Request refused: malformed head (bare line feed)")) << added;
  EXPECT_EQ(std::string::npos, added.find("forged")) << added;
}

}  // namespace
