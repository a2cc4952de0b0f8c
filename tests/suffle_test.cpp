// The shuffle module in-process: keys and reducers, the map line reader, batch spills at a full
// table, the line writer and the merge. Work files are written in a child inside a scratch dir.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <csignal>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/TestSupport.h"
#include "shuffle/Suffle.h"

namespace {

using quovent_test::hex;
using quovent_test::read_file;
using quovent_test::RunResult;
using quovent_test::ScratchDir;
using quovent_test::write_file;

// Runs body in a child whose working directory is dir, so that tmp/ is the scratch one.
RunResult in_dir(const ScratchDir &dir, const std::function<void()> &body) {
  return quovent_test::run_in_child([&] {
    if (chdir(dir.path().c_str()) != 0) _exit(126);
    body();
  });
}

void say(const std::string &text) { (void)!write(1, text.data(), text.size()); }

// prefix, n in decimal, suffix ("w12 1"): formatted, since GCC 12 misreads chains of + here.
std::string numbered(const char *prefix, long n, const char *suffix) {
  char text[64];
  snprintf(text, sizeof text, "%s%ld%s", prefix, n, suffix);
  return text;
}

std::vector<std::string> lines_of(const std::string &text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
    lines.push_back(text.substr(start, nl - start));
  }
  return lines;
}

TEST(SuffleKeys, KeyHashAndReducerOfALine) {
  struct Case {
    std::string line, key;
    uint32_t hash;
    int reducers, reducer;
  };
  const Case cases[] = {
      {"a 1", "a", 177670, 4, 2},
      {"the 1", "the", 193506854, 4, 2},
      {"casa 1", "casa", 2090140893u, 4, 1},
      {"casa 1", "casa", 2090140893u, 16, 13},
      {"\xC3\xA9 1", "\xC3\xA9", 5857809, 3, 0},  // bytes count as signed
      {"a\tb 1", "a\tb", hash_word("a\tb"), 1, 0},  // a tab does not end a key
      {" x 1", "", 5381, 4, 1},
      {"", "", 5381, 4, 1},
      {"word", "word", hash_word("word"), 1, 0},
  };
  for (const Case &c : cases) {
    char word[LINE_SLOT];
    extract_word(c.line.c_str(), word);
    EXPECT_EQ(word, c.key) << "line " << hex(c.line);
    EXPECT_EQ(hash_word(word), c.hash) << "line " << hex(c.line);
    num_reducers = c.reducers;
    std::fill(nlines, nlines + MAX_REDUCERS, 0);
    add_line(c.line.c_str());
    EXPECT_EQ(nlines[c.reducer], 1) << "line " << hex(c.line) << " reducers " << c.reducers;
    EXPECT_EQ(buffer[c.reducer][0], c.line) << "line " << hex(c.line);
  }
  std::fill(nlines, nlines + MAX_REDUCERS, 0);
}

TEST(SuffleReadLineMap, LinesAsTheShuffleKeepsThem) {
  const std::string a255(255, 'a'), w254(254, 'w');
  std::string many;
  for (int i = 0; i < 20000; ++i) many += numbered("w", i, " 1\n");  // several blocks
  struct Case {
    std::string bytes;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"x 1\ny 1", {"x 1"}},  // an unterminated last line is not a whole tuple
      {"", {}},
      {"\n\n", {"", ""}},
      {"a\r\n\tb 1\n", {"a\r", "\tb 1"}},
      {std::string(300, 'a') + "\nb 1\n", {a255, "b 1"}},
      {a255 + "\n", {a255}},
      {w254 + " 1\n" + a255 + " 1\n", {w254 + " ", a255}},
      {std::string("a\0b 1\n", 6), {"a"}},
  };
  ScratchDir dir;
  static MapFile reader;
  for (const Case &c : cases) {
    write_file(dir / "map", c.bytes);
    reader.fd = open((dir / "map").c_str(), O_RDONLY);
    reader.pos = reader.end = 0;
    std::vector<std::string> got;
    char line[LINE_SLOT];
    while (read_line_map(&reader, line)) got.push_back(line);
    close(reader.fd);
    EXPECT_EQ(got, c.lines) << "bytes " << hex(c.bytes.substr(0, 64));
  }
  write_file(dir / "map", many);
  reader.fd = open((dir / "map").c_str(), O_RDONLY);
  reader.pos = reader.end = 0;
  char line[LINE_SLOT];
  int count = 0;
  bool in_order = true;
  while (read_line_map(&reader, line)) {
    in_order = in_order && line == numbered("w", count, " 1");
    ++count;
  }
  close(reader.fd);
  EXPECT_EQ(count, 20000);
  EXPECT_TRUE(in_order);
}

