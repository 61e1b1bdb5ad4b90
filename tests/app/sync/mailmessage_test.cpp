// A fetched message cut, parsed and classed as received or sent.
#include "app/sync/mailmessage.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/lsan_gio.h"
#include "support/peers.h"

#if defined(__SANITIZE_ADDRESS__)
#define PV_LEAK_CHECKED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PV_LEAK_CHECKED 1
#endif
#endif
#ifdef PV_LEAK_CHECKED
#include <sanitizer/lsan_interface.h>
#endif

extern "C" {
#include <c-client/c-client.h>
}

namespace {

std::string Fixture(const char* name) {
  const char* root = getenv("PV_SOURCE_DIR");
  std::string text = pvtest::ReadFile(std::string(root ? root : ".") + "/tests/app/sync/data/" + name);
  EXPECT_FALSE(text.empty()) << name;
  return text;
}

int DirectionOf(const char* fixture, const char* account, int noDeliveredTo) {
  MailMessage message;
  message.SetAccountEmail(account);
  std::string text = Fixture(fixture);
  message.Parse(text.data(), static_cast<uint32_t>(text.size()), noDeliveredTo);
  return message.GetDirection();
}

TEST(MailMessageTest, Direction) {
  const int kIn = MailMessage::kReceived;
  const int kOut = MailMessage::kSent;
  const struct {
    const char* fixture;
    const char* account;
    int noDeliveredTo;
    int direction;
  } kCases[] = {
      {"received.eml", "me@gmail.com", 0, kIn},
      // From is the account in another letter case.
      {"sent.eml", "me@gmail.com", 1, kOut},
      {"to_self.eml", "me@gmail.com", 0, kOut},
      // The same local part at the provider's other domain, both ways.
      {"alias.eml", "me@gmail.com", 0, kOut},
      {"to_self.eml", "ME@GoogleMail.com", 0, kOut},
      // An account elsewhere has no alias.
      {"alias.eml", "me@example.com", 0, kIn},
      // Sender is the account (exact spelling) and differs from From.
      {"sender.eml", "me@gmail.com", 0, kOut},
      {"sender_case.eml", "me@gmail.com", 0, kIn},
      // A header that opens with MIME-Version and has a Delivered-To line.
      {"sent.eml", "other@example.com", 0, kOut},
      {"sent.eml", "other@example.com", 1, kIn},
  };
  for (const auto& c : kCases)
    EXPECT_EQ(c.direction, DirectionOf(c.fixture, c.account, c.noDeliveredTo)) << c.fixture << " " << c.account;
}

TEST(MailMessageTest, PartsAndSubject) {
  MailMessage message;
  message.SetAccountEmail("me@gmail.com");
  EXPECT_EQ(nullptr, message.GetBodyStructure());
  std::string text = Fixture("multipart.eml");
  ASSERT_EQ(1, message.Parse(text.data(), static_cast<uint32_t>(text.size()), 0));

  koString subject;
  message.GetSubject(subject);
  EXPECT_STREQ("Gr\xC3\xBC\xC3\x9F" "e and caf\xC3\xA9", subject.GetString());

  koString header;
  message.GetRawText(header);
  EXPECT_EQ(text.substr(0, text.find("\r\n\r\n")), header.GetString());

  BODY* body = message.GetBodyStructure();
  ASSERT_NE(nullptr, body);
  ASSERT_EQ(TYPEMULTIPART, body->type);
  PART* first = body->nested.part;
  ASSERT_TRUE(first != nullptr && first->next != nullptr);
  koString part;
  message.GetSectionText(&first->body, part);
  EXPECT_STREQ("See the file.", part.GetString());
  PART* second = first->next;
  message.GetSectionText(&second->body, part);
  EXPECT_STREQ("JVBERi0xLjQK", part.GetString());
  message.GetPartText(&second->body, part);
  EXPECT_EQ(0, strncmp(part.GetString(), "Content-Type: application/pdf; name=\"report.pdf\"\r\n", 50))
      << part.GetString();

  // A section beyond the text (a parser's offset gone wrong) copies nothing.
  BODY stray = second->body;
  stray.contents.offset = 1u << 30;
  message.GetSectionText(&stray, part);
  EXPECT_EQ(0u, part.GetLength());
}

TEST(MailMessageTest, EdgesOfTheText) {
  MailMessage message;
  message.SetAccountEmail("me@gmail.com");
  // No empty line: all of it is header.
  const char kHeaderOnly[] = "Subject: only a header\r\nTo: me@gmail.com";
  message.Parse(kHeaderOnly, sizeof(kHeaderOnly) - 1, 0);
  koString text;
  message.GetRawText(text);
  EXPECT_STREQ(kHeaderOnly, text.GetString());
  message.GetSubject(text);
  EXPECT_STREQ("only a header", text.GetString());
  // Without From it counts as received.
  EXPECT_EQ(MailMessage::kReceived, message.GetDirection());

  // A new parse replaces everything of the last one.
  const char kNoSubject[] = "From: me@gmail.com\r\n\r\nbody";
  message.Parse(kNoSubject, sizeof(kNoSubject) - 1, 0);
  message.GetSubject(text);
  EXPECT_EQ(0u, text.GetLength());
  EXPECT_EQ(MailMessage::kSent, message.GetDirection());
}

}  // namespace

