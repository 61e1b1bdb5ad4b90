#include "setup/chromeextmgr.h"

#include <json.h>

#include <cstring>

#include "core/kfile.h"
#include "core/kplatform.h"

namespace {

const char kPreferencesFile[] = "Preferences";
// Far above any real profile's preferences; a bigger file is not read.
constexpr uint32_t kMaxPreferencesBytes = 64u << 20;

bool OnlySpaceFrom(const koString& text, size_t at) {
  for (size_t i = at; i < text.GetLength(); ++i) {
    char c = text.GetString()[i];
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n') return false;
  }
  return true;
}

// The document when text is exactly one JSON value (white space around it
// allowed): anything after it would be lost by the rewrite. Strictly JSON,
// as the browser writes it: what the lenient reader would also take
// ("-0e", comments) is printed back differently.
json_object* ParseWhole(const koString& text) {
  json_tokener* tokener = json_tokener_new();
  if (tokener == nullptr) return nullptr;
  json_tokener_set_flags(tokener, JSON_TOKENER_STRICT);
  json_object* root = json_tokener_parse_ex(tokener, text.GetString(), static_cast<int>(text.GetLength()));
  if (root != nullptr && (json_tokener_get_error(tokener) != json_tokener_success ||
                          !OnlySpaceFrom(text, json_tokener_get_parse_end(tokener)))) {
    json_object_put(root);
    root = nullptr;
  }
  json_tokener_free(tokener);
  return root;
}

}  // namespace

int ChromeExtMgr::GetChromeProfilePath(int browser, koString& out) {
  if (!koChromeUserDataFolder(browser, out)) return 0;
  koDirReader dir;
  return dir.Open(out.GetString());
}

int ChromeExtMgr::UpdateChromePreferences() {
  int found = 0;
  for (int browser = 0; browser < kBrowserCount; ++browser) {
    koString userData;
    if (!GetChromeProfilePath(browser, userData)) continue;
    found = 1;
    koDirReader dir;
    dir.SetFlags(PR_SKIP_DOT | PR_SKIP_DOT_DOT);
    if (!dir.Open(userData.GetString())) continue;
    koString name;
    while (dir.NextEntry(name)) {
      PRFileType type;
      if (!dir.GetInfo(&type) || type != PR_FILE_DIRECTORY) continue;
      koString profile(userData.GetString());
      koPathJoin(profile, name.GetString());
      UpdateChromePreferences(profile.GetString());
    }
  }
  return found;
}

int ChromeExtMgr::UpdateChromePreferences(const char* profileDir) {
  koString path(profileDir);
  koPathJoin(path, kPreferencesFile);
  // Never created: a folder without the file is no profile.
  koString text;
  if (!koReadWholeFile(path.GetString(), kMaxPreferencesBytes, text, nullptr) || text.GetLength() == 0)
    return 0;
  json_object* root = ParseWhole(text);
  if (root == nullptr) return 0;
  json_object* extensions = json_object_object_get(root, "extensions");
  json_object* settings = extensions != nullptr ? json_object_object_get(extensions, "settings") : nullptr;
  int done = 0;
  if (settings != nullptr) {
    done = 1;
    if (json_object_object_get_ex(settings, kChromeExtensionId, nullptr)) {
      json_object_object_del(settings, kChromeExtensionId);
      const char* printed = json_object_to_json_string(root);
      done = printed != nullptr &&
             koReplaceFile(path.GetString(), printed, static_cast<uint32_t>(strlen(printed)), 0600, false,
                           nullptr, nullptr, nullptr);
    }
  }
  json_object_put(root);
  return done;
}
