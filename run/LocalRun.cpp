#include "run/LocalRun.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>

#include "common/DurableFile.h"
#include "common/Errors.h"
#include "count/ShardCount.h"
#include "reduce/ResultMerge.h"
#include "run/ChildEnd.h"
#include "run/Feeder.h"

namespace {

// How often the progress line is brought up to date while no shard ends.
constexpr int kProgressMilliseconds = 250;

// Descriptors the driver holds beside the pipe of each running shard: its standard streams, the
// signals, the feeder's report, credits and messages, and for a moment both ends of a new pipe.
constexpr rlim_t kDescriptorsBesideShards = 16;

// The signals by which the user stops a run.
sigset_t stop_signals() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set, signal_number);
  return set;
}

// Ends of a run that the driver must handle itself: children ending, and the user stopping it.
sigset_t waited_signals() {
  sigset_t set = stop_signals();
  sigaddset(&set, SIGCHLD);
  return set;
}

// A run that the user stopped: nothing is written over the result.
RunOutcome stopped_by(int signal_number) {
  return RunOutcome{
      RunOutcome::End::kFailed,
      kSignalStatusBase + signal_number,
      {std::string("Stopped by signal ") + strsignal(signal_number) + "; no result written"}};
}

// A shard being counted: which one, and the pipe that brings back its messages.
struct RunningShard {
  size_t k;
  MessagePipe messages;
};

class ShardChildren {
 public:
  ShardChildren(ShardRun &run, Feeder &feeder, const sigset_t &child_mask, int signals)
      : run_(run), feeder_(feeder), child_mask_(child_mask), signals_(signals) {}

  void start(size_t k) {
    MessagePipe messages;
    // A chunk's shard has no directory yet; the planned ones have theirs.
    if (!make_run_directory(run_.shard_dir(k)) || !open_message_pipe(messages)) {
      stop_all(k, std::string("could not be started: ") + strerror(errno), 1);
      return;
    }
    pid_t pid = fork();
    if (pid < 0) {
      std::string why = strerror(errno);
      close_message_writer(messages);
      drop_message(messages);
      stop_all(k, "could not be started: " + why, 1);
      return;
    }
    if (pid == 0) count_in_child(k, messages);
    close_message_writer(messages);
    running_[pid] = RunningShard{k, messages};
  }

  size_t running() const { return running_.size(); }
  bool failed() const { return outcome_.end != RunOutcome::End::kCounted; }
  const RunOutcome &outcome() const { return outcome_; }

  // Takes the ends of finished children; returns the shards that ended well. The first failure
  // stops the others.
  size_t reap(long long &bytes_done) {
    size_t counted = 0;
    int status = 0;
    pid_t pid;
    while (!failed() && (pid = waitpid(-1, &status, WNOHANG)) > 0) {
      if (pid == feeder_.pid()) {
        std::string failure = feeder_.ended(status);
        if (!failure.empty()) {
          stop_all_for_input("Reading the streams and large compressed files failed: " + failure,
                             exit_code_of(status));
        }
        continue;
      }
      auto child = running_.find(pid);
      if (child == running_.end()) continue;
      RunningShard shard = child->second;
      running_.erase(child);
      std::string message = take_message(shard.messages);
      if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        bytes_done += run_.shards[shard.k].bytes;
        if (auto chunk = chunk_of_shard_.find(shard.k); chunk != chunk_of_shard_.end()) {
          feeder_.give_back(chunk->second);
        }
        ++counted;
        continue;
      }
      stop_all(shard.k,
               "failed: " + (message.empty() ? "ended by " + how_it_ended(status) : message),
               exit_code_of(status));
    }
    return counted;
  }

  // A chunk the feeder began becomes the run's next shard, counted while it is written; once
  // complete, its bytes are known. Returns the bytes that the run gained.
  long long add_chunk(const Chunk &chunk) {
    if (chunk.bytes < 0) {
      run_.shards.push_back(shard_of_chunk(chunk, true));
      shard_of_chunk_[chunk.path] = run_.shards.size() - 1;
      chunk_of_shard_[run_.shards.size() - 1] = chunk.path;
      return 0;
    }
    run_.shards[shard_of_chunk_[chunk.path]].bytes = chunk.bytes;
    return chunk.bytes;
  }

  // Stops the children still running; the outcome says why.
  void stop_all(size_t k, const std::string &what, int status) {
    stop_all_for_input(
        "Shard " + std::to_string(k) + " (" + describe_shard(run_.shards[k]) + ") " + what, status);
  }

  void stop_all_for_input(const std::string &what, int status) {
    terminate_children();
    outcome_ = RunOutcome{RunOutcome::End::kFailed, status != 0 ? status : 1, {what}};
  }

  void stop_all(const RunOutcome &outcome) {
    terminate_children();
    outcome_ = outcome;
  }

  void interrupted(int signal_number) { stop_all(stopped_by(signal_number)); }

 private:
  // The child's side of start: counts shard k, its messages into the pipe; never returns.
  [[noreturn]] void count_in_child(size_t k, MessagePipe &messages) {
    sigprocmask(SIG_SETMASK, &child_mask_, nullptr);
    // The driver's descriptors are not the shard's: with thousands of shards at once they would
    // fill its table, which the merge of its runs needs.
    close(signals_);
    feeder_.close_in_child();
    for (const auto &[pid, shard] : running_) close(shard.messages.read_fd);
    if (!become_message_writer(messages)) _exit(errno);
    if (!redirect_shard_log(run_.shard_dir(k), run_.keep_work_files)) {
      error_at("count_shard", "Error opening the shard's output files");
    }
    count_shard(run_.shards[k], run_.nreducers, run_.words, run_.shard_results, run_.shard_dir(k),
                run_.keep_work_files);
    exit(0);
  }

  void terminate_children() {
    feeder_.stop();
    for (const auto &[pid, shard] : running_) kill(pid, SIGTERM);
    for (auto &[pid, shard] : running_) {
      wait_for_child(pid);
      drop_message(shard.messages);
    }
    running_.clear();
  }

  ShardRun &run_;
  Feeder &feeder_;
  const sigset_t &child_mask_;
  int signals_;
  RunOutcome outcome_;
  std::map<pid_t, RunningShard> running_;
  std::map<size_t, std::string> chunk_of_shard_;
  std::map<std::string, size_t> shard_of_chunk_;
};

