// The command lines of QuoventMR, QuoventMR_v2a, QuoventMR_v2b and QuoventMap
// on arbitrary argument vectors. The input picks a program and its
// arguments (separated by zero bytes); its main runs in a forked child, in a
// private directory with the inputs "a" and "b" and stand-in stage programs
// in bin/. The vector and each argument are heap blocks of exactly their
// size, so AddressSanitizer sees any read past argv; a child's report goes
// to a file beside it. The outcome must be the one a restatement of the
// command-line rules gives: the usage text, the fatal message, or a
// completed run.
//
// The child's coverage does not reach the fuzzer; the restatement of the
// rules runs in the fuzzer itself and its branches mirror those of the
// programs, which is what guides the search.
#include <fcntl.h>
#include <sanitizer/common_interface_defs.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "ForkedExit.h"
#include "FuzzSupport.h"

int quovent_mr_main(int argc, char **argv);
int quovent_mr_v2a_main(int argc, char **argv);
int quovent_mr_v2b_main(int argc, char **argv);
int quovent_map_main(int argc, char **argv);

namespace {

using Args = std::vector<std::string>;

// More than the 32 map files that -m allows.
constexpr size_t kMostArguments = 40;
constexpr size_t kLongestName = 255;

enum class Ending { kUsage, kFatal, kRun };

// kUsage: status 1 and `text` on standard output; kFatal: a non-zero status
// and `text` on standard error; kRun: `text` on standard output and status 0,
// or any status for the mapper, whose status is its word count.
struct Outcome {
  Ending ending;
  std::string text;
};

// Sanitizer reports of the children go to files named from this and the process id.
constexpr char kReportPath[] = "sanitizer-report";

bool sanitizer_reported() {
  for (const auto &entry : std::filesystem::directory_iterator(".")) {
    if (entry.path().filename().string().rfind(kReportPath, 0) == 0) return true;
  }
  return false;
}

bool openable(const std::string &name) {
  int fd = open(name.c_str(), O_RDONLY);
  if (fd >= 0) close(fd);
  return fd >= 0;
}

bool creatable(const std::string &name) {
  return !name.empty() && name.size() <= kLongestName && !std::filesystem::is_directory(name);
}

int atoi_value(const std::string &text) {
  return static_cast<int>(strtol(text.c_str(), nullptr, 10));
}

char option_letter(const std::string &arg) { return arg.size() > 1 ? arg[1] : '\0'; }

// Options shared by the three drivers: the second character decides, -o and
// -r take the next argument whatever it is, the first argument not starting
// with '-' ends them. Returns false with `outcome` set on a refused option.
struct Options {
  bool multiple_mappers = false;
  int nreducers = 1;
  std::string output = "./Result/qv.txt";
  size_t first_input = 1;
};

bool parse_options(const Args &args, const std::string &letters, bool usage_errors,
                   Options &options, Outcome &outcome) {
  size_t par = 1;
  while (par < args.size() && !args[par].empty() && args[par][0] == '-') {
    char letter = option_letter(args[par]);
    if (letter == '\0' || letters.find(letter) == std::string::npos) {
      outcome = usage_errors ? Outcome{Ending::kUsage, "Error optional argument is incorrect.\n"}
                             : Outcome{Ending::kFatal, "Error optional argument " +
                                                           std::to_string(par) + " is incorrect ("};
      return false;
    }
    if (letter == 'm') {
      options.multiple_mappers = true;
      ++par;
      continue;
    }
    if (par + 1 >= args.size()) {
      outcome = {usage_errors ? Ending::kUsage : Ending::kFatal,
                 std::string("Error missing value for -") + letter + "."};
      return false;
    }
    if (letter == 'o') options.output = args[par + 1];
    if (letter == 'r') options.nreducers = atoi_value(args[par + 1]);
    par += 2;
  }
  options.first_input = par;
  return true;
}

Outcome quovent_mr(const Args &args) {
  if (args.size() < 2) return {Ending::kUsage, "Error number of arguments (0 arguments passed"};
  Options options;
  Outcome outcome;
  if (!parse_options(args, "mor", false, options, outcome)) return outcome;
  size_t ninputs = args.size() - options.first_input;
  if (options.nreducers < 1 || options.nreducers > 16) {
    return {Ending::kFatal, "[QuoventMR] Invalid number of reducers"};
  }
  if (options.multiple_mappers && ninputs > 32) {
    return {Ending::kFatal, "[QuoventMR] Invalid number of mappers"};
  }
  // Only options is a run over no input: zero map files, empty shuffle files, an empty result.
  for (size_t i = options.first_input; i < args.size(); ++i) {
    if (!openable(args[i])) {
      return {Ending::kFatal, "[Map:quovent_map] Error opening mapper input file"};
    }
  }
  if (!creatable(options.output)) {
    return {Ending::kFatal, "[Reduce::quovent_reducer] Error opening reducer output file"};
  }
  return {Ending::kRun, "Quovent completed procesing"};
}

Outcome multi_process_driver(const Args &args, const std::string &name) {
  bool v2b = name == "QuoventMR_v2b";
  if (args.size() < 2) return {Ending::kUsage, "Error number of arguments"};
  Options options;
  Outcome outcome;
  if (!parse_options(args, v2b ? "mor" : "or", v2b, options, outcome)) return outcome;
  if (options.nreducers < 1 || options.nreducers > 16) {
    return {Ending::kFatal, "[" + name + "] Invalid number of reducers"};
  }
  if (options.first_input == args.size()) {
    return {Ending::kFatal, "[" + name + "] No input files provided"};
  }
  return {Ending::kRun, "[" + name + "] Quovent completed processing"};
}

Outcome quovent_map(const Args &args) {
  if (args.size() < 2) return {Ending::kUsage, "Error number of arguments."};
  size_t first_input = 1;
  if (args[1] == "-i") {
    if (args.size() < 4) return {Ending::kUsage, "Error missing map id or input file."};
    first_input = 3;
  }
  for (size_t i = first_input; i < args.size(); ++i) {
    if (!openable(args[i])) return {Ending::kFatal, "[QuoventMap] Error opening mapper input file"};
  }
  return {Ending::kRun, "Mapper Done"};
}

struct Program {
  const char *name;
  int (*main)(int, char **);
  Outcome (*expected)(const Args &);
};

const Program kPrograms[] = {
    {"QuoventMR", quovent_mr_main, quovent_mr},
    {"QuoventMR_v2a", quovent_mr_v2a_main,
     [](const Args &args) { return multi_process_driver(args, "QuoventMR_v2a"); }},
    {"QuoventMR_v2b", quovent_mr_v2b_main,
     [](const Args &args) { return multi_process_driver(args, "QuoventMR_v2b"); }},
    {"QuoventMap", quovent_map_main, quovent_map},
};

struct Ended {
  int status = -1;  // -1 after a signal
  std::string out;
  std::string err;
};

// argv as a program receives it, every block exactly as large as needed.
Ended run_main(const Program &program, const Args &args) {
  int out = quovent_fuzz::new_memory_file();
  int err = quovent_fuzz::new_memory_file();
  pid_t pid = fork();
  if (pid < 0) abort();
  if (pid == 0) {
    dup2(out, 1);
    dup2(err, 2);
    // To a file of its own: the programs echo arguments, which may look like a report.
    __sanitizer_set_report_path(kReportPath);
    char **argv = static_cast<char **>(malloc((args.size() + 1) * sizeof(char *)));
    for (size_t i = 0; i < args.size(); ++i) {
      argv[i] = static_cast<char *>(malloc(args[i].size() + 1));
      memcpy(argv[i], args[i].c_str(), args[i].size() + 1);
    }
    argv[args.size()] = nullptr;
    _exit(program.main(static_cast<int>(args.size()), argv));
  }
  int wait_status;
  // libFuzzer's timeout alarm interrupts the wait now and then.
  pid_t waited;
  do {
    waited = waitpid(pid, &wait_status, 0);
  } while (waited < 0 && errno == EINTR);
  if (waited != pid) abort();
  Ended ended;
  if (WIFEXITED(wait_status)) ended.status = WEXITSTATUS(wait_status);
  ended.out = quovent_fuzz::memory_file_contents(out);
  ended.err = quovent_fuzz::memory_file_contents(err);
  close(out);
  close(err);
  return ended;
}

bool outcome_matches(const Outcome &expected, const Ended &ended, bool status_is_count) {
  switch (expected.ending) {
    case Ending::kUsage:
      return ended.status == 1 && ended.out.find(expected.text) != std::string::npos;
    case Ending::kFatal:
      return ended.status > 0 && ended.err.find(expected.text) != std::string::npos;
    case Ending::kRun:
      return (status_is_count ? ended.status >= 0 : ended.status == 0) &&
             ended.out.find(expected.text) != std::string::npos;
  }
  return false;
}

void write_stand_in(const std::string &path) {
  quovent_fuzz::write_whole_file(path, "#!/bin/sh\nexit 0\n");
  chmod(path.c_str(), 0755);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  quovent_fuzz::mark_fuzzer_process();
  setenv("LC_ALL", "C.UTF-8", 1);
  quovent_fuzz::enter_private_workdir();
  std::filesystem::create_directories("bin");
  std::filesystem::create_directories("Result");
  for (const char *stage : {"QuoventMap", "QuoventSuffle", "QuoventReduce"}) {
    write_stand_in(std::string("bin/") + stage);
  }
  quovent_fuzz::write_whole_file("a", "Uno dos tres uno\n");
  quovent_fuzz::write_whole_file("b", "\xC3\x81rbol \xC3\xA1rbol\n");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  const Program &program = kPrograms[data[0] % std::size(kPrograms)];
  Args args = {std::string("bin/") + program.name};
  if (size > 1) {
    std::string_view rest(reinterpret_cast<const char *>(data) + 1, size - 1);
    for (size_t start = 0;;) {
      size_t end = rest.find('\0', start);
      args.emplace_back(rest.substr(start, end == std::string_view::npos ? end : end - start));
      if (end == std::string_view::npos) break;
      start = end + 1;
    }
  }
  // Names stay inside the private directory: a path could name any file.
  for (size_t i = 1; i < args.size(); ++i) {
    if (args[i].find('/') != std::string::npos) return 0;
  }
  if (args.size() > kMostArguments) return 0;
  Outcome expected = program.expected(args);
  Ended ended = run_main(program, args);
  if (sanitizer_reported() || !outcome_matches(expected, ended, program.main == quovent_map_main)) {
    fprintf(stderr, "%s, %zu arguments: expected \"%s\"\nstatus %d\nout: %s\nerr: %s\n",
            program.name, args.size() - 1, expected.text.c_str(), ended.status, ended.out.c_str(),
            ended.err.c_str());
    abort();
  }
  return 0;
}
