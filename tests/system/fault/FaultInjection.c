/* Test-only preload library: makes the Nth call of open, read, write, fsync,
 * rename or close on a work or result file fail, counted over every process of
 * a run.
 *
 * Environment:
 *   QUOVENT_FAULT_COUNTER  a file of 8 zero bytes, shared by the processes of
 *                          one run: the calls counted so far (required)
 *   QUOVENT_FAULT_AT       the call to fail, from 1; 0 or unset only counts
 *   QUOVENT_FAULT_LOG      file that receives "<call> <r|w> <path>\n" for the
 *                          failed call: the mode the file was opened with;
 *                          for a rename "rename w <old path> <new path>\n"
 *   QUOVENT_FAULT_TRACE    file that receives such a line for every call
 *                          counted: line n is call n when one process makes
 *                          them all
 *   QUOVENT_FAULT_PATHS    ':'-separated texts; a path containing one of them
 *                          is a work or result file (default "tmp/:Result/").
 *                          A text that begins with '/' is matched against the
 *                          path made absolute from the working directory, so
 *                          that it finds the relative names of a process that
 *                          changed into a watched directory; any other against
 *                          the path as given.
 *   QUOVENT_FAULT_STALL    when set, the chosen call does not fail: its
 *                          process waits in it until a signal ends it, so
 *                          that a test can stop a run at a chosen point.
 *
 * The failed call's errno is the one a full disk or a broken device gives:
 * open EACCES, read EIO, write ENOSPC, fsync EIO, rename EIO, close EIO. A
 * rename within one directory cannot meet EXDEV; what a failing disk or a lost
 * server gives it is EIO. A failed close still closes, as close(2) does on
 * Linux; a failed fsync or rename does nothing. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

enum { TRACKED_FDS = 1024, PATH_BYTES = 256 };

static int (*real_open)(const char *, int, ...);
static ssize_t (*real_read)(int, void *, size_t);
static ssize_t (*real_write)(int, const void *, size_t);
static int (*real_close)(int);
static int (*real_fsync)(int);
static int (*real_rename)(const char *, const char *);

static long *call_counter; /* shared between processes through MAP_SHARED */
static long fault_at;
static int stall;
static const char *watched_paths = "tmp/:Result/";

/* Per descriptor of a watched file: 'r' or 'w' by its open mode, 0 when not watched. */
static char fd_mode[TRACKED_FDS];
static char fd_path[TRACKED_FDS][PATH_BYTES];

