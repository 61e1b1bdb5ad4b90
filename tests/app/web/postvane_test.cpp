// The program as a whole, run as a child process in a private HOME with
// recording stubs first on PATH: start-up, the single instance, the first-run
// page, the ordered shut-down on SIGTERM and on the tray's Exit, the tray's
// menu and clicks, and the desktop messages of the main window.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <string>

#include "program_fixture.h"
#include "support/registry.h"

namespace {

using programtest::Count;
using programtest::PostvaneTest;
using pvtest::WaitFor;

TEST_F(PostvaneTest, StartsServesRefusesASecondInstanceAndStopsOnTerm) {
  pvtest::Spawned first({Program()});
  ASSERT_TRUE(first.Started());
  ASSERT_TRUE(WaitFor([&] { return Serving(); })) << Log();
  EXPECT_NE(std::string::npos, Log().find("ErrCode:0 ErrMsg:Started"));
  ASSERT_TRUE(StubsHold(Url("initialize.html")));

  // A second start opens the running instance's page and ends at once.
  pvtest::Spawned second({Program()});
  ASSERT_TRUE(second.Started());
  EXPECT_EQ(0, second.WaitExit(kExitMs));
  EXPECT_TRUE(StubsHold("[" + Url("index.html") + "]"));
  EXPECT_TRUE(Serving());
  EXPECT_EQ(1u, Count(Log(), "ErrMsg:Started"));

  TerminateInOrder(first);

  // The same version again: no first-run page this time.
  pvtest::Spawned again({Program()});
  ASSERT_TRUE(WaitFor([&] { return Serving(); })) << Log();
  TerminateInOrder(again);
  EXPECT_EQ(1u, Count(Stubs(), Url("initialize.html")));
}

TEST_F(PostvaneTest, TrayMenuClicksAndExit) {
  pvtest::Spawned probe({Probe()});
  ASSERT_TRUE(probe.Started());
  ASSERT_TRUE(WaitFor([&] { return Serving(); })) << Log();
  EXPECT_EQ("menu 0 Launch|Preferences|Open Attachments Folder|Help||Exit|", probe.Ask("right-click"));
  EXPECT_EQ("ok", probe.Ask("double-click"));
  ASSERT_TRUE(StubsHold(Url("index.html?t=")));
  EXPECT_TRUE(std::regex_search(Stubs(), std::regex(std::regex_replace(
      Url("index.html"), std::regex("[.?]"), "\\$&") + "\\?t=[0-9]+\\]")))
      << Stubs();
  EXPECT_EQ("adds 2", probe.Ask("host-restart"));
  EXPECT_EQ("menu 0 Launch|Preferences|Open Attachments Folder|Help||Exit|", probe.Ask("right-click"));

  EXPECT_EQ("ok", probe.Ask("choose 105"));
  EXPECT_EQ("exit 0", probe.ReadLine());
  EXPECT_EQ(0, probe.WaitExit(kExitMs)) << Log();
  ExpectStoppedInOrder();
}

TEST_F(PostvaneTest, RefusedTrayIconEndsTheProgramInOrder) {
  env_.Set("PV_PROBE_FAIL_TRAY", "1");
  pvtest::Spawned probe({Probe()});
  ASSERT_TRUE(probe.Started());
  EXPECT_EQ("exit 0", probe.ReadLine());
  EXPECT_EQ(0, probe.WaitExit(kExitMs)) << Log();
  EXPECT_NE(std::string::npos, Log().find("ErrMsg:SystemTray::Create"));
  ExpectStoppedInOrder();
}

TEST_F(PostvaneTest, DesktopMessagesReachTheirProgramsWithThePath) {
  // The desktop's default for the file's type is a program that takes %f.
  std::string apps = home_.path() + "/.local/share/applications";
  std::filesystem::create_directories(apps);
  pvtest::WriteFile(apps + "/viewer.desktop",
                    "[Desktop Entry]\nType=Application\nExec=viewer --view %f\n");
  env_.Set("PV_STUB_DEFAULT", "viewer.desktop");
  pvtest::Spawned probe({Probe()});
  ASSERT_TRUE(probe.Started());
  ASSERT_TRUE(WaitFor([&] { return Serving(); })) << Log();
  const std::string path = home_.path() + "/Postvane Attachments/a@x/recv/attachments/b c.pdf";
  const std::string folder = path.substr(0, path.rfind('/'));
  const std::pair<int, std::string> kCalls[] = {
      {11, "viewer\n[--view]\n[" + path + "]\n"},
      {12, "xdg-open\n[" + folder + "]\n"},
      {13, "xclip\n[-selection]\n[clipboard]\nin[" + path + "]\n"},
      {14, "xdg-open\n[" + path + "]\n"},
  };
  for (const auto& [message, call] : kCalls) {
    EXPECT_EQ("posted 1", probe.Ask("post " + std::to_string(message) + " " + path));
    EXPECT_TRUE(StubsHold(call)) << message << "\n" << Stubs();
  }

  // The log shortcut hands the log file to the same desktop default.
  std::string answer = pvtest::Exchange(port_, "GET /?_object=ShowLog HTTP/1.0\r\n\r\n");
  EXPECT_EQ("1", answer.substr(answer.find("\r\n\r\n") + 4));
  EXPECT_TRUE(StubsHold("viewer\n[--view]\n[" + data_dir_ + "/postvane.log]\n")) << Stubs();
  TerminateInOrder(probe);
}

// The add-on request (the main window's message 15) starts the registration
// program through the elevation wrapper; the request's answer is whether it
// started, and the registry shows what it did.
TEST_F(PostvaneTest, AddOnRequestRegistersAndRemovesTheBrowserLibrary) {
  // A program folder laid out as installed.
  namespace fs = std::filesystem;
  const std::string app = home_.path() + "/app";
  fs::create_directories(app + "/bin");
  fs::create_directories(app + "/extension/msie");
  fs::copy_file(Probe(), app + "/bin/postvane_probe");
  fs::copy_file(build_ + "/bin/pvregsvr", app + "/bin/pvregsvr");
  fs::copy_file(build_ + "/extension/msie/IEPostvane.dll", app + "/extension/msie/IEPostvane.dll");
  fs::create_directory_symlink(build_ + "/res", app + "/res");
  pvtest::TestRegistry registry(home_.path() + "/registry");
  stubs_.Add("runas", "exec \"$@\"\n");
  env_.Set("PV_RUNAS", "runas");
  pvtest::Spawned probe({app + "/bin/postvane_probe"});
  ASSERT_TRUE(probe.Started());
  ASSERT_TRUE(WaitFor([&] { return Serving(); })) << Log();

  const std::string helper =
      "[HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Browser Helper Objects\\"
      "{8D2F4B61-7C09-4E35-A1B8-6F3E2C9D0A47}]";
  const std::string words = "[" + app + "/bin/../extension/msie/IEPostvane.dll]\n[runasadmin]\n";
  EXPECT_EQ("answer 1", probe.Ask("send 15 1"));
  EXPECT_TRUE(StubsHold("runas\n[" + app + "/bin/pvregsvr]\n[/s]\n" + words)) << Stubs();
  EXPECT_TRUE(WaitFor([&] { return registry.Dump().find(helper) != std::string::npos; }))
      << registry.Dump();
  EXPECT_EQ("answer 1", probe.Ask("send 15 0"));
  EXPECT_TRUE(StubsHold("runas\n[" + app + "/bin/pvregsvr]\n[/s]\n[/u]\n" + words)) << Stubs();
  EXPECT_TRUE(WaitFor([&] { return registry.Dump().find(helper) == std::string::npos; }))
      << registry.Dump();

  // Without the registration program the request answers 0 and says why.
  fs::remove(app + "/bin/pvregsvr");
  EXPECT_EQ("answer 0", probe.Ask("send 15 1"));
  EXPECT_NE(std::string::npos, Log().find("ShellExecuteEx failed"));

  TerminateInOrder(probe);
}

}  // namespace
