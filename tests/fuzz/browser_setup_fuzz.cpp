// Fuzz target: what the per-user setup rewrites. The input is a profile's
// Preferences file for ChromeExtMgr::UpdateChromePreferences, and a command
// bar layout value for LayoutWithButtonFirst. What must hold: the rewrite
// leaves the file byte for byte, or it is one JSON value equal to the old one
// without the extension's settings member; the layout keeps its header,
// holds the button exactly once, right after it, keeps every other entry
// and the bytes after the last whole one, and a second rewrite changes
// nothing.
#include <json.h>
#include <sys/stat.h>

#include <string>

#include "core/kfile.h"
#include "fuzz_support.h"
#include "setup/chromeextmgr.h"
#include "setup/commandbar.h"

using pvfuzz::Check;

namespace {

std::string ReadFile(const std::string& path) {
  koString text;
  koReadWholeFile(path.c_str(), 1u << 26, text, nullptr);
  return std::string(text.GetString(), text.GetLength());
}

// The JSON value of text when it is exactly one (blanks around allowed).
json_object* ParseWhole(const std::string& text) {
  json_tokener* tokener = json_tokener_new();
  json_object* root = json_tokener_parse_ex(tokener, text.c_str(), static_cast<int>(text.size()));
  if (root != nullptr && (json_tokener_get_error(tokener) != json_tokener_success ||
                          text.find_first_not_of(" \t\r\n", json_tokener_get_parse_end(tokener)) != std::string::npos)) {
    json_object_put(root);
    root = nullptr;
  }
  json_tokener_free(tokener);
  return root;
}

void CheckPreferences(const std::string& input) {
  const std::string profile = pvfuzz::PrivateFolder() + "/Default";
  mkdir(profile.c_str(), 0700);
  const std::string path = profile + "/Preferences";
  Check(koReplaceFile(path.c_str(), input.data(), static_cast<uint32_t>(input.size()), 0600, false, nullptr, nullptr,
                      nullptr) == 1,
        "write the preferences");
  ChromeExtMgr chrome;
  int done = chrome.UpdateChromePreferences(profile.c_str());
  const std::string after = ReadFile(path);
  if (after == input) return;
  Check(done == 1, "a file that was not done is unchanged", input);
  json_object* old = ParseWhole(input);
  json_object* rewritten = ParseWhole(after);
  Check(old != nullptr && rewritten != nullptr, "old and new file are one JSON value each", input + "\n=>\n" + after);
  json_object* extensions = json_object_object_get(old, "extensions");
  json_object* settings = extensions != nullptr ? json_object_object_get(extensions, "settings") : nullptr;
  Check(settings != nullptr && json_object_object_get_ex(settings, kChromeExtensionId, nullptr),
        "only a file with the extension's member changes", input);
  json_object_object_del(settings, kChromeExtensionId);
  Check(json_object_equal(old, rewritten) == 1, "every other member is kept", input + "\n=>\n" + after);
  json_object_put(old);
  json_object_put(rewritten);
}

void CheckLayout(const std::string& input, unsigned char button) {
  koString old;
  old.SetAs(input.data(), static_cast<int>(input.size()));
  koString value;
  if (!LayoutWithButtonFirst(old, button, value)) {
    Check(input.size() < kLayoutHeaderBytes, "only a value shorter than the header is no layout", input);
    return;
  }
  const std::string out(value.GetString(), value.GetLength());
  const uint32_t entries = static_cast<uint32_t>((input.size() - kLayoutHeaderBytes) / kLayoutEntryBytes);
  const uint32_t tail = static_cast<uint32_t>((input.size() - kLayoutHeaderBytes) % kLayoutEntryBytes);
  std::string kept;  // the old entries but the button's
  for (uint32_t i = 0; i < entries; ++i) {
    std::string entry = input.substr(kLayoutHeaderBytes + i * kLayoutEntryBytes, kLayoutEntryBytes);
    if (static_cast<unsigned char>(entry[0]) != button) kept += entry;
  }
  const std::string first = {static_cast<char>(button), 1, 0, 0};
  const std::string want = input.substr(0, kLayoutHeaderBytes) + first + kept + input.substr(input.size() - tail);
  Check(out == want, "header, the button, the other entries, the rest", input);
  koString again;
  Check(LayoutWithButtonFirst(value, button, again) == 1 &&
            std::string(again.GetString(), again.GetLength()) == out,
        "a second rewrite changes nothing", input);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  CheckPreferences(input);
  // Both layouts' buttons.
  CheckLayout(input, 105);
  CheckLayout(input, 16);
  return 0;
}
