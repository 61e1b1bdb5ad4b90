#include "app/sync/fileinfomgrtheme.h"

#include <glib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <unordered_map>

#include "core/kfile.h"
#include "core/kplatform.h"
#include "core/kthread.h"

namespace {

const char* const kFirstTheme = "Adwaita";
const char* const kLastTheme = "hicolor";
const size_t kMaxThemes = 8;

enum DirType { kFixed, kScalable, kThreshold };

struct ThemeDir {
  int size = 0;
  int minSize = 0;
  int maxSize = 0;
  int threshold = 2;
  DirType type = kThreshold;
};

struct IconFile {
  size_t dir;  // index into Theme::dirs
  std::string path;
  bool png;
};

struct Theme {
  std::vector<ThemeDir> dirs;
  std::unordered_map<std::string, std::vector<IconFile>> icons;  // by name without extension
};

struct Themes {
  std::string searchPath;  // the folders the chain was read from
  std::vector<Theme> chain;
};

koMutex& ThemesLock() {
  static koMutex lock;
  return lock;
}

Themes& LoadedThemes() {
  static Themes themes;
  return themes;
}

// Where themes live, in the order they are asked.
std::vector<std::string> IconFolders() {
  std::vector<std::string> folders;
  koString folder;
  if (koGetUserFolder(kFolderData, folder)) folders.push_back(std::string(folder.GetString()) + "/icons");
  if (koGetUserFolder(kFolderHome, folder)) folders.push_back(std::string(folder.GetString()) + "/.icons");
  const char* dirs = getenv("XDG_DATA_DIRS");
  std::string list = dirs != nullptr && dirs[0] != '\0' ? dirs : "/usr/local/share/:/usr/share/";
  for (size_t start = 0; start <= list.size();) {
    size_t end = list.find(':', start);
    if (end == std::string::npos) end = list.size();
    std::string dir = list.substr(start, end - start);
    // Relative entries are ignored, as the base-directory rules say.
    if (!dir.empty() && dir[0] == '/') {
      if (dir.back() == '/') dir.pop_back();
      folders.push_back(dir + "/icons");
    }
    start = end + 1;
  }
  return folders;
}

int IntKey(GKeyFile* index, const char* group, const char* key, int fallback) {
  GError* error = nullptr;
  int value = g_key_file_get_integer(index, group, key, &error);
  if (error != nullptr) {
    g_error_free(error);
    return fallback;
  }
  return value;
}

void ListIcons(const std::string& folder, size_t dirIndex, Theme& theme) {
  koDirReader reader;
  reader.SetFlags(PR_SKIP_DOT | PR_SKIP_DOT_DOT);
  if (!reader.Open(folder.c_str())) return;
  koString entry;
  while (reader.NextEntry(entry)) {
    std::string name = entry.GetString();
    size_t dot = name.rfind('.');
    if (dot == std::string::npos) continue;
    std::string extension = name.substr(dot);
    if (extension != ".png" && extension != ".svg" && extension != ".xpm") continue;
    theme.icons[name.substr(0, dot)].push_back({dirIndex, folder + "/" + name, extension == ".png"});
  }
}

// Reads the first index.theme of the theme found among the folders and
// lists its icon folders. inherits (OUT): the themes it names. 0 when the
// theme is not installed.
int LoadTheme(const std::string& name, const std::vector<std::string>& folders, Theme& theme,
              std::vector<std::string>& inherits) {
  GKeyFile* index = g_key_file_new();
  // Theme indexes separate list items with commas.
  g_key_file_set_list_separator(index, ',');
  bool found = false;
  for (const std::string& folder : folders) {
    std::string path = folder + "/" + name + "/index.theme";
    if (g_key_file_load_from_file(index, path.c_str(), G_KEY_FILE_NONE, nullptr)) {
      found = true;
      break;
    }
  }
  if (!found) {
    g_key_file_free(index);
    return 0;
  }
  gchar** parents = g_key_file_get_string_list(index, "Icon Theme", "Inherits", nullptr, nullptr);
  for (gchar** p = parents; p != nullptr && *p != nullptr; ++p) inherits.push_back(*p);
  g_strfreev(parents);
  gchar** dirs = g_key_file_get_string_list(index, "Icon Theme", "Directories", nullptr, nullptr);
  for (gchar** d = dirs; d != nullptr && *d != nullptr; ++d) {
    // Folders for high-density screens are of no use for files on disk.
    if (IntKey(index, *d, "Scale", 1) != 1) continue;
    ThemeDir dir;
    dir.size = IntKey(index, *d, "Size", 0);
    if (dir.size <= 0) continue;
    dir.minSize = IntKey(index, *d, "MinSize", dir.size);
    dir.maxSize = IntKey(index, *d, "MaxSize", dir.size);
    dir.threshold = IntKey(index, *d, "Threshold", 2);
    gchar* type = g_key_file_get_string(index, *d, "Type", nullptr);
    if (type != nullptr) {
      dir.type = strcmp(type, "Fixed") == 0 ? kFixed : strcmp(type, "Scalable") == 0 ? kScalable : kThreshold;
      g_free(type);
    }
    theme.dirs.push_back(dir);
    for (const std::string& folder : folders) ListIcons(folder + "/" + name + "/" + *d, theme.dirs.size() - 1, theme);
  }
  g_strfreev(dirs);
  g_key_file_free(index);
  return 1;
}

void LoadChain(const std::vector<std::string>& folders, std::vector<Theme>& chain) {
  std::vector<std::string> pending = {kFirstTheme};
  std::vector<std::string> seen = {kLastTheme};  // hicolor is asked last, whoever inherits it
  while (!pending.empty() && chain.size() + 1 < kMaxThemes) {
    std::string name = pending.front();
    pending.erase(pending.begin());
    if (std::find(seen.begin(), seen.end(), name) != seen.end()) continue;
    seen.push_back(name);
    Theme theme;
    if (LoadTheme(name, folders, theme, pending)) chain.push_back(std::move(theme));
  }
  Theme last;
  std::vector<std::string> ignored;
  if (LoadTheme(kLastTheme, folders, last, ignored)) chain.push_back(std::move(last));
}

// How far a folder's icons are from the size asked for (0: fits).
int Distance(const ThemeDir& dir, int pixels) {
  switch (dir.type) {
    case kFixed:
      return std::abs(dir.size - pixels);
    case kScalable:
      if (pixels < dir.minSize) return dir.minSize - pixels;
      if (pixels > dir.maxSize) return pixels - dir.maxSize;
      return 0;
    case kThreshold:
      if (pixels < dir.size - dir.threshold) return dir.minSize - pixels;
      if (pixels > dir.size + dir.threshold) return pixels - dir.maxSize;
      return 0;
  }
  return 0;
}

}  // namespace

