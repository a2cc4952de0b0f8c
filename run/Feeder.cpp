#include "run/Feeder.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "common/Errors.h"
#include "common/RawIO.h"
#include "common/RunFiles.h"
#include "count/ShardCount.h"

namespace {

// The feeder's side: reads the inputs into chunks, reporting each, and ends the process.
[[noreturn]] void feed(const ShardRun &run, const std::vector<Input> &inputs, long long chunk_size,
                       const std::string &dir, int report_fd, int credit_fd) {
  if (!redirect_shard_log(dir, false)) error_at(nullptr, "Error opening the output files");
  int credits = run.jobs + 1;
  auto report = [report_fd](const std::string &line) {
    if (write_fully(report_fd, line.data(), line.size()) < 0) exit(EPIPE);
  };
  ChunkFeed feed(
      dir, chunk_size,
      [&credits, credit_fd] {
        char token;
        if (credits == 0 && read(credit_fd, &token, 1) == 1) ++credits;
        --credits;
      },
      [&report](const std::string &path) { report("begin " + path + "\n"); },
      [&report](const Chunk &chunk) {
        report("done " + std::to_string(chunk.bytes) + " " + chunk.path + "\n");
      });
  feed.feed(inputs, run.as_stored, run.words);
  report("end\n");
  exit(0);
}

}  // namespace

RunOutcome Feeder::start(const ShardRun &run, const std::vector<Input> &inputs,
                         long long chunk_size, const sigset_t &child_mask) {
  if (inputs.empty()) {
    done_ = true;
    return {};
  }
  dir_ = feed_dir(run.work_dir);
  if (!make_run_directory(dir_))
    return failed_call("Error creating the directory %s\n", dir_.c_str());
  int report[2] = {-1, -1};
  int credit[2] = {-1, -1};
  // What kept the feeder from starting, the descriptors made for it closed again.
  auto give_up = [&](const char *what) {
    RunOutcome outcome = failed_call("%s", what);
    for (int fd : {report[0], report[1], credit[0], credit[1]}) {
      if (fd >= 0) close(fd);
    }
    close_message_writer(messages_);
    drop_message(messages_);
    return outcome;
  };
  // Credits go over a socket, whose writes can refuse to raise SIGPIPE once the feeder is gone.
  if (pipe2(report, O_CLOEXEC) < 0 ||
      socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, credit) < 0 ||
      !open_message_pipe(messages_)) {
    return give_up("Error creating a pipe");
  }
  pid_ = fork();
  if (pid_ < 0) return give_up("Error starting the reader of the streams");
  if (pid_ == 0) {
    sigprocmask(SIG_SETMASK, &child_mask, nullptr);
    close(report[0]);
    close(credit[1]);
    if (!become_message_writer(messages_)) _exit(errno);
    feed(run, inputs, chunk_size, dir_, report[1], credit[0]);
  }
  close(report[1]);
  close(credit[0]);
  close_message_writer(messages_);
  report_fd_ = report[0];
  credit_fd_ = credit[1];
  // The streams are the feeder's now.
  for (const Input &input : inputs) {
    if (input.fd > 0) close(input.fd);
  }
  return {};
}

std::vector<Chunk> Feeder::take_reports() {
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

void Feeder::give_back(const std::string &chunk) {
  unlink(chunk.c_str());
  unlink(chunk_done_mark(chunk).c_str());
  (void)!send(credit_fd_, "c", 1, MSG_NOSIGNAL);
}

std::string Feeder::ended(int wait_status) {
  pid_ = -1;
  std::string message = take_message(messages_);
  if (WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == 0) return "";
  return message.empty() ? "ended by " + how_it_ended(wait_status) : message;
}

void Feeder::stop() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    wait_for_child(pid_);
    pid_ = -1;
  }
  drop_message(messages_);
}

void Feeder::close_in_child() const {
  if (report_fd_ >= 0) close(report_fd_);
  if (credit_fd_ >= 0) close(credit_fd_);
  if (messages_.read_fd >= 0) close(messages_.read_fd);
}
