// The setup programs as an installer runs them: against a private registry,
// extension folder and home, with recording stubs for the programs they start.
#include <gtest/gtest.h>
#include <json.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/desktop/registry/registry.h"
#include "setup/chromeextmgr.h"
#include "support/files.h"
#include "support/registry.h"
#include "support/stubs.h"

namespace {

namespace fs = std::filesystem;
using pvtest::ReadFile;
using pvtest::WriteFile;
using Args = std::vector<std::string>;

const char kCommandBar[] = "Software\\Microsoft\\Internet Explorer\\LowRegistry\\CommandBar";
const std::string kId = kChromeExtensionId;
const std::string kWithMember = "{\"extensions\":{\"settings\":{\"" + kId + "\":{}}}}";
const Args kInstall = {"0", "/opt/x", "1", "89"};

// A command-bar layout: the header, an entry (id, 1, 0, 0) per id, then tail.
std::string Layout(const std::vector<int>& ids, const std::string& tail = "") {
  std::string value("\x07\0\0\0", 4);
  for (int id : ids) value += std::string{static_cast<char>(id), 1, 0, 0};
  return value + tail;
}

bool SameMeaning(const std::string& a, const std::string& b) {
  json_object* x = json_tokener_parse(a.c_str());
  json_object* y = json_tokener_parse(b.c_str());
  bool same = x != nullptr && y != nullptr && json_object_equal(x, y);
  json_object_put(x);
  json_object_put(y);
  return same;
}

class Setup : public ::testing::Test {
 protected:
  // Output of the program (a build program's name or a path), exit code in *code.
  std::string Run(const std::string& program, Args args, int* code) {
    args.insert(args.begin(), program[0] == '/' ? program : pvtest::BuildProgram(program));
    return pvtest::RunForOutput(args, code);
  }
  // A copy of the build's program alone in a folder.
  std::string Alone(const std::string& program) {
    fs::create_directories(dir_.File("alone"));
    fs::copy_file(pvtest::BuildProgram(program), dir_.File("alone/" + program));
    return dir_.File("alone/" + program);
  }
  // The stubs' records since the last call; they run detached, so none is
  // expected after a moment's wait.
  std::string Recorded(size_t lines = 1) {
    if (lines == 0) usleep(200 * 1000);
    std::string log = stubs_.WaitForLog(lines);
    fs::remove(stubs_.folder() + ".log");
    return log;
  }
  std::string Value(const char* name) {
    koHKey key = nullptr;
    koString value;
    koRegOpenKey(kRegCurrentUser, kCommandBar, kRegRead, &key);
    long rc = koRegGetValue(key, name, nullptr, value);
    koRegCloseKey(key);
    return rc == kRegOk ? std::string(value.GetString(), value.GetLength()) : "missing";
  }
  std::string Prefs(const std::string& browser, const std::string& profile) {
    fs::create_directories(home_.path() + "/.config/" + browser + "/" + profile);
    return home_.path() + "/.config/" + browser + "/" + profile + "/Preferences";
  }

