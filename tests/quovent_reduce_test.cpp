// QuoventReduce end to end: shuffle output files in, result file, messages
// and exit status out.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/TestSupport.h"

using namespace quovent_test;

namespace {

const std::string kGreen = "\033[0;32m", kLight = "\033[0;92m", kReset = "\033[0m";
const std::string kRed = "\033[1;31m";

std::string start_line(int n) {
  return kGreen + "[Reduce Stage\tStart Reduceer to process " + std::to_string(n) +
         " input files.\n" + kReset;
}
std::string file_line(int words, int r) {
  return kLight + "\t\tReducer processed " + std::to_string(words) + " words from tmp/_suffle_" +
         std::to_string(r) + ".tmp file.\n" + kReset;
}
std::string done_line(int words, int n) {
  return kGreen + "[Reduce Stage]\tReducer Done. Processed " + std::to_string(words) +
         " diferent words with " + std::to_string(n) + " reducers in <t> secs.\n" + kReset;
}

RunResult reduce(const ScratchDir &dir, const std::vector<std::string> &args,
                 const std::vector<std::string> &env = {}) {
  return run_program(program_path("QuoventReduce"), args, dir.path(), env);
}

TEST(QuoventReduce, DefaultsToOneReducerAndResultQvTxt) {
  ScratchDir dir;
  write_file(dir / "tmp/_suffle_0.tmp", "a 1\na 1\nb 1\n");
  RunResult run = reduce(dir, {});
  EXPECT_EQ(mask_times(run.out), start_line(1) + file_line(2, 0) + done_line(2, 1));
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(read_file(dir / "Result/qv.txt"), "a 2\nb 1\n");
}

TEST(QuoventReduce, SectionsFollowTheReducerOrder) {
  for (std::string count : {"3", " +3x"}) {  // read like atoi
    ScratchDir dir;
    write_file(dir / "tmp/_suffle_0.tmp", "b 1\nb 1\n");
    write_file(dir / "tmp/_suffle_1.tmp", "");
    write_file(dir / "tmp/_suffle_2.tmp", "a 1\nc 1\n");
    RunResult run = reduce(dir, {"out.txt", count});
    EXPECT_EQ(mask_times(run.out), start_line(3) + file_line(1, 0) + file_line(0, 1) +
                                       file_line(2, 2) + done_line(3, 3));
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(read_file(dir / "out.txt"), "b 2\na 1\nc 1\n");
  }
}

TEST(QuoventReduce, MissingInputKeepsTheSectionsBeforeIt) {
  ScratchDir dir;
  write_file(dir / "tmp/_suffle_0.tmp", "b 1\nb 1\n");
  write_file(dir / "tmp/_suffle_2.tmp", "a 1\n");
  RunResult run = reduce(dir, {"out.txt", "3"});
  EXPECT_EQ(run.out, start_line(3) + file_line(1, 0));
  EXPECT_EQ(run.err, kRed +
                         "[Reduce::quovent_reducer] Error opening reducer input file "
                         "tmp/_suffle_1.tmp\n: No such file or directory" +
                         kReset + "\n");
  EXPECT_EQ(run.exit_status, 2);
  EXPECT_EQ(read_file(dir / "out.txt"), "b 2\n");
}

TEST(QuoventReduce, ResultInMissingDirectoryStopsBeforeAnyInput) {
  ScratchDir dir;  // no shuffle output: an input error would name it
  RunResult run = reduce(dir, {"nodir/out.txt"});
  EXPECT_EQ(run.err, kRed +
                         "[Reduce::quovent_reducer] Error opening reducer output file "
                         "nodir/out.txt\n: No such file or directory" +
                         kReset + "\n");
  EXPECT_EQ(run.exit_status, 2);
}

TEST(QuoventReduce, ArgumentErrorsTouchNothing) {
  const std::string usage = "[QuoventReduce] Usage: QuoventReduce [output_file] [nreducers]";
  const std::string invalid = "[QuoventReduce] Invalid number of reducers";
  struct Case {
    std::vector<std::string> args;
    std::string message, reason;
    int status;
  } cases[] = {
      {{"out.txt", "0"}, invalid, "Success", 1},
      {{"out.txt", "-2"}, invalid, "Success", 1},
      {{"out.txt", "x3"}, invalid, "Success", 1},
      {{"out.txt", "4294967297"}, invalid, "Success", 1},  // not wrapped to 1
      {{"out.txt", "99999999999999999999"}, invalid, "Numerical result out of range", 34},
      {{"out.txt", "1", "0"}, usage, "Success", 1},
  };
  for (const Case &c : cases) {
    ScratchDir dir;
    write_file(dir / "tmp/_suffle_0.tmp", "a 1\n");
    RunResult run = reduce(dir, c.args);
    EXPECT_EQ(run.err, kRed + c.message + ": " + c.reason + kReset + "\n") << c.args[1];
    EXPECT_EQ(run.exit_status, c.status) << c.args[1];
    EXPECT_EQ(run.out, "") << c.args[1];
    EXPECT_FALSE(std::filesystem::exists(dir / "out.txt")) << c.args[1];
  }
}

TEST(QuoventReduce, GroupsWordsThatCollateEqualInTheUserLocale) {
  if (!generated_locale_available("es_ES.UTF-8")) GTEST_SKIP() << "es_ES.UTF-8 not generated";
  // Unassigned U+0378 and U+0379 have the same weights under es_ES; C.UTF-8
  // orders by code point, so there they differ.
  const std::string first = "a\xCD\xB8z", second = "a\xCD\xB9z";
  struct Case {
    std::string locale, expected;
  } cases[] = {
      {"es_ES.UTF-8", first + " 3\n"},
      {"C.UTF-8", first + " 1\n" + second + " 2\n"},
  };
  for (const Case &c : cases) {
    ScratchDir dir;
    write_file(dir / "tmp/_suffle_0.tmp", first + " 1\n" + second + " 1\n" + second + " 1\n");
    RunResult run = reduce(dir, {}, {"LC_ALL=" + c.locale});
    EXPECT_EQ(read_file(dir / "Result/qv.txt"), c.expected) << c.locale;
  }
}

}  // namespace
