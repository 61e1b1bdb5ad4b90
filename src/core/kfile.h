// Files and directories on UTF-8 paths.
//
// koFile is a bare descriptor, koDirReader a directory listing, and the free
// functions do one thing each at a path. Linux takes UTF-8 paths as they are,
// so no path is converted. Nothing here logs: results and error numbers go
// back to the caller, who logs with the context it has.
//
// No shared state: each object belongs to one thread at a time; the free
// functions are safe from any thread. Files are opened without any locking,
// so others may read one while it is written; callers that need exclusion
// take their own lock.
#ifndef PV_CORE_KFILE_H
#define PV_CORE_KFILE_H

#include <cstddef>
#include <cstdint>

#include <fcntl.h>
#include <prio.h>

#include "core/kstring.h"

// Status of an open file. Times are seconds since 1970-01-01 UTC.
struct koFileStat {
  int64_t size = 0;
  int64_t accessTime = 0;
  int64_t modifyTime = 0;
  // Birth time. 0 where the file system keeps none, so that every
  // "modified after it was made" test holds and the file counts as changed.
  int64_t createTime = 0;
};

// One open file descriptor, -1 while closed. The destructor does NOT close
// it: call Close. Not copyable, so one object owns one descriptor.
class koFile {
 public:
  koFile() = default;
  ~koFile() = default;
  koFile(const koFile&) = delete;
  koFile& operator=(const koFile&) = delete;

  // flags: O_RDONLY / O_WRONLY / O_RDWR with O_CREAT, O_TRUNC, O_APPEND ...;
  // mode: permissions of a file it creates (0600 throughout the program).
  // 1 when open; -1 on failure, leaving the descriptor at -1 so that a later
  // Close fails harmlessly. The descriptor is not inherited by child programs.
  int Open(const char* path, int flags, int mode);
  // Open with `name` relative to the open folder descriptor `folder` (openat).
  int OpenAt(int folder, const char* name, int flags, int mode);
  // Bytes read, 0 at the end of the file, -1 on error.
  int Read(void* buffer, unsigned int count);
  // Writes all `count` bytes (retrying short writes): count, or -1 on error.
  int Write(const void* buffer, unsigned int count);
  // origin: SEEK_SET, SEEK_CUR or SEEK_END. New position, or -1.
  int64_t Seek(int64_t offset, int origin);
  // Fills *out: 0, or -1 (nothing filled).
  int Stat(koFileStat* out);
  // 0, or -1 (also when nothing is open). The descriptor is -1 afterwards.
  int Close();

  int GetDescriptor() const { return fd_; }
  // Takes over an open descriptor (one already held is not closed).
  void Adopt(int fd) { fd_ = fd; }

 private:
  int fd_ = -1;
};

// 1 when the path names anything (file or folder, links followed), else 0.
int FileExists(const char* path);
// These three answer 0 on success, -1 on failure with errno's value stored in
// *err when err is not null. MakeDirectory on an existing folder fails with
// EEXIST; folders are made 0700, so what the program keeps stays the user's.
int MakeDirectory(const char* path, int* err);
// Only an empty folder can be removed.
int RemoveDirectory(const char* path, int* err);
int DeleteFileUtf8(const char* path, int* err);
// Sets the last-access and last-modification time of the file (links
// followed) to `when`, seconds since 1970-01-01 UTC. 1 or 0.
int SetFileTime(const char* path, int64_t when);
// Opens the folder root/relative ('/'-separated levels below root), making
// each missing level with `mode`. root itself is taken as it is (links
// followed); no level below it is ever reached through a symbolic link, and
// "", "." and ".." are no level. The open folder's descriptor (the caller
// closes it), or -1 with errno's value in *err (when err is not null):
// ELOOP or ENOTDIR when a level is a link or no folder, EINVAL for a bad level.
int OpenFolderChain(const char* root, const char* relative, int mode, int* err);
// Removes every byte that file names must not hold on any system the user may
// copy to: \ / : * ? " < > | TAB LF CR BS VT and NUL. Other UTF-8 passes.
void SanitizeFileName(koString& name);
// Copies the running program's path, zero-terminated, into buffer. Its
// length, or 0 when it is unknown or does not fit.
int GetExePath(char* buffer, size_t size);
// out = the user's temporary folder, ending in '/' (see platform/os/folders.h).
// Linux has no short names, so longName changes nothing. 1, or 0 with out
// untouched.
int GetTempDirectory(koString& out, int longName);

// Appends name to the folder path with one '/' between them: the one place
// where the '\' of the callers' paths becomes '/'. An empty path gets name alone.
void koPathJoin(koString& path, const char* name);

// Reads the whole file at path (links followed) into out, replacing its
// content. Non-blocking, so a FIFO in its place cannot stall the caller.
// 1; or 0 with the errno value in *err (when not null): ENOENT when it is
// missing, EINVAL when it is no regular file, EFBIG when it holds more than
// maxBytes.
int koReadWholeFile(const char* path, uint32_t maxBytes, koString& out, int* err);

// Replaces target with size bytes of data: a temporary file beside it,
// "<target>.<pid>.<n>.tmp", is written, flushed to disk and renamed over it,
// so readers see the old file or the new one, never a part, and a failure
// leaves the target as it was. The new file keeps the permissions of the file
// it replaces; a new target gets `mode`. With createOnly an existing target
// is left as it is (and that is success). 1; or 0 with the errno value in
// *err, the failed step in *step ("create", "write", "fsync", "close" or
// "rename to") and the file it concerned in *stepPath (each when not null);
// the temporary file is gone then.
int koReplaceFile(const char* target, const void* data, uint32_t size, int mode, bool createOnly,
                  int* err, const char** step, koString* stepPath);

// Lists one directory through NSPR's (byte, UTF-8) directory calls, in the
// file system's order. The destructor closes the listing.
class koDirReader {
 public:
  koDirReader() = default;
  ~koDirReader();
  koDirReader(const koDirReader&) = delete;
  koDirReader& operator=(const koDirReader&) = delete;

  // NSPR's PRDirFlags; the program passes PR_SKIP_DOT | PR_SKIP_DOT_DOT (3).
  void SetFlags(int flags) { flags_ = flags; }
  // Closes any earlier listing first. 1 with the path kept, or 0.
  int Open(const char* path);
  // name = the next entry's name (no folder part). 1, or 0 when no entry is left.
  int NextEntry(koString& name);
  // *type = PR_FILE_FILE, PR_FILE_DIRECTORY or PR_FILE_OTHER for the entry
  // read last, looked up without following a symbolic link (a link, a device
  // or a socket is "other"). 1, or 0 when no entry was read or it is gone.
  int GetInfo(PRFileType* type);
  void Close();

 private:
  int flags_ = PR_SKIP_NONE;
  koString path_;
  koString name_;    // entry read last; empty before the first
  PRDir* dir_ = nullptr;
};

#endif  // PV_CORE_KFILE_H
