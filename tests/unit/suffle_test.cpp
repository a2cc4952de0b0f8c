// The shuffle module in-process: partition, map line reader, spill of a full table, line
// writer and merge. Work files are written by a child inside a scratch directory.
#include "shuffle/Suffle.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace {

using quovent_test::hex;
using quovent_test::read_file;
using quovent_test::RunResult;
using quovent_test::ScratchDir;
using quovent_test::write_file;

RunResult in_dir(const ScratchDir &dir, const std::function<void()> &body) {
  return quovent_test::run_in_child([&] {
    if (chdir(dir.path().c_str()) != 0) _exit(126);
    body();
  });
}

// prefix, n, suffix: formatted, since GCC 12 misreads chains of string + here (-Wrestrict).
std::string numbered(const char *prefix, long n, const char *suffix) {
  char text[64];
  snprintf(text, sizeof text, "%s%ld%s", prefix, n, suffix);
  return text;
}

std::string error_text(const std::string &message, int error_number) {
  return "\033[1;31m" + message + ": " + strerror(error_number) + "\033[0m\n";
}

TEST(SuffleAddLine, FilesTheWholeLineUnderTheReducerOfItsKey) {
  struct Case {
    std::string line;
    int reducers, reducer;
  };
  // The bytes of 'é' count as signed (as unsigned it would go to reducer 1); a tab belongs to
  // the key ("a" alone would go to reducer 6); a leading blank gives the empty key, hash 5381.
  const Case cases[] = {
      {"a 1", 4, 2},        {"the 1", 4, 2},   {"casa 1", 4, 1}, {"casa 1", 16, 13},
      {"\xC3\xA9 1", 3, 0}, {"a\tb 1", 16, 1}, {" x 1", 4, 1},   {"", 4, 1}};
  for (const Case &c : cases) {
    num_reducers = c.reducers;
    std::fill(nlines, nlines + MAX_REDUCERS, 0);
    add_line(c.line.c_str());
    ASSERT_EQ(nlines[c.reducer], 1) << "line " << hex(c.line) << ", " << c.reducers;
    EXPECT_STREQ(buffer[c.reducer][0], c.line.c_str());
  }
  std::fill(nlines, nlines + MAX_REDUCERS, 0);
}

TEST(SuffleReadLineMap, ReadsLinesAsTheStageKeepsThem) {
  const std::string a255(255, 'a'), w254(254, 'w');
  std::string blocks;
  std::vector<std::string> block_lines;
  for (long i = 0; i < 20000; ++i) {  // about three blocks of 64 KiB
    block_lines.push_back(numbered("w", i, " 1"));
    blocks += block_lines.back() + "\n";
  }
  const std::pair<std::string, std::vector<std::string>> cases[] = {
      {"x 1\ny 1", {"x 1"}},  // an unterminated last line is not a whole tuple
      {"", {}},
      {"\n\n", {"", ""}},
      {"a\r\n\tb 1\n", {"a\r", "\tb 1"}},
      {std::string(300, 'a') + "\nb 1\n", {a255, "b 1"}},
      {a255 + "\n", {a255}},
      {w254 + " 1\n" + a255 + " 1\n", {w254 + " ", a255}},
      {std::string("a\0b 1\n", 6), {"a"}},
      {blocks, block_lines},
  };
  ScratchDir dir;
  static MapFile reader;
  for (const auto &[bytes, lines] : cases) {
    write_file(dir / "map", bytes);
    reader.fd = open((dir / "map").c_str(), O_RDONLY);
    reader.pos = reader.end = 0;
    std::vector<std::string> got;
    char line[LINE_SLOT];
    while (read_line_map(&reader, line)) got.push_back(line);
    close(reader.fd);
    EXPECT_TRUE(got == lines) << "bytes " << hex(bytes.substr(0, 48)) << ", " << got.size()
                              << " lines";
  }
}

