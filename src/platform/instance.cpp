#include "platform/instance.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "core/kstring.h"

namespace {
int held_fd = -1;
}

koInstanceClaim koClaimSingleInstance(const char* class_name, const char* data_dir, int* err) {
  if (err != nullptr) *err = 0;
  if (class_name == nullptr || data_dir == nullptr || *class_name == 0 || *data_dir == 0) {
    if (err != nullptr) *err = EINVAL;
    return kInstanceError;
  }
  koString path(data_dir);
  if (path.GetString()[path.GetLength() - 1] != '/') path += "/";
  path.AppendFormat("%s.lock", class_name);
  int fd = open(path.GetString(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    if (err != nullptr) *err = errno;
    return kInstanceError;
  }
  int rc;
  do {
    rc = flock(fd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    int e = errno;
    close(fd);
    if (e == EWOULDBLOCK) return kInstanceOther;
    if (err != nullptr) *err = e;
    return kInstanceError;
  }
  if (held_fd >= 0) close(held_fd);
  held_fd = fd;
  return kInstanceFirst;
}

void koReleaseSingleInstance() {
  if (held_fd >= 0) close(held_fd);
  held_fd = -1;
}
