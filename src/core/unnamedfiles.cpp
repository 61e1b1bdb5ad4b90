#include "core/unnamedfiles.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "core/klog.h"

UnnamedFiles::UnnamedFiles(const char* folder, size_t depth) : folder_(folder), depth_(depth) {}

UnnamedFiles::~UnnamedFiles() {
  {
    koMutexGuard guard(lock_);
    quit_ = 1;
  }
  wanted_.Set();
  thread_.Join();
  for (int fd : ready_) close(fd);
}

int UnnamedFiles::Start() {
  Fill();
  return thread_.Create(PR_USER_THREAD, ThreadMain, this, PR_PRIORITY_NORMAL, PR_GLOBAL_THREAD,
                        PR_JOINABLE_THREAD, 0);
}

int UnnamedFiles::Take() {
  int fd = -1;
  {
    koMutexGuard guard(lock_);
    if (!ready_.empty()) {
      fd = ready_.back();
      ready_.pop_back();
    }
  }
  wanted_.Set();
  return fd;
}

void UnnamedFiles::ThreadMain(void* self) { static_cast<UnnamedFiles*>(self)->Run(); }

void UnnamedFiles::Run() {
  for (;;) {
    {
      koMutexGuard guard(lock_);
      if (quit_) return;
      wanted_.Reset();
    }
    Fill();
    wanted_.Wait(-1);
  }
}

void UnnamedFiles::Fill() {
  size_t missing = 0;
  {
    koMutexGuard guard(lock_);
    missing = depth_ - ready_.size();
  }
  for (; missing > 0; --missing) {
    int fd = open(folder_.GetString(), O_WRONLY | O_TMPFILE | O_CLOEXEC, 0600);
    if (fd < 0) {
      // No such folder yet, or no unnamed files on this file system: the
      // taker makes its own, and the next take tries again.
      if (!logged_ && errno != ENOENT) {
        koString text;
        text.Format("Unnamed files cannot be made ahead in %s", folder_.GetString());
        KO_LOG(errno, text.GetString());
        logged_ = 1;
      }
      return;
    }
    koMutexGuard guard(lock_);
    ready_.push_back(fd);
  }
}

int LinkUnnamedFile(int fd, int folder, const char* name) {
  char self[64];
  snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
  return linkat(AT_FDCWD, self, folder, name, AT_SYMLINK_FOLLOW) == 0 ? 0 : -1;
}
