#include "run/WorkDirLock.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sysexits.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "common/RunFiles.h"
#include "run/Console.h"

namespace {

// The same command succeeds once the other run has ended: a temporary failure, as <sysexits.h>
// names it, on which a script may wait and try again. Neither a damaged run nor a wrong command.
constexpr int kWorkDirInUseStatus = EX_TEMPFAIL;

constexpr mode_t kLockFileMode = 0644;

// The descriptor of the lock file this process locked, -1 before: held until the process exits.
int held_lock = -1;

// In every child forked after the lock is taken. Closing a copy of the descriptor leaves the
// driver's lock in place: an flock ends only with the last descriptor of the open file.
void drop_lock_in_child() {
  if (held_lock >= 0) close(held_lock);
  held_lock = -1;
}

// The id its holder wrote into the lock file; 0 when it has not yet.
long holder_of(int fd) {
  char text[32] = {};
  ssize_t length = pread(fd, text, sizeof text - 1, 0);
  char *end = nullptr;
  long pid = length > 0 ? strtol(text, &end, 10) : 0;
  return length > 0 && end != text && *end == '\n' ? pid : 0;
}

// Whether the descriptor is still the directory's lock file: the run that ends removes it while
// it holds its lock, and a run that opened it just before would lock a file no one else sees.
bool still_in_place(int fd, const std::string &path) {
  struct stat opened;
  struct stat named;
  return fstat(fd, &opened) == 0 && stat(path.c_str(), &named) == 0 &&
         opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

[[noreturn]] void refuse_work_dir_in_use(const std::string &work_dir, long holder) {
  std::string who = holder > 0 ? "process " + std::to_string(holder) : "another process";
  report_error("The work directory " + work_dir + " is in use: a run is still going there, in " +
               who + "; wait for it to end, or choose another -w");
  exit(kWorkDirInUseStatus);
}

// The file system answers that it keeps no locks at all.
bool keeps_no_locks(int error) { return error == ENOLCK || error == EOPNOTSUPP || error == ENOSYS; }

}  // namespace

bool lock_work_dir(const std::string &work_dir) {
  std::string path = lock_file(work_dir);
  for (;;) {
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, kLockFileMode);
    if (fd < 0) return false;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      int failed_errno = errno;
      if (failed_errno == EWOULDBLOCK) refuse_work_dir_in_use(work_dir, holder_of(fd));
      close(fd);
      errno = failed_errno;
      // Where nothing can be locked, runs go on as they did before they locked.
      return keeps_no_locks(failed_errno);
    }
    if (!still_in_place(fd, path)) {
      close(fd);
      continue;
    }
    held_lock = fd;
    // Without it, the children of a driver killed alone would keep the lock while they count on.
    static bool registered = pthread_atfork(nullptr, nullptr, drop_lock_in_child) == 0;
    (void)registered;
    char pid[32];
    int length = snprintf(pid, sizeof pid, "%ld\n", static_cast<long>(getpid()));
    if (ftruncate(fd, 0) != 0 || pwrite(fd, pid, length, 0) != length) {
      // The id only names the holder in a refusal: the run is locked all the same, and a refused
      // run names "another process".
    }
    return true;
  }
}
