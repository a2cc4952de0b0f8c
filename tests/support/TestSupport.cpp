#include "TestSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <stdexcept>

namespace quovent_test {
namespace {

[[noreturn]] void fail(const std::string &what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

// Reads both pipes to their end together, so that a child that fills one of
// them never blocks while the other is drained.
void drain(int out_fd, int err_fd, RunResult &result) {
  pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
  std::string *sinks[2] = {&result.out, &result.err};
  int open_count = 2;
  char chunk[65536];
  while (open_count > 0) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      fail("poll");
    }
    for (int k = 0; k < 2; ++k) {
      if (fds[k].fd < 0 || fds[k].revents == 0) continue;
      ssize_t n = read(fds[k].fd, chunk, sizeof chunk);
      if (n > 0) {
        sinks[k]->append(chunk, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(fds[k].fd);
        fds[k].fd = -1;
        --open_count;
      }
    }
  }
}

void wait_for(pid_t pid, RunResult &result) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) fail("waitpid");
  }
  if (WIFEXITED(status)) {
    result.exit_status = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.signal = WTERMSIG(status);
  }
}

// Forks with standard output and error redirected into pipes; in the child,
// child_body runs and must not return.
template <typename ChildBody>
RunResult fork_captured(ChildBody child_body) {
  int out_pipe[2], err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) fail("pipe");
  fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) fail("fork");
  if (pid == 0) {
    int null_fd = open("/dev/null", O_RDONLY);
    dup2(null_fd, 0);
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    child_body();
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  RunResult result;
  drain(out_pipe[0], err_pipe[0], result);
  wait_for(pid, result);
  return result;
}

}  // namespace

ScratchDir::ScratchDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "quovent-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) fail("mkdtemp");
  root_ = pattern;
  std::filesystem::create_directory(root_ / "tmp");
  std::filesystem::create_directory(root_ / "Result");
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  // A test may have taken permissions away; give them back so all goes.
  for (auto &entry : std::filesystem::recursive_directory_iterator(root_, ignored)) {
    if (entry.is_directory(ignored)) {
      std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ignored);
    }
  }
  std::filesystem::remove_all(root_, ignored);
}

std::filesystem::path program_path(std::string_view name) {
  return std::filesystem::path(QUOVENT_BIN_DIR) / name;
}

std::string generated_locale_dir() { return QUOVENT_LOCALE_DIR; }

bool generated_locale_available(std::string_view name) {
  return std::filesystem::exists(std::filesystem::path(QUOVENT_LOCALE_DIR) / name / "LC_CTYPE");
}

RunResult run_program(const std::filesystem::path &program, const std::vector<std::string> &args,
                      const std::filesystem::path &workdir,
                      const std::vector<std::string> &environment) {
  return run_program_as(program, program.string(), args, workdir, environment);
}

RunResult run_program_as(const std::filesystem::path &program, const std::string &argv0,
                         const std::vector<std::string> &args, const std::filesystem::path &workdir,
                         const std::vector<std::string> &environment) {
  std::map<std::string, std::string> variables;
  const char *path = getenv("PATH");
  variables["PATH"] = path ? path : "/usr/bin:/bin";
  variables["LC_ALL"] = "C.UTF-8";
  variables["LOCPATH"] = generated_locale_dir();
  // Sanitizer settings of the test run reach the programs too.
  for (const char *name : {"ASAN_OPTIONS", "UBSAN_OPTIONS"}) {
    if (const char *value = getenv(name)) variables[name] = value;
  }
  for (const std::string &assignment : environment) {
    size_t equals = assignment.find('=');
    variables[assignment.substr(0, equals)] = assignment.substr(equals + 1);
  }
  std::vector<std::string> env_strings;
  for (const auto &[name, value] : variables) env_strings.push_back(name + "=" + value);

  std::string program_string = program.string();
  std::string argv0_copy = argv0;
  std::vector<char *> argv{argv0_copy.data()};
  std::vector<std::string> arg_copies(args);
  for (std::string &arg : arg_copies) argv.push_back(arg.data());
  argv.push_back(nullptr);
  std::vector<char *> envp;
  for (std::string &entry : env_strings) envp.push_back(entry.data());
  envp.push_back(nullptr);

  std::string dir = workdir.string();
  return fork_captured([&] {
    if (chdir(dir.c_str()) != 0) _exit(126);
    execve(program_string.c_str(), argv.data(), envp.data());
    _exit(127);
  });
}

RunResult run_in_child(const std::function<void()> &body) {
  return fork_captured([&] {
    body();
    _exit(0);
  });
}

std::string read_file(const std::filesystem::path &file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + file.string());
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void write_file(const std::filesystem::path &file, std::string_view bytes) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + file.string());
}

std::string mask_times(const std::string &text) {
  static const std::regex time_pattern("[0-9]+[.,][0-9]{3} secs");
  return std::regex_replace(text, time_pattern, "<t> secs");
}

std::vector<std::string> multilingual_texts() {
  std::string mixed =
      "Zażółć gęślą jaźń. Łódź. Καλημέρα κόσμε. Привет, мир! 日本語のテキスト 😀🎉 "
      "2×3=6 a÷b \xFF\xFE lone\x80"
      "continuation \xC3(x \xE2"
      "ab end\n";
  // Over-long words: cut to 255 bytes by the mapper, and their map lines cut
  // before the count by the shuffle.
  std::string long_word(300, 'L');
  std::string near_limit(254, 'n');
  for (const std::string &word : {long_word, long_word, near_limit, near_limit + "x", near_limit}) {
    mixed.append(word).append(" ");
  }
  return {
      "The quick brown fox jumps over the lazy dog. THE DOG sleeps; the fox doesn't! "
      "e-mail snake_case abc123def 2024 3.14 (parentheses) [brackets] {braces}\n",
      "¿Qué tal? «Muy bien», dijo el niño. Mañana será otro día: ÁRBOL, árbol, Árbol. "
      "Straße, STRASSE, Größe, Fußgänger, Übermäßig. naïve Noël œuvre ÇA ça\n",
      mixed,
  };
}

std::string hex(std::string_view bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (unsigned char byte : bytes) {
    if (!text.empty()) text += ' ';
    text += digits[byte >> 4];
    text += digits[byte & 15];
  }
  return text;
}

}  // namespace quovent_test
