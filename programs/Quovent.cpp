// Quovent: a word count made without the system's own stages, by the
// platform's text tools grep, tr, sort and uniq run one after the other.
// Each tool reads the file that the one before it wrote; tmp1.txt to
// tmp4.txt and result.txt stay in the working directory. It shares no module
// with the rest of the system, prints plain text and leaves the locale to the
// tools.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace {

constexpr char kUsage[] = "Usage: ./Quovent <input_file1> [input_file2 ...]\n";

// Writes the NUL-terminated text one byte per write call. There is nowhere
// left to report a failed message, so any failure but an interrupted call
// ends the calling process at once, parent or child alike.
void write_all(int fd, const char *s) {
  for (; *s != '\0'; ++s) {
    for (;;) {
      ssize_t written = write(fd, s, 1);
      if (written == 1) break;
      if (written < 0 && errno == EINTR) continue;
      _exit(1);
    }
  }
}

// Makes the file at path, opened with flags, the descriptor target. A
// program started with target closed gets target itself back from open;
// that descriptor is then kept, since dup2 onto itself followed by close
// would leave the tool without it.
int redirect(const char *path, int flags, int target) {
  int fd = open(path, flags, 0644);
  if (fd < 0) return -1;
  if (fd == target) return 0;
  if (dup2(fd, target) < 0) {
    close(fd);
    return -1;
  }
  return close(fd) == 0 ? 0 : -1;
}

// In the child: the file at path becomes standard input. 0, or -1 on failure.
int redirect_input(const char *path) { return redirect(path, O_RDONLY, STDIN_FILENO); }

// In the child: the file at path, created or truncated, becomes standard
// output. 0, or -1 on failure.
int redirect_output(const char *path) {
  return redirect(path, O_WRONLY | O_CREAT | O_TRUNC, STDOUT_FILENO);
}

// The child's side of a stage; never returns into the program and runs no
// exit handlers. The input is redirected first, so a stage whose input is
// missing leaves its output file untouched.
[[noreturn]] void become_tool(const char *cmd, const char *const args[], const char *input,
                              const char *output) {
  if (input != nullptr && redirect_input(input) != 0) {
    write_all(STDERR_FILENO, "Error: input redirection failed\n");
    _exit(127);
  }
  if (redirect_output(output) != 0) {
    write_all(STDERR_FILENO, "Error: output redirection failed\n");
    _exit(127);
  }
  // execvp never writes through its argument vector; its type predates const.
  execvp(cmd, const_cast<char *const *>(args));
  write_all(STDERR_FILENO, "Error: exec failed\n");
  _exit(127);
}

// Waits for the stage's child; 0 only when it exited normally with status 0.
int wait_for_success(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno == EINTR) continue;
    write_all(STDERR_FILENO, "Error: waitpid failed\n");
    return -1;
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    write_all(STDERR_FILENO, "Error: child process failed\n");
    return -1;
  }
  return 0;
}

// Runs the tool cmd (searched in PATH) with args, standard input from the
// file input (inherited when null) and standard output into the file output,
// and waits for it. name is what the "Started" line reports. 0 when the tool
// exited with status 0, -1 otherwise, the reason already written.
int run_stage(const char *name, const char *cmd, const char *const args[], const char *input,
              const char *output) {
  pid_t pid = fork();
  if (pid < 0) {
    write_all(STDERR_FILENO, "Error: fork failed\n");
    return -1;
  }
  if (pid == 0) become_tool(cmd, args, input, output);
  write_all(STDOUT_FILENO, "[Quovent] Started ");
  write_all(STDOUT_FILENO, name);
  write_all(STDOUT_FILENO, " process\n");
  return wait_for_success(pid);
}

// The first stage's argument vector, null-terminated, sized exactly: "grep",
// "-h" when more than one input file is given (so that no line carries its
// file's name), the options, "--" so that every argument is read as a file
// name even when it starts with '-', then the program's own argument
// strings. Null when the allocation fails; the caller frees it.
const char **build_grep_args(int argc, char **argv) {
  bool hide_names = argc > 2;
  size_t size = static_cast<size_t>(argc) + (hide_names ? 5 : 4);
  auto **args = static_cast<const char **>(malloc(size * sizeof(const char *)));
  if (args == nullptr) return nullptr;
  size_t n = 0;
  args[n++] = "grep";
  if (hide_names) args[n++] = "-h";
  args[n++] = "-oE";
  args[n++] = "[[:alpha:]]+";
  args[n++] = "--";
  for (int i = 1; i < argc; ++i) args[n++] = argv[i];
  args[n] = nullptr;
  return args;
}

struct Stage {
  const char *name;
  const char *const *args;  // args[0] is the command
  const char *input;        // null: the program's own standard input
  const char *output;
};

}  // namespace

int main(int argc, char **argv) {
  if (argc <= 1) {
    write_all(STDERR_FILENO, kUsage);
    return 1;
  }
  const char **grep_args = build_grep_args(argc, argv);
  if (grep_args == nullptr) {
    write_all(STDERR_FILENO, "Error: malloc failed\n");
    return 1;
  }
  const char *tr_args[] = {"tr", "[:upper:]", "[:lower:]", nullptr};
  const char *sort_args[] = {"sort", nullptr};
  const char *uniq_args[] = {"uniq", "-c", nullptr};
  const char *sort_nr_args[] = {"sort", "-nr", nullptr};
  const Stage stages[] = {
      {"grep", grep_args, nullptr, "tmp1.txt"},          // the words, one a line
      {"tr", tr_args, "tmp1.txt", "tmp2.txt"},           // lower-cased
      {"sort", sort_args, "tmp2.txt", "tmp3.txt"},       // equal words side by side
      {"uniq", uniq_args, "tmp3.txt", "tmp4.txt"},       // "count word" per distinct word
      {"sort", sort_nr_args, "tmp4.txt", "result.txt"},  // most frequent first
  };

  int ret = 0;
  for (const Stage &stage : stages) {
    ret = run_stage(stage.name, stage.args[0], stage.args, stage.input, stage.output);
    if (ret != 0) break;
  }
  if (ret == 0) write_all(STDOUT_FILENO, "[Quovent] Quovent completed successfully\n");
  free(grep_args);
  return ret == 0 ? 0 : 1;
}
