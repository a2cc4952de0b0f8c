#include "RawIO.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

int create_output_file(const char *name) {
  return open(name, O_WRONLY | O_CREAT | O_TRUNC, CREATED_FILE_MODE);
}

int close_output_file(int fd) {
  int caller_errno = errno;
  if (close(fd) == 0) return 0;
  if (errno != EINTR) return -1;
  // Linux has released fd and keeps its data for writeback; a retry could close a reused fd.
  errno = caller_errno;
  return 0;
}

ssize_t write_fully(int fd, const void *buf, size_t size) {
  const char *bytes = static_cast<const char *>(buf);
  size_t written = 0;
  while (written < size) {
    ssize_t n = write(fd, bytes + written, size - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) {
      // No progress and no error: going on would loop for ever.
      errno = EIO;
      return -1;
    }
    written += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(written);
}

ssize_t read_block(int fd, void *buf, size_t size) {
  for (;;) {
    ssize_t n = read(fd, buf, size);
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    if (errno == EISDIR) return 0;
    return -1;
  }
}
