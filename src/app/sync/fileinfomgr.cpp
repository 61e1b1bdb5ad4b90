#include "app/sync/fileinfomgr.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/kfile.h"
#include "core/klog.h"
#include "core/pathmgr.h"
#include "core/unnamedfiles.h"

namespace {

struct SizeName {
  const char* name;
  int pixels;
};
const SizeName kSizes[] = {{"small", 16}, {"medium", 48}, {"large", 96}, {"extralarge", 178}};

void LogPath(int code, const char* format, const char* path) {
  koString msg;
  msg.Format(format, path);
  KO_LOG(code, msg.GetString());
}

}  // namespace

FileInfoMgr::FileInfoMgr() {
  PathMgr::GetAttachmentsDir(attachmentsRoot_);
  PathMgr::GetPictureCacheDir(iconRoot_);
}

FileInfoMgr::~FileInfoMgr() = default;

int FileInfoMgr::GetPixelSize(const char* sizeName) {
  if (sizeName == nullptr) return 0;
  for (const SizeName& size : kSizes)
    if (strcasecmp(size.name, sizeName) == 0) return size.pixels;
  return 0;
}

int FileInfoMgr::FindCurrentPicture(const koString& relativePath, const char* sizeName,
                                    int* pixels, koString& picture) {
  *pixels = GetPixelSize(sizeName);
  if (*pixels == 0) {
    KO_LOG(-1, "GetFileIcon: unknown size name");
    return -1;
  }
  if (!PathMgr::IsSafeRelative(relativePath)) {
    LogPath(-1, "GetFileIcon: no path below the attachments folder [path:%s]", relativePath.GetString());
    return -1;
  }
  if (iconRoot_.GetLength() == 0 || attachmentsRoot_.GetLength() == 0) {
    KO_LOG(-1, "GetFileIcon: no picture or attachments folder");
    return -1;
  }
  // One file per size whatever the letter case the page asked with.
  sizeName_.Clear();
  for (const char* c = sizeName; *c != '\0'; ++c) {
    char lower = static_cast<char>(*c >= 'A' && *c <= 'Z' ? *c - 'A' + 'a' : *c);
    sizeName_.Append(&lower, 1);
  }
  picture.Format("%s.%s", relativePath.GetString(), sizeName_.GetString());

  koString picturePath(iconRoot_.GetString());
  PathMgr::Join(picturePath, picture.GetString());
  struct stat st;
  if (lstat(picturePath.GetString(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
  koString attachment(attachmentsRoot_.GetString());
  PathMgr::Join(attachment, relativePath.GetString());
  return IsIconStale(picturePath.GetString(), attachment.GetString()) ? 0 : 1;
}

int FileInfoMgr::IsIconStale(const char* picturePath, const char* attachmentPath) {
  koFile picture;
  koFileStat pictureStat;
  if (picture.Open(picturePath, O_RDONLY | O_NOFOLLOW | O_NONBLOCK, 0) != 1) return 0;
  int rc = picture.Stat(&pictureStat);
  picture.Close();
  if (rc != 0) return 0;
  koFile attachment;
  koFileStat attachmentStat;
  if (attachment.Open(attachmentPath, O_RDONLY | O_NONBLOCK, 0) != 1) {
    // The attachment moved or went: the picture we have is the best there is.
    LogPath(-1, "failed to open file [path:%s]", attachmentPath);
    return 0;
  }
  rc = attachment.Stat(&attachmentStat);
  attachment.Close();
  if (rc != 0) return 0;
  if (pictureStat.modifyTime >= attachmentStat.modifyTime &&
      pictureStat.modifyTime >= attachmentStat.createTime)
    return 0;
  int err = 0;
  if (DeleteFileUtf8(picturePath, &err) != 0) LogPath(err, "Unable to delete the picture [path:%s]", picturePath);
  return 1;
}

int FileInfoMgr::WritePicture(const koString& picture, const void* png, size_t size) {
  // The picture folder is a per-user root: made 0700 like the others.
  int err = 0;
  if (MakeDirectory(iconRoot_.GetString(), &err) != 0 && err != EEXIST) {
    LogPath(err, "CreateDirectory [path:%s]", iconRoot_.GetString());
    return 0;
  }
  koString folder;
  const char* slash = strrchr(picture.GetString(), '/');
  const char* name = slash != nullptr ? slash + 1 : picture.GetString();
  if (slash != nullptr) folder.SetAs(picture.GetString(), static_cast<int>(slash - picture.GetString()));
  int dir = OpenFolderChain(iconRoot_.GetString(), folder.GetString(), 0755, &err);
  if (dir < 0) {
    LogPath(err, "CreateDirectory [path:%s]", folder.GetString());
    return 0;
  }
  // A name of our own beside the picture, never one another writer holds.
  koString temporary;
  auto nextTemporary = [&temporary, name]() {
    unsigned int nonce = 0;
    if (getrandom(&nonce, sizeof nonce, 0) != sizeof nonce) nonce = static_cast<unsigned int>(rand());
    temporary.Format("%s.%08x", name, nonce);
  };
  // The bytes get that name first, in a file made ahead where there is one.
  int named = 0;
  koFile file;
  file.Adopt(unnamedFiles_ != nullptr ? unnamedFiles_->Take() : -1);
  if (file.GetDescriptor() >= 0 && file.Write(png, static_cast<unsigned int>(size)) == static_cast<int>(size)) {
    for (int attempt = 0; attempt < 8 && !named; ++attempt) {
      nextTemporary();
      named = LinkUnnamedFile(file.GetDescriptor(), dir, temporary.GetString()) == 0;
      if (!named && errno != EEXIST) break;
    }
  }
  file.Close();
  if (!named) {
    // O_EXCL so two writers never share it.
    for (int attempt = 0; attempt < 8 && file.GetDescriptor() < 0; ++attempt) {
      nextTemporary();
      file.OpenAt(dir, temporary.GetString(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
    }
    if (file.GetDescriptor() < 0) {
      LogPath(errno, "Unable to create the picture [path:%s]", picture.GetString());
      close(dir);
      return 0;
    }
    named = file.Write(png, static_cast<unsigned int>(size)) == static_cast<int>(size);
    if (file.Close() != 0) named = 0;
  }
  int ok = named && renameat(dir, temporary.GetString(), dir, name) == 0;
  if (!ok) {
    LogPath(errno, "Unable to write the picture [path:%s]", picture.GetString());
    unlinkat(dir, temporary.GetString(), 0);
  }
  close(dir);
  return ok;
}
