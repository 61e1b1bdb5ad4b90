// browsersetup: prepares the browsers for the current user when the product
// is installed or removed, and starts elevatedsetup with administrator rights
// for the machine-wide steps.
//
//   browsersetup <mode> <installdir> <version1> <version2>
//
// The four arguments go to elevatedsetup unchanged (mode 1 uninstalls). In
// both modes the user's command-bar layout gets the product's button first
// and every Chrome and Chromium profile loses the extension's stored settings.
// Exit code 0 when elevatedsetup was started, else 1 (also when the user
// refused the elevation or no agent could ask); the per-user steps run
// either way and do not change it. Nothing is logged.
#include <stdio.h>

#include "core/kfile.h"
#include "core/pathmgr.h"
#include "platform/desktop/desktop.h"
#include "platform/desktop/registry/registry.h"
#include "setup/chromeextmgr.h"
#include "setup/commandbar.h"

namespace {

const char kElevatedProgram[] = "elevatedsetup";
// The elevation wrapper's own exit codes (pkexec's).
constexpr int kWrapperDismissed = 126;
constexpr int kWrapperNotAuthorized = 127;
const char kCommandBarKey[] = "Software\\Microsoft\\Internet Explorer\\LowRegistry\\CommandBar";

// The default layouts' header (see setup/commandbar.h).
const unsigned char kHeader[kLayoutHeaderBytes] = {7, 0, 0, 0};

struct Layout {
  const char* name;
  unsigned char button;          // the product's button
  unsigned char defaults[25];    // the entries of the default layout
};

const Layout kLayouts[] = {
    {"CommandBandLayout", 105, {105, 1, 3, 8, 4, 5, 67, 6, 7, 106, 107, 108, 109,
                                110, 111, 112, 113, 114, 115, 116, 117, 118, 119, 120, 121}},
    {"ButtonLayout", 16, {105, 1, 3, 8, 4, 5, 67, 6, 7, 17, 18, 19, 20,
                          21, 22, 23, 24, 25, 32, 33, 34, 35, 36, 37, 38}},
};

void WriteDefault(koHKey key, const Layout& layout) {
  koString value;
  value.Append(reinterpret_cast<const char*>(kHeader), kLayoutHeaderBytes);
  for (unsigned char id : layout.defaults) AppendLayoutEntry(value, id);
  koRegSetValue(key, layout.name, REG_BINARY, value.GetString(), value.GetLength());
}

// A value too short for the header is no layout and gets the default.
void PutButtonFirst(koHKey key, const Layout& layout) {
  koString old;
  koString value;
  if (koRegGetValue(key, layout.name, nullptr, old) != kRegOk ||
      !LayoutWithButtonFirst(old, layout.button, value)) {
    WriteDefault(key, layout);
    return;
  }
  koRegSetValue(key, layout.name, REG_BINARY, value.GetString(), value.GetLength());
}

void UpdateCommandBar() {
  koHKey key = nullptr;
  if (koRegOpenKey(kRegCurrentUser, kCommandBarKey, kRegReadWrite, &key) != kRegOk) {
    if (koRegCreateKey(kRegCurrentUser, kCommandBarKey, &key) != kRegOk) return;
    for (const Layout& layout : kLayouts) WriteDefault(key, layout);
  } else {
    for (const Layout& layout : kLayouts) PutButtonFirst(key, layout);
  }
  koRegCloseKey(key);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    puts("Invalid number of arguments, required 5\n");
    return 1;
  }
  koString program;
  if (!PathMgr::GetExeDir(program)) return 1;
  koPathJoin(program, kElevatedProgram);
  const char* const elevated[] = {program.GetString(), argv[1], argv[2], argv[3], argv[4], nullptr};
  // The wrapper's verdict: it refuses with 126 (the user said no) or 127
  // (no agent to ask, not allowed), else it handed over to elevatedsetup,
  // which ends at once (0 or 1).
  int code = 0;
  int started = koRunElevated(elevated, &code, nullptr) && code != kWrapperDismissed &&
                code != kWrapperNotAuthorized && code < 128;

  UpdateCommandBar();
  ChromeExtMgr chrome;
  chrome.UpdateChromePreferences();
  return started ? 0 : 1;
}