  PrivateHome home_;
  pvtest::TempDir dir_;
  pvtest::StubPath stubs_{dir_.File("stubs")};
  pvtest::TestRegistry registry_{dir_.File("registry")};
  const std::string entry_ = dir_.File("ext/") + kId + ".json";
  ScopedEnv env_{{"PV_CHROME_EXTENSIONS_DIR", dir_.File("ext").c_str()}, {"PV_RUNAS", "runas"}};
};

TEST_F(Setup, ElevatedSetupRegistersTheLibraryAndPointsChromeAtThePackage) {
  stubs_.Add("pvregsvr");
  fs::create_directories(dir_.File("ext"));
  for (const char* mode : {"0", "x", "01"}) {
    bool uninstall = mode[0] == '0' && mode[1] == '1';
    WriteFile(entry_, "{}");
    int code = -1;
    EXPECT_EQ("", Run("elevatedsetup", {mode, "/opt/x", "1", "89"}, &code)) << mode;
    EXPECT_EQ(0, code);
    EXPECT_EQ(std::string("pvregsvr\n") + (uninstall ? "[/u]\n" : "") + "[/s]\n[/opt/x/msie/IEPostvane.dll]\n",
              Recorded());
    EXPECT_TRUE(fs::is_directory(dir_.File("ext")));
    json_object* entry = json_object_from_file(entry_.c_str());
    ASSERT_EQ(uninstall, entry == nullptr);
    if (uninstall) continue;
    EXPECT_STREQ("/opt/x/chrome/postvane189.crx", json_object_get_string(json_object_object_get(entry, "external_crx")));
    EXPECT_STREQ("1.89", json_object_get_string(json_object_object_get(entry, "external_version")));
    EXPECT_EQ(fs::perms(0644), fs::status(entry_).permissions());  // the browser reads it as the user
    json_object_put(entry);
  }

  // No pvregsvr on PATH or beside the program: the entry stays as it was.
  std::string alone = Alone("elevatedsetup");
  ScopedEnv path{{"PATH", "/usr/bin:/bin"}};
  WriteFile(entry_, "kept");
  for (const char* mode : {"0", "1"}) {
    int code = -1;
    EXPECT_EQ("Failed to install IE extenstion\n", Run(alone, {mode, "/opt/x", "1", "89"}, &code));
    EXPECT_EQ(1, code);
    EXPECT_EQ("kept", ReadFile(entry_));
  }
}

// The browser reads the machine-wide entry as the user, so its folder and
// file keep their modes under any umask. A build for installing ignores the
// caller's redirection: a root process never writes where its caller chose.
TEST_F(Setup, TheMachineWideEntryKeepsItsModesAndItsPlace) {
  stubs_.Add("pvregsvr");
  const std::string folder = dir_.File("ext/a/b");
  ScopedEnv deeper{{"PV_CHROME_EXTENSIONS_DIR", folder.c_str()}};
  int code = -1;
  std::string said = Run("/bin/sh", {"-c", "umask 077; exec \"$0\" \"$@\"", pvtest::BuildProgram("elevatedsetup"),
                                     "0", "/opt/x", "1", "89"}, &code);
  ASSERT_EQ(0, code) << said;
  for (const std::string& f : {dir_.File("ext"), dir_.File("ext/a"), folder})
    EXPECT_EQ(fs::perms(0755), fs::status(f).permissions()) << f;
  const std::string entry = folder + "/" + kId + ".json";
  EXPECT_EQ(fs::perms(0644), fs::status(entry).permissions());
  Recorded(3);

  const std::string installed = std::string(getenv("PV_BUILD_DIR")) + "/tests/elevatedsetup_installed";
  EXPECT_EQ("", Run(installed, {"1", "/opt/x", "1", "89"}, &code));
  EXPECT_EQ(0, code);
  EXPECT_TRUE(fs::exists(entry));
  Recorded(4);
}

TEST_F(Setup, BrowserSetupStartsElevatedSetupAndPreparesTheUserEitherWay) {
  stubs_.Add("pvregsvr");
  stubs_.Add("runas");
  for (const char* program : {"elevatedsetup", "browsersetup"}) {
    for (const Args& args : {Args{"0", "/opt/x", "1"}, Args{"0", "/opt/x", "1", "89", "extra"}}) {
      int code = -1;
      EXPECT_EQ("Invalid number of arguments, required 5\n\n", Run(program, args, &code)) << program;
      EXPECT_EQ(1, code);
    }
  }
  EXPECT_EQ("", Recorded(0));
  EXPECT_FALSE(fs::exists(dir_.File("ext")));
  EXPECT_EQ("missing", Value("ButtonLayout"));

  int code = -1;
  EXPECT_EQ("", Run("browsersetup", {"0", "/opt/my dir", "1", "89"}, &code));
  EXPECT_EQ(0, code);
  EXPECT_EQ("runas\n[" + pvtest::BuildProgram("elevatedsetup") + "]\n[0]\n[/opt/my dir]\n[1]\n[89]\n",
            Recorded());

  // Without elevatedsetup beside it: exit 1, the user's steps still done.
  WriteFile(Prefs("chromium", "Default"), kWithMember);
  EXPECT_EQ("", Run(Alone("browsersetup"), kInstall, &code));
  EXPECT_EQ(1, code);
  EXPECT_EQ(Layout({16, 105}), Value("ButtonLayout").substr(0, 12));
  EXPECT_TRUE(SameMeaning("{\"extensions\":{\"settings\":{}}}", ReadFile(Prefs("chromium", "Default"))));
  EXPECT_EQ("", Recorded(0));
}

// The elevation wrapper's verdict decides the exit code: a refusal or a
// missing agent is exit 1; a hand-over is 0 whatever elevatedsetup then
// answers. The user's steps are done in every case.
TEST_F(Setup, BrowserSetupTellsARefusedElevation) {
  stubs_.Add("pvregsvr");
  const struct {
    const char* what;
    std::string wrapper;  // after the record of its words
    int code;
    bool registered;      // elevatedsetup ran and started pvregsvr
  } kCases[] = {
      {"granted", "exec \"$@\"\n", 0, true},
      {"dismissed", "echo 'Error executing command as another user: Request dismissed' >&2; exit 126\n", 1, false},
      {"no agent", "echo 'Error executing command as another user: No authentication agent found.' >&2; exit 127\n",
       1, false},
      // elevatedsetup itself refuses the extra word: it was started all the same.
      {"granted, then failed", "exec \"$@\" extra\n", 0, false},
  };
  for (const auto& c : kCases) {
    stubs_.Add("runas", c.wrapper);
    koRegDeleteTree(kRegCurrentUser, kCommandBar);
    int code = -1;
    std::string said = Run("browsersetup", kInstall, &code);
    EXPECT_EQ(c.code, code) << c.what << ": " << said;
    // The wrapper's record, and pvregsvr's when it was started.
    std::string log = Recorded(c.registered ? 9 : 6);
    EXPECT_EQ(c.registered, log.find("pvregsvr") != std::string::npos) << c.what << ": " << log;
    EXPECT_NE("missing", Value("ButtonLayout")) << c.what;
  }
}

TEST_F(Setup, TheProductsButtonComesFirstOnceInEveryLayout) {
  stubs_.Add("runas");
  const std::string band = Layout({105, 1, 3, 8, 4, 5, 67, 6, 7, 106, 107, 108, 109, 110, 111, 112,
                                   113, 114, 115, 116, 117, 118, 119, 120, 121});
  const std::string button = Layout({105, 1, 3, 8, 4, 5, 67, 6, 7, 17, 18, 19, 20, 21, 22, 23, 24,
                                     25, 32, 33, 34, 35, 36, 37, 38});
  std::vector<int> many(2000, 9), manyAfter(1999, 9);
  many.back() = 16;
  manyAfter.insert(manyAfter.begin(), 16);
  const struct {
    std::string band, button;  // "missing": no such value; no key when both are
    std::string bandAfter, buttonAfter;
  } cases[] = {
      {"missing", "missing", band, button},
      {Layout({1, 105, 3}) + std::string("\x69\0\0\0", 4), "missing", Layout({105, 1, 3}), button},
      // Bytes past the last whole entry are kept; a value without its header is replaced.
      {std::string("\x07\0", 2), Layout({16, 1, 16}, "\x01\x02"), band, Layout({16, 1}, "\x01\x02")},
      // Far past any fixed buffer.
      {Layout({}), Layout(many), Layout({105}), Layout(manyAfter)},
  };
  for (const auto& c : cases) {
    koRegDeleteTree(kRegCurrentUser, kCommandBar);
    koHKey key = nullptr;
    if (c.band != "missing" || c.button != "missing") {
      ASSERT_EQ(kRegOk, koRegCreateKey(kRegCurrentUser, kCommandBar, &key));
    }
    if (c.band != "missing") koRegSetValue(key, "CommandBandLayout", REG_BINARY, c.band.data(), c.band.size());
    if (c.button != "missing") koRegSetValue(key, "ButtonLayout", REG_BINARY, c.button.data(), c.button.size());
    koRegCloseKey(key);
    int code = -1;
    Run("browsersetup", kInstall, &code);
    EXPECT_EQ(c.bandAfter, Value("CommandBandLayout")) << c.band.size();
    EXPECT_EQ(c.buttonAfter, Value("ButtonLayout")) << c.button.size();
  }
}

// Run by another user than root where the test is root, so that a read-only
// profile folder holds.
TEST_F(Setup, ProfilesLoseTheExtensionsSettingsAndNothingElse) {
  const struct {
    const char* profile;
    std::string before;  // "-": no file
    std::string after;   // "=": unchanged, byte for byte
  } cases[] = {
      {"Default", "{\"extensions\":{\"settings\":{\"" + kId + "\":{\"state\":1},\"o\":{}}},\"x\":[2.50,\"a\\/b\"]}",
       "{\"extensions\":{\"settings\":{\"o\":{}}},\"x\":[2.50,\"a/b\"]}"},
      {"Profile 1", "{ \"extensions\": {\"settings\": {\"o\": {}}} }\n", "="},
      {"Profile 2", kWithMember.substr(0, 40), "="},
      {"Profile 3", kWithMember + " {}", "="},
      // Not JSON as the browser writes it (a lenient reader takes it).
      {"Profile 4", "{\"n\":-0e,\"extensions\":{\"settings\":{\"" + kId + "\":{}}}}", "="},
      {"Read-only", kWithMember, "="},
      {"Crashpad", "-", "-"},
  };
  for (const char* browser : {"google-chrome", "chromium"})
    for (const auto& c : cases)
      if (c.before != "-") WriteFile(Prefs(browser, c.profile), c.before);
  Args as;
  if (geteuid() == 0) {
    as = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    ASSERT_EQ(0, chmod(home_.path().c_str(), 0755));
    for (const auto& e : fs::recursive_directory_iterator(home_.path() + "/.config"))
      ASSERT_EQ(0, chown(e.path().c_str(), 65534, 65534));
  }
  for (const char* browser : {"google-chrome", "chromium"})
    fs::permissions(fs::path(Prefs(browser, "Read-only")).parent_path(), fs::perms(0555));
  as.push_back(pvtest::BuildProgram("browsersetup"));
  as.insert(as.end(), kInstall.begin(), kInstall.end());
  int code = -1;
  pvtest::RunForOutput(as, &code);
  for (const char* browser : {"google-chrome", "chromium"}) {
    for (const auto& c : cases) {
      std::string file = Prefs(browser, c.profile);
      if (c.after == "-")
        EXPECT_FALSE(fs::exists(file)) << file;
      else
        EXPECT_TRUE(c.after == "=" ? c.before == ReadFile(file) : SameMeaning(c.after, ReadFile(file)))
            << file << ": " << ReadFile(file);
    }
    fs::path readOnly = fs::path(Prefs(browser, "Read-only")).parent_path();
    EXPECT_EQ(1, std::distance(fs::directory_iterator(readOnly), fs::directory_iterator()));
    fs::permissions(readOnly, fs::perms(0755));
  }
}

TEST_F(Setup, ARealChromiumProfileIsRewrittenWithItsMeaningKept) {
  if (access("/usr/bin/chromium", X_OK) != 0) GTEST_SKIP() << "Debian's chromium is not installed";
  const std::string file = Prefs("chromium", "Default");
  int code = -1;
  std::string said = Run("/usr/bin/timeout",
                         {"60", "/usr/bin/chromium", "--headless", "--no-sandbox", "--disable-gpu",
                          "--no-first-run", "--disable-background-networking", "--disable-component-update",
                          "--disable-sync", "--user-data-dir=" + home_.path() + "/.config/chromium",
                          "--dump-dom", "about:blank"},
                         &code);
  const std::string made = ReadFile(file);
  json_object* prefs = json_tokener_parse(made.c_str());
  json_object* settings = json_object_object_get(json_object_object_get(prefs, "extensions"), "settings");
  ASSERT_NE(nullptr, settings) << said << made;
  json_object_object_add(settings, kChromeExtensionId, json_tokener_parse("{\"state\":1,\"path\":\"/x\"}"));
  WriteFile(file, json_object_to_json_string_ext(prefs, JSON_C_TO_STRING_PRETTY));
  json_object_put(prefs);

  EXPECT_EQ(1, ChromeExtMgr().UpdateChromePreferences(fs::path(file).parent_path().c_str()));
  EXPECT_TRUE(SameMeaning(made, ReadFile(file)));
}

}  // namespace
