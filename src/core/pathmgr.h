// PathMgr: where the program and its per-user files live.
//
// Every function writes its answer into `out` and returns the answer's length;
// 0 means failure, and then out is empty. The folders follow HOME and the XDG
// base-directory variables (see platform/os/folders.h), read anew on each call;
// the per-user folders are made, mode 0700, the first time they are asked for.
// Failures to make a folder are logged through gLog ("CreateDirectory" with the
// errno value), including a folder name that is taken by a plain file.
//
// No state: safe from any thread. Two threads making the same folder at once
// both succeed.
#ifndef PV_CORE_PATHMGR_H
#define PV_CORE_PATHMGR_H

#include "core/kstring.h"

class PathMgr {
 public:
  // Full path of the running program file.
  static int GetModuleFileName(koString& out);
  // Folder of the running program, ending in '/'.
  static int GetExeDir(koString& out);
  // The data directory <config home>/Brantlow/Postvane: log, crash dumps,
  // the main ini copy and the summary database live there. Made when missing.
  static int GetConfigDir(koString& out);
  // Makes the data directory and its "data" folder its owner's only where an
  // older installation or the user left them open to others: they hold the
  // log and the summary database with the accounts' passwords. 1 when a mode
  // was changed (the caller logs it once a log exists), else 0.
  static int SecureConfigDir();
  // <state home>/Brantlow/Postvane, holding the ini copy that the browser
  // side of the product reads and writes. Made when missing.
  static int GetLowIntegrityDataDir(koString& out);
  // <home>/Postvane Attachments, where the user finds extracted attachments.
  // Made when missing.
  static int GetAttachmentsDir(koString& out);
  // The user's local application-data folder; not made.
  static int GetLocalAppDataDirPath(koString& out);
  // <temporary folder>/7B3D9E51-2C84-4A6F-9E07-D5A1C8B42F96, the cache of
  // pictures of extracted attachments that the pages show. Not made; the
  // temporary folder is (see koGetTempFolder), without a record on failure.
  static int GetPictureCacheDir(koString& out);
  // <program folder>../res/postvane.res (the build and install trees both put
  // res/ beside bin/).
  static int GetResourceFilePath(koString& out);
  // The one way paths are joined: appends '/' (unless path is empty or
  // already ends in one) and component. Paths on disk and the relative paths
  // the database keeps all use '/'.
  static void Join(koString& path, const char* component);
  // True for a path that may be named below a root: relative, no empty, "."
  // or ".." level, no zero byte (which would cut it short where the system
  // reads it).
  static bool IsSafeRelative(const koString& path);
  // Drops the extension of the path's file name in place ("/a/b.tar.gz" ->
  // "/a/b.tar"); folder names and a file name's leading dot are kept.
  static int StripExtension(koString& path);
};

#endif  // PV_CORE_PATHMGR_H
