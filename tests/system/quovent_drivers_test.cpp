// The multi-process drivers QuoventMR_v2a and QuoventMR_v2b end to end: their
// command lines, where they find the stage programs, what each child
// receives, how a failed child stops them, and results identical to those of
// QuoventMR. Stand-in stage programs are small shell scripts in a bin
// directory of the scratch directory; the driver finds them there because it
// is started with argv[0] naming that directory.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "support/TestSupport.h"

using namespace quovent_test;
namespace fs = std::filesystem;

namespace {

const char *const kStages[] = {"QuoventMap", "QuoventSuffle", "QuoventReduce"};

// Records "$0 args" (and "fd" when it got a status channel) in args.log.
const std::string kRecorder = "echo \"$0 $*${QUOVENT_STATUS_FD:+ fd}\" >> args.log\n";

std::string error_line(const std::string &message, const std::string &cause = "Success") {
  return "\033[1;31m" + message + ": " + cause + "\033[0m\n";
}

// Fills <dir>/bin with the stage programs: each the real one, unless
// `scripts` holds a shell body for it ("" leaves it out).
void install_stages(const fs::path &bin,
                    const std::vector<std::pair<std::string, std::string>> &scripts = {}) {
  fs::create_directories(bin);
  for (const char *stage : kStages) {
    auto script = std::find_if(scripts.begin(), scripts.end(),
                               [&](const auto &entry) { return entry.first == stage; });
    if (script == scripts.end()) {
      fs::create_symlink(program_path(stage), bin / stage);
    } else if (!script->second.empty()) {
      write_file(bin / stage, "#!/bin/sh\n" + script->second);
      fs::permissions(bin / stage, fs::perms::owner_all);
    }
  }
}

// Runs the driver as "bin/<driver>" from dir, so that it starts bin's stages.
RunResult driver(const ScratchDir &dir, const std::string &name,
                 const std::vector<std::string> &args, const std::string &argv0 = "") {
  return run_program_as(program_path(name), argv0.empty() ? "bin/" + name : argv0, args,
                        dir.path());
}

std::vector<std::string> sorted_log(const ScratchDir &dir) {
  std::istringstream in(fs::exists(dir / "args.log") ? read_file(dir / "args.log") : "");
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  std::sort(lines.begin(), lines.end());
  return lines;
}

std::string text_of(int word_count) {
  std::string text;
  for (int k = 0; k < word_count; ++k) text += "w ";
  return text;
}

TEST(QuoventDrivers, CommandLineErrorsStopBeforeAnyChild) {
  const std::string help_a =
      "   Sintax: \tQuoventMR_v2a [-r <nreducers=1>] [-o <output_file>] <input_files>\n"
      "   Example: \tQuoventMR_v2a -r 1 -o ./Result/qv.txt ./Input/README.txt "
      "./Input/LEEME.txt\n";
  const std::string help_b =
      "   Sintax: \tQuoventMR_v2b [-m] [-r <nreducers=1>] [-o <output_file>] <input_files>\n"
      "   Example: \tQuoventMR_v2b -m -r 2 -o ./Result/qv.txt ./Input/README.txt "
      "./Input/LEEME.txt\n";
  auto red_b = [&](const std::string &text) {
    return "\033[0;31m" + text + "\033[0m\033[0;31m" + help_b + "\033[0m";
  };
  auto wrong_a = [&](const std::string &position, const std::string &shown) {
    return error_line("Error optional argument " + position + " is incorrect (" + shown + ").\n" +
                      help_a);
  };
  const std::string long_option = "-x" + std::string(200, 'y');
  struct Case {
    std::string driver;
    std::vector<std::string> args;
    std::string err, out = "";
  };
  std::vector<Case> cases = {
      {"QuoventMR_v2a", {"a", "-o"}, ""},  // checked below: -o is an input file here
      {"QuoventMR_v2a", {"-r", "2", "-o"}, error_line("Error missing value for -o.\n" + help_a)},
      {"QuoventMR_v2a", {"-x", "a"}, wrong_a("1", "-x")},
      {"QuoventMR_v2a", {"-r", "2", "-x", "a"}, wrong_a("3", "-x")},
      {"QuoventMR_v2a", {"-m", "a"}, wrong_a("1", "-m")},
      {"QuoventMR_v2a", {"-", "a"}, wrong_a("1", "-")},
      // A long option is cut in the message, so that the help stays whole.
      {"QuoventMR_v2a", {long_option, "a"}, wrong_a("1", long_option.substr(0, 32))},
      {"QuoventMR_v2a", {"-r", "2"}, error_line("[QuoventMR_v2a] No input files provided")},
      {"QuoventMR_v2a",
       {},
       "",
       "\033[0;31mError number of arguments (0 arguments passed, at least 1 required).\n" + help_a +
           "\n\033[0m"},
      {"QuoventMR_v2b", {"-m", "-o"}, "", red_b("Error missing value for -o.\n")},
      {"QuoventMR_v2b", {"-r"}, "", red_b("Error missing value for -r.\n")},
      {"QuoventMR_v2b",
       {"-r", "2", "-x", "a"},
       "",
       red_b("Error optional argument is incorrect.\n")},
      {"QuoventMR_v2b", {"-", "a"}, "", red_b("Error optional argument is incorrect.\n")},
      {"QuoventMR_v2b", {"-mr", "-r", "2"}, error_line("[QuoventMR_v2b] No input files provided")},
      {"QuoventMR_v2b", {}, "", red_b("Error number of arguments.\n")},
  };
  for (std::string name : {"QuoventMR_v2a", "QuoventMR_v2b"}) {
    for (const char *count : {"0", "17", "abc"}) {
      cases.push_back(
          {name, {"-r", count, "a"}, error_line("[" + name + "] Invalid number of reducers")});
    }
  }
  for (const Case &c : cases) {
    ScratchDir dir;
    install_stages(dir / "bin", {{"QuoventMap", kRecorder}});
    RunResult run = driver(dir, c.driver, c.args);
    EXPECT_EQ(run.exit_status, 1) << c.driver << " " << c.args.size();
    if (c.err.empty() && c.out.empty()) {
      EXPECT_EQ(sorted_log(dir), std::vector<std::string>{"bin/QuoventMap a -o fd"});
      continue;
    }
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(run.out, c.out);
    EXPECT_FALSE(fs::exists(dir / "args.log")) << "a child ran";
  }
}

TEST(QuoventDrivers, EachChildReceivesItsArgumentVector) {
  auto reducers = [](std::string head, int count) {
    std::vector<std::string> lines;
    for (int i = 0; i < count; ++i) lines.push_back(head + " " + std::to_string(i));
    return lines;
  };
  struct Case {
    std::string driver;
    std::vector<std::string> args;
    std::vector<std::string> log;  // sorted
  } cases[] = {
      {"QuoventMR_v2a",
       {"-r", "2x", "-output", "o.txt", "a", "-o", "b"},
       {"bin/QuoventMap a -o b fd", "bin/QuoventReduce o.txt 2", "bin/QuoventSuffle 1 2"}},
      {"QuoventMR_v2a",
       {"-r", "16", "-rx", "3", "a"},
       {"bin/QuoventMap a fd", "bin/QuoventReduce ./Result/qv.txt 3", "bin/QuoventSuffle 1 3"}},
      {"QuoventMR_v2b",
       {"-mr", "-r", "3", "-o", "o.txt", "a", "b", "c"},
       {"bin/QuoventMap -i 0 a fd", "bin/QuoventMap -i 1 b fd", "bin/QuoventMap -i 2 c fd"}},
      {"QuoventMR_v2b", {"-m", "a"}, {"bin/QuoventMap a fd"}},
      {"QuoventMR_v2b", {"-r", "16", "a", "b"}, {"bin/QuoventMap a b fd"}},
      // A count keeps atoi's low 32 bits, where the stage programs refuse it.
      {"QuoventMR_v2a",
       {"-r", "4294967298", "a"},
       {"bin/QuoventMap a fd", "bin/QuoventReduce ./Result/qv.txt 2", "bin/QuoventSuffle 1 2"}},
  };
  cases[2].log.push_back("bin/QuoventSuffle 3 3");
  for (auto line : reducers("bin/QuoventReduce o.txt 3", 3)) cases[2].log.push_back(line);
  cases[3].log.push_back("bin/QuoventSuffle 1 1");
  cases[3].log.push_back("bin/QuoventReduce ./Result/qv.txt 1 0");
  for (auto line : reducers("bin/QuoventReduce ./Result/qv.txt 16", 16))
    cases[4].log.push_back(line);
  cases[4].log.push_back("bin/QuoventSuffle 1 16");
  for (Case &c : cases) {
    ScratchDir dir;
    install_stages(
        dir / "bin",
        {{"QuoventMap", kRecorder}, {"QuoventSuffle", kRecorder}, {"QuoventReduce", kRecorder}});
    RunResult run = driver(dir, c.driver, c.args);
    EXPECT_EQ(run.exit_status, 0) << run.err;
    std::sort(c.log.begin(), c.log.end());
    EXPECT_EQ(sorted_log(dir), c.log) << c.driver << " " << c.args[0];
  }
}

TEST(QuoventDrivers, FindTheStagesInTheDirectoryOfArgv0) {
  const std::vector<std::pair<std::string, std::string>> recorders = {
      {"QuoventMap", kRecorder}, {"QuoventSuffle", kRecorder}, {"QuoventReduce", kRecorder}};
  for (const char *name : {"QuoventMR_v2a", "QuoventMR_v2b"}) {
    ScratchDir dir;
    install_stages(dir / "bin", recorders);
    install_stages(dir.path(), recorders);
    const std::string absolute = (dir / "bin").string();
    // Started through PATH without a slash: the current directory.
    for (auto [argv0, stages] : {std::pair{absolute + "/" + name, absolute},
                                 std::pair{std::string("bin/") + name, std::string("bin")},
                                 std::pair{std::string(name), std::string(".")}}) {
      fs::remove(dir / "args.log");
      RunResult run = driver(dir, name, {"a"}, argv0);
      EXPECT_EQ(run.exit_status, 0) << run.err;
      std::vector<std::string> log = sorted_log(dir);
      ASSERT_EQ(log.size(), 3u) << argv0;
      EXPECT_EQ(log[0], stages + "/QuoventMap a fd");
      EXPECT_EQ(log[1].substr(0, stages.size() + 15), stages + "/QuoventReduce ");
      EXPECT_EQ(log[2], stages + "/QuoventSuffle 1 1");
    }
  }
}

TEST(QuoventDrivers, ReportTheMappersExitStatusesAsWordCounts) {
  struct Case {
    std::string driver;
    std::vector<int> file_words;
    bool multiple;
    std::string closing;
  } cases[] = {
      {"QuoventMR_v2a",
       {300},
       false,
       "[QuoventMR_v2a] Quovent completed processing 1 files and 44 words"},
      {"QuoventMR_v2b",
       {400},
       false,
       "[QuoventMR_v2b] Quovent completed processing 1 files and 144 words"},
      {"QuoventMR_v2b",
       {200, 200},
       true,
       "[QuoventMR_v2b] Quovent completed processing 2 files and 400 words"},
  };
  for (const Case &c : cases) {
    ScratchDir dir;
    install_stages(dir / "bin");
    std::vector<std::string> args{"-r", "2"};
    if (c.multiple) args.push_back("-m");
    for (size_t k = 0; k < c.file_words.size(); ++k) {
      args.push_back("in" + std::to_string(k));
      write_file(dir / args.back(), text_of(c.file_words[k]));
    }
    RunResult run = driver(dir, c.driver, args);
    EXPECT_EQ(run.exit_status, 0) << run.err;
    EXPECT_NE(run.out.find("\033[0;42m" + c.closing + " in "), std::string::npos) << c.closing;
    int total = 0;
    for (int count : c.file_words) total += count;
    EXPECT_EQ(read_file(dir / "Result/qv.txt"), "w " + std::to_string(total) + "\n");
  }
}

TEST(QuoventDrivers, AFailedChildStopsTheDriver) {
  const std::string missing = "No such file or directory";
  const std::string killed = "kill -9 $$\n";
  struct Case {
    std::string driver;
    std::vector<std::pair<std::string, std::string>> stages;
    std::vector<std::string> args;
    std::string blocked;            // a directory where a map file belongs
    std::vector<std::string> errs;  // on standard error
  } cases[] = {
      {"QuoventMR_v2a",
       {{"QuoventMap", ""}},
       {"a"},
       "",
       {error_line("[QuoventMR_v2a] Error executing QuoventMap", missing),
        error_line("[QuoventMR_v2a] QuoventMap process failed")}},
      {"QuoventMR_v2b",
       {{"QuoventMap", ""}},
       {"-m", "a", "b"},
       "",
       {error_line("[QuoventMR_v2b] Error executing process", missing),
        error_line("[QuoventMR_v2b] QuoventMap process failed")}},
      {"QuoventMR_v2a",
       {},
       {"a", "missing"},
       "",
       {error_line("[QuoventMap] Error opening mapper input file", missing),
        error_line("[QuoventMR_v2a] QuoventMap process failed")}},
      {"QuoventMR_v2b",
       {},
       {"-m", "missing", "a"},
       "",
       {error_line("[QuoventMap] Error opening mapper input file", missing),
        error_line("[QuoventMR_v2b] QuoventMap process failed")}},
      {"QuoventMR_v2b",
       {},
       {"-m", "a", "b"},
       "tmp/_map_1.tmp",
       {error_line("[QuoventMap] Error opening mapper output file", "Is a directory"),
        error_line("[QuoventMR_v2b] QuoventMap process failed")}},
      {"QuoventMR_v2a",
       {},
       {"a"},
       "tmp/_map.tmp",
       {error_line("[QuoventMap] Error opening mapper output file", "Is a directory"),
        error_line("[QuoventMR_v2a] QuoventMap process failed")}},
      {"QuoventMR_v2a",
       {{"QuoventSuffle", ""}},
       {"a"},
       "",
       {error_line("[QuoventMR_v2a] Error executing QuoventSuffle", missing),
        error_line("[QuoventMR_v2a] QuoventSuffle process failed")}},
      {"QuoventMR_v2a",
       {{"QuoventSuffle", killed}},
       {"a"},
       "",
       {error_line("[QuoventMR_v2a] QuoventSuffle process did not finish normally")}},
      {"QuoventMR_v2b",
       {{"QuoventReduce", killed}},
       {"-r", "3", "a"},
       "",
       {error_line("[QuoventMR_v2b] Process did not finish normally")}},
  };
  for (const Case &c : cases) {
    ScratchDir dir;
    install_stages(dir / "bin", c.stages);
    write_file(dir / "a", "uno dos");
    write_file(dir / "b", "tres");
    if (!c.blocked.empty()) fs::create_directory(dir / c.blocked);
    RunResult run = driver(dir, c.driver, c.args);
    EXPECT_EQ(run.exit_status, 1) << c.errs.back();
    for (const std::string &line : c.errs) EXPECT_NE(run.err.find(line), std::string::npos) << line;
    EXPECT_EQ(run.out.find("completed processing"), std::string::npos);
  }
}

TEST(QuoventDrivers, MoreThan32MappersAllRunAndTheShuffleRefusesThem) {
  ScratchDir dir;
  install_stages(dir / "bin");
  std::vector<std::string> args{"-m"};
  for (int k = 0; k < 33; ++k) {
    args.push_back(std::to_string(k));
    write_file(dir / args.back(), "palabra");
  }
  RunResult run = driver(dir, "QuoventMR_v2b", args);
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.err, error_line("[QuoventSuffle] Invalid number of mappers") +
                         error_line("[QuoventMR_v2b] QuoventSuffle process failed"));
  for (int k = 0; k < 33; ++k)
    EXPECT_TRUE(fs::exists(dir / ("tmp/_map_" + std::to_string(k) + ".tmp")));
}

