// QuoventSuffle end to end: its command line, its messages byte for byte, the files it reads
// and writes, and how it stops.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using quovent_test::read_file;
using quovent_test::RunResult;
using quovent_test::ScratchDir;
using quovent_test::write_file;
using Files = std::set<std::string>;

const std::string kGreen = "\033[0;32m", kGreenL = "\033[0;92m", kReset = "\033[0m";

RunResult suffle(const ScratchDir &dir, const std::vector<std::string> &args,
                 const std::vector<std::string> &env = {}) {
  return quovent_test::run_program(quovent_test::program_path("QuoventSuffle"), args, dir.path(),
                                   env);
}

std::string error_text(const std::string &message, int error_number) {
  return "\033[1;31m" + message + ": " + strerror(error_number) + "\033[0m\n";
}

Files files_in_tmp(const ScratchDir &dir) {
  Files names;
  for (const auto &entry : fs::directory_iterator(dir / "tmp"))
    names.insert(entry.path().filename());
  return names;
}

TEST(QuoventSuffleCommandLine, IsRefusedBeforeAnyFileIsTouched) {
  const std::string usage = "[QuoventSuffle] Usage: QuoventSuffle <nmappers> <nreducers>";
  const std::string mappers = "[QuoventSuffle] Invalid number of mappers";
  const std::string reducers = "[QuoventSuffle] Invalid number of reducers";
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{}, usage},
      {{"2"}, usage},
      {{"1", "2", "3"}, usage},
      {{"0", "4"}, mappers},
      {{"33", "1"}, mappers},
      {{"abc", "2"}, mappers},
      {{"0", "0"}, mappers},
      {{"1", "17"}, reducers},
      {{"1", "0"}, reducers},
      {{"4294967297", "1"}, mappers},  // too large for an int, not wrapped round to 1
  };
  for (const auto &[args, message] : cases) {
    ScratchDir dir;
    write_file(dir / "tmp/_map.tmp", "a 1\n");
    RunResult run = suffle(dir, args);
    std::string shown = args.empty() ? "no arguments" : args[0] + " ...";
    EXPECT_EQ(run.exit_status, 1) << shown;
    EXPECT_EQ(run.err, error_text(message, 0)) << shown;
    EXPECT_EQ(run.out + "|" + *files_in_tmp(dir).begin(), "|_map.tmp") << shown;
  }
}

TEST(QuoventSuffleRun, ReportsEachMapFileWhenItRunsOut) {
  ScratchDir dir;
  write_file(dir / "tmp/_map_0.tmp", "b 1\na 1\nc 1\n");
  write_file(dir / "tmp/_map_1.tmp", "a 1\n");
  write_file(dir / "tmp/_map_2.tmp", "");
  RunResult run = suffle(dir, {"3x", " 1"});  // counts are read as atoi reads them
  ASSERT_EQ(run.exit_status, 0) << run.err;
  auto per_file = [](const char *text) {
    return kGreenL + "\t\tSuflle processed " + text + kReset;
  };
  EXPECT_EQ(quovent_test::mask_times(run.out),
            kGreen + "[Suffle Stage]\tStart Suffle to process 3 input files and generate 1 " +
                "output files.\n" + kReset + per_file("0 tuples from tmp/_map_2.tmp file.\n") +
                per_file("1 tuples from tmp/_map_1.tmp file.\n") +
                per_file("3 tuples from tmp/_map_0.tmp file.\n") + kGreen +
                "[Suffle Stage]\tEnd Suffle: Processed 4 tupples in <t> secs.\n" + kReset);
  EXPECT_EQ(read_file(dir / "tmp/_suffle_0.tmp"), "a 1\na 1\nb 1\nc 1\n");
}

TEST(QuoventSuffleRun, OneMapperReadsTheUnnumberedFileAndEveryReducerGetsAFile) {
  ScratchDir dir;
  write_file(dir / "tmp/_map.tmp", "a 1\n");
  write_file(dir / "tmp/_map_0.tmp", "the 1\n");  // belongs to a run of several mappers
  RunResult run = suffle(dir, {"1", "4"});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  // 'a' goes to reducer 2 of 4; the reducers without lines get empty files and no batch.
  EXPECT_EQ(files_in_tmp(dir), (Files{"_map.tmp", "_map_0.tmp", "_batch_r2_0.tmp", "_suffle_0.tmp",
                                      "_suffle_1.tmp", "_suffle_2.tmp", "_suffle_3.tmp"}));
  for (int r = 0; r < 4; ++r) {
    EXPECT_EQ(read_file(dir / ("tmp/_suffle_" + std::to_string(r) + ".tmp")),
              r == 2 ? "a 1\n" : "");
  }
}

TEST(QuoventSuffleFailures, StopWithTheErrorOfTheFailedCall) {
  struct Case {
    std::function<void(const ScratchDir &)> prepare;
    std::vector<std::string> args;
    std::string message;
    int error_number;
    Files files_after;
  };
  const Case cases[] = {
      {[](const ScratchDir &d) { write_file(d / "tmp/_map_0.tmp", "a 1\n"); },
       {"2", "2"},
       "[Suffle:suffle_process_files] Error opening suffle input file tmp/_map_1.tmp.\n",
       ENOENT,
       {"_map_0.tmp"}},
      {[](const ScratchDir &d) { fs::create_symlink("/proc/self/mem", d / "tmp/_map.tmp"); },
       {"1", "1"},
       "[Suffle:read_line_map] Error reading map file.\n",
       EIO,
       {"_map.tmp"}},
      // A directory in the way of the first batch file: its open fails, also for root.
      {[](const ScratchDir &d) {
         write_file(d / "tmp/_map.tmp", "a 1\n");
         fs::create_directory(d / "tmp/_batch_r0_0.tmp");
       },
       {"1", "1"},
       "[Suffle:flush_batch] Error opening batch file tmp/_batch_r0_0.tmp.\n",
       EISDIR,
       {"_map.tmp", "_batch_r0_0.tmp"}},
  };
  for (const Case &c : cases) {
    ScratchDir dir;
    c.prepare(dir);
    RunResult run = suffle(dir, c.args);
    EXPECT_EQ(run.exit_status, c.error_number) << c.message;
    EXPECT_EQ(run.err, error_text(c.message, c.error_number));
    EXPECT_EQ(files_in_tmp(dir), c.files_after) << c.message;
  }
}

}  // namespace
