// Tasks of a merge in child processes; the first failure in task order ends the merge in its own
// words.
#include "reduce/MergeWorkers.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <map>
#include <string>

#include "reduce/MergeRead.h"

namespace {

constexpr char kStartFailed[] = "%s Error starting a part of the merge into %s\n";

// A task being run: which one, and the pipe that is its process's standard error.
struct RunningTask {
  int k;
  int message_fd;
};

// The failure that ends the merge: the first failed task in task order.
struct Failure {
  int k = -1;
  int wait_status = 0;
  std::string message;
};

// Descriptors this process holds beside one pipe a worker: its standard streams, the output's
// temporary, a pipe to the driver, and for a moment both ends of a new pipe.
constexpr rlim_t kDescriptorsBesideWorkers = 16;

// The most workers whose pipes the limit of open files leaves room for.
int jobs_within_descriptors() {
  rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return INT_MAX;
  if (limit.rlim_cur <= kDescriptorsBesideWorkers) return 1;
  return static_cast<int>(std::min<rlim_t>(INT_MAX, limit.rlim_cur - kDescriptorsBesideWorkers));
}

// What the ended child wrote: a message of one line fits the pipe, and the child has ended, so
// nothing blocks. Closes the pipe.
std::string take_written(int fd) {
  std::string written;
  char block[4096];
  ssize_t n;
  while ((n = read(fd, block, sizeof block)) > 0 || (n < 0 && errno == EINTR)) {
    if (n > 0) written.append(block, static_cast<size_t>(n));
  }
  close(fd);
  return written;
}

// The child's side: its standard error into the pipe, stopped with the merge's first process.
[[noreturn]] void run_in_worker(int k, int ends[2], const std::map<pid_t, RunningTask> &running,
                                pid_t parent, const std::function<void(int)> &task) {
  // A worker whose merge has ended, by a signal that reached it alone, must not go on writing
  // beside the output after the driver removed what the merge left.
  if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) _exit(EXIT_FAILURE);
  if (dup2(ends[1], STDERR_FILENO) < 0) _exit(errno);
  close(ends[0]);
  close(ends[1]);
  for (const auto &[pid, other] : running) close(other.message_fd);
  // The merge's first process owns the temporaries and workers it made: the worker removes only
  // what it makes itself.
  forget_merge_temporaries();
  forget_merge_workers();
  task(k);
  _exit(0);
}

[[noreturn]] void end_as(const Failure &failure) {
  remove_merge_temporaries();
  (void)!write(STDERR_FILENO, failure.message.data(), failure.message.size());
  if (WIFSIGNALED(failure.wait_status)) {
    signal(WTERMSIG(failure.wait_status), SIG_DFL);
    raise(WTERMSIG(failure.wait_status));
  }
  exit(WIFEXITED(failure.wait_status) ? WEXITSTATUS(failure.wait_status) : EXIT_FAILURE);
}

}  // namespace

void run_merge_tasks(const char *output_file, int count, int jobs,
                     const std::function<void(int)> &task, const std::function<void(int)> &done) {
  if (jobs <= 1 || count == 1) {
    // One at a time: in this process, as a merge that is not cut.
    for (int k = 0; k < count; ++k) {
      task(k);
      done(k);
    }
    return;
  }
  jobs = std::min(jobs, jobs_within_descriptors());
  std::map<pid_t, RunningTask> running;
  Failure failure;
  int next = 0;
  const pid_t parent = getpid();
  for (;;) {
    while (failure.k < 0 && next < count && static_cast<int>(running.size()) < jobs) {
      int ends[2];
      // Both ends non-blocking: a worker that writes more than the pipe holds loses the rest
      // rather than waiting for a reader that reads only once it has ended.
      if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) stop_merge(kStartFailed, output_file);
      pid_t pid = fork();
      if (pid < 0) stop_merge(kStartFailed, output_file);
      if (pid == 0) run_in_worker(next, ends, running, parent, task);
      close(ends[1]);
      keep_merge_worker(pid);
      running[pid] = RunningTask{next++, ends[0]};
    }
    if (running.empty()) break;
    int status = 0;
    pid_t pid = waitpid(-1, &status, 0);
    if (pid < 0) {
      if (errno == EINTR) continue;
      stop_merge("%s Error waiting for the parts of the merge into %s\n", output_file);
    }
    auto ended = running.find(pid);
    if (ended == running.end()) continue;
    RunningTask finished = ended->second;
    running.erase(ended);
    forget_merge_worker(pid);
    std::string message = take_written(finished.message_fd);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
      if (failure.k < 0) done(finished.k);
      continue;
    }
    if (failure.k >= 0 && failure.k < finished.k) continue;  // one stopped for an earlier failure
    failure = Failure{finished.k, status, message};
    // The tasks after it are not needed; those before it may hold a failure that comes first.
    for (const auto &[other, running_task] : running) {
      if (running_task.k > finished.k) kill(other, SIGKILL);
    }
  }
  if (failure.k >= 0) end_as(failure);
}