// The chunks the feeder reported become shards, and the progress line learns of them.
void take_chunks(Feeder &feeder, ShardChildren &children, Progress &progress) {
  for (const Chunk &chunk : feeder.take_reports()) {
    long long bytes = children.add_chunk(chunk);
    if (chunk.bytes < 0) progress.add_shard(0);
    if (bytes > 0) progress.add_shard_bytes(bytes);
  }
}

// Keeps run.jobs shards counting until every one is counted, one fails or a signal stops the run.
// Reads every signal waiting on the descriptor; returns the first that stops the run, or 0. A
// signal that the kernel sends a whole process group is waiting here before any child ends by it.
int taken_stop_signal(int signals) {
  pollfd ready{signals, POLLIN, 0};
  signalfd_siginfo info;
  while (poll(&ready, 1, 0) > 0 && read(signals, &info, sizeof info) == sizeof info) {
    if (info.ssi_signo != SIGCHLD) return static_cast<int>(info.ssi_signo);
  }
  return 0;
}

void count_all(ShardRun &run, Feeder &feeder, ShardChildren &children, int signals,
               Progress &progress) {
  size_t next = 0;
  size_t done = 0;
  long long bytes_done = 0;
  // The shards a resumed run kept are counted already.
  for (const Shard &shard : run.shards) {
    if (shard.counted) {
      ++done;
      bytes_done += shard.bytes;
    }
  }
  progress.update(done, bytes_done);
  while (!children.failed()) {
    // A stop is taken before the children's ends: the Ctrl-C that stops the driver stops the
    // shards too, and one of them ended by it tells no failure of its own.
    if (int signal_number = taken_stop_signal(signals); signal_number != 0) {
      children.interrupted(signal_number);
      break;
    }
    // Children that ended are taken first, so that their places go to the next shards at once.
    done += children.reap(bytes_done);
    if (children.failed() || (feeder.done() && !feeder.running() && done == run.shards.size())) {
      break;
    }
    while (children.running() < static_cast<size_t>(run.jobs) && next < run.shards.size() &&
           !children.failed()) {
      if (!run.shards[next].counted) children.start(next);
      ++next;
    }
    progress.update(done, bytes_done);
    pollfd waits[2] = {{signals, POLLIN, 0}, {feeder.report_fd(), POLLIN, 0}};
    int count = feeder.report_fd() >= 0 ? 2 : 1;
    if (poll(waits, count, kProgressMilliseconds) < 0 && errno != EINTR) {
      children.stop_all(failed_call("Error waiting for the shards"));
      break;
    }
    if (count == 2 && waits[1].revents != 0) take_chunks(feeder, children, progress);
  }
  if (!children.failed()) progress.update(done, bytes_done);
}

// What the merge's child tells the driver as its parts end: one record a write, smaller than a
// pipe's atomic write.
struct MergeCount {
  int done;
  int parts;
};

// In the merge's child: the record into the descriptor `context` points to. A driver gone is no
// reason to stop the merge.
void tell_parts_done(int done, int parts, void *context) {
  MergeCount count{done, parts};
  (void)!write(*static_cast<int *>(context), &count, sizeof count);
}

