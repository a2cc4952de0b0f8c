#include "run/LocalRun.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "common/Errors.h"
#include "common/RawIO.h"
#include "common/RunFiles.h"
#include "count/ShardCount.h"
#include "input/StreamFeed.h"

namespace {

// How often the progress line is brought up to date while no shard ends.
constexpr int kProgressMilliseconds = 250;

constexpr mode_t kDirectoryMode = 0755;

// Ends of a run that the driver must handle itself: children ending, and the user stopping it.
sigset_t waited_signals() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal_number : {SIGCHLD, SIGINT, SIGTERM, SIGHUP}) sigaddset(&set, signal_number);
  return set;
}

std::string how_it_ended(int status) {
  return WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                           : "signal " + std::to_string(WTERMSIG(status)) + " (" +
                                 strsignal(WTERMSIG(status)) + ")";
}

int status_of(int status) {
  int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return code != 0 ? code : 1;
}

// The feeder: a child that reads the streams and large compressed files into chunk files and
// tells the driver of each on a pipe, "begin <path>\n" once it is created, so that a shard
// counts it while it is written, and "done <bytes> <path>\n" once it is complete; then
// "end\n". It starts a chunk only with a credit: it has jobs + 1 at first, and the driver gives
// one back for every chunk counted, so that at most about jobs + 1 chunks are on disk at once.
class Feeder {
 public:
  bool running() const { return pid_ > 0; }
  bool done() const { return done_; }
  int report_fd() const { return report_fd_; }
  pid_t pid() const { return pid_; }
  const std::string &dir() const { return dir_; }

  void start(const ShardRun &run, const std::vector<Input> &inputs, long long chunk_size,
             const sigset_t &child_mask) {
    if (inputs.empty()) {
      done_ = true;
      return;
    }
    dir_ = feed_dir(run.work_dir);
    make_run_directory(dir_, "Error creating the directory");
    int report[2];
    int credit[2];
    // Credits go over a socket, whose writes can refuse to raise SIGPIPE once the feeder is gone.
    if (pipe(report) < 0 || socketpair(AF_UNIX, SOCK_STREAM, 0, credit) < 0) {
      error_at(nullptr, "Error creating a pipe");
    }
    pid_ = fork();
    if (pid_ < 0) error_at(nullptr, "Error starting the reader of the streams");
    if (pid_ == 0) {
      sigprocmask(SIG_SETMASK, &child_mask, nullptr);
      close(report[0]);
      close(credit[1]);
      if (!redirect_shard_output(dir_, false)) error_at(nullptr, "Error opening the output files");
      int credits = run.jobs + 1;
      int credit_fd = credit[0];
      int report_fd = report[1];
      auto report = [report_fd](const std::string &line) {
        if (write_fully(report_fd, line.data(), line.size()) < 0) exit(EPIPE);
      };
      ChunkFeed feed(
          dir_, chunk_size,
          [&credits, credit_fd] {
            char token;
            if (credits == 0 && read(credit_fd, &token, 1) == 1) ++credits;
            --credits;
          },
          [&report](const std::string &path) { report("begin " + path + "\n"); },
          [&report](const Chunk &chunk) {
            report("done " + std::to_string(chunk.bytes) + " " + chunk.path + "\n");
          });
      feed.feed(inputs, run.as_stored);
      report("end\n");
      exit(0);
    }
    close(report[1]);
    close(credit[0]);
    report_fd_ = report[0];
    credit_fd_ = credit[1];
    // The streams are the feeder's now.
    for (const Input &input : inputs) {
      if (input.fd > 0) close(input.fd);
    }
  }

  // Reads what the feeder reported; returns the chunks it began (bytes -1) and completed.
  std::vector<Chunk> take_reports() {
    std::vector<Chunk> chunks;
    char buf[4096];
    ssize_t n = read(report_fd_, buf, sizeof buf);
    if (n <= 0) {
      close(report_fd_);
      report_fd_ = -1;
      return chunks;
    }
    pending_.append(buf, static_cast<size_t>(n));
    for (size_t end; (end = pending_.find('\n')) != std::string::npos;) {
      std::string line = pending_.substr(0, end);
      pending_.erase(0, end + 1);
      if (line == "end") {
        done_ = true;
        continue;
      }
      if (line.starts_with("begin ")) {
        chunks.push_back(Chunk{line.substr(6), -1});
      } else if (line.starts_with("done ")) {
        size_t blank = line.find(' ', 5);
        chunks.push_back(Chunk{line.substr(blank + 1), atoll(line.c_str() + 5)});
      }
    }
    return chunks;
  }

  // A chunk was counted: its file goes, and the feeder may begin another.
  void give_back(const std::string &chunk) {
    unlink(chunk.c_str());
    unlink(chunk_done_mark(chunk).c_str());
    (void)!send(credit_fd_, "c", 1, MSG_NOSIGNAL);
  }

