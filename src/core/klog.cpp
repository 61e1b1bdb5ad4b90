#include "core/klog.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "core/kthread.h"

koLog* gLog = nullptr;

namespace {

bool NeedsEscape(unsigned char c) { return c < 0x20 || c == 0x7F; }

// The bytes WriteEscaped writes for message.
uint64_t EscapedLength(const char* message) {
  uint64_t n = 0;
  if (message == nullptr) return 0;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(message); *p != 0; ++p) {
    n += NeedsEscape(*p) ? 4 : 1;
  }
  return n;
}

// Messages carry text from outside (request headers, paths, parameters): a
// control byte in them must not start a record of its own or hide one, so it
// is written as \xNN.
void WriteEscaped(FILE* f, const char* message) {
  if (message == nullptr) return;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(message); *p != 0; ++p) {
    if (NeedsEscape(*p))
      fprintf(f, "\\x%02X", *p);
    else
      fputc(*p, f);
  }
}

int64_t SystemMs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// The log file opened for appending, created 0600; -1 when it cannot be.
int OpenLog(const char* path) {
  // The log holds what requests and mail carried: only its owner reads it,
  // whatever the umask or an older file's mode said.
  int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  struct stat st;
  if (fd >= 0 && fstat(fd, &st) == 0 && (st.st_mode & 077) != 0) fchmod(fd, st.st_mode & 0700);
  return fd;
}

}  // namespace

koLog::koLog(const char* tag) : lock_(new koMutex()), tag_(tag != nullptr ? tag : "") {}

koLog::~koLog() {
  lock_->Lock();
  FlushFolds();
  lock_->Unlock();
  delete lock_;
}

void koLog::SetFileName(const char* path) { path_.SetAs(path != nullptr ? path : ""); }

void koLog::SetFileName(const koString& path) { path_.SetAs(path); }

void koLog::SetSizeLimit(uint64_t bytes) {
  koMutexGuard hold(*lock_);
  size_limit_ = bytes;
}

void koLog::SetClock(int64_t (*nowMs)()) {
  koMutexGuard hold(*lock_);
  now_ms_ = nowMs;
}

void koLog::Write(const char* file, int line, int code, const char* message) {
  lock_->Lock();
  FlushFolds();
  Append(file, line, code, message);
  lock_->Unlock();
}

void koLog::WriteFolded(const char* file, int line, int code, const char* cause, const char* message) {
  lock_->Lock();
  int64_t second = (now_ms_ != nullptr ? now_ms_() : SystemMs()) / 1000;
  const char* key = cause != nullptr ? cause : "";
  Fold* fold = nullptr;
  for (int i = 0; i < fold_count_ && fold == nullptr; ++i) {
    if (strncmp(folds_[i].cause, key, sizeof folds_[i].cause - 1) == 0) fold = &folds_[i];
  }
  if (fold == nullptr && fold_count_ < kMaxFoldedCauses) {
    fold = &folds_[fold_count_++];
    snprintf(fold->cause, sizeof fold->cause, "%s", key);
    fold->second = second - 1;
    fold->folded = 0;
  }
  if (fold != nullptr && fold->second == second) {
    if (fold->folded++ == 0) {
      fold->file = file;
      fold->line = line;
      fold->code = code;
    }
  } else {
    if (fold != nullptr) fold->second = second;
    FlushFolds();
    Append(file, line, code, message);
  }
  lock_->Unlock();
}

void koLog::FlushFolds() {
  for (int i = 0; i < fold_count_; ++i) {
    Fold& fold = folds_[i];
    if (fold.folded == 0) continue;
    char message[160];
    snprintf(message, sizeof message, "%s: %llu more such records folded", fold.cause,
             static_cast<unsigned long long>(fold.folded));
    fold.folded = 0;
    Append(fold.file, fold.line, fold.code, message);
  }
}

void koLog::Append(const char* file, int line, int code, const char* message) {
  // No heap allocation on this path beyond the stdio stream itself: the
  // out-of-memory exit writes through here.
  if (path_.GetLength() == 0) return;
  time_t now = time(nullptr);
  struct tm local {};
  localtime_r(&now, &local);
  char stamp[80];
  snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d", local.tm_year + 1900,
           local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  static const char kHead[] = "[%s] [%s] %s(%d) ErrCode:%d ErrMsg:";
  const char* source = file != nullptr ? file : "";

  int fd = OpenLog(path_.GetString());
  int err = errno;
  struct stat st;
  if (fd >= 0 && size_limit_ > 0 && fstat(fd, &st) == 0 && st.st_size > 0) {
    int head = snprintf(nullptr, 0, kHead, tag_.GetString(), stamp, source, line, code);
    uint64_t record = static_cast<uint64_t>(head > 0 ? head : 0) + EscapedLength(message) + 1;
    char older[PATH_MAX];
    if (static_cast<uint64_t>(st.st_size) + record > size_limit_ &&
        snprintf(older, sizeof older, "%s.1", path_.GetString()) < static_cast<int>(sizeof older) &&
        rename(path_.GetString(), older) == 0) {
      close(fd);
      fd = OpenLog(path_.GetString());
      err = errno;
    }
  }
  FILE* f = fd >= 0 ? fdopen(fd, "a") : nullptr;
  bool own = f != nullptr;
  if (!own) {
    if (fd >= 0) close(fd);
    // Where the failure would otherwise go unseen: once a note why, then
    // the records themselves.
    f = stderr;
    if (!told_)
      fprintf(f, "The log %s cannot be opened (%s); its records follow here.\n", path_.GetString(),
              strerror(fd >= 0 ? EIO : err));
    told_ = true;
  }
  fprintf(f, kHead, tag_.GetString(), stamp, source, line, code);
  WriteEscaped(f, message);
  fputc('\n', f);
  if (own)
    fclose(f);
  else
    fflush(f);
}
