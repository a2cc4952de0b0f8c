// QuoventSuffle end to end: command line, messages byte for byte, the files it reads and
// writes, and how it stops.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using quovent_test::mask_times;
using quovent_test::read_file;
using quovent_test::RunResult;
using quovent_test::ScratchDir;
using quovent_test::write_file;

const std::string kGreen = "\033[0;32m", kGreenL = "\033[0;92m", kReset = "\033[0m";

RunResult suffle(const ScratchDir &dir, const std::vector<std::string> &args,
                 const std::vector<std::string> &env = {}) {
  return quovent_test::run_program(quovent_test::program_path("QuoventSuffle"), args, dir.path(),
                                   env);
}

std::string error_text(const std::string &message, int error_number) {
  return "\033[1;31m" + message + ": " + strerror(error_number) + "\033[0m\n";
}

std::set<std::string> files_in_tmp(const ScratchDir &dir) {
  std::set<std::string> names;
  for (const auto &entry : fs::directory_iterator(dir / "tmp")) {
    names.insert(entry.path().filename());
  }
  return names;
}

TEST(QuoventSuffleCommandLine, RefusedBeforeAnyFileIsTouched) {
  const std::string usage = "[QuoventSuffle] Usage: QuoventSuffle <nmappers> <nreducers>";
  const std::string mappers = "[QuoventSuffle] Invalid number of mappers";
  const std::string reducers = "[QuoventSuffle] Invalid number of reducers";
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{}, usage},          {{"2"}, usage},          {{"1", "2", "3"}, usage},
      {{"0", "4"}, mappers}, {{"33", "1"}, mappers}, {{"abc", "2"}, mappers},
      {{"0", "0"}, mappers}, {{"4294967297", "1"}, mappers},  // not wrapped round to 1
      {{"1", "17"}, reducers}, {{"1", "0"}, reducers}, {{"1", "-1"}, reducers},
  };
  for (const auto &[args, message] : cases) {
    ScratchDir dir;
    write_file(dir / "tmp/_map.tmp", "a 1\n");
    RunResult run = suffle(dir, args);
    std::string shown = args.empty() ? "(none)" : args[0] + " ...";
    EXPECT_EQ(run.exit_status, 1) << shown;
    EXPECT_EQ(run.err, error_text(message, 0)) << shown;
    EXPECT_EQ(run.out, "") << shown;
    EXPECT_EQ(files_in_tmp(dir), std::set<std::string>{"_map.tmp"}) << shown;
  }
}

TEST(QuoventSuffleRun, MessagesComeAsTheFilesRunOut) {
  ScratchDir dir;
  write_file(dir / "tmp/_map_0.tmp", "b 1\na 1\nc 1\n");
  write_file(dir / "tmp/_map_1.tmp", "a 1\n");
  write_file(dir / "tmp/_map_2.tmp", "");
  RunResult run = suffle(dir, {"3", "1"});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(mask_times(run.out),
            kGreen +
                "[Suffle Stage]\tStart Suffle to process 3 input files and generate 1 output "
                "files.\n" +
                kReset + kGreenL + "\t\tSuflle processed 0 tuples from tmp/_map_2.tmp file.\n" +
                kReset + kGreenL + "\t\tSuflle processed 1 tuples from tmp/_map_1.tmp file.\n" +
                kReset + kGreenL + "\t\tSuflle processed 3 tuples from tmp/_map_0.tmp file.\n" +
                kReset + kGreen + "[Suffle Stage]\tEnd Suffle: Processed 4 tupples in <t> secs.\n" +
                kReset);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(read_file(dir / "tmp/_suffle_0.tmp"), "a 1\na 1\nb 1\nc 1\n");
}

TEST(QuoventSuffleRun, OneMapperReadsTheUnnumberedFileAndEveryReducerGetsAFile) {
  ScratchDir dir;
  write_file(dir / "tmp/_map.tmp", "a 1\n");
  write_file(dir / "tmp/_map_0.tmp", "the 1\n");  // belongs to a run of several mappers
  RunResult run = suffle(dir, {"1", "4"});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_NE(run.out.find("1 tuples from ./tmp/_map.tmp file."), std::string::npos) << run.out;
  // 'a' goes to reducer 2 of 4; the reducers without lines get empty files and no batch.
  EXPECT_EQ(files_in_tmp(dir), (std::set<std::string>{"_map.tmp", "_map_0.tmp", "_batch_r2_0.tmp",
                                                      "_suffle_0.tmp", "_suffle_1.tmp",
                                                      "_suffle_2.tmp", "_suffle_3.tmp"}));
  for (int r = 0; r < 4; ++r) {
    EXPECT_EQ(read_file(dir / ("tmp/_suffle_" + std::to_string(r) + ".tmp")), r == 2 ? "a 1\n" : "")
        << "reducer " << r;
  }
}