__attribute__((constructor)) static void start_counting(void) {
  real_open = (int (*)(const char *, int, ...))dlsym(RTLD_NEXT, "open");
  real_read = (ssize_t(*)(int, void *, size_t))dlsym(RTLD_NEXT, "read");
  real_write = (ssize_t(*)(int, const void *, size_t))dlsym(RTLD_NEXT, "write");
  real_close = (int (*)(int))dlsym(RTLD_NEXT, "close");
  real_fsync = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
  real_rename = (int (*)(const char *, const char *))dlsym(RTLD_NEXT, "rename");
  const char *counter_file = getenv("QUOVENT_FAULT_COUNTER");
  const char *at = getenv("QUOVENT_FAULT_AT");
  const char *paths = getenv("QUOVENT_FAULT_PATHS");
  if (at != NULL) fault_at = atol(at);
  stall = getenv("QUOVENT_FAULT_STALL") != NULL;
  if (paths != NULL) watched_paths = paths;
  if (counter_file == NULL) return;
  int fd = real_open(counter_file, O_RDWR);
  if (fd < 0) return;
  void *shared = mmap(NULL, sizeof(long), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  real_close(fd);
  if (shared != MAP_FAILED) call_counter = (long *)shared;
}

static int holds(const char *path, const char *text, size_t length) {
  for (const char *p = path; *p != '\0'; ++p) {
    if (length > 0 && strncmp(p, text, length) == 0) return 1;
  }
  return 0;
}

static int watched(const char *path) {
  char absolute[PATH_MAX + PATH_BYTES];
  absolute[0] = '\0';
  if (path[0] == '/') {
    snprintf(absolute, sizeof absolute, "%s", path);
  } else if (getcwd(absolute, PATH_MAX) != NULL) {
    size_t used = strlen(absolute);
    snprintf(absolute + used, sizeof absolute - used, "/%s", path);
  }
  const char *entry = watched_paths;
  while (*entry != '\0') {
    size_t length = strcspn(entry, ":");
    if (holds(entry[0] == '/' ? absolute : path, entry, length)) return 1;
    entry += length;
    if (*entry == ':') ++entry;
  }
  return 0;
}

/* Appends "<call> <mode> <path>\n" to the file that the environment variable names, if any. */
static void log_call(const char *variable, const char *call, char mode, const char *path) {
  const char *log_file = getenv(variable);
  if (log_file == NULL) return;
  int fd = real_open(log_file, O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (fd < 0) return;
  char line[2 * PATH_BYTES + 32];
  int length = snprintf(line, sizeof line, "%s %c %s\n", call, mode, path);
  if (real_write(fd, line, (size_t)length) < 0) { /* the test then sees no line */
  }
  real_close(fd);
}

/* Counts one call; true when it is the one to fail, which is then logged. */
static int fails_now(const char *call, char mode, const char *path, int error) {
  if (call_counter == NULL) return 0;
  long n = __atomic_add_fetch(call_counter, 1, __ATOMIC_SEQ_CST);
  log_call("QUOVENT_FAULT_TRACE", call, mode, path);
  if (fault_at <= 0 || n != fault_at) return 0;
  log_call("QUOVENT_FAULT_LOG", call, mode, path);
  while (stall) pause();
  errno = error;
  return 1;
}

static int fd_watched(int fd) { return fd >= 0 && fd < TRACKED_FDS && fd_mode[fd] != 0; }

int open(const char *path, int flags, ...) {
  mode_t mode = 0;
  if (flags & (O_CREAT | O_TMPFILE)) {
    va_list args;
    va_start(args, flags);
    mode = va_arg(args, mode_t);
    va_end(args);
  }
  if (!watched(path)) return real_open(path, flags, mode);
  char access = (flags & O_ACCMODE) == O_RDONLY ? 'r' : 'w';
  if (fails_now("open", access, path, EACCES)) return -1;
  int fd = real_open(path, flags, mode);
  if (fd >= 0 && fd < TRACKED_FDS) {
    fd_mode[fd] = access;
    snprintf(fd_path[fd], PATH_BYTES, "%s", path);
  }
  return fd;
}

ssize_t read(int fd, void *buf, size_t size) {
  if (fd_watched(fd) && fails_now("read", fd_mode[fd], fd_path[fd], EIO)) return -1;
  return real_read(fd, buf, size);
}

ssize_t write(int fd, const void *buf, size_t size) {
  if (fd_watched(fd) && fails_now("write", fd_mode[fd], fd_path[fd], ENOSPC)) return -1;
  return real_write(fd, buf, size);
}

int fsync(int fd) {
  if (fd_watched(fd) && fails_now("fsync", fd_mode[fd], fd_path[fd], EIO)) return -1;
  return real_fsync(fd);
}

int rename(const char *from, const char *to) {
  if (watched(from) || watched(to)) {
    char names[2 * PATH_BYTES];
    snprintf(names, sizeof names, "%s %s", from, to);
    if (fails_now("rename", 'w', names, EIO)) return -1;
  }
  return real_rename(from, to);
}

int close(int fd) {
  if (!fd_watched(fd)) return real_close(fd);
  int fail = fails_now("close", fd_mode[fd], fd_path[fd], EIO);
  fd_mode[fd] = 0;
  int result = real_close(fd);
  if (fail) {
    errno = EIO;
    return -1;
  }
  return result;
}
