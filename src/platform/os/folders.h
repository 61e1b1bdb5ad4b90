// Where the current user's files live on Linux: HOME and the XDG base-directory
// variables, the per-user temporary folder and the running program's path.
//
// The environment is read anew on every call (tests point HOME at a private
// folder), so results follow later changes. Nothing here logs; callers do.
// Safe from any thread as long as no thread changes the environment meanwhile.
#ifndef PV_PLATFORM_OS_FOLDERS_H
#define PV_PLATFORM_OS_FOLDERS_H

#include <sys/types.h>

#include <string>

enum koUserFolder {
  kFolderHome,    // $HOME, else the password database's entry
  kFolderConfig,  // $XDG_CONFIG_HOME, else ~/.config
  kFolderState,   // $XDG_STATE_HOME, else ~/.local/state
  kFolderData,    // $XDG_DATA_HOME, else ~/.local/share
  kFolderCache,   // $XDG_CACHE_HOME, else ~/.cache
};

// out = the folder's absolute path, without a trailing '/' (except for "/").
// Nothing is created. 1, or 0 (out untouched) when no home folder is known.
int koGetUserFolder(koUserFolder which, std::string& out);

// out = the per-user temporary folder without a trailing '/': $TMPDIR when it
// names an existing absolute directory, else the cache folder, which is
// created (mode 0700) when missing. 1, or 0 (out untouched).
int koGetTempFolder(std::string& out);

// out = the full path of the running program file. 1, or 0 (out untouched).
int koGetExePath(std::string& out);

// Creates every missing folder of the absolute `path` with exactly `mode`
// (the umask does not narrow it); folders that exist (also through a
// symbolic link) are kept as they are. 1 when the
// whole path is a directory afterwards; else 0 with the errno value in *err
// (when err is not null): ENOTDIR when one component is not a folder.
int koMakeFolders(const char* path, mode_t mode, int* err);

// The user-data folders of the browsers whose profiles the product touches
// (the extension's port, the setup's profile cleaning): 0 Chrome
// (<config home>/google-chrome), 1 Chromium (<config home>/chromium). out =
// that folder, whether it exists or not; 0 for another number or without a
// home folder.
constexpr int kChromeBrowserCount = 2;
int koChromeUserDataFolder(int browser, std::string& out);

// The variables that move machine-wide files for tests (PV_REGISTRY_DIR,
// PV_CHROME_EXTENSIONS_DIR). The programs that run elevated drop them at
// start unless built for tests (PV_TEST_REDIRECTS), so a caller's
// environment never points a root process at files of the caller's choosing;
// their children inherit the environment without them.
void koDropRedirects();

#endif  // PV_PLATFORM_OS_FOLDERS_H