void FileIconTheme::FindIcon(const std::vector<std::string>& names, int pixels,
                             std::vector<std::string>& files) {
  files.clear();
  std::vector<std::string> folders = IconFolders();
  std::string searchPath;
  for (const std::string& folder : folders) searchPath += folder + ":";

  koMutexGuard guard(ThemesLock());
  Themes& themes = LoadedThemes();
  if (themes.chain.empty() || themes.searchPath != searchPath) {
    themes.chain.clear();
    themes.searchPath = searchPath;
    LoadChain(folders, themes.chain);
  }
  for (const Theme& theme : themes.chain) {
    for (const std::string& name : names) {
      auto hit = theme.icons.find(name);
      if (hit == theme.icons.end()) continue;
      std::vector<const IconFile*> found;
      for (const IconFile& file : hit->second) found.push_back(&file);
      std::stable_sort(found.begin(), found.end(), [&](const IconFile* a, const IconFile* b) {
        const ThemeDir& da = theme.dirs[a->dir];
        const ThemeDir& db = theme.dirs[b->dir];
        int distA = Distance(da, pixels);
        int distB = Distance(db, pixels);
        if (distA != distB) return distA < distB;
        // The nearest drawn size, and rather down than up (less to decode,
        // and scaling down looks better).
        if (da.size != db.size) {
          bool aAbove = da.size >= pixels;
          bool bAbove = db.size >= pixels;
          if (aAbove != bAbove) return aAbove;
          return aAbove ? da.size < db.size : da.size > db.size;
        }
        return a->png && !b->png;
      });
      for (const IconFile* file : found) files.push_back(file->path);
      return;
    }
  }
}
