// QuoventMerge end to end: the result files of runs over parts of a text merge into the bytes
// one run over the whole text writes, in byte-ordered and collating locales; what is not a
// result file of the given reducer count is refused with its file and line, and a refused or
// failed merge leaves the output file as it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "support/TestSupport.h"

using namespace quovent_test;
namespace fs = std::filesystem;

namespace {

constexpr int kMalformedStatus = 65;
constexpr int kUsageStatus = 64;

std::vector<std::string> locale_environment(const std::string &locale) {
  return {"LC_ALL=" + locale, "LOCPATH=" + generated_locale_dir()};
}

bool locale_available(const std::string &locale) {
  return locale == "C.UTF-8" || generated_locale_available(locale);
}

RunResult merge(const ScratchDir &dir, const std::vector<std::string> &args,
                const std::vector<std::string> &environment = {}) {
  return run_program(program_path("QuoventMerge"), args, dir.path(), environment);
}

// Files in Result/ other than the named ones: temporaries a merge must not leave behind.
std::vector<std::string> other_result_files(const ScratchDir &dir,
                                            const std::vector<std::string> &expected) {
  std::vector<std::string> others;
  for (const auto &entry : fs::directory_iterator(dir / "Result")) {
    std::string name = entry.path().filename().string();
    if (std::find(expected.begin(), expected.end(), name) == expected.end()) others.push_back(name);
  }
  return others;
}

TEST(QuoventMerge, PartsMergeIntoTheBytesOfOneRun) {
  for (const std::string locale : {"C.UTF-8", "en_US.UTF-8"}) {
    if (!locale_available(locale)) {
      ADD_FAILURE() << locale << " was not generated";
      continue;
    }
    std::vector<std::string> env = locale_environment(locale);
    for (const std::string reducers : {"1", "4", "16"}) {
      SCOPED_TRACE(locale + " -r " + reducers);
      ScratchDir dir;
      std::vector<std::string> texts = multilingual_texts();
      texts.push_back(texts[0] + texts[1]);  // words in several parts
      std::vector<std::string> inputs;
      std::vector<std::string> parts;
      for (size_t i = 0; i < texts.size(); ++i) {
        inputs.push_back("in" + std::to_string(i) + ".txt");
        parts.push_back("Result/part" + std::to_string(i) + ".txt");
        write_file(dir / inputs.back(), texts[i]);
        ASSERT_EQ(run_program(program_path("QuoventMR"),
                              {"-r", reducers, "-o", parts.back(), inputs.back()}, dir.path(), env)
                      .exit_status,
                  0);
      }
      std::vector<std::string> whole = {"-r", reducers, "-o", "Result/whole.txt"};
      whole.insert(whole.end(), inputs.begin(), inputs.end());
      ASSERT_EQ(run_program(program_path("QuoventMR"), whole, dir.path(), env).exit_status, 0);

      std::vector<std::string> args = {"-r", reducers, "-o", "Result/merged.txt"};
      args.insert(args.end(), parts.begin(), parts.end());
      RunResult result = merge(dir, args, env);
      ASSERT_EQ(result.exit_status, 0) << result.err;
      EXPECT_EQ(read_file(dir / "Result/merged.txt"), read_file(dir / "Result/whole.txt"));

      // The shards' results a sharded run keeps (in byte order under a collating locale), in the
      // order of the shards.
      std::vector<std::string> sharded = {
          "-k", "-s", "300", "-w", "work", "-r", reducers, "-o", "Result/sharded.txt"};
      sharded.insert(sharded.end(), inputs.begin(), inputs.end());
      ASSERT_EQ(run_program(program_path("QuoventMR_v3"), sharded, dir.path(), env).exit_status, 0);
      std::vector<std::string> kept = {"-r", reducers, "-o", "Result/kept.txt"};
      for (int k = 0; fs::exists(dir / ("work/shard_" + std::to_string(k))); ++k) {
        kept.push_back("work/shard_" + std::to_string(k) + "/result.txt");
      }
      RunResult from_kept = merge(dir, kept, env);
      ASSERT_EQ(from_kept.exit_status, 0) << from_kept.err;
      EXPECT_EQ(read_file(dir / "Result/kept.txt"), read_file(dir / "Result/whole.txt"));
    }
  }
}

TEST(QuoventMerge, MoreFilesThanOneRoundReadsMergeInRounds) {
  ScratchDir dir;
  write_file(dir / "Result/part.txt", "b 2\nc 1\n");
  write_file(dir / "Result/last.txt", "a 1\n");
  std::vector<std::string> args = {"-r", "1", "-o", "Result/merged.txt"};
  const int copies = 300;  // three rounds of at most 128 files
  for (int i = 0; i < copies; ++i) args.push_back("Result/part.txt");
  args.push_back("Result/last.txt");
  RunResult result = merge(dir, args);
  ASSERT_EQ(result.exit_status, 0) << result.err;
  EXPECT_EQ(read_file(dir / "Result/merged.txt"), "a 1\nb 600\nc 300\n");
  EXPECT_EQ(other_result_files(dir, {"part.txt", "last.txt", "merged.txt"}),
            std::vector<std::string>{});
}

struct Refused {
  const char *what;
  const char *content;  // of a.txt; b.txt holds "zz 1\n"
  const char *reducers;
  int status;
  const char *message;  // after "a.txt, line "
};

TEST(QuoventMerge, WhatIsNoResultFileIsRefusedAndTheOutputKept) {
  const Refused cases[] = {
      {"a word without count", "a 1\nb\n", "1", kMalformedStatus, "2: not a result line"},
      {"a count of 0", "a 0\n", "1", kMalformedStatus, "1: not a result line"},
      {"a leading zero", "a 01\n", "1", kMalformedStatus, "1: not a result line"},
      {"a signed count", "a +1\n", "1", kMalformedStatus, "1: not a result line"},
      {"two blanks", "a  1\n", "1", kMalformedStatus, "1: not a result line"},
      {"a tab in the word", "a\tb 1\n", "1", kMalformedStatus, "1: not a result line"},
      {"a count beyond 64 bits", "a 9223372036854775808\n", "1", kMalformedStatus,
       "1: not a result line"},
      {"a last line without line end", "a 1\nb 1", "1", kMalformedStatus,
       "2: the last line has no line end"},
      {"words out of order", "b 1\na 1\n", "1", kMalformedStatus, "2: its word does not follow"},
      {"a repeated word", "a 1\na 2\n", "1", kMalformedStatus, "2: its word does not follow"},
      // With 4 reducers "a" and "the" go to reducer 2, "casa" to reducer 1.
      {"sections out of order", "a 1\ncasa 1\n", "4", kMalformedStatus,
       "2: its word belongs to an earlier section"},
  };
  for (const Refused &c : cases) {
    SCOPED_TRACE(c.what);
    ScratchDir dir;
    write_file(dir / "a.txt", c.content);
    write_file(dir / "b.txt", "zz 1\n");
    write_file(dir / "Result/qv.txt", "old\n");
    RunResult result = merge(dir, {"-r", c.reducers, "b.txt", "a.txt"});
    EXPECT_EQ(result.exit_status, c.status) << hex(c.content);
    EXPECT_NE(result.err.find(std::string("a.txt, line ") + c.message), std::string::npos)
        << result.err;
    EXPECT_EQ(read_file(dir / "Result/qv.txt"), "old\n");
    EXPECT_EQ(other_result_files(dir, {"qv.txt"}), std::vector<std::string>{});
  }
}

TEST(QuoventMerge, ATotalBeyond64BitsStopsTheMerge) {
  ScratchDir dir;
  write_file(dir / "a.txt", "a 9223372036854775807\n");
  write_file(dir / "b.txt", "a 1\n");
  write_file(dir / "Result/qv.txt", "old\n");
  RunResult result = merge(dir, {"-r", "1", "a.txt", "b.txt"});
  EXPECT_EQ(result.exit_status, EOVERFLOW);
  EXPECT_NE(result.err.find("does not fit 64 bits"), std::string::npos) << result.err;
  EXPECT_EQ(read_file(dir / "Result/qv.txt"), "old\n");
}

TEST(QuoventMerge, FaultsNameTheFile) {
  ScratchDir dir;
  write_file(dir / "a.txt", "a 1\n");
  RunResult missing = merge(dir, {"-r", "1", "a.txt", "missing.txt"});
  EXPECT_EQ(missing.exit_status, ENOENT);
  EXPECT_NE(missing.err.find("Error opening result file missing.txt"), std::string::npos);
  RunResult no_dir = merge(dir, {"-r", "1", "-o", "nowhere/qv.txt", "a.txt"});
  EXPECT_EQ(no_dir.exit_status, ENOENT);
  EXPECT_NE(no_dir.err.find("Error opening merge output file nowhere/qv.txt"), std::string::npos);
  // The output named as one of the files merged, spelled otherwise: refused, the file kept.
  RunResult over_input = merge(dir, {"-r", "1", "-o", "./a.txt", "a.txt"});
  EXPECT_EQ(over_input.exit_status, kUsageStatus);
  EXPECT_NE(over_input.err.find("output file ./a.txt is the result file a.txt"), std::string::npos)
      << over_input.err;
  EXPECT_EQ(read_file(dir / "a.txt"), "a 1\n");
}

TEST(QuoventMerge, CommandLinesThatCannotBeUsed) {
  ScratchDir dir;
  write_file(dir / "a.txt", "a 1\n");
  for (const std::vector<std::string> &args :
       std::vector<std::vector<std::string>>{{"a.txt"},
                                             {"-r", "0", "a.txt"},
                                             {"-r", "17", "a.txt"},
                                             {"-r", "2x", "a.txt"},
                                             {"-r", "1"},
                                             {"-x", "-r", "1", "a.txt"},
                                             {"-r", "1", "-j", "0", "a.txt"},
                                             {"-r", "1", "-j", "4097", "a.txt"},
                                             {"-r"}}) {
    RunResult result = merge(dir, args);
    EXPECT_EQ(result.exit_status, kUsageStatus) << args.size();
    EXPECT_NE(result.err.find("Usage: QuoventMerge"), std::string::npos);
  }
  EXPECT_FALSE(fs::exists(dir / "Result/qv.txt"));
}

}  // namespace
