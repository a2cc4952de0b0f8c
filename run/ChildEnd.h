/* How a child of the run ends, as its driver learns it: the exit status its wait status stands
 * for, the words that say how it ended, and its own message, which comes back through a pipe
 * rather than a file, so that a child stopped by a full disk can still say so. The one owner of
 * these rules for the sharded run; the stage drivers judge their children by rules of their own
 * (drivers/ChildProcess.h). */
#ifndef QUOVENT_RUN_CHILDEND_H
#define QUOVENT_RUN_CHILDEND_H

#include <sys/types.h>

#include <functional>
#include <string>
#include <string_view>

/* The exit status a shell gives a process ended by a signal is this base plus the signal. */
inline constexpr int kSignalStatusBase = 128;

/* The exit status that the wait status of a child (as waitpid gives it) stands for: the child's
 * own exit status, or kSignalStatusBase plus the signal that ended it. */
int exit_code_of(int wait_status);

/* "exit status 28" or "signal 9 (Killed)": how a child ended, for a message. */
std::string how_it_ended(int wait_status);

/* Waits for the child pid through interruptions. Returns its wait status, or -1 with errno set
 * when waitpid fails. */
int wait_for_child(pid_t pid);

/* Text a child wrote on its standard error as one line for the user: without the colour escapes,
 * its lines joined by "; ", but a line that begins with ':' (Error's text of the failed call,
 * which follows a line end in most messages) joined as it is. Empty when it holds no text. */
std::string plain_message(std::string_view written);

/* A child's standard error, carried to the driver. Both ends are non-blocking and closed on
 * exec: a child that writes more than the pipe holds loses the rest instead of waiting for a
 * driver that reads only once the child has ended, and no program started later inherits an end.
 * A pipe holds at least a page, more than any message the run writes. Both ends -1 when closed. */
struct MessagePipe {
  int read_fd = -1;   // the driver's end
  int write_fd = -1;  // the child's end
};

/* Driver, before fork. False with errno set when the pipe cannot be made. */
bool open_message_pipe(MessagePipe &pipe);

/* Child, right after fork: makes the write end its standard error and closes the pipe's own
 * descriptors. False with errno set when it cannot; standard error is then what it was. */
bool become_message_writer(MessagePipe &pipe);

/* Driver, right after fork: closes its copy of the write end, so that only the child holds it. */
void close_message_writer(MessagePipe &pipe);

/* Driver, once the child has been waited for: what the child wrote, as plain_message makes it
 * (its first kMaxMessageBytes bytes). Never blocks. Closes the read end. */
std::string take_message(MessagePipe &pipe);

/* Driver, for a child whose words are not wanted (one stopped by the driver): closes the read
 * end. */
void drop_message(MessagePipe &pipe);

/* The most bytes of a child's message that the driver reads: its beginning says what failed. */
inline constexpr size_t kMaxMessageBytes = 4096;

/* How a child that `run_in_child` ran ended: its wait status and its own message. */
struct ChildEnd {
  pid_t pid = -1;
  int wait_status = 0;
  std::string message;
  bool succeeded() const;  // it exited with status 0
};

/* Runs `work` in a child process, its standard error a message pipe, and waits for it; a child
 * whose work returns exits with status 0, one stopped through Error with its errno. For work
 * whose failures stop the process (Error, Fail) while the driver must go on to report them.
 * `meanwhile`, when given, runs in the driver once the child is started, before it is waited for.
 * False with errno set when the child cannot be started or waited for. */
bool run_in_child(const std::function<void()> &work, ChildEnd &end,
                  const std::function<void()> &meanwhile = {});

#endif
