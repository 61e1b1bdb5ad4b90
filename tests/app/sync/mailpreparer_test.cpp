// Parsing ahead of the walk: each message comes back as the walk would have
// parsed it, in the walk's order, and nothing the walk passed by or never
// asked for is handed back or kept.
#include "app/sync/mailpreparer.h"

#include <gtest/gtest.h>

#include <string>

#include "core/kstring.h"
#include "core/kthread.h"
// Last: the mail library's headers define min and max as macros.
#include "mail_fixture.h"

namespace {

char* LibraryText(const std::string& text) { return cpystr(const_cast<char*>(text.c_str())); }

std::string Mail(int n, bool delivered = true) {
  return std::string(delivered ? "Delivered-To: me@example.com\r\n" : "") + "From: Ann <ann@example.org>\r\n" +
         "Subject: number " + std::to_string(n) + "\r\n\r\nbody\r\n";
}

TEST(MailPreparer, HandsBackEachMessageParsedInTheWalksOrder) {
  MailPreparer preparer("me@example.com");
  ASSERT_EQ(1, preparer.Start());
  koEvent stop;
  for (uint32_t uid : {9u, 8u, 7u, 6u}) {
    std::string text = Mail(uid, uid != 7);
    ASSERT_EQ(1, preparer.Submit(uid, 1, LibraryText(text), text.size()));
  }
  EXPECT_EQ(1, preparer.IsSubmitted(8, 1));
  EXPECT_EQ(0, preparer.IsSubmitted(8, 0));
  MailPreparer::Prepared out;
  // Never handed over.
  EXPECT_EQ(0, preparer.Take(5, 1, out, &stop));
  // 9 is passed by: dropped on the way to 8.
  ASSERT_EQ(1, preparer.Take(8, 1, out, &stop));
  koString subject;
  out.message->GetSubject(subject);
  EXPECT_STREQ("number 8", subject.GetString());
  EXPECT_EQ(0, preparer.IsSubmitted(9, 1));
  ASSERT_EQ(1, preparer.Take(7, 1, out, &stop));
  EXPECT_EQ(1, out.undelivered);
  EXPECT_EQ(nullptr, out.message);
  // The whole message was handed over, not its header; it stays until it
  // is passed by or the preparer goes.
  EXPECT_EQ(0, preparer.Take(6, 0, out, &stop));
  EXPECT_EQ(1, preparer.IsSubmitted(6, 1));
}

TEST(MailPreparer, RoomIsBoundedAndTheRestIsFreedWithIt) {
  MailPreparer preparer("me@example.com");
  ASSERT_EQ(1, preparer.Start());
  std::string text = Mail(1);
  size_t taken = 0;
  for (uint32_t uid = 1000; uid > 0 && preparer.HasRoom(text.size()); --uid, ++taken)
    ASSERT_EQ(1, preparer.Submit(uid, 0, LibraryText(text), text.size()));
  EXPECT_EQ(MailPreparer::kMaxAhead, taken);
  char* refused = LibraryText(text);
  EXPECT_EQ(0, preparer.Submit(1, 0, refused, text.size()));
  fs_give(reinterpret_cast<void**>(&refused));
  // One large text always fits when nothing waits; then nothing more does.
  MailPreparer fresh("me@example.com");
  ASSERT_EQ(1, fresh.Start());
  EXPECT_EQ(1, fresh.HasRoom(MailPreparer::kMaxAheadBytes * 2));
  // Not started: the text stays the caller's.
  MailPreparer idle("me@example.com");
  char* kept = LibraryText(text);
  EXPECT_EQ(0, idle.Submit(1, 0, kept, text.size()));
  fs_give(reinterpret_cast<void**>(&kept));
}

}  // namespace
