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
      // Blanks at the start of a name are part of it.
      {R"((\HasNoChildren \Spam) "/" "  Spam  ")", 1, "  Spam  ", kFolderSpam},
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
  std::thread([&mb] {
    char otherUser[MAILTMPLEN];
    char otherPassword[MAILTMPLEN] = "untouched";
    mm_login(&mb, otherUser, otherPassword, 0);
    EXPECT_STREQ("", otherPassword);
  }).join();
  // The library's buffer bounds the password.
  SetMailLoginPassword(koString(std::string(3000, 'q').c_str()));
  mm_login(&mb, user, password, 0);
  EXPECT_EQ(std::string(MAILTMPLEN - 1, 'q'), password);
  ClearMailLoginPassword();
  mm_login(&mb, user, password, 0);
  EXPECT_STREQ("", password);
}

TEST_F(CallbacksTest, WarningsAndNotifiedErrorsReplaceTheStatusOtherErrorsOnlyARoutineOne) {
  const struct {
    const char* before;
    bool notify;  // mm_notify, else mm_log
    long level;
    const char* text;
    const char* after;
  } kCases[] = {
      {"Indexing", false, WARN, "[ALERT] Web login required", "Web login required"},
      {"Indexing", false, WARN, "[alert]Lower case", "Lower case"},
      {"Indexing", false, WARN, "Plain warning", "Plain warning"},
      {"Indexing", false, WARN, "[ALERT]", "Indexing"},  // nothing left to show
      {"Connecting...", false, ERROR, "Can't connect", "Can't connect"},
      {"", false, ERROR, "Can't connect", "Can't connect"},
      {"Web login required", false, ERROR, "Can't connect", "Web login required"},
      {"Connecting...", false, PARSE, "parse trouble", "Connecting..."},
      {"Connecting...", false, NIL, "just so", "Connecting..."},
      {"Web login required", true, ERROR, "Mailbox is gone", "[ERROR] Mailbox is gone"},
      {"Web login required", true, WARN, "Just news", "Web login required"},
  };
  for (const auto& c : kCases) {
    SetStatus(c.before);
    if (c.notify)
      mm_notify(nullptr, const_cast<char*>(c.text), c.level);
    else
      mm_log(const_cast<char*>(c.text), c.level);
    EXPECT_EQ(c.after, Status()) << c.text;
  }
  std::string log = LogText();
  EXPECT_NE(std::string::npos, log.find("ErrCode:-1 ErrMsg:[WARN]: [ALERT] Web login required")) << log;
  EXPECT_NE(std::string::npos, log.find("ErrMsg:[ERROR]: Can't connect"));
  EXPECT_NE(std::string::npos, log.find("ErrMsg:[ERROR] Mailbox is gone"));
  EXPECT_EQ(std::string::npos, log.find("parse trouble"));
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
  // Credentials travel only with the secure flag.
  SetProxy(kProxyHttp, "proxy.example", 3128, 0, "user", "secret");
  ASSERT_EQ(1, mm_proxysettings(&info));
  EXPECT_EQ(kProxyHttp, info.type);
  EXPECT_STREQ("proxy.example", info.host);
  EXPECT_EQ(3128, info.port);
  EXPECT_STREQ("", info.user);
  SetProxy(kProxySocks5, "socks.example", 1080, 1, "user", "secret");
  ASSERT_EQ(1, mm_proxysettings(&info));
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

TEST(ProxyAsprintfTest, GrowsToTheFullText) {
  std::string big(20000, 'y');
  char* text = proxy_asprintf("%s:%d", big.c_str(), 42);
  ASSERT_NE(nullptr, text);
  EXPECT_EQ(big + ":42", text);
  free(text);
}

}  // namespace