  // The feeder ended; true when it ended well.
  bool ended(int status) {
    pid_ = -1;
    status_ = status;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
  int status() const { return status_; }

  void stop() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
  }

 private:
  pid_t pid_ = -1;
  int report_fd_ = -1;
  int credit_fd_ = -1;
  bool done_ = false;
  int status_ = 0;
  std::string dir_;
  std::string pending_;
};

class ShardChildren {
 public:
  ShardChildren(ShardRun &run, Feeder &feeder, const sigset_t &child_mask)
      : run_(run), feeder_(feeder), child_mask_(child_mask) {}

  void start(size_t k) {
    // A chunk's shard has no directory yet; the planned ones have theirs.
    if (mkdir(run_.shard_dir(k).c_str(), kDirectoryMode) < 0 && errno != EEXIST) {
      stop_all(k, "could not be started: " + std::string(strerror(errno)), 1);
      return;
    }
    pid_t pid = fork();
    if (pid < 0) {
      stop_all(k, "could not be started: " + std::string(strerror(errno)), 1);
      return;
    }
    if (pid == 0) {
      sigprocmask(SIG_SETMASK, &child_mask_, nullptr);
      if (!redirect_shard_output(run_.shard_dir(k), run_.keep_work_files)) {
        error_at("count_shard", "Error opening the shard's output files");
      }
      count_shard(run_.shards[k], run_.nreducers, run_.shard_dir(k), run_.keep_work_files);
      exit(0);
    }
    running_[pid] = k;
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
        if (!feeder_.ended(status)) {
          stop_all_for_input(
              "Reading the streams and large compressed files failed: " +
                  shard_failure_text(feeder_.dir(), "ended by " + how_it_ended(status)),
              status_of(status));
        }
        continue;
      }
      auto child = running_.find(pid);
      if (child == running_.end()) continue;
      size_t k = child->second;
      running_.erase(child);
      if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        bytes_done += run_.shards[k].bytes;
        if (auto chunk = chunk_of_shard_.find(k); chunk != chunk_of_shard_.end()) {
          feeder_.give_back(chunk->second);
        }
        ++counted;
        continue;
      }
      stop_all(
          k, "failed: " + shard_failure_text(run_.shard_dir(k), "ended by " + how_it_ended(status)),
          status_of(status));
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
    outcome_ = RunOutcome{RunOutcome::End::kFailed, status, {what}};
  }

  void interrupted(int signal_number) {
    stop_all_for_input(
        std::string("Stopped by signal ") + strsignal(signal_number) + "; no result written",
        128 + signal_number);
  }

 private:
  void terminate_children() {
    feeder_.stop();
    for (const auto &[pid, k] : running_) kill(pid, SIGTERM);
    for (const auto &[pid, k] : running_) waitpid(pid, nullptr, 0);
    running_.clear();
  }

  ShardRun &run_;
  Feeder &feeder_;
  const sigset_t &child_mask_;
  RunOutcome outcome_;
  std::map<pid_t, size_t> running_;
  std::map<size_t, std::string> chunk_of_shard_;
  std::map<std::string, size_t> shard_of_chunk_;
};

}  // namespace

RunOutcome count_shards_locally(ShardRun &run, const std::vector<Input> &fed, long long chunk_size,
                                Progress &progress) {
  sigset_t waited = waited_signals();
  sigset_t child_mask;
  sigprocmask(SIG_BLOCK, &waited, &child_mask);
  int signals = signalfd(-1, &waited, SFD_CLOEXEC);
  if (signals < 0) error_at(nullptr, "Error waiting for the shards");
  Feeder feeder;
  feeder.start(run, fed, chunk_size, child_mask);
  ShardChildren children(run, feeder, child_mask);
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
      error_at(nullptr, "Error waiting for the shards");
    }
    if (count == 2 && waits[1].revents != 0) {
      for (const Chunk &chunk : feeder.take_reports()) {
        long long bytes = children.add_chunk(chunk);
        if (chunk.bytes < 0) progress.add_shard(0);
        if (bytes > 0) progress.add_shard_bytes(bytes);
      }
    }
    if (waits[0].revents != 0) {
      signalfd_siginfo info;
      if (read(signals, &info, sizeof info) == sizeof info) {
        int signal_number = static_cast<int>(info.ssi_signo);
        if (signal_number == SIGINT || signal_number == SIGTERM || signal_number == SIGHUP) {
          children.interrupted(signal_number);
        }
      }
    }
  }
  if (!children.failed()) progress.update(done, bytes_done);
  close(signals);
  sigprocmask(SIG_SETMASK, &child_mask, nullptr);
  return children.outcome();
}