TEST(QuoventSuffleRun, CountsAreReadLikeAtoiAndTheLimitsRun) {
  for (const auto &[args, maps, reducers] :
       {std::tuple<std::vector<std::string>, int, int>{{"2x", " 3"}, 2, 3}, {{"32", "16"}, 32, 16}}) {
    ScratchDir dir;
    for (int i = 0; i < maps; ++i) write_file(dir / ("tmp/_map_" + std::to_string(i) + ".tmp"), "");
    write_file(dir / "tmp/_map_0.tmp", "x 1\n\ny 1\n");
    RunResult run = suffle(dir, args);
    ASSERT_EQ(run.exit_status, 0) << args[0] << " " << run.err;
    std::string start = kGreen + "[Suffle Stage]\tStart Suffle to process " +
                        std::to_string(maps) + " input files and generate " +
                        std::to_string(reducers) + " output files.\n";
    EXPECT_EQ(run.out.substr(0, start.size()), start);
    EXPECT_NE(run.out.find("Processed 3 tupples"), std::string::npos);
    EXPECT_TRUE(fs::exists(dir / ("tmp/_suffle_" + std::to_string(reducers - 1) + ".tmp")));
    EXPECT_FALSE(fs::exists(dir / ("tmp/_suffle_" + std::to_string(reducers) + ".tmp")));
  }
}

TEST(QuoventSuffleRun, SortsByTheLocaleCollation) {
  if (!quovent_test::generated_locale_available("es_ES.UTF-8")) GTEST_SKIP() << "no es_ES";
  ScratchDir dir;
  write_file(dir / "tmp/_map.tmp", "zeta 1\n\xC3\xA1rbol 1\ncasa 1\navi\xC3\xB3n 1\n");
  RunResult run = suffle(dir, {"1", "1"}, {"LC_ALL=es_ES.UTF-8"});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  // strcoll decides: the accented a sorts with a, not after z as its bytes would.
  EXPECT_EQ(read_file(dir / "tmp/_suffle_0.tmp"),
            "\xC3\xA1rbol 1\navi\xC3\xB3n 1\ncasa 1\nzeta 1\n");
}

TEST(QuoventSuffleFailures, StopsWithTheFailedCallsError) {
  struct Case {
    const char *name;
    std::function<void(const ScratchDir &)> prepare;
    std::vector<std::string> args;
    std::string message;
    int error_number;
    std::set<std::string> files_after;
  };
  const Case cases[] = {
      {"missing map file",
       [](const ScratchDir &d) { write_file(d / "tmp/_map_0.tmp", "a 1\n"); },
       {"2", "2"},
       "[Suffle:suffle_process_files] Error opening suffle input file tmp/_map_1.tmp.\n",
       ENOENT,
       {"_map_0.tmp"}},
      {"unreadable map file",
       [](const ScratchDir &d) { fs::create_symlink("/proc/self/mem", d / "tmp/_map.tmp"); },
       {"1", "1"},
       "[Suffle:read_line_map] Error reading map file.\n",
       EIO,
       {"_map.tmp"}},
      {"batch file not creatable",
       [](const ScratchDir &d) {
         write_file(d / "tmp/_map.tmp", "a 1\n");
         fs::create_symlink("/nonexistent/dir/file", d / "tmp/_batch_r0_0.tmp");
       },
       {"1", "1"},
       "[Suffle:write_line] Error writting suffle result (1).\n",
       EBADF,
       {"_map.tmp", "_batch_r0_0.tmp"}},
      {"output file not creatable",
       [](const ScratchDir &d) {
         write_file(d / "tmp/_map.tmp", "a 1\n");
         fs::create_directory(d / "tmp/_suffle_0.tmp");
       },
       {"1", "1"},
       "[Suffle:merge_batchs] Error opening output batch file.\n",
       EISDIR,
       {"_map.tmp", "_batch_r0_0.tmp", "_suffle_0.tmp"}},
  };
  for (const Case &c : cases) {
    ScratchDir dir;
    c.prepare(dir);
    RunResult run = suffle(dir, c.args);
    EXPECT_EQ(run.exit_status, c.error_number) << c.name;
    EXPECT_EQ(run.err, error_text(c.message, c.error_number)) << c.name;
    EXPECT_EQ(files_in_tmp(dir), c.files_after) << c.name;
  }
}

TEST(QuoventSuffleRun, ADirectoryAsMapFileCountsAsEmpty) {
  ScratchDir dir;
  fs::create_directory(dir / "tmp/_map.tmp");
  RunResult run = suffle(dir, {"1", "2"});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_NE(run.out.find("0 tuples from ./tmp/_map.tmp file."), std::string::npos);
  EXPECT_EQ(read_file(dir / "tmp/_suffle_1.tmp"), "");
}

}  // namespace
