// FileInfoMgrWin: the pictures and type names of FileInfoMgr drawn from the
// desktop's own sources. The content type comes from GIO (file name and
// first bytes); a picture is, in this order until one is written: for image
// types the image itself scaled to fit the size; the icon theme's icon for
// the content type (FileIconTheme); a generic document icon drawn here.
// Pictures never grow: what is smaller than the size keeps its own size;
// icons (theme or our own) are drawn at 48 pixels at most.
// A theme icon is drawn once per process and size, and its PNG reused.
//
// gdk-pixbuf does not serialise its image loaders itself (it only guards
// finding and loading the loader modules), and a loader module may not be
// safe from two threads at once, so all decoding, scaling and encoding here
// runs under one process-wide lock. GIO's content-type calls are safe from
// any thread. Instances are as FileInfoMgr says.
#ifndef PV_APP_SYNC_FILEINFOMGRWIN_H
#define PV_APP_SYNC_FILEINFOMGRWIN_H

#include "app/sync/fileinfomgr.h"

class FileInfoMgrWin : public FileInfoMgr {
 public:
  FileInfoMgrWin();
  ~FileInfoMgrWin() override;

  int GetFileIcon(const koString& relativePath, const char* sizeName, koString& iconPath) override;
  // The type name is GIO's description of the content type, in the
  // language of the environment.
  int GetFileTypeName(const koString& path, koString& typeName) override;

  // contentType (OUT) = GIO's guess for the file from its name and, when it
  // can be read, its first bytes.
  static void GuessContentType(const char* path, koString& contentType);
};

#endif  // PV_APP_SYNC_FILEINFOMGRWIN_H