namespace {

// Shapes of real-world headers the mail library alone reads wrongly.
TEST(MailMessageTest, ObsoleteAndSloppyHeaders) {
  const struct {
    const char* header;
    const char* to;  // "mailbox@host" of every To address, ' ' between
    const char* from;  // personal|mailbox@host of From
    long date;  // seconds since 1970, from the Date field as parsed
  } kCases[] = {
      {"From: Ann <ann@example.org>\r\nTo: , a@example.org,, b@example.org,\r\n"
       "Date: Mon, 3 Jun (Monday) 2002 10 : 25 : 06 (EDT) -0400",
       "a@example.org b@example.org", "Ann|ann@example.org", 1023114306},
      {"From: Support @ Example <help@example.net>\r\nTo: c@example.org\r\nDate: Tue, 10 Mar 2009 12:00:00 +0000",
       "c@example.org", "Support @ Example|help@example.net", 1236686400},
      {"From: John Q Public jqp@example.com\r\nTo: d@example.org\r\nDate: 12 Feb 1999 23:59 (GMT) +0000",
       "d@example.org", "John Q Public|jqp@example.com", 918863940},
  };
  for (const auto& c : kCases) {
    std::string text = std::string(c.header) + "\r\nSubject: s\r\n\r\nbody";
    MailMessage message;
    message.SetAccountEmail("me@gmail.com");
    message.Parse(text.data(), static_cast<uint32_t>(text.size()), 0);
    const ENVELOPE* envelope = message.GetEnvelope();
    ASSERT_NE(nullptr, envelope) << c.header;
    std::string to;
    for (const ADDRESS* a = envelope->to; a != nullptr; a = a->next)
      to += std::string(to.empty() ? "" : " ") + (a->mailbox ? a->mailbox : "") + "@" + (a->host ? a->host : "");
    EXPECT_EQ(c.to, to) << c.header;
    ASSERT_NE(nullptr, envelope->from) << c.header;
    EXPECT_EQ(c.from, std::string(envelope->from->personal ? envelope->from->personal : "") + "|" +
                          envelope->from->mailbox + "@" + envelope->from->host)
        << c.header;
    MESSAGECACHE elt;
    memset(&elt, 0, sizeof elt);
    ASSERT_TRUE(envelope->date != nullptr &&
                mail_parse_date(&elt, reinterpret_cast<unsigned char*>(const_cast<char*>(
                                          reinterpret_cast<const char*>(envelope->date)))))
        << c.header;
    EXPECT_EQ(c.date, static_cast<long>(mail_longdate(&elt))) << c.header;
    // The header as fetched stays as it was.
    koString raw;
    message.GetRawText(raw);
    EXPECT_EQ(text.substr(0, text.find("\r\n\r\n")), raw.GetString());
  }
}

}  // namespace

namespace {

#ifdef PV_LEAK_CHECKED
// Mails on which the mail library's parser loses a few bytes of its own: a
// domain with blanks inside, words and dots for an address, and more unknown
// transfer encodings than its table of them holds.
std::vector<std::string> LibraryLeaks() {
  std::vector<std::string> texts = {"From: Me <me@googlemail\t\t.com>\r\nTo: a@example.org\r\n\r\nx",
                                    "From: a@example.org\r\nTo: so ../../etc\r\n\r\nx"};
  for (int i = 0; i < 8; ++i)
    texts.push_back("From: a@example.org\r\nMIME-Version: 1.0\r\nContent-Transfer-Encoding: x-code-" +
                    std::to_string(i) + "\r\n\r\nx");
  return texts;
}

void* volatile gDropped = nullptr;

// A leak of our own: blocks whose last pointer is overwritten.
__attribute__((noinline)) void LeakOfOurOwn() {
  for (int i = 0; i < 16; ++i) gDropped = malloc(1024);
  gDropped = nullptr;
}
#endif

// The leak check lets exactly the library's leaks pass: after those shapes
// it finds nothing, after a leak of ours it finds it.
TEST(MailMessageTest, LeakCheckLetsOnlyTheLibrarysOwnLeaksPass) {
#ifndef PV_LEAK_CHECKED
  GTEST_SKIP() << "only the sanitizer build checks leaks";
#else
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    for (const std::string& text : LibraryLeaks()) {
      MailMessage message;
      message.SetAccountEmail("me@gmail.com");
      message.Parse(text.data(), static_cast<uint32_t>(text.size()), 0);
    }
    int library = __lsan_do_recoverable_leak_check();
    LeakOfOurOwn();
    int ours = __lsan_do_recoverable_leak_check();
    _exit((library != 0 ? 1 : 0) | (ours == 0 ? 2 : 0));
  }
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  // 1: the library's leaks were reported; 2: our own leak was not.
  EXPECT_EQ(0, WEXITSTATUS(status)) << "the child's report is above";
#endif
}

}  // namespace
