// koLog: the append-only error log, one record per failure.
//
// Safe to call Write from several threads: a mutex orders the records and each
// record is written whole. The file is opened and closed for every record, so
// others may read, move or delete it in between and a crash loses nothing.
#ifndef PV_CORE_KLOG_H
#define PV_CORE_KLOG_H

#include "core/kstring.h"

class koMutex;

class koLog {
 public:
  // tag is written first in every record ("1.89 Beta" in postvane).
  explicit koLog(const char* tag);
  virtual ~koLog();
  koLog(const koLog&) = delete;
  koLog& operator=(const koLog&) = delete;

  void SetFileName(const char* path);
  void SetFileName(const koString& path);
  // Appends "[tag] [local time] file(line) ErrCode:code ErrMsg:message\n",
  // with every control byte of message written as "\xNN", so that one call is
  // one line whatever the message holds. The file is created 0600 (and an
  // older one tightened to its owner). Without a path nothing is written; a
  // file that cannot be opened sends the record to standard error, after a
  // note of why the first time.
  void Write(const char* file, int line, int code, const char* message);

 private:
  koMutex* lock_;
  bool told_ = false;  // the note on standard error was written
  koString path_;
  koString tag_;
};

// The process-wide logger; null where no logger is installed (then nothing is logged).
extern koLog* gLog;

// Writes one record through gLog when it is set. `msg` is a zero-terminated text.
#define KO_LOG(code, msg)                                 \
  do {                                                    \
    if (gLog) gLog->Write(__FILE__, __LINE__, (code), (msg)); \
  } while (0)

#endif  // PV_CORE_KLOG_H