TEST(QuoventDrivers, AFailedReducerLeavesNoResultThatLooksComplete) {
  ScratchDir dir;
  write_file(dir / "a", "uno dos tres cuatro cinco seis");
  install_stages(dir / "bin");
  ASSERT_EQ(driver(dir, "QuoventMR_v2b", {"-r", "3", "a"}).exit_status, 0);
  ASSERT_NE(read_file(dir / "Result/qv.txt"), "");
  // Reducer 1 fails; the others finish.
  install_stages(dir / "failing",
                 {{"QuoventReduce", "[ \"$3\" = 1 ] && exit 3\nexec " +
                                        program_path("QuoventReduce").string() + " \"$@\"\n"}});
  RunResult run = driver(dir, "QuoventMR_v2b", {"-r", "3", "a"}, "failing/QuoventMR_v2b");
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.err, error_line("[QuoventMR_v2b] QuoventReduce process failed"));
  EXPECT_EQ(read_file(dir / "Result/qv.txt"), "");
}

// For every reducer count, in a mixed order so that parts of runs with more
// reducers are still lying beside the result, and with inputs that change
// from run to run, the multi-process forms write what QuoventMR writes.
// QuoventMR_v2b runs for every count, with -m on half of them; QuoventMR_v2a,
// whose reducer is QuoventMR's own stage, on every third (each shuffle costs
// a noticeable time under the leak checker).
TEST(QuoventDrivers, WriteTheResultOfTheSingleProcessDriver) {
  ScratchDir dir;
  install_stages(dir / "bin");
  const std::vector<std::string> texts = multilingual_texts();
  for (size_t k = 0; k < texts.size(); ++k) write_file(dir / ("in" + std::to_string(k)), texts[k]);
  for (int k = 0; k < 16; ++k) {
    const std::string r = std::to_string(k * 7 % 16 + 1);
    std::vector<std::string> inputs{"in" + std::to_string(k % 3),
                                    "in" + std::to_string((k + 1) % 3)};
    if (k % 2 == 0) inputs.push_back("in2");
    auto run = [&](const std::string &name, std::vector<std::string> options,
                   const std::string &result) {
      options.insert(options.end(), inputs.begin(), inputs.end());
      RunResult ran = name == "QuoventMR" ? run_program(program_path(name), options, dir.path())
                                          : driver(dir, name, options);
      EXPECT_EQ(ran.exit_status, 0) << ran.err;
      return read_file(dir / result);
    };
    const std::string expected = run("QuoventMR", {"-r", r, "-o", "mr.txt"}, "mr.txt");
    std::vector<std::string> v2b_options{"-r", r};
    if (k % 4 < 2) v2b_options.push_back("-m");
    EXPECT_EQ(run("QuoventMR_v2b", v2b_options, "Result/qv.txt"), expected)
        << "-r " << r << " " << v2b_options.size();
    if (k % 3 == 0) {
      EXPECT_EQ(run("QuoventMR_v2a", {"-r", r, "-o", "a.txt"}, "a.txt"), expected) << "-r " << r;
    }
  }
}

}  // namespace
