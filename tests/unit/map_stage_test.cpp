// The map stage function: its files, messages and failures.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "common/Errors.h"
#include "map/Map.h"
#include "support/TestSupport.h"

using quovent_test::mask_times;
using quovent_test::read_file;
using quovent_test::RunResult;
using quovent_test::ScratchDir;
using quovent_test::write_file;

namespace {

// Runs quovent_mapper in a child working in dir, as a driver would.
RunResult run_mapper(const ScratchDir &dir, std::vector<std::string> inputs, bool multiple) {
  return quovent_test::run_in_child([&] {
    if (chdir(dir.path().c_str()) != 0) _exit(126);
    setlocale(LC_ALL, "C.UTF-8");
    std::vector<char *> argv;
    for (std::string &input : inputs) argv.push_back(input.data());
    quovent_mapper(static_cast<int>(argv.size()), argv.data(), multiple);
  });
}

TEST(QuoventMapper, OneFileForAllInputsInTheirOrder) {
  ScratchDir dir;
  write_file(dir / "a.txt", "Hello hello HELLO");
  write_file(dir / "b.txt", "");
  write_file(dir / "c.txt", "Adiós");
  RunResult result = run_mapper(dir, {"a.txt", "b.txt", "c.txt"}, false);
  EXPECT_EQ(result.exit_status, 0) << result.err;
  EXPECT_EQ(read_file(dir / "tmp/_map.tmp"), "hello 1\nhello 1\nhello 1\nadiós 1\n");
  EXPECT_EQ(mask_times(result.out),
            "\033[0;32m[Map Stage]\tStart Mapper to process 3 input files.\n\033[0m"
            "\033[0;92m\t\tMapper processed 3 words from a.txt file.\n\033[0m"
            "\033[0;92m\t\tMapper processed 0 words from b.txt file.\n\033[0m"
            "\033[0;92m\t\tMapper processed 1 words from c.txt file.\n\033[0m"
            "\033[0;32m[Map Stage]\tMapper Done. Processed 4 words from 3 input files in <t> "
            "secs.\n\033[0m");
}

TEST(QuoventMapper, OneFilePerInputStopsAtAMissingInputLeavingItsFileAlone) {
  ScratchDir dir;
  write_file(dir / "a.txt", "one two");
  write_file(dir / "c.txt", "three");
  write_file(dir / "tmp/_map_1.tmp", "earlier run\n");
  RunResult result = run_mapper(dir, {"a.txt", "missing.txt", "c.txt"}, true);
  EXPECT_EQ(result.exit_status, ENOENT);
  EXPECT_EQ(result.err,
            "\033[1;31m[Map:quovent_map] Error opening mapper input file missing.txt\n"
            ": No such file or directory\033[0m\n");
  EXPECT_EQ(read_file(dir / "tmp/_map_0.tmp"), "one 1\ntwo 1\n");
  EXPECT_EQ(read_file(dir / "tmp/_map_1.tmp"), "earlier run\n");
  EXPECT_FALSE(std::filesystem::exists(dir / "tmp/_map_2.tmp"));
  EXPECT_FALSE(std::filesystem::exists(dir / "tmp/_map.tmp"));
}

TEST(QuoventMapper, MissingWorkDirectoryStopsWithTheOutputFileName) {
  ScratchDir dir;
  std::filesystem::remove(dir / "tmp");
  write_file(dir / "a.txt", "word");
  RunResult single = run_mapper(dir, {"a.txt"}, false);
  EXPECT_EQ(single.exit_status, ENOENT);
  EXPECT_EQ(single.err,
            "\033[1;31m[Map:quovent_map] Error opening mapper output file ./tmp/_map.tmp\n"
            ": No such file or directory\033[0m\n");
  RunResult numbered = run_mapper(dir, {"a.txt"}, true);
  EXPECT_EQ(numbered.exit_status, ENOENT);
  EXPECT_NE(numbered.err.find("mapper output file tmp/_map_0.tmp\n"), std::string::npos);
}

TEST(QuoventMapper, VeryLongPathIsCutInTheMessage) {
  ScratchDir dir;
  std::string long_name(400, 'n');
  RunResult result = run_mapper(dir, {long_name}, false);
  EXPECT_EQ(result.exit_status, ENAMETOOLONG);
  EXPECT_NE(result.err.find("input file nnnn"), std::string::npos);
  EXPECT_LT(result.err.size(), static_cast<size_t>(COMPOSED_LINE_SIZE));
}

TEST(MapProcessFile, DirectoryAsInputCountsAsEmpty) {
  int in = open("/", O_RDONLY);
  int out = open("/dev/null", O_WRONLY);
  EXPECT_EQ(map_process_file(in, out), 0);
  close(in);
  close(out);
}

TEST(MapProcessFile, FailedReadOrWriteStopsThroughError) {
  RunResult unreadable = quovent_test::run_in_child([] {
    int write_only = open("/dev/null", O_WRONLY);
    map_process_file(write_only, write_only);
  });
  EXPECT_EQ(unreadable.exit_status, EBADF);
  EXPECT_EQ(unreadable.err,
            "\033[1;31m[Map:map_process_file] Error reading mapper input file.\n: " +
                std::string(strerror(EBADF)) + "\033[0m\n");

  RunResult full_disk = quovent_test::run_in_child([] {
    int out = open("/dev/full", O_WRONLY);
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) _exit(126);
    if (write(pipe_fds[1], "some words here", 15) != 15) _exit(126);
    close(pipe_fds[1]);
    map_process_file(pipe_fds[0], out);
  });
  EXPECT_EQ(full_disk.exit_status, ENOSPC);
  EXPECT_EQ(full_disk.err, "\033[1;31m[Map:flush_out] Error writting map result (final).\n: " +
                               std::string(strerror(ENOSPC)) + "\033[0m\n");
}

TEST(MapProcessFile, FullOutputBuffersAreWrittenWholeAndInOrder) {
  // Enough words to fill the 64 KiB output buffer several times over.
  std::string text;
  std::string expected;
  for (int k = 0; k < 30000; ++k) {
    std::string word(1, 'w');
    word.append(1 + k % 7, static_cast<char>('a' + k % 26));
    text += word + ' ';
    expected += word + " 1\n";
  }
  ScratchDir dir;
  write_file(dir / "in.txt", text);
  int in = open((dir / "in.txt").c_str(), O_RDONLY);
  int out = open((dir / "out.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  EXPECT_EQ(map_process_file(in, out), 30000);
  close(in);
  close(out);
  EXPECT_EQ(read_file(dir / "out.txt"), expected);
}

}  // namespace
