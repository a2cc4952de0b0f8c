// The reduce module: how one shuffle output file becomes result lines.
#include "reduce/Reduce.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <clocale>
#include <cstdlib>
#include <string>

#include "support/TestSupport.h"

using namespace quovent_test;

namespace {

struct Reduced {
  std::string out;
  int lines;
};

// Reduces the bytes as a regular file, so that reads return whole chunks.
Reduced reduce_bytes(const std::string &input) {
  ScratchDir dir;
  write_file(dir / "in", input);
  int fd_in = open((dir / "in").c_str(), O_RDONLY);
  int fd_out = open((dir / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  int lines = reduce_process_file(fd_in, fd_out);
  close(fd_in);
  close(fd_out);
  return {read_file(dir / "out"), lines};
}

std::string repeat(std::string_view text, int times) {
  std::string all;
  for (int k = 0; k < times; ++k) all += text;
  return all;
}

// 255 bytes: 127 two-byte letters and one ASCII letter.
const std::string kLong = repeat("\xC3\xA9", 127) + "x";
const std::string kLongY = repeat("\xC3\xA9", 127) + "y";

TEST(ReduceProcessFile, TotalsOfAdjacentEqualWords) {
  struct Case {
    std::string input, expected;
    int lines;
  } cases[] = {
      {"a 1\na 1\nb 1\n", "a 2\nb 1\n", 2},
      {"", "", 0},
      {"a 3\na 4\nb 2\n", "a 7\nb 2\n", 2},
      {"a 1\nb 1\na 1\n", "a 1\nb 1\na 1\n", 3},
      {"a 1\na 1\nb 1", "a 2\nb 1\n", 2},     // last line without line end
      {"a 5\nb\nb \n", "a 5\nb 2\n", 2},      // no count: one occurrence
      {"\na 1\n \t\na 1\r\n\n", "a 2\n", 1},  // empty and blank lines
      {"a 0\nb -1\nb 1\nc 1\n", "c 1\n", 1},  // totals not above 0
      {"a 9223372036854775807\na 1\n", "a 9223372036854775807\n", 1},
      {kLong + "\n" + kLong + " \n" + kLong + " 1\n" + kLongY + "\n",
       kLong + " 3\n" + kLongY + " 1\n", 2},
      {repeat("\xC3\xA9", 150) + " 2\n", repeat("\xC3\xA9", 127) + " 2\n", 1},
  };
  for (const Case &c : cases) {
    Reduced got = reduce_bytes(c.input);
    EXPECT_EQ(got.out, c.expected) << "input: " << hex(c.input);
    EXPECT_EQ(got.lines, c.lines) << "input: " << hex(c.input);
  }
}

TEST(ReduceProcessFile, LinesAcrossTheChunkBoundary) {
  // 16,383 lines of 4 bytes end 4 bytes before the boundary.
  std::string before = repeat("x 1\n", REDUCE_BLOCK_SIZE / 4 - 1);
  EXPECT_EQ(reduce_bytes(before + "split 1\nsplit 1\n").out, "x 16383\nsplit 2\n");
  EXPECT_EQ(reduce_bytes(before + "x 1\ny 1\n").out, "x 16384\ny 1\n");
}

TEST(ReduceProcessFile, DirectoryReadsAsEmpty) {
  ScratchDir dir;
  int fd_in = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
  EXPECT_EQ(reduce_process_file(fd_in, -1), 0);
  close(fd_in);
}

TEST(ReduceProcessFile, FailuresStopThroughError) {
  const std::string red = "\033[1;31m", tail = ": Bad file descriptor\033[0m\n";
  struct Case {
    std::string input;
    bool readable_input;
    std::string message;
  } cases[] = {
      {"a 1\n", false, "[Reduce::reduce_process_file] Error reading reduce input file.\n"},
      {"a 1\nb 1\n", true, "[Reduce::reduce_process_file] Error writting reduce result.\n"},
      {"a 1\n", true, "[Reduce::reduce_process_file] Error writting reduce result (final).\n"},
  };
  for (const Case &c : cases) {
    ScratchDir dir;
    write_file(dir / "in", c.input);
    RunResult run = run_in_child([&] {
      int fd_in = open((dir / "in").c_str(), c.readable_input ? O_RDONLY : O_WRONLY);
      int fd_out = open((dir / "in").c_str(), O_RDONLY);  // unwritable
      reduce_process_file(fd_in, fd_out);
    });
    EXPECT_EQ(run.err, red + c.message + tail) << "input: " << hex(c.input);
    EXPECT_EQ(run.exit_status, EBADF);
  }
}

TEST(CmpWords, FollowsTheLocaleCollation) {
  if (!generated_locale_available("es_ES.UTF-8")) GTEST_SKIP() << "es_ES.UTF-8 not generated";
  setenv("LOCPATH", generated_locale_dir().c_str(), 1);
  ASSERT_NE(setlocale(LC_ALL, "es_ES.UTF-8"), nullptr);
  EXPECT_LT(cmp_words("\xC3\xB1", "o"), 0);  // ñ between n and o
  EXPECT_GT(cmp_words("\xC3\xB1", "n"), 0);
  setlocale(LC_ALL, "C");
  EXPECT_GT(cmp_words("\xC3\xB1", "o"), 0);  // bytes
}

}  // namespace
