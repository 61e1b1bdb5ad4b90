// A stand-in for the browser that loads the side-bar library, for tests.
//
//   iehost [--refuse-bar] [--stay] [WINDOWS]
//
// Finds the helper objects the registry lists for the browser, loads their
// libraries, and opens WINDOWS windows (default 1) one after the other: for
// each it makes every helper object, hands it the window and takes the window
// back, as the browser does. A helper that asks to show a registered bar
// gets it: the bar's library is loaded, the bar made, sited, shown, and its
// pages load. When the window closes the browser quits, the bar closes and
// the window counts what the library still holds. With --refuse-bar,
// ShowBrowserBar answers E_FAIL and opens nothing.
//
// With --stay the last window stays open and commands come on standard input,
// one a line, each answered by its lines and then "ok":
//   retry                         the bar page's timer or link calls Retry
//   page HOST [frame] [heads=N]   a new top page on HOST (with the web-mail frame)
//   complete top|frame            the page completes again
//   answer FUNCTION null|none|hex:HEX|TEXT  what the page script's function
//                                 answers (hex: the text's bytes in hex)
//   click                         the web-mail frame's body property changes
//   close                         the window closes (also at the end of input)
//
// One line on standard output for each thing asked of it or seen:
//   load <library>                        a library was loaded
//   window <n>                            a window opens
//   ShowBrowserBar <clsid> show=<true|false> size=<none|given>
//   control, navigate, page, served, execScript, ...   the bar at work
//   window <n> held <references>          references the library kept (0 expected)
//   unload <S_OK|S_FALSE>                 the library's DllCanUnloadNow
// Exit codes: 0 done, 2 no helper registered, 3 a library did not load,
// 4 no class object.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "core/kstring.h"
#include "ieext/hostobjects.h"
#include "platform/desktop/registry/registry.h"
#include "platform/os/com.h"
#include "platform/os/module.h"

namespace {

const char kHelperList[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Browser Helper Objects";

bool gRefuseBar = false;

struct Library {
  CLSID clsid;
  std::unique_ptr<koModule> module;
  koDllGetClassObjectFn get_class_object = nullptr;
};

// The helpers' classes from the registry, as the browser finds them.
std::vector<std::string> RegisteredHelpers() {
  std::vector<std::string> found;
  koHKey list = nullptr;
  if (koRegOpenKey(kRegLocalMachine, kHelperList, kRegRead, &list) != kRegOk) return found;
  koString name;
  for (uint32_t i = 0; koRegEnumKey(list, i, name) == kRegOk; ++i) found.push_back(name.GetString());
  koRegCloseKey(list);
  return found;
}

// Loads the library registered for the class.
int LoadClass(const std::string& clsid_text, Library& library) {
  if (!koGuidFromText(clsid_text.c_str(), &library.clsid)) return 0;
  std::string key = "CLSID\\" + clsid_text + "\\InProcServer32";
  koHKey server = nullptr;
  koString path;
  long rc = koRegOpenKey(kRegClassesRoot, key.c_str(), kRegRead, &server);
  if (rc == kRegOk) rc = koRegGetString(server, nullptr, path);
  koRegCloseKey(server);
  if (rc != kRegOk) return 0;
  library.module.reset(new koModule());
  if (!library.module->Load(path.GetString())) {
    printf("load failed: %s\n", library.module->Error().c_str());
    return 0;
  }
  printf("load %s\n", path.GetString());
  library.get_class_object =
      reinterpret_cast<koDllGetClassObjectFn>(library.module->Symbol(kDllGetClassObject));
  return library.get_class_object != nullptr ? 1 : 0;
}

std::string FromHex(const std::string& hex) {
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes += static_cast<char>(strtol(hex.substr(i, 2).c_str(), nullptr, 16));
  return bytes;
}

void SetAnswer(iehost::Host& host, const std::string& function, const std::string& answer) {
  if (host.browser.document == nullptr) return;
  auto& slot = host.browser.document->answers[function];
  if (answer == "null")
    slot = {VT_NULL, ""};
  else if (answer == "none")
    slot = {VT_EMPTY, ""};
  else if (answer.compare(0, 4, "hex:") == 0)
    slot = {VT_BSTR, FromHex(answer.substr(4))};
  else
    slot = {VT_BSTR, answer};
}

iehost::Control* BarControl(iehost::Host& host) {
  return host.control_hosts.empty() ? nullptr : host.control_hosts.back()->control.get();
}

// Runs commands from standard input until "close" or its end.
void Commands(iehost::Host& host) {
  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream words(line);
    std::string command;
    words >> command;
    if (command == "close") break;
    if (command == "retry") {
      iehost::Control* control = BarControl(host);
      if (control == nullptr || !control->Retry()) printf("no retry on this page\n");
    } else if (command == "page") {
      std::string where, word;
      words >> where;
      bool frame = false;
      int heads = 1;
      while (words >> word) {
        if (word == "frame") frame = true;
        if (word.compare(0, 6, "heads=") == 0) heads = atoi(word.c_str() + 6);
      }
      host.LoadPage(where, frame, heads);
    } else if (command == "complete") {
      std::string which;
      words >> which;
      host.Complete(which != "frame");
    } else if (command == "answer") {
      std::string function, answer;
      words >> function;
      std::getline(words >> std::ws, answer);
      SetAnswer(host, function, answer);
    } else if (command == "click") {
      iehost::Document* top = host.browser.document;
      if (top != nullptr && !top->window->frames.empty())
        top->window->frames.begin()->second->document->SetBodyProperty();
    } else if (!command.empty()) {
      printf("unknown command %s\n", command.c_str());
    }
    host.Pump();
    printf("ok\n");
    fflush(stdout);
  }
}

}  // namespace

