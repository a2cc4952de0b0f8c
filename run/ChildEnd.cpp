#include "run/ChildEnd.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

int exit_code_of(int wait_status) {
  return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status)
                                : kSignalStatusBase + WTERMSIG(wait_status);
}

std::string how_it_ended(int wait_status) {
  if (WIFEXITED(wait_status)) return "exit status " + std::to_string(WEXITSTATUS(wait_status));
  int signal_number = WTERMSIG(wait_status);
  return "signal " + std::to_string(signal_number) + " (" + strsignal(signal_number) + ")";
}

int wait_for_child(pid_t pid) {
  int status = 0;
  pid_t waited;
  do {
    waited = waitpid(pid, &status, 0);
  } while (waited < 0 && errno == EINTR);
  return waited < 0 ? -1 : status;
}

std::string plain_message(std::string_view written) {
  std::string text;
  while (!written.empty()) {
    size_t end = written.find('\n');
    std::string_view line = written.substr(0, end);
    written.remove_prefix(end == std::string_view::npos ? written.size() : end + 1);
    std::string plain;
    // Drop the Select Graphic Rendition escapes that colour the messages.
    for (size_t i = 0; i < line.size(); ++i) {
      if (line[i] == '\033') {
        size_t escape_end = line.find('m', i);
        if (escape_end != std::string_view::npos) {
          i = escape_end;
          continue;
        }
      }
      plain += line[i];
    }
    if (plain.empty()) continue;
    if (!text.empty() && plain[0] != ':') text += "; ";
    text += plain;
  }
  return text;
}

bool open_message_pipe(MessagePipe &pipe) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  pipe.read_fd = ends[0];
  pipe.write_fd = ends[1];
  return true;
}

bool become_message_writer(MessagePipe &pipe) {
  // dup2 leaves the new standard error open across exec, and shares the end's non-blocking mode.
  if (dup2(pipe.write_fd, STDERR_FILENO) < 0) return false;
  close(pipe.write_fd);
  close(pipe.read_fd);
  pipe = MessagePipe{};
  return true;
}

void close_message_writer(MessagePipe &pipe) {
  if (pipe.write_fd >= 0) close(pipe.write_fd);
  pipe.write_fd = -1;
}

std::string take_message(MessagePipe &pipe) {
  std::string written;
  char block[kMaxMessageBytes];
  while (written.size() < kMaxMessageBytes) {
    ssize_t n = read(pipe.read_fd, block, kMaxMessageBytes - written.size());
    if (n < 0 && errno == EINTR) continue;
    // The end of the pipe, or nothing more in it (EAGAIN): an ended child writes no more.
    if (n <= 0) break;
    written.append(block, static_cast<size_t>(n));
  }
  drop_message(pipe);
  return plain_message(written);
}

void drop_message(MessagePipe &pipe) {
  if (pipe.read_fd >= 0) close(pipe.read_fd);
  pipe.read_fd = -1;
}

bool ChildEnd::succeeded() const { return WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == 0; }

bool run_in_child(const std::function<void()> &work, ChildEnd &end,
                  const std::function<void()> &meanwhile) {
  MessagePipe pipe;
  if (!open_message_pipe(pipe)) return false;
  pid_t pid = fork();
  if (pid < 0) {
    int fork_errno = errno;
    close_message_writer(pipe);
    drop_message(pipe);
    errno = fork_errno;
    return false;
  }
  if (pid == 0) {
    // Without its pipe the child would write over the driver's progress line: its status alone
    // tells, the error number as everywhere in the run.
    if (!become_message_writer(pipe)) _exit(errno != 0 ? errno : EXIT_FAILURE);
    work();
    exit(0);
  }
  close_message_writer(pipe);
  end.pid = pid;
  if (meanwhile) meanwhile();
  int status = wait_for_child(pid);
  if (status < 0) {
    int wait_errno = errno;
    drop_message(pipe);
    errno = wait_errno;
    return false;
  }
  end.wait_status = status;
  end.message = take_message(pipe);
  return true;
}
