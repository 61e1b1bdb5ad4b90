// The default handler's commands through the running program: stored files
// handed to the desktop (recording stubs, or a fake file manager and portal
// on a private bus), the forced re-synchronisations against Dovecot and the
// contacts fake, and the wake, restart and version actions.
#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "peers_fixture.h"
#include "support/desktop_bus.h"

namespace {

using namespace programtest;
namespace fs = std::filesystem;

class ShowAllActionsTest : public PeersTest {
 protected:
  void TearDown() override {
    if (program_ != nullptr) TerminateInOrder(*program_);
    PeersTest::TearDown();
  }
  void StartProgram() {
    program_ = std::make_unique<pvtest::Spawned>(std::vector<std::string>{Program()});
    ASSERT_TRUE(WaitFor([&] { return Serving() && Query("SELECT COUNT(*) FROM file") == "0"; })) << Log();
  }
  std::string Root() const { return home_.path() + "/Postvane Attachments"; }
  // File 1 is a stored attachment; 2 to 4 are rows whose paths lead out of
  // the attachments folder, by "..", as an absolute path and through a link.
  void StoreFiles() {
    const std::string kPaths[] = {"a@x/recv/attachments/b c.pdf", "../outside.pdf", home_.path() + "/outside.pdf",
                                  "a@x/link/outside.pdf"};
    for (size_t i = 0; i < 4; ++i)
      Query("INSERT INTO file (id, mail_id, file_path, file_name, file_type, size, is_folder, is_inline) VALUES (" +
            std::to_string(i + 1) + ", 1, '" + kPaths[i] + "', 'x', 'pdf', 3, 0, 0)");
    fs::create_directories(Root() + "/a@x/recv/attachments");
    pvtest::WriteFile(Root() + "/a@x/recv/attachments/b c.pdf", "pdf");
    pvtest::WriteFile(home_.path() + "/outside.pdf", "pdf");
    fs::create_directory_symlink(home_.path(), Root() + "/a@x/link");
  }
  std::string Stored() const { return Root() + "/a@x/recv/attachments/b c.pdf"; }
  // "name:type" of the contacts named C..., by name.
  static std::string Contacts() {
    return Query("SELECT ifnull(group_concat(name || ':' || type, ' '), '') FROM (SELECT name, type FROM contact "
                 "WHERE name LIKE 'C%' ORDER BY name)");
  }
  std::string Status() { return Ask("_action=StatusMessage"); }
  // Wakes the threads every few seconds until done() holds (90 s at most): a
  // thread in the middle of a pass misses a wake, as when just restarted.
  bool RefreshUntil(const std::function<bool()>& done) {
    const auto end = Clock::now() + std::chrono::seconds(90);
    while (Clock::now() < end) {
      if (Ask("_action=Refresh") != "") return false;
      if (WaitFor(done, 3000)) return true;
    }
    return done();
  }
  // The new account's id, or "0".
  std::string AddAccount(const std::string& name, const std::string& password = "pw") {
    return Ask("_object=ConnectionMgr&_action=Add&email=" + name + "&password=" + password +
               "&isAllMails=1&isDownloadAttachments=1&downloadSince=0");
  }

  std::unique_ptr<pvtest::Spawned> program_;
};

// Without a desktop bus: every action starts its program with the stored
// file's full path at once; paths that lead elsewhere, and ids of no file,
// start nothing and say why.
TEST_F(ShowAllActionsTest, DesktopActionsHandTheStoredFileToItsProgram) {
  StartProgram();
  StoreFiles();
  const std::string folder = Stored().substr(0, Stored().rfind('/'));
  const std::pair<const char*, std::string> kCases[] = {
      {"Open", "xdg-open\n[" + Stored() + "]\n"},
      {"CopyPath", "xclip\n[-selection]\n[clipboard]\nin[" + Stored() + "]\n"},
      {"LOCATE", "xdg-open\n[" + folder + "]\n"},
      {"openwith", "xdg-open\n[" + Stored() + "]\n"},
  };
  for (const auto& [action, call] : kCases) {
    auto start = Clock::now();
    std::string answer = pvtest::Exchange(port_, "GET /?_action=" + std::string(action) + "&fileid=1 HTTP/1.0\r\n\r\n");
    EXPECT_EQ(0u, answer.find("HTTP/1.0 200 ")) << answer;
    EXPECT_NE(std::string::npos, answer.find("Content-Type: text/plain\r\n")) << answer;
    EXPECT_EQ(answer.size() - 4, answer.find("\r\n\r\n")) << "an empty body";
    EXPECT_TRUE(StubsHold(call)) << action << "\n" << Stubs();
    // The answer does not wait for the program it started.
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5)) << action;
  }
  for (const char* id : {"2", "3", "4", "99", "x"})
    for (const char* action : {"Open", "Locate", "CopyPath", "OpenWith"})
      EXPECT_EQ("", Ask(std::string("_action=") + action + "&fileid=" + id)) << action << id;
  // The last good action came after them all: its program ran alone.
  EXPECT_EQ("", Ask("_action=Open&fileid=1"));
  ASSERT_TRUE(WaitFor([&] { return Count(Stubs(), "xdg-open\n[" + Stored()) == 3; })) << Stubs();
  EXPECT_EQ(std::string::npos, Stubs().find("outside")) << Stubs();
  EXPECT_EQ(std::string::npos, Stubs().find("[" + Root() + "/]")) << Stubs();
  EXPECT_EQ(4u, Count(Log(), "OpenAttachment: no file with id 99"));
  EXPECT_EQ(8u, Count(Log(), "OpenAttachment: refused stored path"));
  EXPECT_EQ(4u, Count(Log(), "OpenAttachment: refused link"));
}

