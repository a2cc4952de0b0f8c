// The mappers' failure channel: a pipe per mapper child, one byte for
// "failed", nothing for success.
#include "StatusChannel.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr char kFailureMark = 'F';

// Far above any descriptor the system hands out; bounds the parsing.
constexpr long kLargestDescriptor = 1 << 20;

// "2147483647" and its terminating zero.
constexpr int kDescriptorTextSize = 12;

// The write end a fatal exit reports through; -1 when there is none, or
// once main has ended normally.
int fatal_exit_fd = -1;

void report_unfinished_main() {
  if (fatal_exit_fd < 0) return;
  // A driver that has gone away must not turn this exit into a SIGPIPE death.
  signal(SIGPIPE, SIG_IGN);
  report_failure(fatal_exit_fd);
}

// The descriptor named by text, digits only; -1 for anything else.
int parse_descriptor(const char *text) {
  if (text == nullptr || *text == '\0') return -1;
  long value = 0;
  for (; *text != '\0'; ++text) {
    if (*text < '0' || *text > '9' || value > kLargestDescriptor) return -1;
    value = value * 10 + (*text - '0');
  }
  return static_cast<int>(value);
}

}  // namespace

int open_status_channel(StatusChannel *channel) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return -1;
  // The driver reads only after the child has ended; a child that wrote
  // nothing must not keep it waiting, even if the end leaked somewhere.
  if (fcntl(fds[0], F_SETFL, O_NONBLOCK) != 0) {
    int fcntl_errno = errno;
    close(fds[0]);
    close(fds[1]);
    errno = fcntl_errno;
    return -1;
  }
  channel->read_fd = fds[0];
  channel->write_fd = fds[1];
  return 0;
}

int pass_status_channel(const StatusChannel *channel) {
  if (fcntl(channel->write_fd, F_SETFD, 0) != 0) return -1;
  char text[kDescriptorTextSize];
  snprintf(text, sizeof text, "%d", channel->write_fd);
  return setenv(STATUS_FD_VARIABLE, text, 1);
}

void close_status_writer(StatusChannel *channel) {
  if (channel->write_fd >= 0) close(channel->write_fd);
  channel->write_fd = -1;
}

bool status_channel_reported_failure(StatusChannel *channel) {
  char mark;
  ssize_t n;
  do {
    n = read(channel->read_fd, &mark, 1);
  } while (n < 0 && errno == EINTR);
  close(channel->read_fd);
  channel->read_fd = -1;
  return n > 0;
}

void report_failure(int fd) {
  int saved_errno = errno;
  // Nothing more can be done if the mark is lost; the exit status remains.
  (void)!write(fd, &kFailureMark, 1);
  errno = saved_errno;
}

void report_failure_at_fatal_exit(void) {
  int fd = parse_descriptor(getenv(STATUS_FD_VARIABLE));
  struct stat info;
  if (fd < 0 || fstat(fd, &info) != 0 || !S_ISFIFO(info.st_mode)) return;
  fatal_exit_fd = fd;
  atexit(report_unfinished_main);
}

void mark_normal_end(void) { fatal_exit_fd = -1; }
