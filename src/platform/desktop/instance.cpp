#include "platform/desktop/instance.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include "core/kstring.h"

namespace {

int held_fd = -1;

// The whole file, write-locked.
struct flock WholeFile() {
  struct flock lock = {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  return lock;
}

// Opens the rendezvous file of class_name in data_dir; -1 with errno set.
int OpenRendezvous(const char* class_name, const char* data_dir, int flags) {
  if (class_name == nullptr || data_dir == nullptr || *class_name == 0 || *data_dir == 0) {
    errno = EINVAL;
    return -1;
  }
  koString path(data_dir);
  if (path.GetString()[path.GetLength() - 1] != '/') path += "/";
  path.AppendFormat("%s.lock", class_name);
  return open(path.GetString(), flags | O_CLOEXEC | O_NOFOLLOW, 0600);
}

}  // namespace

koInstanceClaim koClaimSingleInstance(const char* class_name, const char* data_dir, int* err) {
  if (err != nullptr) *err = 0;
  int fd = OpenRendezvous(class_name, data_dir, O_RDWR | O_CREAT);
  if (fd < 0) {
    if (err != nullptr) *err = errno;
    return kInstanceError;
  }
  struct flock lock = WholeFile();
  int rc;
  do {
    rc = fcntl(fd, F_OFD_SETLK, &lock);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    int e = errno;
    close(fd);
    if (e == EAGAIN || e == EACCES) return kInstanceOther;
    if (err != nullptr) *err = e;
    return kInstanceError;
  }
  if (held_fd >= 0) close(held_fd);
  held_fd = fd;
  return kInstanceFirst;
}

int koProbeSingleInstance(const char* class_name, const char* data_dir) {
  int fd = OpenRendezvous(class_name, data_dir, O_RDONLY);
  if (fd < 0) return 0;
  struct flock lock = WholeFile();
  int held = fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
  close(fd);
  return held ? 1 : 0;
}

void koReleaseSingleInstance() {
  if (held_fd >= 0) close(held_fd);
  held_fd = -1;
}