// With a desktop bus the file manager shows the file by its address and the
// portal offers its chooser for exactly that file.
TEST_F(ShowAllActionsTest, LocateAndOpenWithAskTheDesktopServices) {
  pvtest::PrivateBus bus;
  if (bus.address().empty()) GTEST_SKIP() << "no dbus-daemon";
  pvtest::FakeHost host(bus.address());
  ASSERT_TRUE(host.Own("org.freedesktop.FileManager1"));
  ASSERT_TRUE(host.Own("org.freedesktop.portal.Desktop"));
  env_.Set("DBUS_SESSION_BUS_ADDRESS", bus.address().c_str());
  StartProgram();
  StoreFiles();
  EXPECT_EQ("", Ask("_action=Locate&fileid=1"));
  EXPECT_EQ("", Ask("_action=OpenWith&fileid=1"));
  EXPECT_EQ("", Ask("_action=Locate&fileid=4"));
  const std::vector<std::string> kCalls = {
      "ShowItems (['file://" + Root().substr(0, Root().rfind('/')) + "/Postvane%20Attachments/a%40x/recv/"
      "attachments/b%20c.pdf'], '')",
      "OpenFile " + Stored() + " ask"};
  EXPECT_TRUE(WaitFor([&] { return host.Calls().size() >= 2; }, 2000));
  EXPECT_EQ(kCalls, host.Calls());
}

// Mail n from ann@example.org with an attachment, answering mail 1.
std::string MailWithFile(int n) {
  return "Delivered-To: alice@gmail.com\r\nFrom: Ann <ann@example.org>\r\nTo: alice@gmail.com\r\nSubject: Note " +
         std::to_string(n) + "\r\nDate: Tue, 1 Jun 2010 10:00:00 +0000\r\nMessage-ID: <f" + std::to_string(n) +
         "@example.org>\r\nIn-Reply-To: <f1@example.org>\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; "
         "boundary=b\r\n\r\n--b\r\nContent-Type: text/plain\r\n\r\nSee.\r\n--b\r\nContent-Type: "
         "application/pdf; name=f" + std::to_string(n) + ".pdf\r\nContent-Disposition: attachment\r\n\r\npdf " +
         std::to_string(n) + "\r\n--b--\r\n";
}

// A contact of the service, last changed at `updated`.
std::string ServiceContact(const std::string& id, const std::string& email,
                           const std::string& updated = "2020-01-01T00:00:00.000Z") {
  return "{\"id\": \"" + id + "\", \"title\": \"C" + id + "\", \"updated\": \"" + updated +
         "\", \"emails\": [{\"address\": \"" + email + "\", \"primary\": true}]}";
}