TEST(SuffleBatches, AFullTableIsSpilledAtOnceAndTheRestAtTheEnd) {
  ScratchDir dir;
  RunResult run = in_dir(dir, [] {
    num_reducers = 1;
    char line[32];
    for (int i = BATCH_LINES - 1; i >= 1; --i) {
      snprintf(line, sizeof line, "w%06d 1", i);
      add_line(line);
    }
    say(numbered("before ", access("tmp/_batch_r0_0.tmp", F_OK) == 0, ""));
    add_line("w000000 1");
    say(numbered(" full ", access("tmp/_batch_r0_0.tmp", F_OK) == 0, ""));
    say(numbered(" ", nlines[0], "") + numbered(" ", batch_count[0], ""));
    add_line("extra 1");
    flush_batch(0);
    say(numbered(" end ", nlines[0], "") + numbered(" ", batch_count[0], ""));
  });
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(run.out, "before 0 full 1 0 1 end 0 2");
  std::vector<std::string> first = lines_of(read_file(dir / "tmp/_batch_r0_0.tmp"));
  ASSERT_EQ(first.size(), size_t{BATCH_LINES});
  EXPECT_EQ(first.front(), "w000000 1");
  EXPECT_TRUE(std::is_sorted(first.begin(), first.end()));
  EXPECT_EQ(read_file(dir / "tmp/_batch_r0_1.tmp"), "extra 1\n");
}

TEST(SuffleLineWriter, LongOutputIsWholeOrTheStageStops) {
  for (rlim_t limit : {RLIM_INFINITY, rlim_t{70000}}) {
    ScratchDir dir;
    RunResult run = in_dir(dir, [limit] {
      // Past the size limit a write is cut short, then fails with EFBIG.
      signal(SIGXFSZ, SIG_IGN);
      rlimit rl{limit, limit};
      setrlimit(RLIMIT_FSIZE, &rl);
      int fd = open("out", O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const std::string line(MAX_LINE_BYTES, 'x');
      for (int i = 0; i < 300; ++i) write_line(fd, line.c_str());
      flush_batch_out(fd);
    });
    if (limit == RLIM_INFINITY) {
      EXPECT_EQ(run.exit_status, 0) << run.err;
      EXPECT_EQ(read_file(dir / "out"), [] {
        std::string all;
        for (int i = 0; i < 300; ++i) all += std::string(MAX_LINE_BYTES, 'x') + "\n";
        return all;
      }());
    } else {
      EXPECT_EQ(run.exit_status, EFBIG);
      EXPECT_EQ(run.err, "\033[1;31m[Suffle:write_line] Error writting suffle result (1).\n: " +
                             std::string(strerror(EFBIG)) + "\033[0m\n");
      EXPECT_EQ(std::filesystem::file_size(dir / "out"), 70000u);
    }
  }
}

TEST(SuffleMerge, BatchFilesOfOneReducer) {
  std::vector<std::string> many;
  std::string many_merged;
  for (int i = 0; i < MAX_BATCH_FILES; ++i) {
    many.push_back(numbered("l", 900 - i, "\n"));
    many_merged.insert(0, many.back());
  }
  struct Case {
    const char *name;
    std::vector<std::string> batches;  // files 0, 1, ... of reducer 0
    int count;                         // batch_count[0]
    std::string merged, error;         // the shuffle output, or the message
    int status;
  };
  const Case cases[] = {
      {"two", {"a 1\nc 1\n", "b 1\nc 1\n"}, 2, "a 1\nb 1\nc 1\nc 1\n", "", 0},
      {"one copied", {"\na 1\na 1\nb\t1\n"}, 1, "\na 1\na 1\nb\t1\n", "", 0},
      {"none", {}, 0, "", "", 0},
      {"an empty one", {"b\n", "", "a\n"}, 3, "a\nb\n", "", 0},
      {"unterminated", {"a\nz", "b\n"}, 2, "a\nb\n", "", 0},
      {"128 files", many, MAX_BATCH_FILES, many_merged, "", 0},
      {"129 files", {}, MAX_BATCH_FILES + 1, "", "[Suffle:merge_batchs] Too many batch files",
       EMFILE},
      {"missing", {"a\n"}, 2, "", "[Suffle:merge_batchs] Error opening input batch file.\n",
       ENOENT},
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
    if (c.error.empty()) {
      EXPECT_EQ(read_file(dir / "tmp/_suffle_0.tmp"), c.merged) << c.name;
    } else {
      EXPECT_EQ(run.err, "\033[1;31m" + c.error + ": " + strerror(c.status) + "\033[0m\n");
      EXPECT_FALSE(std::filesystem::exists(dir / "tmp/_suffle_0.tmp")) << c.name;
    }
  }
}

TEST(SuffleMerge, FollowsTheLocaleCollation) {
  if (!quovent_test::generated_locale_available("es_ES.UTF-8")) GTEST_SKIP() << "no es_ES";
  ScratchDir dir;
  // In byte order "\xC3\xA1rbol" (árbol) would come after "zeta".
  write_file(dir / "tmp/_batch_r0_0.tmp", "avi\xC3\xB3n 1\nzeta 1\n");
  write_file(dir / "tmp/_batch_r0_1.tmp", "\xC3\xA1rbol 1\ncasa 1\n");
  RunResult run = in_dir(dir, [] {
    setenv("LOCPATH", quovent_test::generated_locale_dir().c_str(), 1);
    if (setlocale(LC_ALL, "es_ES.UTF-8") == nullptr) _exit(125);
    batch_count[0] = 2;
    merge_batchs(0);
  });
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(read_file(dir / "tmp/_suffle_0.tmp"),
            "\xC3\xA1rbol 1\navi\xC3\xB3n 1\ncasa 1\nzeta 1\n");
}

}  // namespace
