// Stage programs as child processes: where they are, how they start, how
// their end is judged.
#include "drivers/ChildProcess.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/Errors.h"

namespace {

// A child's failure is not a failed call of the driver: errno 0 makes Error
// end the driver with status 1 instead of some stale error number.
[[noreturn]] void stop_for_child(const char *format, const char *stage) {
  snprintf(MsgError, sizeof MsgError, format, stage);
  errno = 0;
  Error(MsgError);
}

// Error for a failed call, with the errno that call left.
[[noreturn]] void stop_for_call(const char *format, const char *stage) {
  int call_errno = errno;
  snprintf(MsgError, sizeof MsgError, format, stage);
  errno = call_errno;
  Error(MsgError);
}

// The child's side of start_child; never returns.
[[noreturn]] void become_stage(char *const child_argv[], const char *stage, const Child &child,
                               const DriverTexts *texts) {
  if (child.status_is_counter) {
    if (pass_status_channel(&child.channel) == 0) execv(child_argv[0], child_argv);
    report_failure(child.channel.write_fd);
  } else {
    execv(child_argv[0], child_argv);
  }
  stop_for_call(texts->executing, stage);
}

}  // namespace

void get_exec_dir(const char *argv0, char *dir, size_t size) {
  const char *slash = strrchr(argv0, '/');
  if (slash == nullptr) {
    snprintf(dir, size, "%s", ".");
    return;
  }
  size_t len = static_cast<size_t>(slash - argv0);
  if (len >= size) len = size - 1;
  memcpy(dir, argv0, len);
  dir[len] = '\0';
}

void *driver_alloc(size_t size, const DriverTexts *texts) {
  void *block = malloc(size);
  if (block == nullptr) Error(texts->malloc_failed);
  return block;
}

char *build_exec_path(const char *dir, const char *program, const DriverTexts *texts) {
  size_t len_dir = strlen(dir);
  size_t len_program = strlen(program);
  char *path = static_cast<char *>(driver_alloc(len_dir + len_program + 2, texts));
  memcpy(path, dir, len_dir);
  path[len_dir] = '/';
  memcpy(path + len_dir + 1, program, len_program + 1);
  return path;
}

StagePrograms locate_stage_programs(const char *argv0, const DriverTexts *texts) {
  char exec_dir[EXEC_DIR_SIZE];
  get_exec_dir(argv0, exec_dir, sizeof exec_dir);
  return {build_exec_path(exec_dir, "QuoventMap", texts),
          build_exec_path(exec_dir, "QuoventSuffle", texts),
          build_exec_path(exec_dir, "QuoventReduce", texts)};
}

void free_stage_programs(StagePrograms *programs) {
  free(programs->map_exec);
  free(programs->suffle_exec);
  free(programs->reduce_exec);
}

char **build_map_argv(char *map_exec, int ninputfiles, char **input_files,
                      const DriverTexts *texts) {
  auto map_argv = static_cast<char **>(driver_alloc((ninputfiles + 2) * sizeof(char *), texts));
  map_argv[0] = map_exec;
  for (int i = 0; i < ninputfiles; ++i) map_argv[i + 1] = input_files[i];
  map_argv[ninputfiles + 1] = nullptr;
  return map_argv;
}

Child start_child(char *const child_argv[], const char *stage, bool status_is_counter,
                  const DriverTexts *texts) {
  Child child{-1, status_is_counter, {-1, -1}};
  if (status_is_counter && open_status_channel(&child.channel) != 0) {
    stop_for_call(texts->creating, stage);
  }
  child.pid = fork();
  if (child.pid < 0) stop_for_call(texts->creating, stage);
  if (child.pid == 0) become_stage(child_argv, stage, child, texts);
  // Once only the child holds the write end, the pipe cannot fill up from
  // elsewhere, and no later child inherits it.
  close_status_writer(&child.channel);
  snprintf(Msg, sizeof Msg, texts->started, stage, static_cast<int>(child.pid));
  printMessage(Msg, COLOR_GREEN_L);
  return child;
}

int wait_child(Child *child, const char *stage, const DriverTexts *texts) {
  int status = 0;
  pid_t waited;
  do {
    waited = waitpid(child->pid, &status, 0);
  } while (waited < 0 && errno == EINTR);
  if (waited < 0) stop_for_call(texts->waiting, stage);
  if (!WIFEXITED(status)) stop_for_child(texts->not_normal, stage);
  int exit_status = WEXITSTATUS(status);
  if (child->status_is_counter) {
    if (status_channel_reported_failure(&child->channel)) stop_for_child(texts->failed, stage);
    return exit_status;
  }
  if (exit_status != 0) stop_for_child(texts->failed, stage);
  return 0;
}
