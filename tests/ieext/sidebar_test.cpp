// The side bar as the browser meets it: opened by the stand-in browser next
// to a running (or absent) program, as a band with its site, and with its
// hooks into the pages the browser window loads.
#include <gtest/gtest.h>
#include <time.h>

#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "app/web/program_fixture.h"
#include "ieext/hostobjects.h"
#include "platform/desktop/instance.h"
#include "platform/desktop/window.h"
#include "platform/os/module.h"
#include "support/files.h"
#include "support/registry.h"

namespace {

const CLSID kSideBar = koGuid("{5A1C7E20-3B44-4F0D-9C61-2E8B7D4A9F13}");
const char kWebmail[] = "mail.google.com";

std::string Library() { return std::string(getenv("PV_BUILD_DIR")) + "/extension/msie/IEPostvane.dll"; }

size_t Count(const std::string& text, const std::string& piece) {
  return programtest::Count(text, piece);
}

// The library loaded in this process, its bar opened by a host of ours.
class BarTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(nullptr, getenv("PV_BUILD_DIR"));
    ASSERT_EQ(1, module_.Load(Library().c_str())) << module_.Error();
    get_ = reinterpret_cast<koDllGetClassObjectFn>(module_.Symbol(kDllGetClassObject));
    can_unload_ = reinterpret_cast<koDllEntryFn>(module_.Symbol(kDllCanUnloadNow));
    ASSERT_NE(nullptr, get_);
  }
  void TearDown() override {
    host_.reset();
    koReleaseSingleInstance();
  }
  std::string DataDir() const { return home_.path() + "/.config/Brantlow/Postvane"; }
  std::string LowDir() const { return home_.path() + "/.local/state/Brantlow/Postvane"; }
  // The program's rendezvous, held by this test as the program would.
  void ProgramRuns() {
    std::filesystem::create_directories(DataDir());
    ASSERT_EQ(kInstanceFirst, koClaimSingleInstance("PostvaneWindowClass", DataDir().c_str(), nullptr));
  }
  void WriteIni(const std::string& dir, const std::string& text) {
    std::filesystem::create_directories(dir);
    pvtest::WriteFile(dir + "/postvane.ini", text);
  }
  iehost::Host& Open() {
    host_.reset(new iehost::Host());
    EXPECT_EQ(S_OK, host_->OpenBar(get_, kSideBar));
    return *host_;
  }
  template <class T>
  T* Bar(REFIID iid) {
    T* out = nullptr;
    EXPECT_EQ(S_OK, host_->bar->QueryInterface(iid, reinterpret_cast<void**>(&out)));
    if (out != nullptr) out->Release();  // the host's reference keeps it
    return out;
  }

  PrivateHome home_;
  koModule module_;
  koDllGetClassObjectFn get_ = nullptr;
  koDllEntryFn can_unload_ = nullptr;
  std::unique_ptr<iehost::Host> host_;
};

TEST_F(BarTest, ThePagesAreTheFilesTheyAreBuiltFrom) {
  const char* source = getenv("PV_SOURCE_DIR");
  ASSERT_NE(nullptr, source);
  const struct {
    const char* type;
    int id;
    const char* file;
    const char* holds;
  } resources[] = {
      {"HTML", 103, "start.html", "Loading..."},
      {"HTML", 226, "notrunning.html", "This extension needs Postvane to be running"},
      {"SCRIPT", 203, "pagescript.js", "function PostvaneGetActiveEmail()"},
  };
  for (const auto& r : resources) {
    SCOPED_TRACE(r.file);
    std::string bytes;
    ASSERT_EQ(1, koLoadResource("IEPostvane.dll", r.type, r.id, bytes));
    EXPECT_EQ(pvtest::ReadFile(std::string(source) + "/src/ieext/res/" + r.file), bytes);
    EXPECT_NE(std::string::npos, bytes.find(r.holds));
  }
  std::string none = "left";
  EXPECT_EQ(0, koLoadResource("IEPostvane.dll", "HTML", 203, none));
  EXPECT_EQ("", none);
  EXPECT_EQ(0, koLoadResource("IEPostvane.dll", "SCRIPT", 999, none));
  EXPECT_EQ(0, koLoadResource("NotLoaded.dll", "HTML", 103, none));
}

