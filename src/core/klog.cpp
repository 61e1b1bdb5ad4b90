#include "core/klog.h"

#include <cstdio>
#include <ctime>

#include "core/kthread.h"

koLog* gLog = nullptr;

koLog::koLog(const char* tag) : lock_(new koMutex()), tag_(tag != nullptr ? tag : "") {}

koLog::~koLog() { delete lock_; }

void koLog::SetFileName(const char* path) { path_.SetAs(path != nullptr ? path : ""); }

void koLog::SetFileName(const koString& path) { path_.SetAs(path); }

void koLog::Write(const char* file, int line, int code, const char* message) {
  // No heap allocation on this path beyond the stdio stream itself: the
  // out-of-memory exit writes through here.
  time_t now = time(nullptr);
  struct tm local {};
  localtime_r(&now, &local);
  char stamp[80];
  snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d", local.tm_year + 1900,
           local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);

  lock_->Lock();
  if (path_.GetLength() > 0) {
    FILE* f = fopen(path_.GetString(), "a+e");
    if (f != nullptr) {
      fprintf(f, "[%s] [%s] %s(%d) ErrCode:%d ErrMsg:%s\n", tag_.GetString(), stamp,
              file != nullptr ? file : "", line, code, message != nullptr ? message : "");
      fclose(f);
    }
  }
  lock_->Unlock();
}
