#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "diag/log_internal.h"

namespace norvale::diag {

int open_private_append(const char* path) {
  // O_NOFOLLOW: a link planted at the path would otherwise carry the lines somewhere else.
  const int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return -1;
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return -1;
  }
  // Devices and pipes (/dev/stderr, a named pipe) are the user's choice and are left alone.
  if (S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode)) return fd;
  if (!S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
    ::close(fd);
    errno = EPERM;
    return -1;
  }
  // A file left readable by others (by an older version, say) is closed to them from now on.
  if ((st.st_mode & 077) != 0 && ::fchmod(fd, 0600) != 0) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return -1;
  }
  return fd;
}

}  // namespace norvale::diag
