#include "core/klog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "core/kthread.h"

koLog* gLog = nullptr;

namespace {

// Messages carry text from outside (request headers, paths, parameters): a
// control byte in them must not start a record of its own or hide one, so it
// is written as \xNN.
void WriteEscaped(FILE* f, const char* message) {
  if (message == nullptr) return;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(message); *p != 0; ++p) {
    if (*p < 0x20 || *p == 0x7F)
      fprintf(f, "\\x%02X", *p);
    else
      fputc(*p, f);
  }
}

}  // namespace

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
    // The log holds what requests and mail carried: only its owner reads it,
    // whatever the umask or an older file's mode said.
    int fd = open(path_.GetString(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    int err = errno;
    struct stat st;
    if (fd >= 0 && fstat(fd, &st) == 0 && (st.st_mode & 077) != 0) fchmod(fd, st.st_mode & 0700);
    FILE* f = fd >= 0 ? fdopen(fd, "a") : nullptr;
    bool own = f != nullptr;
    if (!own) {
      if (fd >= 0) close(fd);
      // Where the failure would otherwise go unseen: once a note why, then
      // the records themselves.
      f = stderr;
      if (!told_) fprintf(f, "The log %s cannot be opened (%s); its records follow here.\n",
                          path_.GetString(), strerror(fd >= 0 ? EIO : err));
      told_ = true;
    }
    fprintf(f, "[%s] [%s] %s(%d) ErrCode:%d ErrMsg:", tag_.GetString(), stamp,
            file != nullptr ? file : "", line, code);
    WriteEscaped(f, message);
    fputc('\n', f);
    if (own)
      fclose(f);
    else
      fflush(f);
  }
  lock_->Unlock();
}
