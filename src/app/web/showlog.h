// ShowLog: the request handler ("ShowLog") that opens the program's log
// file on the desktop. It never reads the log: it checks that the file can
// be opened and hands its path to the main window. Any action, or none.
#ifndef PV_APP_WEB_SHOWLOG_H
#define PV_APP_WEB_SHOWLOG_H

#include "app/web/objectbase.h"

class ShowLog : public ObjectBase {
 public:
  ShowLog(koHttpConnection* connection, int argument);
  void RunAction(const koString& action);

 private:
  // Body "1" when the log file exists and its path went to the main window
  // (kMsgOpenFile), else "0".
  void OpenLogFile();

  koString data_dir_;
};

#endif  // PV_APP_WEB_SHOWLOG_H