TEST(SuffleFlushBatch, AFullTableIsSpilledAtOnceAndTheRestAtTheEnd) {
  ScratchDir dir;
  RunResult run = in_dir(dir, [] {
    num_reducers = 1;
    for (long i = BATCH_LINES; i >= 2; --i) add_line(numbered("w", i, " 1").c_str());
    bool early = access("tmp/_batch_r0_0.tmp", F_OK) == 0;
    add_line("w1 1");
    bool full = access("tmp/_batch_r0_0.tmp", F_OK) == 0 && nlines[0] == 0;
    add_line("x 1");
    flush_batch(0);
    printf("%d %d %d %d", early, full, nlines[0], batch_count[0]);
    fflush(stdout);
  });
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(run.out, "0 1 0 2");
  std::string first = read_file(dir / "tmp/_batch_r0_0.tmp");
  EXPECT_EQ(std::count(first.begin(), first.end(), '\n'), BATCH_LINES);
  EXPECT_EQ(first.substr(0, 12), "w1 1\nw10 1\nw");  // sorted, not in arrival order
  EXPECT_EQ(read_file(dir / "tmp/_batch_r0_1.tmp"), "x 1\n");
}

TEST(SuffleWriteLine, AShortWriteIsCompletedOrReported) {
  ScratchDir dir;
  RunResult run = in_dir(dir, [] {
    // Past the size limit a write is cut short, and the next one fails with EFBIG.
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{70000, 70000};
    setrlimit(RLIMIT_FSIZE, &limit);
    int fd = open("out", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const std::string line(MAX_LINE_BYTES, 'x');
    for (int i = 0; i < 300; ++i) write_line(fd, line.c_str());
    flush_batch_out(fd);
  });
  EXPECT_EQ(run.exit_status, EFBIG);
  EXPECT_EQ(run.err, error_text("[Suffle:write_line] Error writting suffle result (1).\n", EFBIG));
  EXPECT_EQ(std::filesystem::file_size(dir / "out"), 70000u);
}

TEST(SuffleMergeBatchs, MergesTheBatchFilesOfOneReducer) {
  std::vector<std::string> many;
  std::string many_merged;
  for (long i = 0; i < MAX_BATCH_FILES; ++i) {
    many.push_back(numbered("l", 900 - i, "\n"));
    many_merged.insert(0, many.back());
  }
  struct Case {
    const char *name;
    std::vector<std::string> batches;  // files 0, 1, ... of reducer 0
    int count;                         // batch_count[0]
    std::string merged_or_error;
    int status;
  };
  // Runs of identical lines, copied whole where they lie in a read block: runs that cross
  // block ends, over-long lines that repeat only once cut, a line with a zero byte, and a
  // line that merely begins like the run's.
  auto repeat = [](const std::string &line, int times) {
    std::string all;
    for (int k = 0; k < times; ++k) all += line;
    return all;
  };
  const std::string long_line = std::string(300, 'x') + "\n";
  const std::string cut_line = std::string(MAX_LINE_BYTES, 'x') + "\n";
  const std::string runs0 = repeat("ab 1\n", 30000) + repeat(long_line, 3) + "y\n";
  const std::string runs1 = repeat("ab 1\n", 20000) + repeat(std::string("ab 1\0z\n", 7), 2) +
                            "ab 12\n" + repeat("x 1\n", 17000) + "y\n";
  const std::string runs_merged =
      repeat("ab 1\n", 50002) + "ab 12\n" + repeat("x 1\n", 17000) + repeat(cut_line, 3) + "y\ny\n";
  const Case cases[] = {
      {"two", {"a 1\nc 1\n", "b 1\nc 1\n"}, 2, "a 1\nb 1\nc 1\nc 1\n", 0},
      {"runs", {runs0, runs1}, 2, runs_merged, 0},
      {"one, copied", {"\na 1\na 1\nb\t1\n"}, 1, "\na 1\na 1\nb\t1\n", 0},
      {"none", {}, 0, "", 0},
      {"an empty one", {"b\n", "", "a\n"}, 3, "a\nb\n", 0},
      {"unterminated", {"a\nz", "b\n"}, 2, "a\nb\n", 0},
      {"128", many, MAX_BATCH_FILES, many_merged, 0},
      {"129", {}, MAX_BATCH_FILES + 1, "[Suffle:merge_batchs] Too many batch files", EMFILE},
      {"missing", {"a\n"}, 2, "[Suffle:merge_batchs] Error opening input batch file.\n", ENOENT},
  };
  for (const Case &c : cases) {
    ScratchDir dir;
    for (size_t i = 0; i < c.batches.size(); ++i) {
      write_file(dir / numbered("tmp/_batch_r0_", static_cast<long>(i), ".tmp"), c.batches[i]);
    }
    RunResult run = in_dir(dir, [&c] {
      batch_count[0] = c.count;
      merge_batchs(0);
    });
    EXPECT_EQ(run.exit_status, c.status) << c.name << ": " << run.err;
    if (c.status == 0) {
      EXPECT_EQ(read_file(dir / "tmp/_suffle_0.tmp"), c.merged_or_error) << c.name;
    } else {  // stopped before the output file was touched
      EXPECT_EQ(run.err, error_text(c.merged_or_error, c.status)) << c.name;
      EXPECT_FALSE(std::filesystem::exists(dir / "tmp/_suffle_0.tmp")) << c.name;
    }
  }
}

TEST(SuffleStage, SortsAndMergesByTheCollationOfTheLocale) {
  if (!quovent_test::generated_locale_available("es_ES.UTF-8")) GTEST_SKIP() << "no es_ES";
  ScratchDir dir;
  RunResult run = in_dir(dir, [] {
    setenv("LOCPATH", quovent_test::generated_locale_dir().c_str(), 1);
    if (setlocale(LC_ALL, "es_ES.UTF-8") == nullptr) _exit(125);
    num_reducers = 1;
    for (const char *line : {"zeta 1", "avi\xC3\xB3n 1", "", "casa 1", "\xC3\xA1rbol 1", ""}) {
      if (*line == '\0')
        flush_batch(0);  // two batches: the sort, then the merge decide
      else
        add_line(line);
    }
    merge_batchs(0);
  });
  ASSERT_EQ(run.exit_status, 0) << run.err;
  // "árbol" sorts with the a's, where its bytes would put it after "zeta".
  EXPECT_EQ(read_file(dir / "tmp/_suffle_0.tmp"),
            "\xC3\xA1rbol 1\navi\xC3\xB3n 1\ncasa 1\nzeta 1\n");
}

// The stage files most lines where they lie in the map file's read block; a line cut by the
// block end, cut at 255 bytes, ended early by a zero byte or left unterminated must come out
// as the line reader gives it, which add_line files: both ways must write the same files.
TEST(SuffleProcessFiles, FilesEveryLineAsTheLineReaderReadsIt) {
  std::string tricky;
  for (long i = 0; tricky.size() < 3 * SUFFLE_BLOCK_SIZE; ++i) {
    tricky += numbered("w", i % 97, " 1\n");
    if (i % 1000 == 0) tricky += std::string(300 + i % 7, 'x') + numbered(" ", i, "\n");
    if (i % 777 == 0) tricky += std::string("nul\0tail 1\nb\0b 1\nzz\0c 1\n", 24);
    if (i % 555 == 0) tricky += "\n";
  }
  // A whole block, then a block of a line and an unterminated line, which the bytes left in
  // the buffer from the block before would seem to end.
  std::string full_block;
  while (full_block.size() < SUFFLE_BLOCK_SIZE) full_block += "w 1\n";
  const std::string maps[] = {tricky, full_block + "x 1\nunterminated 1", tricky.substr(5)};
  const char *names[] = {"tmp/m0", "tmp/m1", "tmp/m2"};
  for (int reducers : {1, 4}) {
    ScratchDir stage_dir, reader_dir;
    for (int i = 0; i < 3; ++i) {
      write_file(stage_dir / names[i], maps[i]);
      write_file(reader_dir / names[i], maps[i]);
    }
    RunResult stage =
        in_dir(stage_dir, [&] { suffle_process_files(3, const_cast<char **>(names), reducers); });
    ASSERT_EQ(stage.exit_status, 0) << stage.err;
    RunResult reader = in_dir(reader_dir, [&] {
      num_reducers = reducers;
      static MapFile files[3];
      char line[LINE_SLOT];
      for (int i = 0; i < 3; ++i) files[i] = MapFile{open(names[i], O_RDONLY), {}, 0, 0, 1, i, 0};
      for (bool more = true; more;) {
        more = false;
        for (MapFile &file : files) {
          if (file.active && (file.active = read_line_map(&file, line))) {
            add_line(line);
            more = true;
          }
        }
      }
      for (int r = 0; r < reducers; ++r) flush_batch(r);
      for (int r = 0; r < reducers; ++r) merge_batchs(r);
    });
    ASSERT_EQ(reader.exit_status, 0) << reader.err;
    for (const auto &entry : std::filesystem::directory_iterator(reader_dir / "tmp")) {
      std::string name = "tmp/" + entry.path().filename().string();
      EXPECT_EQ(read_file(stage_dir / name), read_file(entry.path()))
          << name << ", -r " << reducers;
    }
  }
}

}  // namespace