TEST_F(BarTest, ThePortComesFromTheSharedIniFile) {
  const struct {
    const char* name;
    const char* low;      // the low-integrity copy; null: none
    const char* roaming;  // the roaming copy; null: none
    bool low_folder_blocked;
    int port;
  } cases[] = {
      {"the low-integrity copy", "[GENERAL]\nPort=41234\n", "[GENERAL]\nPort=41999\n", false, 41234},
      {"only the roaming copy, no low-integrity folder", nullptr, "[GENERAL]\nPort=41235\n", true, 41235},
      {"no ini file", nullptr, nullptr, false, 40000},
      {"not a number", "[GENERAL]\nPort=abc\n", nullptr, false, 40000},
      {"digits and more", "[GENERAL]\nPort=4123x\n", nullptr, false, 40000},
      {"out of range", "[GENERAL]\nPort=70000\n", nullptr, false, 40000},
      {"empty", "[GENERAL]\nPort=\n", nullptr, false, 40000},
  };
  ProgramRuns();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(home_.path() + "/.local");
    std::filesystem::remove(DataDir() + "/postvane.ini");
    if (c.low_folder_blocked) {
      std::filesystem::create_directories(home_.path() + "/.local");
      pvtest::WriteFile(home_.path() + "/.local/state", "");
    }
    if (c.low != nullptr) WriteIni(LowDir(), c.low);
    if (c.roaming != nullptr) WriteIni(DataDir(), c.roaming);
    time_t before = time(nullptr);
    std::string lines = Open().Take();
    time_t after = time(nullptr);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(lines, m, std::regex(
        "navigate http://127\\.0\\.0\\.1:(\\d+)/extension\\.html\\?ver=1\\.89 Beta&t=(\\d+)\n")))
        << lines;
    EXPECT_EQ(std::to_string(c.port), m[1].str());
    EXPECT_GE(std::stol(m[2].str()), before);
    EXPECT_LE(std::stol(m[2].str()), after);
  }
}