int main(int argc, char** argv) {
  int windows = 1;
  bool stay = false;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--refuse-bar") == 0)
      gRefuseBar = true;
    else if (strcmp(argv[i], "--stay") == 0)
      stay = true;
    else
      windows = atoi(argv[i]);
  }
  setvbuf(stdout, nullptr, _IOLBF, 0);
  std::vector<Library> helpers;
  for (const std::string& clsid : RegisteredHelpers()) {
    helpers.emplace_back();
    if (!LoadClass(clsid, helpers.back())) return 3;
  }
  if (helpers.empty()) {
    printf("no helper registered\n");
    return 2;
  }
  std::vector<Library> bars;
  for (int n = 1; n <= windows; ++n) {
    printf("window %d\n", n);
    iehost::Host host(true);
    host.browser.on_show_bar = [&](const std::string& clsid, bool show) -> HRESULT {
      if (gRefuseBar) return E_FAIL;
      if (!show || host.bar != nullptr) return S_OK;
      bars.emplace_back();
      if (!LoadClass(clsid, bars.back())) return E_FAIL;
      koGuidFromText(clsid.c_str(), &bars.back().clsid);
      HRESULT hr = host.OpenBar(bars.back().get_class_object, bars.back().clsid);
      if (FAILED(hr)) printf("bar failed: 0x%08X\n", static_cast<unsigned>(hr));
      return hr;
    };
    for (Library& helper : helpers) {
      IClassFactory* factory = nullptr;
      IObjectWithSite* object = nullptr;
      if (FAILED(helper.get_class_object(helper.clsid, IID_IClassFactory,
                                         reinterpret_cast<void**>(&factory))) ||
          FAILED(factory->CreateInstance(nullptr, IID_IObjectWithSite,
                                         reinterpret_cast<void**>(&object)))) {
        printf("no object\n");
        return 4;
      }
      factory->Release();
      object->SetSite(static_cast<IWebBrowser2*>(&host.browser));
      // The helper keeps nothing of the window between calls.
      object->SetSite(nullptr);
      object->Release();
    }
    host.Pump();
    if (stay && n == windows) Commands(host);
    host.CloseBar();
    printf("window %d held %u\n", n, host.HeldCount());
    printf("%s", host.StillHeld().c_str());
  }
  for (Library& helper : helpers) {
    koDllEntryFn can_unload = reinterpret_cast<koDllEntryFn>(helper.module->Symbol(kDllCanUnloadNow));
    printf("unload %s\n", can_unload == nullptr ? "(no entry)" : can_unload() == S_OK ? "S_OK" : "S_FALSE");
  }
  return 0;
}
