#include "core/kfile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

#include "core/kplatform.h"

int koFile::Open(const char* path, int flags, int mode) {
  do {
    fd_ = open(path, flags | O_CLOEXEC, mode);
  } while (fd_ < 0 && errno == EINTR);
  return fd_ >= 0 ? 1 : -1;
}

int koFile::OpenAt(int folder, const char* name, int flags, int mode) {
  do {
    fd_ = openat(folder, name, flags | O_CLOEXEC, mode);
  } while (fd_ < 0 && errno == EINTR);
  return fd_ >= 0 ? 1 : -1;
}

int koFile::Read(void* buffer, unsigned int count) {
  ssize_t n;
  do {
    n = read(fd_, buffer, count);
  } while (n < 0 && errno == EINTR);
  return n < 0 ? -1 : static_cast<int>(n);
}

int koFile::Write(const void* buffer, unsigned int count) {
  const char* p = static_cast<const char*>(buffer);
  size_t left = count;
  while (left > 0) {
    ssize_t n = write(fd_, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  return static_cast<int>(count);
}

int64_t koFile::Seek(int64_t offset, int origin) {
  off_t at = lseek(fd_, static_cast<off_t>(offset), origin);
  return at < 0 ? -1 : static_cast<int64_t>(at);
}

int koFile::Stat(koFileStat* out) {
  struct statx sx;
  if (statx(fd_, "", AT_EMPTY_PATH, STATX_BASIC_STATS | STATX_BTIME, &sx) == 0) {
    out->size = static_cast<int64_t>(sx.stx_size);
    out->accessTime = sx.stx_atime.tv_sec;
    out->modifyTime = sx.stx_mtime.tv_sec;
    out->createTime = (sx.stx_mask & STATX_BTIME) != 0 ? sx.stx_btime.tv_sec : 0;
    return 0;
  }
  // Kernels or sandboxes without statx: no birth time to be had.
  struct stat st;
  if (fstat(fd_, &st) != 0) return -1;
  out->size = st.st_size;
  out->accessTime = st.st_atime;
  out->modifyTime = st.st_mtime;
  out->createTime = 0;
  return 0;
}

int koFile::Close() {
  if (fd_ < 0) return -1;
  // Linux frees the descriptor even when close reports EINTR; never retry.
  int rc = close(fd_);
  fd_ = -1;
  return rc == 0 ? 0 : -1;
}

int FileExists(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 ? 1 : 0;
}

namespace {

int Outcome(int rc, int* err) {
  if (rc == 0) return 0;
  if (err != nullptr) *err = errno;
  return -1;
}

}  // namespace

int MakeDirectory(const char* path, int* err) { return Outcome(mkdir(path, 0700), err); }

int RemoveDirectory(const char* path, int* err) { return Outcome(rmdir(path), err); }

int DeleteFileUtf8(const char* path, int* err) { return Outcome(unlink(path), err); }

int SetFileTime(const char* path, int64_t when) {
  struct timespec times[2];
  times[0].tv_sec = static_cast<time_t>(when);
  times[0].tv_nsec = 0;
  times[1] = times[0];
  return utimensat(AT_FDCWD, path, times, 0) == 0 ? 1 : 0;
}

int OpenFolderChain(const char* root, const char* relative, int mode, int* err) {
  int folder = open(root, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) return Outcome(-1, err);
  koString rest(relative);
  koString level;
  while (rest.GetLength() > 0) {
    rest.CutToken("/", level);
    const char* name = level.GetString();
    if (name[0] == '\0' || strcmp(name, ".") == 0 || strcmp(name, "..") == 0) {
      close(folder);
      errno = EINVAL;
      return Outcome(-1, err);
    }
    // O_NOFOLLOW: a link planted where a level belongs is refused (ELOOP).
    const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    // Most levels are there already: made only when the open finds none.
    int next = openat(folder, name, flags);
    if (next < 0 && errno == ENOENT) {
      if (mkdirat(folder, name, static_cast<mode_t>(mode)) != 0 && errno != EEXIST) {
        int saved = errno;
        close(folder);
        errno = saved;
        return Outcome(-1, err);
      }
      next = openat(folder, name, flags);
    }
    int saved = errno;
    close(folder);
    if (next < 0) {
      errno = saved;
      return Outcome(-1, err);
    }
    folder = next;
  }
  return folder;
}

void SanitizeFileName(koString& name) {
  static const char kForbidden[] = "\\/:*?\"<>|\t\n\r\b\v";
  koString kept;
  const char* s = name.GetString();
  for (uint32_t i = 0; i < name.GetLength(); ++i) {
    // strchr would match every NUL through the list's terminator; memchr does not.
    if (s[i] == '\0' || memchr(kForbidden, s[i], sizeof kForbidden - 1) != nullptr) continue;
    kept.Append(s + i, 1);
  }
  name.SetAs(kept);
}

int GetExePath(char* buffer, size_t size) {
  koString path;
  if (!koGetExePath(path) || path.GetLength() >= size) return 0;
  memcpy(buffer, path.GetString(), path.GetLength() + 1);
  return static_cast<int>(path.GetLength());
}

int GetTempDirectory(koString& out, int /*longName*/) {
  koString path;
  if (!koGetTempFolder(path)) return 0;
  if (path.GetLength() != 1) path += "/";
  out.SetAs(path);
  return 1;
}

void koPathJoin(koString& path, const char* name) {
  if (path.GetLength() > 0 && path.GetString()[path.GetLength() - 1] != '/') path += "/";
  path += name;
}

int koReadWholeFile(const char* path, uint32_t maxBytes, koString& out, int* err) {
  out.Clear();
  int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    if (err != nullptr) *err = errno;
    return 0;
  }
  int code = 0;
  struct stat st;
  if (fstat(fd, &st) != 0)
    code = errno;
  else if (!S_ISREG(st.st_mode))
    code = EINVAL;
  else if (st.st_size > static_cast<off_t>(maxBytes))
    code = EFBIG;
  char buffer[16384];
  while (code == 0) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0)
      code = errno;
    else if (n == 0)
      break;
    else if (out.GetLength() + static_cast<uint64_t>(n) > maxBytes)
      code = EFBIG;  // it grew while we read
    else
      out.Append(buffer, static_cast<int>(n));
  }
  close(fd);
  if (code == 0) return 1;
  out.Clear();
  if (err != nullptr) *err = code;
  return 0;
}

