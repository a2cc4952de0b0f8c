// QuoventReduce end to end: shuffle output files in, result file, messages
// and exit status out.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/TestSupport.h"

using namespace quovent_test;

namespace {

const std::string kReset = "\033[0m";
const char kRunTokenVariable[] = "QUOVENT_RUN_TOKEN";

std::string file_line(int words, int r) {
  return "\033[0;92m\t\tReducer processed " + std::to_string(words) + " words from tmp/_suffle_" +
         std::to_string(r) + ".tmp file.\n" + kReset;
}

// Writes the shuffle output files (name, bytes) and runs the program there.
RunResult reduce(const ScratchDir &dir, const std::vector<std::string> &args,
                 const std::vector<std::pair<std::string, std::string>> &files,
                 const std::vector<std::string> &env = {}) {
  for (const auto &[name, bytes] : files) write_file(dir / name, bytes);
  return run_program(program_path("QuoventReduce"), args, dir.path(), env);
}

TEST(QuoventReduce, WritesOneSectionPerReducerInOrder) {
  ScratchDir dir;
  RunResult run = reduce(dir, {}, {{"tmp/_suffle_0.tmp", "a 1\na 1\nb 1\n"}});
  EXPECT_EQ(mask_times(run.out),
            "\033[0;32m[Reduce Stage\tStart Reduceer to process 1 input files.\n" + kReset +
                file_line(2, 0) + "\033[0;32m[Reduce Stage]\tReducer Done. Processed 2 " +
                "diferent words with 1 reducers in <t> secs.\n" + kReset);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(read_file(dir / "Result/qv.txt"), "a 2\nb 1\n");

  ScratchDir three;  // the count is read like atoi
  run = reduce(three, {"out.txt", " +3x"},
               {{"tmp/_suffle_0.tmp", "b 1\nb 1\n"},
                {"tmp/_suffle_1.tmp", ""},
                {"tmp/_suffle_2.tmp", "a 1\nc 1\n"}});
  EXPECT_NE(run.out.find(file_line(1, 0) + file_line(0, 1) + file_line(2, 2)), std::string::npos);
  EXPECT_EQ(read_file(three / "out.txt"), "b 2\na 1\nc 1\n");
}

TEST(QuoventReduce, StopsThroughErrorKeepingWhatIsWritten) {
  const std::string invalid = "[QuoventReduce] Invalid number of reducers: ";
  const std::string missing = "\n: No such file or directory";
  struct Case {
    std::vector<std::string> args;
    std::string message, result;  // result "-": no out.txt
    int status;
  } cases[] = {
      {{"out.txt", "3"},
       "[Reduce::quovent_reducer] Error opening reducer input file tmp/_suffle_1.tmp" + missing,
       "b 2\n",
       2},
      {{"no/out.txt"},
       "[Reduce::quovent_reducer] Error opening reducer output file no/out.txt" + missing,
       "-",
       2},  // before tmp/_suffle_1.tmp is looked for
      {{"out.txt", "0"}, invalid + "Success", "-", 1},
      {{"out.txt", "x3"}, invalid + "Success", "-", 1},
      {{"out.txt", "4294967297"}, invalid + "Success", "-", 1},  // not wrapped to 1
      {{"out.txt", "99999999999999999999"}, invalid + "Numerical result out of range", "-", 34},
      {{"out.txt", "1", "0", "x"},
       "[QuoventReduce] Usage: QuoventReduce [output_file] [nreducers]: Success",
       "-",
       1},
      {{"out.txt", "2", "2"}, "[QuoventReduce] Invalid reducer index: Success", "-", 1},
      {{"out.txt", "2", "-1"}, "[QuoventReduce] Invalid reducer index: Success", "-", 1},
      {{"out.txt", "1", "4294967296"}, "[QuoventReduce] Invalid reducer index: Success", "-", 1},
      {{"out.txt", "2", "1"},  // a failed indexed reducer leaves the result empty
       "[Reduce::quovent_reducer] Error opening reducer input file tmp/_suffle_1.tmp" + missing,
       "",
       2},
  };
  for (const Case &c : cases) {
    ScratchDir dir;
    RunResult run = reduce(dir, c.args, {{"tmp/_suffle_0.tmp", "b 1\nb 1\n"}});
    EXPECT_EQ(run.err, "\033[1;31m" + c.message + kReset + "\n");
    EXPECT_EQ(run.exit_status, c.status) << c.message;
    bool written = std::filesystem::exists(dir / "out.txt");
    EXPECT_EQ(written ? read_file(dir / "out.txt") : "-", c.result) << c.message;
  }
}

TEST(QuoventReduce, IndexedReducersOfOneRunAssembleTheResultInIndexOrder) {
  ScratchDir dir;
  for (auto [name, bytes] :
       {std::pair{"tmp/_suffle_0.tmp", "b 1\nb 1\n"}, std::pair{"tmp/_suffle_1.tmp", ""},
        std::pair{"tmp/_suffle_2.tmp", "a 1\nc 1\n"}}) {
    write_file(dir / name, bytes);
  }
  const std::string complete = "b 2\na 1\nc 1\n";
  struct Run {
    std::string token;
    std::vector<std::string> order;  // indexes of the reducers, in the order they run
  };
  // Parts of earlier runs stay beside the result; a run with another token
  // must neither use them nor show an earlier result while incomplete.
  const Run runs[] = {{"one", {"2", "0", "1"}}, {"two", {"1", "2", "0"}}, {"", {"0", "1", "2"}}};
  for (const Run &run : runs) {
    for (size_t k = 0; k < run.order.size(); ++k) {
      RunResult reducer = reduce(dir, {"out.txt", "3", run.order[k]}, {},
                                 {std::string(kRunTokenVariable) + "=" + run.token});
      ASSERT_EQ(reducer.exit_status, 0) << reducer.err;
      bool last = k + 1 == run.order.size();
      EXPECT_EQ(read_file(dir / "out.txt"), last ? complete : "")
          << "run " << run.token << " after reducer " << run.order[k];
    }
  }
  // Another reducer count: the parts of the runs with 3 reducers do not fit.
  RunResult one = reduce(dir, {"out.txt", "2", "1"}, {}, {std::string(kRunTokenVariable) + "=x"});
  ASSERT_EQ(one.exit_status, 0) << one.err;
  EXPECT_EQ(read_file(dir / "out.txt"), "");
}

TEST(QuoventReduce, GroupsWordsThatCollateEqualInTheUserLocale) {
  if (!generated_locale_available("es_ES.UTF-8")) GTEST_SKIP() << "es_ES.UTF-8 not generated";
  // Unassigned U+0378 and U+0379 weigh the same under es_ES; C.UTF-8 orders
  // by code point.
  const std::string w = "a\xCD\xB8z", w2 = "a\xCD\xB9z", input = w + " 1\n" + w2 + " 2\n";
  for (auto [locale, expected] :
       {std::pair{"es_ES.UTF-8", w + " 3\n"}, std::pair{"C.UTF-8", w + " 1\n" + w2 + " 2\n"}}) {
    ScratchDir dir;
    reduce(dir, {}, {{"tmp/_suffle_0.tmp", input}}, {std::string("LC_ALL=") + locale});
    EXPECT_EQ(read_file(dir / "Result/qv.txt"), expected) << locale << ": " << hex(input);
  }
}

}  // namespace
