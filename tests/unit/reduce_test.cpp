// The reduce module: one shuffle output file in, its result lines out.
#include "reduce/Reduce.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "support/TestSupport.h"

using namespace quovent_test;

namespace {

std::string repeat(std::string_view text, int times) {
  std::string all;
  for (int k = 0; k < times; ++k) all += text;
  return all;
}

// Reduces the bytes from a regular file, so that reads return whole chunks.
// Returns the result lines and, after them, the returned count.
std::string reduce_bytes(const std::string &input) {
  ScratchDir dir;
  write_file(dir / "in", input);
  int fd_in = open((dir / "in").c_str(), O_RDONLY);
  int fd_out = open((dir / "out").c_str(), O_WRONLY | O_CREAT, 0644);
  int lines = reduce_process_file(fd_in, fd_out);
  close(fd_in);
  close(fd_out);
  return read_file(dir / "out") + "=" + std::to_string(lines);
}

TEST(ReduceProcessFile, TotalsOfAdjacentEqualWords) {
  // 255 bytes each: 127 two-byte letters and an ASCII letter.
  const std::string w = repeat("\xC3\xA9", 127) + "x", w2 = repeat("\xC3\xA9", 127) + "y";
  struct Case {
    std::string input, expected;
  } cases[] = {
      {"a 1\na 1\nb 1\n", "a 2\nb 1\n=2"},
      {"", "=0"},
      {"a 3\na 4\nb 1\na 1\n", "a 7\nb 1\na 1\n=3"},  // only adjacent lines
      {"a 1\na 1\nb 1", "a 2\n=1"},                   // last line without line end
      {"a 5\nb\nb \n", "a 5\nb 2\n=2"},               // no count: one occurrence
      {"\na 1\n \t\na 1\r\n", "a 2\n=1"},             // empty and blank lines
      {"a 0\nb -1\nb 1\n", "=0"},                     // totals not above 0
      {"a 9223372036854775807\na 1\n", "a 9223372036854775807\n=1"},
      {w + "\n" + w + " \n" + w + " 1\n" + w2 + "\n", w + " 3\n" + w2 + " 1\n=2"},
      {repeat("\xC3\xA9", 150) + " 2\n", repeat("\xC3\xA9", 127) + " 2\n=1"},
      // Runs of identical lines, which are added up without being parsed again.
      {"a 2\na 2\na 2\nb 1\n", "a 6\nb 1\n=2"},
      {"a -1\na -1\na 3\n", "a 1\n=1"},
      {" \n \n \nb\nb\nb 1\n", "b 3\n=1"},
      {"a 1\na 1\nb 1\nb 1\na 1\na 1\n", "a 2\nb 2\na 2\n=3"},
      {"a 9223372036854775807\na 9223372036854775807\n", "a 9223372036854775807\n=1"},
      {repeat(w + " 2\n", 3), w + " 6\n=1"},
      {repeat("a 4611686018427387904\n", 3) + "a -1\n", "a 9223372036854775806\n=1"},
  };
  for (const Case &c : cases) EXPECT_EQ(reduce_bytes(c.input), c.expected) << hex(c.input);
}

TEST(ReduceProcessFile, LinesAcrossTheChunkBoundary) {
  std::string before = repeat("x 1\n", REDUCE_BLOCK_SIZE / 4 - 1);  // ends 4 bytes short
  EXPECT_EQ(reduce_bytes(before + "split 1\nsplit 1\n"), "x 16383\nsplit 2\n=2");
  EXPECT_EQ(reduce_bytes(before + "x 1\ny 1\n"), "x 16384\ny 1\n=2");
}

TEST(ReduceProcessFile, ManyResultLinesKeepTheirOrder) {
  // More result bytes than one write takes, and totals of every digit count.
  std::string input, expected;
  unsigned long long total = 1;
  for (int k = 0; k < 20000; ++k) {
    std::string word = "w";
    word += std::to_string(100000 + k);
    const long long count = static_cast<long long>(total % 1000003);
    const std::string line = word + " " + std::to_string(count) + "\n";
    input += line;
    input += line;
    if (count > 0) expected += word + " " + std::to_string(2 * count) + "\n";
    total = total * 7 + 3;
  }
  int groups = static_cast<int>(std::count(expected.begin(), expected.end(), '\n'));
  EXPECT_EQ(reduce_bytes(input), expected + "=" + std::to_string(groups));
}

TEST(ReduceProcessFile, ALastLineThatFindsTheResultBufferFull) {
  // Result lines of 258 bytes (a 255-byte word, " 1\n"): the lines before the last fill the
  // block but for less than a line, wherever it ends.
  for (int words = 250; words <= 256; ++words) {
    std::string input;
    for (int k = 0; k < words; ++k)
      input += std::string(252, 'a') + std::to_string(100 + k) + " 1\n";
    std::string expected = input + "=" + std::to_string(words);
    EXPECT_EQ(reduce_bytes(input), expected) << words << " words";
  }
}

TEST(ReduceProcessFile, FailuresStopThroughError) {
  struct Case {
    std::string input;
    int input_mode;
    std::string message;
  } cases[] = {
      {"a 1\n", O_WRONLY, "Error reading reduce input file.\n"},
      {"a 1\nb 1\n", O_RDONLY, "Error writting reduce result.\n"},
      {"a 1\n", O_RDONLY, "Error writting reduce result (final).\n"},
  };
  for (const Case &c : cases) {
    ScratchDir dir;
    write_file(dir / "in", c.input);
    RunResult run = run_in_child([&] {
      reduce_process_file(open((dir / "in").c_str(), c.input_mode),
                          open((dir / "in").c_str(), O_RDONLY));  // result unwritable
    });
    EXPECT_EQ(run.err, "\033[1;31m[Reduce::reduce_process_file] " + c.message +
                           ": Bad file descriptor\033[0m\n");
    EXPECT_EQ(run.exit_status, EBADF) << hex(c.input);
  }
}

}  // namespace
