// Shared helpers of the tests: running the built programs in a scratch
// working directory, capturing what a function prints, reading files.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace quovent_test {

// What a finished process left: its two output streams and how it ended.
struct RunResult {
  std::string out;
  std::string err;
  int exit_status = -1;  // -1 when it ended by a signal
  int signal = 0;
};

// A fresh working directory with the empty tmp/ and Result/ of a checkout;
// removed with everything in it when the object goes.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir &) = delete;
  ScratchDir &operator=(const ScratchDir &) = delete;

  const std::filesystem::path &path() const { return root_; }
  std::filesystem::path operator/(std::string_view relative) const { return root_ / relative; }

 private:
  std::filesystem::path root_;
};

// The built program of that name (all programs share one directory).
std::filesystem::path program_path(std::string_view name);

// Directory holding the locales generated for the tests (es_ES.UTF-8 ...),
// to be passed as LOCPATH; empty when they could not be generated.
std::string generated_locale_dir();

// True when the named locale (for example "es_ES.UTF-8") exists in the
// generated locale directory.
bool generated_locale_available(std::string_view name);

// Runs the program with the arguments in workdir, standard input from
// /dev/null, in an environment holding only PATH, LC_ALL=C.UTF-8 and
// LOCPATH, each of which `environment` ("NAME=value") may override.
RunResult run_program(const std::filesystem::path &program, const std::vector<std::string> &args,
                      const std::filesystem::path &workdir,
                      const std::vector<std::string> &environment = {});

// run_program with argv[0] set to argv0 instead of the program's path, as a
// shell that found the program through PATH or a relative path passes it.
RunResult run_program_as(const std::filesystem::path &program, const std::string &argv0,
                         const std::vector<std::string> &args, const std::filesystem::path &workdir,
                         const std::vector<std::string> &environment = {});

// Runs body in a child process with standard output and error captured; the
// child ends with status 0 when body returns.
RunResult run_in_child(const std::function<void()> &body);

std::string read_file(const std::filesystem::path &file);
void write_file(const std::filesystem::path &file, std::string_view bytes);

// The elapsed times ("%.3f secs") of stage messages replaced by "<t> secs",
// so that a message can be compared byte for byte.
std::string mask_times(const std::string &text);

// Three texts that exercise every word rule: English, Spanish and German
// with Latin-1 letters, and a mix of scripts, emoji, malformed UTF-8 and
// over-long words.
std::vector<std::string> multilingual_texts();

// Bytes as hex pairs, for failure messages about non-printable input.
std::string hex(std::string_view bytes);

}  // namespace quovent_test
