#include "programs/sharded/LocalRun.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>

#include "common/Errors.h"
#include "programs/sharded/ShardCount.h"

namespace {

// How often the progress line is brought up to date while no shard ends.
constexpr long kProgressNanoseconds = 250'000'000;

// Ends of a run that the driver must handle itself: children ending, and the user stopping it.
sigset_t waited_signals() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal_number : {SIGCHLD, SIGINT, SIGTERM, SIGHUP}) sigaddset(&set, signal_number);
  return set;
}

class ShardChildren {
 public:
  ShardChildren(const ShardRun &run, Progress &progress, const sigset_t &child_mask)
      : run_(run), progress_(progress), child_mask_(child_mask) {}

  void start(size_t k) {
    pid_t pid = fork();
    if (pid < 0) stop_all(k, "could not be started: " + std::string(strerror(errno)), 1);
    if (pid == 0) {
      sigprocmask(SIG_SETMASK, &child_mask_, nullptr);
      if (!redirect_shard_output(run_.shard_dir(k), run_.keep_work_files)) {
        Error("[QuoventMR_v3:count_shard] Error opening the shard's output files");
      }
      count_shard(run_.shards[k], run_.nreducers, run_.shard_dir(k), run_.keep_work_files);
      exit(0);
    }
    running_[pid] = k;
  }

  size_t running() const { return running_.size(); }

  // Takes the ends of finished children; returns the shards that ended well.
  size_t reap(long long &bytes_done) {
    size_t counted = 0;
    int status = 0;
    pid_t pid;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
      auto child = running_.find(pid);
      if (child == running_.end()) continue;
      size_t k = child->second;
      running_.erase(child);
      if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        bytes_done += run_.shards[k].bytes;
        ++counted;
        continue;
      }
      std::string how = WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                                          : "signal " + std::to_string(WTERMSIG(status)) + " (" +
                                                strsignal(WTERMSIG(status)) + ")";
      stop_all(k, "failed: " + shard_failure_text(run_.shard_dir(k), "ended by " + how),
               WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    }
    return counted;
  }

  // Stops the children still running, reports, removes the work files and exits.
  [[noreturn]] void stop_all(size_t k, const std::string &what, int status) {
    terminate_children();
    progress_.clear();
    report_error("Shard " + std::to_string(k) + " (" + describe_shard(run_.shards[k]) + ") " +
                 what);
    remove_work_files(run_);
    exit(status != 0 ? status : 1);
  }

  [[noreturn]] void interrupted(int signal_number) {
    terminate_children();
    progress_.clear();
    report_error(std::string("Stopped by signal ") + strsignal(signal_number) +
                 "; no result written");
    remove_work_files(run_);
    exit(128 + signal_number);
  }

 private:
  void terminate_children() {
    for (const auto &[pid, k] : running_) kill(pid, SIGTERM);
    for (const auto &[pid, k] : running_) waitpid(pid, nullptr, 0);
    running_.clear();
  }

  const ShardRun &run_;
  Progress &progress_;
  const sigset_t &child_mask_;
  std::map<pid_t, size_t> running_;
};

}  // namespace

void count_shards_locally(const ShardRun &run, Progress &progress) {
  sigset_t waited = waited_signals();
  sigset_t child_mask;
  sigprocmask(SIG_BLOCK, &waited, &child_mask);
  ShardChildren children(run, progress, child_mask);
  size_t next = 0;
  size_t done = 0;
  long long bytes_done = 0;
  progress.update(0, 0);
  for (;;) {
    // Children that ended are taken first, so that their places go to the next shards at once.
    done += children.reap(bytes_done);
    if (done == run.shards.size()) break;
    while (children.running() < static_cast<size_t>(run.jobs) && next < run.shards.size()) {
      children.start(next++);
    }
    progress.update(done, bytes_done);
    timespec wait_at_most{0, kProgressNanoseconds};
    int signal_number = sigtimedwait(&waited, nullptr, &wait_at_most);
    if (signal_number == SIGINT || signal_number == SIGTERM || signal_number == SIGHUP) {
      children.interrupted(signal_number);
    }
  }
  progress.update(done, bytes_done);
  sigprocmask(SIG_SETMASK, &child_mask, nullptr);
}