TEST_F(BarTest, BandAnswers) {
  iehost::Host& host = Open();
  IDeskBand* band = host.bar;
  const uint32_t all = DBIM_MINSIZE | DBIM_MAXSIZE | DBIM_INTEGRAL | DBIM_ACTUAL | DBIM_TITLE |
                       DBIM_MODEFLAGS | DBIM_BKCOLOR;
  const struct {
    uint32_t mask;
    uint32_t mask_after;
    POINTL min, max, integral, actual;
    const char* title;
    uint32_t flags;
  } cases[] = {
      {all, all & ~DBIM_BKCOLOR, {100, 206}, {-1, -1}, {1, 1}, {0, 0}, "Postvane", DBIMF_VARIABLEHEIGHT},
      {DBIM_TITLE, DBIM_TITLE, {7, 7}, {7, 7}, {7, 7}, {7, 7}, "Postvane", 7},
      {DBIM_MINSIZE | DBIM_BKCOLOR, DBIM_MINSIZE, {100, 206}, {7, 7}, {7, 7}, {7, 7}, "x", 7},
      {0, 0, {7, 7}, {7, 7}, {7, 7}, {7, 7}, "x", 7},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mask);
    DESKBANDINFO info;
    info.dwMask = c.mask;
    info.ptMinSize = info.ptMaxSize = info.ptIntegral = info.ptActual = POINTL{7, 7};
    info.wszTitle[0] = u'x';
    info.wszTitle[1] = 0;
    info.dwModeFlags = 7;
    EXPECT_EQ(S_OK, band->GetBandInfo(3, 1, &info));
    EXPECT_EQ(c.mask_after, info.dwMask);
    const POINTL* got[] = {&info.ptMinSize, &info.ptMaxSize, &info.ptIntegral, &info.ptActual};
    const POINTL* want[] = {&c.min, &c.max, &c.integral, &c.actual};
    for (int i = 0; i < 4; ++i) {
      EXPECT_EQ(want[i]->x, got[i]->x) << i;
      EXPECT_EQ(want[i]->y, got[i]->y) << i;
    }
    EXPECT_EQ(c.title, iehost::Utf8(info.wszTitle));
    EXPECT_EQ(c.flags, info.dwModeFlags);
  }
  EXPECT_EQ(E_INVALIDARG, band->GetBandInfo(0, 0, nullptr));
  EXPECT_EQ(E_NOTIMPL, band->ContextSensitiveHelp(1));
  EXPECT_EQ(E_NOTIMPL, band->ResizeBorderDW(nullptr, nullptr, 0));
  koWindowId window = 0;
  EXPECT_EQ(S_OK, band->GetWindow(&window));
  EXPECT_NE(0u, window);

  IPersistStreamInit* persist = Bar<IPersistStreamInit>(IID_IPersistStreamInit);
  CLSID clsid = {};
  EXPECT_EQ(S_OK, persist->GetClassID(&clsid));
  EXPECT_TRUE(clsid == kSideBar);
  EXPECT_EQ(S_FALSE, persist->IsDirty());

  // Focus: the bar tells its site; window messages reach it through the
  // control's keyboard side when the control does not take them.
  IInputObject* input = Bar<IInputObject>(IID_IInputObject);
  iehost::Control* control = host.control_hosts.back()->control.get();
  host.Take();
  EXPECT_EQ(S_OK, input->UIActivateIO(1, nullptr));
  EXPECT_EQ(S_OK, input->UIActivateIO(0, nullptr));
  EXPECT_EQ("focus in\n", host.Take());
  EXPECT_EQ(S_FALSE, input->HasFocusIO());
  const struct {
    uint32_t message;
    HRESULT control_answer;
    const char* lines;
  } messages[] = {
      {kMsgSetFocus, S_FALSE, "accelerator 7\nfocus in\n"},
      {kMsgKillFocus, S_FALSE, "accelerator 8\nfocus out\n"},
      {kMsgParentNotify, S_FALSE, "accelerator 528\nfocus in\n"},
      {kMsgSetFocus, S_OK, "accelerator 7\n"},
  };
  for (const auto& m : messages) {
    control->accelerator_answer = m.control_answer;
    MSG msg{window, m.message, 0, 0};
    EXPECT_EQ(S_OK, input->TranslateAcceleratorIO(&msg));
    EXPECT_EQ(m.lines, host.Take());
  }

  // Events other than the two it handles, and malformed ones.
  IDispatch* events = Bar<IDispatch>(IID_IDispatch);
  DISPPARAMS none = {nullptr, nullptr, 0, 0};
  EXPECT_EQ(DISP_E_UNKNOWNINTERFACE, events->Invoke(DISPID_QUIT, IID_IDispatch, 0, 1, &none, nullptr, nullptr, nullptr));
  EXPECT_EQ(DISP_E_PARAMNOTOPTIONAL, events->Invoke(DISPID_QUIT, IID_NULL, 0, 1, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(DISP_E_MEMBERNOTFOUND, events->Invoke(250, IID_NULL, 0, 1, &none, nullptr, nullptr, nullptr));
  EXPECT_EQ(DISP_E_PARAMNOTOPTIONAL,
            events->Invoke(DISPID_DOCUMENTCOMPLETE, IID_NULL, 0, 1, &none, nullptr, nullptr, nullptr));

  // The browser quits and the bar closes: every reference comes back.
  EXPECT_EQ(S_FALSE, can_unload_());
  host.CloseBar();
  EXPECT_EQ("", host.StillHeld());
  EXPECT_EQ(S_OK, can_unload_());
  EXPECT_EQ("unadvise 1\nexternal cleared\n", host.Take());
}

TEST_F(BarTest, ASiteWithoutWhatTheBarNeedsIsRefused) {
  const struct {
    const char* name;
    bool window, focus, services, controls;
    HRESULT hr;
  } cases[] = {
      {"no window", false, true, true, true, E_FAIL},
      {"no browser controls", true, true, true, false, E_FAIL},
      {"no focus site", true, false, true, true, E_NOINTERFACE},
      {"no services", true, true, false, true, E_FAIL},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    iehost::Host host;
    host.site.has_window = c.window;
    host.site.has_focus_site = c.focus;
    host.site.has_services = c.services;
    host.site.has_control_host = c.controls;
    EXPECT_EQ(c.hr, host.OpenBar(get_, kSideBar));
    host.CloseBar();
    EXPECT_EQ("", host.StillHeld());
    EXPECT_EQ(S_OK, can_unload_());
  }
  // Letting go of the site keeps what the browser's quit releases.
  iehost::Host& host = Open();
  IObjectWithSite* with_site = Bar<IObjectWithSite>(IID_IObjectWithSite);
  EXPECT_EQ(S_OK, with_site->SetSite(nullptr));
  EXPECT_NE("", host.StillHeld());
  host.CloseBar();
  EXPECT_EQ("", host.StillHeld());
}

// The page hooks on the host's documents: what a page completing gives.
TEST_F(BarTest, TheWebmailPageGetsTheScriptOnce) {
  std::string script;
  ASSERT_EQ(1, koLoadResource("IEPostvane.dll", "SCRIPT", 203, script));
  const std::string injected = "attach onpropertychange to document frame";
  const struct {
    const char* name;
    const char* location;
    const char* setting;  // Webmail_Host in the shared ini file; null: none
    bool frame;
    int heads;
    bool broken_lookup;
    bool script;        // a script element in the first head
    bool asked;         // the page was asked for the address
  } cases[] = {
      {"the web-mail host", kWebmail, nullptr, true, 1, false, true, true},
      {"in another letter case", "Mail.Google.COM", nullptr, true, 1, false, true, true},
      {"another host", "mail.example.test", nullptr, true, 1, false, false, false},
      {"another host set as the web-mail host", "mail.example.test", "mail.example.test", true, 1,
       false, true, true},
      {"the default host when another is set", kWebmail, "mail.example.test", true, 1, false, false,
       false},
      {"no web-mail frame", kWebmail, nullptr, false, 1, false, false, false},
      {"a failing id lookup counts as injected", kWebmail, nullptr, true, 1, true, false, false},
      {"two heads: the first", kWebmail, nullptr, true, 2, false, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(home_.path() + "/.local");
    if (c.setting != nullptr) WriteIni(LowDir(), std::string("[GENERAL]\nWebmail_Host=") + c.setting + "\n");
    iehost::Host& host = Open();
    host.Take();
    iehost::Document* page = host.LoadPage(c.location, c.frame, c.heads, false);
    page->broken_id_lookup = c.broken_lookup;
    host.Complete(false);
    host.Complete(true);
    std::string lines = host.Take();
    EXPECT_EQ(c.script ? 1u : 0u, page->heads[0]->children.size()) << lines;
    if (c.script) {
      EXPECT_EQ("pvIEScript", page->heads[0]->children[0]->id);
      EXPECT_EQ("<script defer>", page->heads[0]->children[0]->tag);
      EXPECT_EQ(script, page->heads[0]->children[0]->text);
      EXPECT_EQ(1u, page->window->frames["canvas_frame"]->document->Handlers("onpropertychange"));
    }
    for (size_t h = 1; h < page->heads.size(); ++h) EXPECT_TRUE(page->heads[h]->children.empty());
    EXPECT_EQ(c.script ? 1u : 0u, Count(lines, injected)) << lines;
    EXPECT_EQ(c.asked ? 1u : 0u, Count(lines, "call PostvaneGetActiveEmail")) << lines;

    // The same page again, and one of its frames: nothing new.
    host.Complete(true);
    host.Complete(false);
    lines = host.Take();
    EXPECT_EQ(c.script ? 1u : 0u, page->heads[0]->children.size());
    EXPECT_EQ(0u, Count(lines, "attach")) << lines;
    EXPECT_EQ(c.asked ? 1u : 0u, Count(lines, "call PostvaneGetActiveEmail")) << lines;

    // A reload is a new document: the script goes in again.
    iehost::Document* reloaded = host.LoadPage(c.location, c.frame, c.heads);
    EXPECT_EQ(c.script || c.broken_lookup ? 1u : 0u, reloaded->heads[0]->children.size());
    host.CloseBar();
    EXPECT_EQ("", host.StillHeld());
  }
}

TEST_F(BarTest, TheExtensionPageHearsTheAddressAsTheScriptGaveIt) {
  const struct {
    const char* name;
    VARTYPE type;
    const char* answer;
    const char* script;  // null: no call
  } cases[] = {
      {"an address in quotes", VT_BSTR, "\"bob@example.com\"",
       "pvwidget.HandleContextChange('\"bob@example.com\"');"},
      {"an empty answer", VT_BSTR, "", nullptr},
      {"a null answer", VT_NULL, "", nullptr},
      {"no answer", VT_EMPTY, "", nullptr},
      {"a quote", VT_BSTR, "o'brien@x.test", "pvwidget.HandleContextChange('o\\'brien@x.test');"},
      {"breaking out", VT_BSTR, "x\\');alert(1);//\n</script>\r\x01",
       "pvwidget.HandleContextChange('x\\\\\\');alert(1);//\\n\\x3C/script>\\r\\x01');"},
      {"line separators", VT_BSTR, "a\xE2\x80\xA8" "b\xE2\x80\xA9",
       "pvwidget.HandleContextChange('a\\u2028b\\u2029');"},
      {"beyond ASCII", VT_BSTR, "j\xC3\xBCrgen@b\xC3\xBC" "cher.test",
       "pvwidget.HandleContextChange('j\xC3\xBCrgen@b\xC3\xBC" "cher.test');"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    iehost::Host& host = Open();
    host.Take();
    std::string expected = c.script != nullptr ? std::string("window bar page execScript javascript ") + c.script + "\n" : "";
    // Asked when the page completes, and again when a message is opened.
    for (const char* function : {"PostvaneGetActiveEmail", "PostvaneGetActiveContextEmail"}) {
      iehost::Document* page = host.browser.document;
      if (std::string(function) == "PostvaneGetActiveEmail") {
        page = host.LoadPage(kWebmail, true, 1, false);
        page->answers[function] = {c.type, c.answer};
        host.Complete(true);
      } else {
        page->answers[function] = {c.type, c.answer};
        page->window->frames["canvas_frame"]->document->SetBodyProperty();
      }
      std::string lines = host.Take();
      size_t at = lines.rfind(std::string("call ") + function);
      ASSERT_NE(std::string::npos, at) << lines;
      EXPECT_EQ(expected, lines.substr(lines.find('\n', at) + 1)) << function;
    }
    // Once the browser quits, a late change in the page runs nothing.
    iehost::Document* page = host.browser.document;
    host.CloseBar();
    page->window->frames["canvas_frame"]->document->SetBodyProperty();
    EXPECT_EQ(std::string::npos, host.Take().find("call")) << c.name;
  }
}

// The stand-in browser next to the real program.
class BarProgramTest : public programtest::PostvaneTest {
 protected:
  void SetUp() override {
    PostvaneTest::SetUp();
    ASSERT_EQ(0, pvtest::RunChild({pvtest::BuildProgram("pvregsvr"), "/s", Library()}));
  }
  // The host's lines up to and including the one that starts with last.
  std::string ReadUntil(pvtest::Spawned& host, const std::string& last) {
    std::string lines;
    for (std::string line = host.ReadLine();; line = host.ReadLine()) {
      lines += line + "\n";
      if (line.compare(0, last.size(), last) == 0 || line.empty()) return lines;
    }
  }
  pvtest::TestRegistry registry_{home_.path() + "/registry"};
};

TEST_F(BarProgramTest, TheBarShowsTheProgramsPageOrWaitsForIt) {
  const std::string page = "http://127.0.0.1:" + std::to_string(port_) + "/extension.html?ver=1.89 Beta";
  {
    // The program runs: its page, with the time.
    pvtest::Spawned program({Program()});
    ASSERT_TRUE(pvtest::WaitFor([&] { return Serving(); }));
    time_t before = time(nullptr);
    int code = -1;
    std::string lines = pvtest::RunForOutput({build_ + "/tests/iehost"}, &code);
    EXPECT_EQ(0, code);
    // The start page first, then the program's page with the time, served.
    size_t start = lines.find("control res://IEPostvane.dll/103\n");
    size_t go = lines.find("\nnavigate " + page + "&t=");
    size_t served = lines.find("\nserved HTTP/1.1 200 OK\npage Postvane\n");
    ASSERT_NE(std::string::npos, start) << lines;
    ASSERT_NE(std::string::npos, go) << lines;
    ASSERT_NE(std::string::npos, served) << lines;
    EXPECT_LT(start, go);
    EXPECT_LT(go, served);
    long t = atol(lines.c_str() + go + page.size() + 13);
    EXPECT_GE(t, before);
    EXPECT_LE(t, time(nullptr));
    EXPECT_NE(std::string::npos, lines.find("window 1 held 0\n")) << lines;
    TerminateInOrder(program);
  }
  // It does not run: the waiting page, which retries to no avail until it
  // runs. (A new version's first window opens the bar again.)
  std::filesystem::remove(home_.path() + "/.local/state/Brantlow/Postvane/postvane.ini");
  pvtest::Spawned host({build_ + "/tests/iehost", "--stay"});
  std::string lines = ReadUntil(host, "page Postvane - Start");
  EXPECT_NE(std::string::npos, lines.find("navigate res://IEPostvane.dll/226\n")) << lines;
  std::string answer = host.Ask("retry");
  EXPECT_EQ("external Retry 0x00000000\nok\n", answer + "\n" + ReadUntil(host, "ok"));
  pvtest::Spawned program({Program()});
  ASSERT_TRUE(pvtest::WaitFor([&] { return Serving(); }));
  answer = host.Ask("retry");
  EXPECT_EQ("navigate " + page + "\nexternal Retry 0x00000000\nserved HTTP/1.1 200 OK\npage Postvane\n",
            answer + "\n" + ReadUntil(host, "page"));
  EXPECT_EQ("ok", host.ReadLine());
  EXPECT_EQ("unadvise 1", host.Ask("close"));
  EXPECT_EQ(0, host.WaitExit(5000));
  TerminateInOrder(program);
}

}  // namespace