namespace {

std::atomic<unsigned> gTempCounter{0};

// Makes the rename durable; the data already is, so a failure here costs at
// most the new name after a power loss.
void SyncFolderOf(const char* path) {
  koString folder;
  const char* slash = strrchr(path, '/');
  if (slash == nullptr)
    folder.SetAs(".");
  else
    folder.SetAs(path, slash == path ? 1 : static_cast<int>(slash - path));
  int dirFd = open(folder.GetString(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    fsync(dirFd);
    close(dirFd);
  }
}

}  // namespace

int koReplaceFile(const char* target, const void* data, uint32_t size, int mode, bool createOnly,
                  int* err, const char** step, koString* stepPath) {
  koString temp;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temp.Format("%s.%d.%u.tmp", target, static_cast<int>(getpid()), ++gTempCounter);
    fd = open(temp.GetString(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0 && errno != EEXIST) break;
  }
  const char* failed = nullptr;
  const char* failedPath = temp.GetString();
  int code = 0;
  if (fd < 0) {
    failed = "create";
    code = errno;
  } else {
    // The new file takes the place of the old one, so it keeps its permissions.
    struct stat st;
    fchmod(fd, static_cast<mode_t>(stat(target, &st) == 0 && S_ISREG(st.st_mode) ? st.st_mode & 07777
                                                                                  : mode));
    const char* p = static_cast<const char*>(data);
    uint32_t left = size;
    while (left > 0) {
      ssize_t n = write(fd, p, left);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        failed = "write";
        code = n < 0 ? errno : EIO;
        break;
      }
      p += n;
      left -= static_cast<uint32_t>(n);
    }
    if (failed == nullptr && fsync(fd) != 0) {
      failed = "fsync";
      code = errno;
    }
    if (close(fd) != 0 && failed == nullptr) {
      failed = "close";
      code = errno;
    }
    if (failed == nullptr) {
      int rc = createOnly ? renameat2(AT_FDCWD, temp.GetString(), AT_FDCWD, target, RENAME_NOREPLACE)
                          : rename(temp.GetString(), target);
      if (rc != 0 && createOnly && errno == EEXIST) {
        unlink(temp.GetString());
        return 1;
      }
      if (rc != 0) {
        failed = "rename to";
        failedPath = target;
        code = errno;
      }
    }
    if (failed != nullptr) unlink(temp.GetString());
  }
  if (failed != nullptr) {
    if (err != nullptr) *err = code;
    if (step != nullptr) *step = failed;
    if (stepPath != nullptr) stepPath->SetAs(failedPath);
    return 0;
  }
  SyncFolderOf(target);
  return 1;
}

koDirReader::~koDirReader() { Close(); }

int koDirReader::Open(const char* path) {
  Close();
  dir_ = PR_OpenDir(path);
  if (dir_ == nullptr) return 0;
  path_.SetAs(path);
  name_.Clear();
  return 1;
}

int koDirReader::NextEntry(koString& name) {
  if (dir_ == nullptr) return 0;
  PRDirEntry* entry = PR_ReadDir(dir_, static_cast<PRDirFlags>(flags_));
  if (entry == nullptr || entry->name == nullptr) return 0;
  name_.SetAs(entry->name);
  name.SetAs(name_);
  return 1;
}

int koDirReader::GetInfo(PRFileType* type) {
  if (name_.GetLength() == 0) return 0;
  koString full;
  full.Format("%s/%s", path_.GetString(), name_.GetString());
  struct stat st;
  if (lstat(full.GetString(), &st) != 0) return 0;
  if (S_ISREG(st.st_mode)) {
    *type = PR_FILE_FILE;
  } else if (S_ISDIR(st.st_mode)) {
    *type = PR_FILE_DIRECTORY;
  } else {
    *type = PR_FILE_OTHER;
  }
  return 1;
}

void koDirReader::Close() {
  if (dir_ != nullptr) PR_CloseDir(dir_);
  dir_ = nullptr;
  name_.Clear();
}