// run_in_child for work that tells of its progress through a descriptor it is given: `heard` is
// called with each record as it comes, until the child and the processes it started are gone.
bool run_in_child_telling(const std::function<void(int)> &work,
                          const std::function<void(const MergeCount &)> &heard, ChildEnd &end) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return false;
  bool ran = run_in_child(
      [&work, &ends] {
        close(ends[0]);
        work(ends[1]);
      },
      end,
      [&ends, &heard] {
        close(ends[1]);
        ends[1] = -1;
        MergeCount count;
        ssize_t n;
        while ((n = read(ends[0], &count, sizeof count)) == sizeof count ||
               (n < 0 && errno == EINTR)) {
          if (n > 0) heard(count);
        }
      });
  int failed_errno = errno;
  close(ends[0]);
  if (ends[1] >= 0) close(ends[1]);
  errno = failed_errno;
  return ran;
}

}  // namespace

int jobs_within_descriptor_limit(int jobs) {
  rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return jobs;
  rlim_t needed = static_cast<rlim_t>(jobs) + kDescriptorsBesideShards;
  // The merges, of a shard's runs and of the shards' results, read that many files at once, in
  // processes that inherit the limit.
  rlim_t wanted = std::max(needed, static_cast<rlim_t>(MERGE_FAN_IN) + kDescriptorsBesideShards);
  if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < wanted) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, limit.rlim_max);
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= needed) return jobs;
  return limit.rlim_cur > kDescriptorsBesideShards
             ? static_cast<int>(limit.rlim_cur - kDescriptorsBesideShards)
             : 1;
}

RunOutcome count_shards_locally(ShardRun &run, const std::vector<Input> &fed, long long chunk_size,
                                Progress &progress) {
  sigset_t waited = waited_signals();
  sigset_t child_mask;
  sigprocmask(SIG_BLOCK, &waited, &child_mask);
  Feeder feeder;
  RunOutcome outcome = feeder.start(run, fed, chunk_size, child_mask);
  // Made once the feeder runs, which must not hold it; a signal that came meanwhile waits for it.
  int signals = -1;
  if (outcome.end == RunOutcome::End::kCounted) {
    signals = signalfd(-1, &waited, SFD_CLOEXEC);
    if (signals < 0) {
      outcome = failed_call("Error waiting for the shards");
      feeder.stop();
    }
  }
  if (signals >= 0) {
    ShardChildren children(run, feeder, child_mask, signals);
    count_all(run, feeder, children, signals, progress);
    outcome = children.outcome();
    close(signals);
  }
  sigprocmask(SIG_SETMASK, &child_mask, nullptr);
  return outcome;
}

RunOutcome merge_locally(const ShardRun &run, Progress &progress) {
  // One shard's result is already the whole result: it moves into place, its new name made to
  // survive a crash before main removes the work directory; unless the output lies on another
  // file system, where the merge copies it.
  if (run.shards.size() == 1 && run.shard_results == ResultForm::kCollated &&
      rename(run.shard_result(0).c_str(), run.output_file.c_str()) == 0) {
    if (sync_directory_of(run.output_file)) return {};
    return failed_call("Error renaming the merge result onto %s", run.output_file.c_str());
  }
  // The merge stops its process through Error or Fail, removing its temporary files on the way,
  // as QuoventMerge and the shards merging their runs want it. Run in a child of its own, it
  // keeps that contract, and its failure still comes back here, in its own words, for main to
  // report on a clean line; the fork of a driver that holds little by then costs nothing beside
  // the merge. The driver holds the stops meanwhile: the Ctrl-C that ends the merge before it can
  // clean up must not end the driver that cleans up after it.
  sigset_t stops = stop_signals();
  sigset_t old_mask;
  sigprocmask(SIG_BLOCK, &stops, &old_mask);
  ChildEnd end;
  bool ran = run_in_child_telling(
      [&run, &old_mask](int told) {
        sigprocmask(SIG_SETMASK, &old_mask, nullptr);
        MergeProgress tell{tell_parts_done, &told};
        merge_shard_results(run, false, run.jobs, &tell);
      },
      [&progress](const MergeCount &count) { progress.merge_update(count.done, count.parts); },
      end);
  int run_errno = errno;
  timespec no_wait{0, 0};
  int stop = sigtimedwait(&stops, nullptr, &no_wait);
  sigprocmask(SIG_SETMASK, &old_mask, nullptr);
  if (!ran) {
    errno = run_errno;
    return failed_call("Error starting the merge");
  }
  // A stop that comes once the result is in place changes nothing: the run is counted.
  if (end.succeeded()) return {};
  if (WIFSIGNALED(end.wait_status)) remove_merge_leftovers(run.output_file.c_str(), end.pid);
  if (stop > 0) return stopped_by(stop);
  return RunOutcome{
      RunOutcome::End::kFailed,
      exit_code_of(end.wait_status),
      {"The merge failed: " +
       (end.message.empty() ? "ended by " + how_it_ended(end.wait_status) : end.message)}};
}
