#include "run/SlurmCommands.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/Clock.h"
#include "common/Errors.h"
#include "run/ChildEnd.h"

namespace {

// The status of a command that cannot be executed, as a shell gives it.
constexpr int kNotExecutedStatus = 127;

// A command of Slurm's, started: its process, what it prints, and its messages.
struct Command {
  pid_t pid = -1;
  int output = -1;  // the read end of its standard output
  MessagePipe messages;
};

// The child's side of start_command: becomes argv; never returns.
[[noreturn]] void become_command(const std::vector<std::string> &argv, int output_end,
                                 MessagePipe &messages) {
  if (!become_message_writer(messages)) _exit(kNotExecutedStatus);
  if (output_end >= 0) {
    dup2(output_end, STDOUT_FILENO);
  } else {
    int null_device = open("/dev/null", O_WRONLY);
    if (null_device >= 0) dup2(null_device, STDOUT_FILENO);
  }
  std::vector<char *> args;
  for (const std::string &arg : argv) args.push_back(const_cast<char *>(arg.c_str()));
  args.push_back(nullptr);
  execvp(args[0], args.data());
  char message[COMPOSED_LINE_SIZE];
  int length = tag_message(message, sizeof message, nullptr, "Error executing %s: %s\n", args[0],
                           strerror(errno));
  (void)!write(STDERR_FILENO, message, static_cast<size_t>(length));
  _exit(kNotExecutedStatus);
}

// Starts argv with its standard output into command.output, or into /dev/null without
// capture_output. False with errno set when it cannot be started.
bool start_command(const std::vector<std::string> &argv, bool capture_output, Command &command) {
  int output[2] = {-1, -1};
  if (capture_output && pipe2(output, O_CLOEXEC) < 0) return false;
  if (!open_message_pipe(command.messages)) {
    int pipe_errno = errno;
    if (capture_output) {
      close(output[0]);
      close(output[1]);
    }
    errno = pipe_errno;
    return false;
  }
  command.pid = fork();
  if (command.pid == 0) become_command(argv, output[1], command.messages);
  int fork_errno = errno;
  close_message_writer(command.messages);
  if (capture_output) close(output[1]);
  if (command.pid < 0) {
    drop_message(command.messages);
    if (capture_output) close(output[0]);
    errno = fork_errno;
    return false;
  }
  command.output = output[0];
  return true;
}

// Waits for the command's end and closes its pipes; returns its wait status, or -1 with errno
// set, and its message.
int finish_command(Command &command, std::string &message) {
  if (command.output >= 0) close(command.output);
  command.output = -1;
  int status = wait_for_child(command.pid);
  message = status < 0 ? "" : take_message(command.messages);
  drop_message(command.messages);
  return status;
}

// squeue's answer: the ids of the jobs still in the queue, one a line.
bool read_answer(Command &squeue, double seconds, std::string &printed) {
  timespec started = monotonic_now();
  char block[256];
  for (;;) {
    int left_ms = static_cast<int>((seconds - seconds_since(started)) * 1000);
    pollfd wait{squeue.output, POLLIN, 0};
    if (left_ms <= 0 || poll(&wait, 1, left_ms) == 0) return false;
    ssize_t n = read(squeue.output, block, sizeof block);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return true;
    printed.append(block, static_cast<size_t>(n));
  }
}

}  // namespace

bool run_command(const std::vector<std::string> &argv, std::string &printed, int &status,
                 std::string &message) {
  Command command;
  if (!start_command(argv, true, command)) return false;
  char block[256];
  for (ssize_t n;
       (n = read(command.output, block, sizeof block)) > 0 || (n < 0 && errno == EINTR);) {
    if (n > 0) printed.append(block, static_cast<size_t>(n));
  }
  int wait_status = finish_command(command, message);
  if (wait_status < 0) return false;
  status = exit_code_of(wait_status);
  return true;
}

JobsState jobs_state(const std::string &ids, double seconds, std::string &said) {
  Command squeue;
  if (!start_command({"squeue", "--noheader", "--jobs=" + ids,
                      "--states=PENDING,RUNNING,CONFIGURING,COMPLETING,SUSPENDED", "--format=%i"},
                     true, squeue)) {
    said = std::string("nothing, it could not be started: ") + strerror(errno);
    return JobsState::kUnknown;
  }
  std::string printed;
  bool answered = read_answer(squeue, seconds, printed);
  if (!answered) kill(squeue.pid, SIGKILL);
  std::string message;
  int status = finish_command(squeue, message);
  if (!message.empty()) said = message;
  if (!answered || status < 0 || exit_code_of(status) != 0) return JobsState::kUnknown;
  return printed.find_first_not_of(" \n") != std::string::npos ? JobsState::kActive
                                                               : JobsState::kFinished;
}

SlurmLimits read_slurm_limits() {
  std::string printed;
  std::string message;
  int status = 0;
  if (!run_command({"scontrol", "show", "config"}, printed, status, message) || status != 0) {
    return SlurmLimits{};
  }
  return parse_slurm_limits(printed);
}

std::string cancel_jobs(const std::vector<std::string> &ids) {
  std::vector<std::string> argv = {"scancel"};
  argv.insert(argv.end(), ids.begin(), ids.end());
  std::string printed;
  std::string message;
  int status = 0;
  if (!run_command(argv, printed, status, message)) {
    return std::string("scancel cannot be started: ") + strerror(errno);
  }
  if (status == 0) return "";
  return "scancel failed: " + (message.empty() ? "exit status " + std::to_string(status) : message);
}
