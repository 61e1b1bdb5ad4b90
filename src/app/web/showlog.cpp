#include "app/web/showlog.h"

#include <fcntl.h>

#include "app/store/productinfo.h"
#include "app/web/mainwindow.h"
#include "core/kfile.h"
#include "core/pathmgr.h"

ShowLog::ShowLog(koHttpConnection* connection, int argument) : ObjectBase(connection, argument) {
  PathMgr::GetConfigDir(data_dir_);
}

void ShowLog::RunAction(const koString& /*action*/) { OpenLogFile(); }

void ShowLog::OpenLogFile() {
  koString* path = new koString();
  path->Format("%s/%s", data_dir_.GetString(), kLogFileName);
  // Only a log that is there is handed on; opening never creates it.
  koFile file;
  if (data_dir_.GetLength() == 0 || file.Open(path->GetString(), O_RDONLY, 0600) != 1) {
    delete path;
    response_.SetAs("0");
    return;
  }
  file.Close();
  PostPathToMainWindow(kMsgOpenFile, path);
  response_.SetAs("1");
}
