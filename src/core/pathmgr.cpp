#include "core/pathmgr.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <initializer_list>

#include "core/klog.h"
#include "core/kplatform.h"

namespace {

const char kProductFolder[] = "/Brantlow/Postvane";
const char kPictureCacheFolder[] = "7B3D9E51-2C84-4A6F-9E07-D5A1C8B42F96";

// out = path once every folder of it exists. An unknown root answers 0
// without a record, as there is nothing to make.
int MakePerUserFolder(koUserFolder root, const char* below, koString& out) {
  out.Clear();
  koString path;
  if (!koGetUserFolder(root, path)) return 0;
  if (path.GetLength() == 1) path.Clear();  // the root folder "/" as home
  path += below;
  // An existing folder is kept as it is. A plain file in the way fails here
  // (ENOTDIR): nothing could be kept there.
  int err = 0;
  if (!koMakeFolders(path.GetString(), 0700, &err)) {
    KO_LOG(err, "CreateDirectory");
    return 0;
  }
  out.SetAs(path);
  return static_cast<int>(out.GetLength());
}

// Length of the folder part of path, its last '/' included; 0 when it has none.
uint32_t FolderLength(const koString& path) {
  const char* s = path.GetString();
  uint32_t n = path.GetLength();
  while (n > 0 && s[n - 1] != '/') --n;
  return n;
}

}  // namespace

int PathMgr::GetModuleFileName(koString& out) {
  out.Clear();
  if (!koGetExePath(out)) return 0;
  return static_cast<int>(out.GetLength());
}

int PathMgr::GetExeDir(koString& out) {
  koString program;
  uint32_t n = 0;
  if (GetModuleFileName(program) > 0) n = FolderLength(program);
  out.Clear();
  if (n == 0) {
    KO_LOG(-1, "PathMgr::GetExeDir");
    return 0;
  }
  out.SetAs(program.GetString(), static_cast<int>(n));
  return static_cast<int>(out.GetLength());
}

int PathMgr::GetConfigDir(koString& out) { return MakePerUserFolder(kFolderConfig, kProductFolder, out); }

int PathMgr::SecureConfigDir() {
  koString dir;
  if (GetConfigDir(dir) == 0) return 0;
  koString data;
  data.Format("%s/data", dir.GetString());
  int changed = 0;
  for (const koString* folder : {&dir, &data}) {
    struct stat st;
    // lstat: a link in the folder's place is left alone, not followed.
    if (lstat(folder->GetString(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid() ||
        (st.st_mode & 077) == 0) {
      continue;
    }
    if (chmod(folder->GetString(), st.st_mode & 0700) == 0) changed = 1;
  }
  return changed;
}

int PathMgr::GetLowIntegrityDataDir(koString& out) {
  return MakePerUserFolder(kFolderState, kProductFolder, out);
}

int PathMgr::GetAttachmentsDir(koString& out) {
  return MakePerUserFolder(kFolderHome, "/Postvane Attachments", out);
}

int PathMgr::GetLocalAppDataDirPath(koString& out) {
  out.Clear();
  if (!koGetUserFolder(kFolderData, out)) return 0;
  return static_cast<int>(out.GetLength());
}

int PathMgr::GetPictureCacheDir(koString& out) {
  out.Clear();
  koString temp;
  if (!koGetTempFolder(temp)) return 0;
  if (temp.GetLength() == 1) temp.Clear();  // the root folder "/"
  out.Format("%s/%s", temp.GetString(), kPictureCacheFolder);
  return static_cast<int>(out.GetLength());
}

int PathMgr::GetResourceFilePath(koString& out) {
  koString folder;
  out.Clear();
  if (GetExeDir(folder) == 0) return 0;
  out.SetAs(folder);
  out += "../res/postvane.res";
  return static_cast<int>(out.GetLength());
}

void PathMgr::Join(koString& path, const char* component) {
  uint32_t n = path.GetLength();
  if (n > 0 && path.GetString()[n - 1] != '/') path += "/";
  path += component;
}

bool PathMgr::IsSafeRelative(const koString& path) {
  const char* s = path.GetString();
  if (path.GetLength() == 0 || strlen(s) != path.GetLength() || s[0] == '/') return false;
  for (const char* p = s;;) {
    size_t n = strcspn(p, "/");
    if (n == 0 || (n == 1 && p[0] == '.') || (n == 2 && p[0] == '.' && p[1] == '.')) return false;
    if (p[n] == '\0') return true;
    p += n + 1;
  }
}

int PathMgr::StripExtension(koString& path) {
  uint32_t start = FolderLength(path);
  const char* s = path.GetString();
  // Past the name's first byte, so ".profile" keeps its dot.
  for (uint32_t i = path.GetLength(); i > start + 1; --i) {
    if (s[i - 1] == '.') return path.RemoveLast(path.GetLength() - (i - 1));
  }
  return static_cast<int>(path.GetLength());
}
