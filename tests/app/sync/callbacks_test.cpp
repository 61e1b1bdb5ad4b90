// The mail library's callbacks: status rules, sign-in names, XLIST replies
// and proxy settings.
#include "app/sync/callbacks.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "app/sync/mail_fixture.h"

namespace {

using CallbacksTest = MailTest;

TEST(ParseXlistReplyTest, Table) {
  const struct {
    const char* text;
    int found;
    const char* name;
    int kind;
  } kCases[] = {
      {R"((\HasNoChildren \AllMail) "/" "[Gmail]/All Mail")", 1, "[Gmail]/All Mail", kFolderAllMail},
      {R"((\HasNoChildren \Spam) "/" "[Gmail]/Spam")", 1, "[Gmail]/Spam", kFolderSpam},
      {R"((\HasNoChildren \Trash) "/" "[Gmail]/Bin")", 1, "[Gmail]/Bin", kFolderTrash},
      {R"((\hasnochildren \ALLMAIL) "/" "any case")", 1, "any case", kFolderAllMail},
      {R"((\HasNoChildren \Trash \Marked) "/" "Bin")", 1, "Bin", kFolderTrash},
      {R"((\HasNoChildren \AllMail) "/" "a \"quoted\" \\ name" )", 1, R"(a "quoted" \ name)", kFolderAllMail},
      // A folder with children, or without a special attribute, is none.
      {R"((\HasChildren \AllMail) "/" "Parent")", 0, "", 0},
      {R"((\AllMail \HasNoChildren) "/" "Other order")", 0, "", 0},
      {R"((\HasNoChildren) "/" "INBOX")", 0, "", 0},
      // Forms the provider does not send name nothing.
      {R"((\HasNoChildren \AllMail) "." "dot")", 0, "", 0},
      {R"((\HasNoChildren \AllMail) "/" unquoted)", 0, "", 0},
      {R"((\HasNoChildren \AllMail) "/" "")", 0, "", 0},
      {R"((\HasNoChildren \AllMail))", 0, "", 0},
      {"", 0, "", 0},
  };
  for (const auto& c : kCases) {
    koString name;
    int kind = 0;
    EXPECT_EQ(c.found, ParseXlistReply(c.text, name, &kind)) << c.text;
    if (!c.found) continue;
    EXPECT_STREQ(c.name, name.GetString()) << c.text;
    EXPECT_EQ(c.kind, kind) << c.text;
  }
}

TEST(MailLoginUserNameTest, Table) {
  const struct {
    const char* field;
    const char* user;
  } kCases[] = {
      {"someone@example.com", "someone@example.com"},
      // A stored address without a domain gets "@" appended by the indexer.
      {"someone@", "someone"},
      {"someone", "someone"},
      // A further "@" part (once the password) is no part of the name.
      {"someone@example.com@c2VjcmV0", "someone@example.com"},
      {"someone@@c2VjcmV0", "someone"},
      {"", ""},
  };
  for (const auto& c : kCases) {
    koString user;
    MailLoginUserName(c.field, user);
    EXPECT_STREQ(c.user, user.GetString()) << c.field;
  }
}

TEST_F(CallbacksTest, LoginTakesTheNameFromTheMailboxAndThePasswordFromTheThread) {
  NETMBX mb;
  memset(&mb, 0, sizeof(mb));
  strcpy(mb.user, "someone@example.com");
  char user[MAILTMPLEN];
  char password[MAILTMPLEN];
  std::string secret(1000, 'p');
  SetMailLoginPassword(koString(secret.c_str()));
  mm_login(&mb, user, password, 0);
  EXPECT_STREQ("someone@example.com", user);
  EXPECT_EQ(secret, password);

  // The credential belongs to the thread that set it.
  std::thread other([&mb] {
    char otherUser[MAILTMPLEN];
    char otherPassword[MAILTMPLEN] = "untouched";
    mm_login(&mb, otherUser, otherPassword, 0);
    EXPECT_STREQ("", otherPassword);
  });
  other.join();

  // The library's buffer bounds the password.
  SetMailLoginPassword(koString(std::string(3000, 'q').c_str()));
  mm_login(&mb, user, password, 0);
  EXPECT_EQ(std::string(MAILTMPLEN - 1, 'q'), password);

  ClearMailLoginPassword();
  mm_login(&mb, user, password, 0);
  EXPECT_STREQ("", password);
}

TEST_F(CallbacksTest, WarningsReplaceTheStatusAndAlertsLoseTheirPrefix) {
  SetStatus("Indexing");
  mm_log(const_cast<char*>("[ALERT] Web login required"), WARN);
  EXPECT_EQ("Web login required", Status());
  EXPECT_NE(std::string::npos, LogText().find("ErrCode:-1 ErrMsg:[WARN]: [ALERT] Web login required")) << LogText();

  mm_log(const_cast<char*>("[alert]Lower case"), WARN);
  EXPECT_EQ("Lower case", Status());
  mm_log(const_cast<char*>("Plain warning"), WARN);
  EXPECT_EQ("Plain warning", Status());
  // A bare prefix leaves nothing to show: no status, no record.
  mm_log(const_cast<char*>("[ALERT]"), WARN);
  EXPECT_EQ("Plain warning", Status());
}

TEST_F(CallbacksTest, ErrorsReplaceOnlyAnEmptyOrConnectingStatus) {
  const struct {
    const char* before;
    const char* after;
  } kCases[] = {
      {"Connecting...", "Can't connect"},
      {"", "Can't connect"},
      {"Web login required", "Web login required"},
  };
  for (const auto& c : kCases) {
    SetStatus(c.before);
    mm_log(const_cast<char*>("Can't connect"), ERROR);
    EXPECT_EQ(c.after, Status()) << c.before;
  }
  EXPECT_NE(std::string::npos, LogText().find("ErrMsg:[ERROR]: Can't connect")) << LogText();

  // Other levels are neither shown nor logged.
  SetStatus("Connecting...");
  mm_log(const_cast<char*>("parse trouble"), PARSE);
  mm_log(const_cast<char*>("just so"), NIL);
  EXPECT_EQ("Connecting...", Status());
  EXPECT_EQ(std::string::npos, LogText().find("parse trouble"));
}

TEST_F(CallbacksTest, NotifiedErrorsAlwaysReplaceTheStatus) {
  SetStatus("Web login required");
  mm_notify(nullptr, const_cast<char*>("Mailbox is gone"), ERROR);
  EXPECT_EQ("[ERROR] Mailbox is gone", Status());
  EXPECT_NE(std::string::npos, LogText().find("ErrMsg:[ERROR] Mailbox is gone")) << LogText();
  mm_notify(nullptr, const_cast<char*>("Just news"), WARN);
  EXPECT_EQ("[ERROR] Mailbox is gone", Status());
}

TEST_F(CallbacksTest, XlistRepliesSetTheSpecialFolders) {
  mm_xlist(nullptr, const_cast<char*>(R"((\HasNoChildren \AllMail) "/" "[Gmail]/All Mail")"));
  mm_xlist(nullptr, const_cast<char*>(R"((\HasChildren \Spam) "/" "Parent")"));
  EXPECT_EQ("[Gmail]/All Mail", Folder(kFolderAllMail));
  EXPECT_EQ("", Folder(kFolderSpam));
}

TEST_F(CallbacksTest, ThreadsOfNoAccountWriteTheGeneralMessage) {
  std::thread request([] {
    mm_log(const_cast<char*>("Can't connect"), ERROR);
    mm_xlist(nullptr, const_cast<char*>(R"((\HasNoChildren \Spam) "/" "Elsewhere")"));
  });
  request.join();
  EXPECT_EQ("Can't connect", GeneralMessage());
  EXPECT_EQ("Connecting...", Status());
  EXPECT_EQ("", Folder(kFolderSpam));
}

TEST_F(CallbacksTest, ProxySettingsFromTheStoredRecord) {
  PROXYINFO info;
  SetProxy(kProxyDirect, "ignored", 1);
  ASSERT_EQ(1, mm_proxysettings(&info));
  EXPECT_EQ(kProxyDirect, info.type);
  EXPECT_STREQ("", info.host);

  // Credentials travel only with the secure flag.
  SetProxy(kProxyHttp, "proxy.example", 3128, 0, "user", "secret");
  ASSERT_EQ(1, mm_proxysettings(&info));
  EXPECT_EQ(kProxyHttp, info.type);
  EXPECT_STREQ("proxy.example", info.host);
  EXPECT_EQ(3128, info.port);
  EXPECT_STREQ("", info.user);
  EXPECT_STREQ("", info.password);

  SetProxy(kProxySocks5, "socks.example", 1080, 1, "user", "secret");
  ASSERT_EQ(1, mm_proxysettings(&info));
  EXPECT_EQ(kProxySocks5, info.type);
  EXPECT_STREQ("user", info.user);
  EXPECT_STREQ("secret", info.password);

  // Every text is cut to 1022 characters.
  std::string longText(2000, 'x');
  SetProxy(kProxyHttp, longText, 1, 1, longText.c_str(), longText.c_str());
  ASSERT_EQ(1, mm_proxysettings(&info));
  EXPECT_EQ(std::string(1022, 'x'), info.host);
  EXPECT_EQ(std::string(1022, 'x'), info.user);
  EXPECT_EQ(std::string(1022, 'x'), info.password);
}

TEST_F(CallbacksTest, AutomaticProxyIsResolvedFromTheSystemLookup) {
  SetImapHost("imap.example.com");
  const struct {
    const char* environment;  // http_proxy, or null for none
    int type;
    const char* host;
    int port;
  } kCases[] = {
      {nullptr, kProxyDirect, "", 0},
      {"http://127.0.0.1:3128", kProxyHttp, "127.0.0.1", 3128},
      {"socks5://proxy.example:1080", kProxySocks5, "proxy.example", 1080},
  };
  for (const auto& c : kCases) {
    if (c.environment)
      setenv("http_proxy", c.environment, 1);
    else
      unsetenv("http_proxy");
    SetProxy(kProxyAuto, "stored.example", 9, 1, "user", "secret");
    PROXYINFO info;
    ASSERT_EQ(1, mm_proxysettings(&info));
    EXPECT_EQ(c.type, info.type) << (c.environment ? c.environment : "none");
    EXPECT_STREQ(c.host, info.host);
    EXPECT_EQ(c.port, info.port);
    // The stored credentials go with a proxy found, never with a direct line.
    EXPECT_STREQ(c.type == kProxyDirect ? "" : "user", info.user);
  }
  unsetenv("http_proxy");
}

TEST(ProxyAsprintfTest, GrowsToTheFullText) {
  std::string big(20000, 'y');
  char* text = proxy_asprintf("%s:%d", big.c_str(), 42);
  ASSERT_NE(nullptr, text);
  EXPECT_EQ(big + ":42", text);
  free(text);
  text = proxy_asprintf("CONNECT %s:%d", "host", 993);
  ASSERT_NE(nullptr, text);
  EXPECT_STREQ("CONNECT host:993", text);
  free(text);
}

}  // namespace
