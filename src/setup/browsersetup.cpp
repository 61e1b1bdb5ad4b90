// browsersetup: prepares the browsers for the current user when the product
// is installed or removed, and starts elevatedsetup with administrator rights
// for the machine-wide steps.
//
//   browsersetup <mode> <installdir> <version1> <version2>
//
// The four arguments go to elevatedsetup unchanged (mode 1 uninstalls). In
// both modes the user's command-bar layout gets the product's button first
// and every Chrome and Chromium profile loses the extension's stored settings.
// Exit code 0 when elevatedsetup was started, else 1; the per-user steps run
// either way and do not change it. Nothing is logged.
#include <stdio.h>

#include "core/kfile.h"
#include "core/pathmgr.h"
#include "platform/desktop/desktop.h"
#include "platform/desktop/registry/registry.h"
#include "setup/chromeextmgr.h"

namespace {

const char kElevatedProgram[] = "elevatedsetup";
const char kCommandBarKey[] = "Software\\Microsoft\\Internet Explorer\\LowRegistry\\CommandBar";

// Both layout values: a 4-byte header, then 4-byte entries (button id, 1, 0, 0).
constexpr uint32_t kHeaderBytes = 4;
constexpr uint32_t kEntryBytes = 4;
const unsigned char kHeader[kHeaderBytes] = {7, 0, 0, 0};

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

void AppendEntry(koString& value, unsigned char id) {
  const char entry[kEntryBytes] = {static_cast<char>(id), 1, 0, 0};
  value.Append(entry, kEntryBytes);
}

void WriteDefault(koHKey key, const Layout& layout) {
  koString value;
  value.Append(reinterpret_cast<const char*>(kHeader), kHeaderBytes);
  for (unsigned char id : layout.defaults) AppendEntry(value, id);
  koRegSetValue(key, layout.name, REG_BINARY, value.GetString(), value.GetLength());
}

// The layout with the product's button once, right after the header. Bytes
// after the last whole entry are kept as they are; a value too short for the
// header is no layout and gets the default.
void PutButtonFirst(koHKey key, const Layout& layout) {
  koString old;
  if (koRegGetValue(key, layout.name, nullptr, old) != kRegOk || old.GetLength() < kHeaderBytes) {
    WriteDefault(key, layout);
    return;
  }
  const char* bytes = old.GetString();
  koString value;
  value.Append(bytes, kHeaderBytes);
  AppendEntry(value, layout.button);
  uint32_t at = kHeaderBytes;
  for (; old.GetLength() - at >= kEntryBytes; at += kEntryBytes)
    if (static_cast<unsigned char>(bytes[at]) != layout.button) value.Append(bytes + at, kEntryBytes);
  value.Append(bytes + at, static_cast<int>(old.GetLength() - at));
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
  int started = koStartElevated(elevated, nullptr);

  UpdateCommandBar();
  ChromeExtMgr chrome;
  chrome.UpdateChromePreferences();
  return started ? 0 : 1;
}