TEST_F(ShowAllActionsTest, DeletedMailsLeaveWithTheirRowsAndFiles) {
  std::string gone;
  for (int n = 1; n <= 3; ++n)
    ASSERT_TRUE(dovecot_.AddMessage(kAllMail, MailWithFile(n), true, 0, n == 2 ? &gone : nullptr));
  StartProgram();
  ASSERT_EQ("1", AddAccount("alice"));
  // bob's password is refused: his All Mail is never found.
  ASSERT_EQ("2", AddAccount("bob", "no"));
  ASSERT_TRUE(WaitFor([] { return Query("SELECT COUNT(*) FROM file") == "3"; }, 30000)) << Log();
  const std::string mail = Query("SELECT id FROM mail WHERE message_id LIKE '%f2@%'");
  const std::string fileId = Query("SELECT id FROM file WHERE mail_id = " + mail);
  const std::string file = Root() + "/" + Query("SELECT file_path FROM file WHERE id = " + fileId);
  const std::string kRows[] = {"mail WHERE id = " + mail, "mail_email_link WHERE mail_id = " + mail,
                               "reference_master WHERE mail_id = " + mail, "file WHERE mail_id = " + mail,
                               "fts_file WHERE rowid = " + fileId};
  for (const std::string& rows : kRows) ASSERT_NE("0", Query("SELECT COUNT(*) FROM " + rows)) << rows;
  ASSERT_TRUE(fs::exists(file));
  ASSERT_TRUE(dovecot_.RemoveMessage(kAllMail, gone));

  const struct {
    const char* account;
    const char* answer;
    const char* logged;
  } kCases[] = {{"9", "0", "Invalid Account id"}, {"2", "0", "Mailbox name is not yet retrieved"}, {"1", "1", ""}};
  for (const auto& c : kCases) {
    EXPECT_EQ(c.answer, Ask(std::string("_action=SyncDeletedMails&accountid=") + c.account)) << c.account;
    EXPECT_NE(std::string::npos, Log().find(c.logged)) << c.account;
  }
  for (const std::string& rows : kRows) EXPECT_EQ("0", Query("SELECT COUNT(*) FROM " + rows)) << rows;
  EXPECT_EQ("2 2 2", Query("SELECT (SELECT COUNT(*) FROM mail) || ' ' || (SELECT COUNT(*) FROM file) || ' ' || "
                           "(SELECT COUNT(*) FROM fts_file)"));
  EXPECT_FALSE(fs::exists(file));

  // Both threads run again: new mail and a new contact arrive on a wake.
  ASSERT_TRUE(dovecot_.AddMessage(kAllMail, MailWithFile(4)));
  ASSERT_TRUE(contacts_.SetScript("{\"users\": {\"alice@gmail.com\": \"pw\"}, \"contacts\": [" +
                                  ServiceContact("1", "zed@example.org", "2030-01-01T00:00:00.000Z") + "]}"));
  EXPECT_TRUE(RefreshUntil([] { return MailCount(1) == 3 && Contacts() == "C1:1"; })) << Log();
}

TEST_F(ShowAllActionsTest, ForcedContactSyncKeepsExactlyWhatTheFeedHolds) {
  AddMail(1);
  auto serve = [&](const std::string& contacts, const std::string& more = "") {
    ASSERT_TRUE(contacts_.SetScript("{\"users\": {\"alice@gmail.com\": \"pw\"}, \"contacts\": [" + contacts + "]" +
                                    more + "}"));
  };
  const std::string c1 = ServiceContact("1", "zed@example.org"), c2 = ServiceContact("2", "ann@example.org"),
                    c10 = ServiceContact("10", "kim@example.org");
  serve(c1 + "," + c2 + "," + c10);
  StartProgram();
  ASSERT_EQ("1", AddAccount("alice"));
  ASSERT_TRUE(WaitFor([] { return MailCount(1) == 1 && Contacts() == "C1:1 C10:1 C2:1"; }, 30000)) << Log();

  // c1's id is a part of c10's: only an exact match keeps a contact. c2 is
  // named by mail and stays as a local contact.
  const struct {
    std::string more;
    const char* answer;
    const char* contacts;
  } kCases[] = {
      {", \"bodies\": {\"contacts\": \"<other/>\"}", "0", "C1:1 C10:1 C2:1"},
      {", \"total_results\": {\"contacts\": 30}", "0", "C1:1 C10:1 C2:1"},
      {"", "1", "C10:1 C2:0"},
  };
  for (const auto& c : kCases) {
    serve(c10, c.more);
    EXPECT_EQ(c.answer, Ask("_action=ForceSyncContacts&accountid=1")) << c.more;
    EXPECT_EQ(c.contacts, Contacts()) << c.more;
  }
  EXPECT_NE(std::string::npos, Log().find("Contacts feed cut short: no contact removed"));
  // The threads run again.
  serve(c10 + "," + ServiceContact("20", "lu@example.org", "2030-01-01T00:00:00.000Z"));
  EXPECT_TRUE(RefreshUntil([] { return Contacts() == "C10:1 C2:0 C20:1"; })) << Log();
}

