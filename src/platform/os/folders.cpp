#include "platform/os/folders.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Keeps "/" itself but drops the trailing slashes of any longer path.
void DropTrailingSlashes(std::string& path) {
  size_t n = path.size();
  while (n > 1 && path[n - 1] == '/') --n;
  path.resize(n);
}

// The XDG rules: a variable that is unset, empty or relative counts as unset.
int AbsoluteVariable(const char* name, std::string& out) {
  const char* value = getenv(name);
  if (value == nullptr || value[0] != '/') return 0;
  out = value;
  DropTrailingSlashes(out);
  return 1;
}

int HomeFolder(std::string& out) {
  if (AbsoluteVariable("HOME", out)) return 1;
  // Services and su may start us without HOME; the password database still knows.
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  if (size <= 0) size = 16384;
  char* buffer = static_cast<char*>(malloc(static_cast<size_t>(size)));
  if (buffer == nullptr) return 0;
  struct passwd entry;
  struct passwd* found = nullptr;
  int ok = getpwuid_r(getuid(), &entry, buffer, static_cast<size_t>(size), &found) == 0 &&
           found != nullptr && found->pw_dir != nullptr && found->pw_dir[0] == '/';
  if (ok) {
    out = found->pw_dir;
    DropTrailingSlashes(out);
  }
  free(buffer);
  return ok;
}

// out = home + "/" + below, without doubling the slash when home is "/".
int BelowHome(const char* below, std::string& out) {
  std::string home;
  if (!HomeFolder(home)) return 0;
  if (home.size() == 1) home.clear();
  out = home;
  out += "/";
  out += below;
  return 1;
}

int IsDirectory(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// Makes one folder; an existing directory (perhaps made by another thread just now) is fine.
int MakeOne(const char* path, mode_t mode) {
  struct stat st;
  if (stat(path, &st) == 0) {
    if (S_ISDIR(st.st_mode)) return 0;
    return ENOTDIR;
  }
  if (errno != ENOENT) return errno;
  if (mkdir(path, mode) == 0) {
    // The promised mode, whatever the umask took away.
    int fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    int err = fd >= 0 && fchmod(fd, mode) == 0 ? 0 : errno;
    if (fd >= 0) close(fd);
    return err;
  }
  int err = errno;
  if (err == EEXIST) return IsDirectory(path) ? 0 : ENOTDIR;
  return err;
}

}  // namespace

int koGetUserFolder(koUserFolder which, std::string& out) {
  // Each XDG folder: its variable, else its place below home.
  static const struct {
    koUserFolder which;
    const char* variable;
    const char* belowHome;
  } kXdgFolders[] = {
      {kFolderConfig, "XDG_CONFIG_HOME", ".config"},
      {kFolderState, "XDG_STATE_HOME", ".local/state"},
      {kFolderData, "XDG_DATA_HOME", ".local/share"},
      {kFolderCache, "XDG_CACHE_HOME", ".cache"},
  };
  std::string path;
  int ok = which == kFolderHome ? HomeFolder(path) : 0;
  for (const auto& folder : kXdgFolders) {
    if (folder.which == which)
      ok = AbsoluteVariable(folder.variable, path) || BelowHome(folder.belowHome, path);
  }
  if (ok) out = path;
  return ok;
}

int koGetTempFolder(std::string& out) {
  std::string path;
  if (AbsoluteVariable("TMPDIR", path) && IsDirectory(path.c_str())) {
    out = path;
    return 1;
  }
  // Never the shared /tmp: the cache folder is the user's own.
  if (!koGetUserFolder(kFolderCache, path)) return 0;
  if (!koMakeFolders(path.c_str(), 0700, nullptr)) return 0;
  out = path;
  return 1;
}

int koGetExePath(std::string& out) {
  char buffer[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer);
  if (n <= 0 || n >= static_cast<ssize_t>(sizeof buffer)) return 0;
  out.assign(buffer, static_cast<size_t>(n));
  return 1;
}

int koMakeFolders(const char* path, mode_t mode, int* err) {
  int failure = 0;
  if (path == nullptr || path[0] != '/') {
    failure = EINVAL;
  } else if (!IsDirectory(path)) {
    // Walk down from the root, making each missing folder in turn.
    std::string prefix;
    for (int i = 1; failure == 0; ++i) {
      char c = path[i];
      if (c != '/' && c != '\0') continue;
      if (path[i - 1] != '/') {
        prefix.assign(path, static_cast<size_t>(i));
        failure = MakeOne(prefix.c_str(), mode);
      }
      if (c == '\0') break;
    }
  }
  if (failure != 0 && err != nullptr) *err = failure;
  return failure == 0 ? 1 : 0;
}

void koDropRedirects() {
  unsetenv("PV_REGISTRY_DIR");
  unsetenv("PV_CHROME_EXTENSIONS_DIR");
}

int koChromeUserDataFolder(int browser, std::string& out) {
  static const char* const kFolders[kChromeBrowserCount] = {"google-chrome", "chromium"};
  if (browser < 0 || browser >= kChromeBrowserCount || !koGetUserFolder(kFolderConfig, out)) return 0;
  out += "/";
  out += kFolders[browser];
  return 1;
}
