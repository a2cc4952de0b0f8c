// QuoventMR_v2b runs at the same time in separate directories, and reducers
// that finish in any order, still give exactly QuoventMR's result.
#include <gtest/gtest.h>

#include <future>
#include <string>
#include <vector>

#include "shuffle/Suffle.h"
#include "support/TestSupport.h"

using namespace quovent_test;

namespace {

const std::vector<std::string> kParallelArgs = {"-m", "-r", "4", "a.txt", "b.txt", "c.txt"};

void write_inputs(const ScratchDir &dir) {
  std::vector<std::string> texts = multilingual_texts();
  write_file(dir / "a.txt", texts[0]);
  write_file(dir / "b.txt", texts[1]);
  write_file(dir / "c.txt", texts[2]);
}

std::string single_process_result(const std::vector<std::string> &args) {
  ScratchDir dir;
  write_inputs(dir);
  RunResult result = run_program(program_path("QuoventMR"), args, dir.path());
  EXPECT_EQ(result.exit_status, 0) << result.err;
  return read_file(dir / "Result/qv.txt");
}

TEST(Concurrency, EightParallelDriversInTheirOwnDirectoriesAllGiveTheExactResult) {
  std::string expected = single_process_result(kParallelArgs);
  std::vector<std::unique_ptr<ScratchDir>> dirs;
  std::vector<std::future<RunResult>> runs;
  for (int i = 0; i < 8; ++i) {
    dirs.push_back(std::make_unique<ScratchDir>());
    write_inputs(*dirs.back());
  }
  for (int i = 0; i < 8; ++i) {
    runs.push_back(std::async(std::launch::async, [&, i] {
      return run_program(program_path("QuoventMR_v2b"), kParallelArgs, dirs[i]->path());
    }));
  }
  for (int i = 0; i < 8; ++i) {
    RunResult result = runs[i].get();
    EXPECT_EQ(result.exit_status, 0) << "run " << i << "\n" << result.err;
    EXPECT_EQ(read_file(*dirs[i] / "Result/qv.txt"), expected) << "run " << i;
  }
}

// Reducer 0 gets nearly all the words, so it is the last to finish and the
// reducer that assembles the result is another one.
TEST(Concurrency, ReducersFinishingInReverseOrderStillGiveTheExactResult) {
  std::vector<std::string> heavy;
  for (char c = 'a'; heavy.size() < 4; ++c) {
    for (char d = 'a'; d <= 'z' && heavy.size() < 4; ++d) {
      std::string word = {c, d, 'x'};
      if (hash_word(word.c_str()) % 4 == 0) heavy.push_back(word);
    }
  }
  std::string huge;
  for (int i = 0; i < 300000; ++i) huge += heavy[i % heavy.size()] + " ";
  ScratchDir dir;
  write_file(dir / "huge.txt", huge + "\nuno dos tres cuatro cinco seis siete\n");
  write_file(dir / "small.txt", "ocho nueve diez once doce\n");
  RunResult single =
      run_program(program_path("QuoventMR"), {"-r", "4", "huge.txt", "small.txt"}, dir.path());
  ASSERT_EQ(single.exit_status, 0) << single.err;
  std::string expected = read_file(dir / "Result/qv.txt");
  EXPECT_NE(expected.find(heavy[0] + " 75000\n"), std::string::npos);
  RunResult parallel =
      run_program(program_path("QuoventMR_v2b"),
                  {"-m", "-r", "4", "-o", "Result/v2b.txt", "huge.txt", "small.txt"}, dir.path());
  ASSERT_EQ(parallel.exit_status, 0) << parallel.err;
  EXPECT_EQ(read_file(dir / "Result/v2b.txt"), expected);
}

}  // namespace
