// QuoventMR_v3 end to end: inputs cut at every line end where a cut is allowed, counted in
// shards and merged, give the bytes of QuoventMR; its work files go as they came; its command
// line refuses what it cannot use before it touches anything.
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

constexpr int kUsageStatus = 64;

RunResult v3(const ScratchDir &dir, const std::vector<std::string> &args,
             const std::vector<std::string> &environment = {}) {
  return run_program(program_path("QuoventMR_v3"), args, dir.path(), environment);
}

// Text whose line ends are the places where a shard may end: lines that end in stray lead
// bytes of two-, three- and four-byte units (which swallow the line end), in continuation
// bytes, in letters of U+00C0 to U+00FF and in words of the longest length.
std::string adversarial_text(size_t variant) {
  const std::vector<std::string> tails = {
      "a",       "\xC3",        "\xC3\xA9", "x\xE2", "\xE2xy", "\xF0xx",
      "\xF0xxx", "\x80",        "\xC2",     "\xFF",  "ÁRBOL",  std::string(255, 'w'),
      "Straße ", "\xE2\x82\xAC"};
  std::string text;
  for (size_t i = 0; i < 3 * tails.size(); ++i) {
    const std::string &tail = tails[(i * (variant + 2)) % tails.size()];
    text += "word" + std::string(i % 3, 'x') + " " + tail + "\n";
    if (i % 5 == variant) text += "\n";
  }
  return text + "end";  // no final line end
}

TEST(QuoventMRv3, ShardsCutAtEveryAllowedLineEndGiveTheBytesOfOneRun) {
  struct Case {
    const char *locale;
    const char *reducers;
    const char *jobs;
  };
  for (const Case &c :
       {Case{"C.UTF-8", "1", "2"}, Case{"C.UTF-8", "3", "1"}, Case{"en_US.UTF-8", "4", "2"}}) {
    SCOPED_TRACE(std::string(c.locale) + " -r " + c.reducers);
    if (std::string(c.locale) != "C.UTF-8" && !generated_locale_available(c.locale)) {
      ADD_FAILURE() << c.locale << " was not generated";
      continue;
    }
    std::vector<std::string> env = {std::string("LC_ALL=") + c.locale,
                                    "LOCPATH=" + generated_locale_dir()};
    ScratchDir dir;
    std::vector<std::string> inputs = {"a.txt", "b.txt", "c.txt"};
    write_file(dir / "a.txt", adversarial_text(0));
    write_file(dir / "b.txt", adversarial_text(1));
    write_file(dir / "c.txt", multilingual_texts()[2]);
    std::vector<std::string> one_run = {"-r", c.reducers, "-o", "Result/one.txt"};
    one_run.insert(one_run.end(), inputs.begin(), inputs.end());
    ASSERT_EQ(run_program(program_path("QuoventMR"), one_run, dir.path(), env).exit_status, 0);
    // One byte a shard: a cut at every line end that allows one.
    std::vector<std::string> sharded = {"-s", "1", "-j", c.jobs, "-r", c.reducers};
    sharded.insert(sharded.end(), inputs.begin(), inputs.end());
    RunResult result = v3(dir, sharded, env);
    ASSERT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(read_file(dir / "Result/qv.txt"), read_file(dir / "Result/one.txt"));
  }
}

TEST(QuoventMRv3, WorkFilesGoUnlessKeptAndAreNeverTakenOver) {
  ScratchDir dir;
  write_file(dir / "a.txt", "uno dos\ndos tres\ntres tres\n");
  RunResult plain = v3(dir, {"-s", "8", "a.txt"});
  ASSERT_EQ(plain.exit_status, 0) << plain.err;
  EXPECT_EQ(read_file(dir / "Result/qv.txt"), "dos 2\ntres 3\nuno 1\n");
  EXPECT_FALSE(fs::exists(dir / "tmp/v3"));
  // Not on a terminal: a start line and an end line.
  EXPECT_EQ(std::count(plain.err.begin(), plain.err.end(), '\n'), 2) << plain.err;

  RunResult kept = v3(dir, {"-s", "8", "-k", "-w", "work", "a.txt"});
  ASSERT_EQ(kept.exit_status, 0) << kept.err;
  EXPECT_TRUE(fs::exists(dir / "work/shard_0/result.txt"));
  EXPECT_TRUE(fs::exists(dir / "work/shard_0/count.log"));

  // A work directory with another run's files is refused, and nothing of it is removed.
  RunResult again = v3(dir, {"-s", "8", "-w", "work", "-o", "Result/again.txt", "a.txt"});
  EXPECT_EQ(again.exit_status, EEXIST);
  EXPECT_NE(again.err.find("another run"), std::string::npos) << again.err;
  EXPECT_TRUE(fs::exists(dir / "work/shard_0/result.txt"));
  EXPECT_FALSE(fs::exists(dir / "Result/again.txt"));
}

TEST(QuoventMRv3, CommandLinesThatCannotBeUsedTouchNothing) {
  ScratchDir dir;
  write_file(dir / "a.txt", "uno\n");
  for (const std::vector<std::string> &args :
       std::vector<std::vector<std::string>>{{},
                                             {"-s", "0", "a.txt"},
                                             {"-s", "12X", "a.txt"},
                                             {"-j", "0", "a.txt"},
                                             {"-r", "17", "a.txt"},
                                             {"--sbatch"},
                                             {"--nonsense", "a.txt"}}) {
    RunResult result = v3(dir, args);
    EXPECT_EQ(result.exit_status, kUsageStatus) << args.size();
    EXPECT_NE(result.err.find("Usage: QuoventMR_v3"), std::string::npos);
  }
  RunResult missing = v3(dir, {"a.txt", "missing.txt"});
  EXPECT_EQ(missing.exit_status, ENOENT);
  EXPECT_NE(missing.err.find("Error opening input file missing.txt"), std::string::npos);
  RunResult no_dir = v3(dir, {"-o", "nowhere/qv.txt", "a.txt"});
  EXPECT_EQ(no_dir.exit_status, ENOENT);
  EXPECT_FALSE(fs::exists(dir / "tmp/v3"));
  EXPECT_FALSE(fs::exists(dir / "Result/qv.txt"));
}

}  // namespace
