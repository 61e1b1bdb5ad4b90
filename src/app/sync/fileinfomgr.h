// FileInfoMgr: for an extracted attachment, a picture the web pages show and
// a readable type name. A picture is a PNG file rendered once per file and
// size into the picture folder, at the attachment's relative path with "."
// and the size name appended, and served from there by the web service.
//
// FileInfoMgrWin (fileinfomgrwin.h) draws the pictures; this base keeps what
// every way of drawing shares: the two roots, the size names, the cache
// check and the writing of a picture file. Callers make an instance for
// each use; instances share nothing but the picture files, which are
// written under a temporary name and renamed, so a reader never sees half a
// PNG and the last writer wins. Not thread-safe per instance; any number of
// instances may work at once on different threads.
#ifndef PV_APP_SYNC_FILEINFOMGR_H
#define PV_APP_SYNC_FILEINFOMGR_H

#include <cstddef>

#include "core/kstring.h"

class UnnamedFiles;

class FileInfoMgr {
 public:
  // Reads the attachments root and the picture folder (PathMgr).
  FileInfoMgr();
  virtual ~FileInfoMgr();
  FileInfoMgr(const FileInfoMgr&) = delete;
  FileInfoMgr& operator=(const FileInfoMgr&) = delete;

  // iconPath (OUT) = the picture's path relative to the picture folder, for
  // the attachment at relativePath (relative to the attachments root) and a
  // size name. The size name and the path are checked before anything is
  // touched: an unknown size, an absolute path or one that climbs out fails
  // and creates nothing. 1, or 0 when no picture could be had.
  virtual int GetFileIcon(const koString& relativePath, const char* sizeName, koString& iconPath) = 0;
  // typeName (OUT) = a readable type name of the file at path ("PDF
  // document"); empty when the system has none, which is no failure.
  virtual int GetFileTypeName(const koString& path, koString& typeName) = 0;

  // Pixel size of "small" 16, "medium" 48, "large" 96, "extralarge" 178
  // (letter case ignored); 0 for any other name.
  static int GetPixelSize(const char* sizeName);

  // Files made ahead in the picture folder (borrowed; null for none): a
  // picture written takes one instead of making its file.
  void SetUnnamedFiles(UnnamedFiles* files) { unnamedFiles_ = files; }

  const koString& GetAttachmentsRoot() const { return attachmentsRoot_; }
  const koString& GetIconRoot() const { return iconRoot_; }

 protected:
  // The checks and cache look-up every GetFileIcon starts with. pixels
  // (OUT): the size; picture (OUT): the picture's relative path. Answers 1
  // when a current picture is there (nothing to draw), 0 when one must be
  // drawn, -1 when the request is refused (logged).
  int FindCurrentPicture(const koString& relativePath, const char* sizeName, int* pixels,
                         koString& picture);
  // The picture is stale, and is deleted, when it is older than the
  // attachment's modification or creation time. A picture or attachment
  // that cannot be opened leaves the picture current.
  int IsIconStale(const char* picturePath, const char* attachmentPath);
  // Writes PNG bytes as the picture at its relative path: the folders are
  // made, the bytes go to a temporary name beside it, which then replaces
  // the picture. 1, or 0 (nothing left behind).
  int WritePicture(const koString& picture, const void* png, size_t size);

  koString attachmentsRoot_;
  koString sizeName_;
  koString iconRoot_;
  UnnamedFiles* unnamedFiles_ = nullptr;
};

#endif  // PV_APP_SYNC_FILEINFOMGR_H