// A forced sync that waits for a silent contacts service when the program
// is told to end: the shut-down keeps its bound and its order, and the
// request is cut off with the process, never against deleted objects.
TEST_F(ShowAllActionsTest, ARequestHeldBySilentContactsAcrossTermination) {
  AddMail(1);
  StartProgram();
  ASSERT_EQ("1", AddAccount("alice"));
  // The contact thread's own pass is over before the service goes silent.
  ASSERT_TRUE(WaitFor([&] { return MailCount(1) == 1 && contacts_.Count("GET /m8/feeds/contacts/") > 0; }, 30000))
      << Log();
  ASSERT_TRUE(contacts_.SetScript(R"({"users": {"alice@gmail.com": "pw"}, "hold": "/m8/feeds/contacts/"})"));
  const int held = contacts_.Count("GET /m8/feeds/contacts/");
  std::thread request([&] { Ask("_action=ForceSyncContacts&accountid=1"); });
  bool waiting = WaitFor([&] { return contacts_.Count("GET /m8/feeds/contacts/") > held; });
  if (waiting) TerminateInOrder(*program_);
  program_.reset();
  pvtest::WriteFile(contacts_.Dir() + "/release", "");
  request.join();
  ASSERT_TRUE(waiting) << Log();
  EXPECT_NE(std::string::npos, Log().find("1 requests outlived the server's stop")) << Log();
}

TEST_F(ShowAllActionsTest, RefreshRetryAndVersion) {
  // The mail service refuses the password the contacts service takes.
  ASSERT_TRUE(contacts_.SetScript(R"({"users": {"alice@gmail.com": "no"}})"));
  StartProgram();
  ASSERT_EQ("1", AddAccount("alice", "no"));
  const std::string kError = "\"ConnectionStatusMsg\":\"Error: Click for details\"";
  const struct {
    const char* query;
    std::vector<std::string> shown;  // what the status may be right after
  } kCases[] = {
      {"_action=Refresh", {"Error: Click for details"}},
      {"_action=Refresh&reconnect=1", {"Connecting..."}},
      // Cleared; the restarted threads may already say they are connecting.
      {"_action=Retry", {"", "Connecting..."}},
  };
  for (const auto& c : kCases) {
    ASSERT_TRUE(WaitFor([&] { return Status().find(kError) != std::string::npos; }, 30000)) << Status();
    EXPECT_EQ("", Ask(c.query));
    std::string status = Status();
    bool expected = false;
    for (const std::string& shown : c.shown)
      expected = expected || status.find("\"ConnectionStatusMsg\":\"" + shown + "\"") != std::string::npos;
    EXPECT_TRUE(expected) << c.query << ": " << status;
  }
  std::string answer = pvtest::Exchange(port_, "GET /?_action=GetVersion HTTP/1.0\r\n\r\n");
  EXPECT_NE(std::string::npos, answer.find("Content-Type: text/html")) << answer;
  EXPECT_EQ("1.89 Beta", answer.substr(answer.find("\r\n\r\n") + 4));
}

// Retry against adding and deleting one address for 30 s: every request is
// answered, no change ever meets threads it did not expect, and none is left
// for the deleted address (woken, it would read that address's contacts).
TEST_F(ShowAllActionsTest, RetryNeverLeavesThreadsOfADeletedAccount) {
  StartProgram();
  ASSERT_EQ("1", AddAccount("bob"));
  std::atomic<bool> stop{false};
  std::atomic<int> unanswered{0}, rounds{0};
  auto loop = [&](std::function<bool()> step) {
    return std::thread([&, step] {
      for (; !stop; ++rounds)
        if (!step()) ++unanswered;
    });
  };
  std::thread retry = loop([&] { return Ask("_action=Retry").empty(); });
  std::thread change = loop([&] {
    std::string added = AddAccount("alice");
    std::string id = added == "0" ? Query("SELECT id FROM account WHERE email = 'alice@gmail.com'") : added;
    return Ask("_object=ConnectionMgr&_action=Delete&accountId=" + id).find("<no answer") == std::string::npos;
  });
  std::this_thread::sleep_for(std::chrono::seconds(30));
  stop = true;
  retry.join();
  change.join();
  EXPECT_EQ(0, unanswered.load()) << "of " << rounds.load();
  EXPECT_GT(rounds.load(), 20);
  // An add that finds threads running for its address met a leftover.
  EXPECT_EQ(0u, Count(Log(), "Unable to start mail extraction service"));
  std::string alice = Query("SELECT id FROM account WHERE email = 'alice@gmail.com'");
  if (!alice.empty()) Ask("_object=ConnectionMgr&_action=Delete&accountId=" + alice);

  auto reads = [&](const std::string& who) { return contacts_.Count("GET /m8/feeds/contacts/" + who + "/"); };
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const int before = reads("alice@gmail.com"), bob = reads("bob@gmail.com");
  ASSERT_TRUE(RefreshUntil([&] { return reads("bob@gmail.com") > bob; }));
  std::this_thread::sleep_for(std::chrono::seconds(1));
  EXPECT_EQ(before, reads("alice@gmail.com"));
}

}  // namespace
