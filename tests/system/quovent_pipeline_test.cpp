// Quovent end to end with the platform's tools (or stand-ins put before them
// on PATH): messages, exit status and the five files left behind.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/TestSupport.h"

using namespace quovent_test;
namespace fs = std::filesystem;

namespace {

const char *const kFiles[] = {"tmp1.txt", "tmp2.txt", "tmp3.txt", "tmp4.txt", "result.txt"};
const char *const kStageNames[] = {"grep", "tr", "sort", "uniq", "sort"};
const std::string kStale = "stale\nstale\nstale\n", kFailed = "Error: child process failed\n";
const std::string kText = "The dog, the CAT;\nthe Dog 42\n", kHalf = "The dog, the CAT;\n";
// Every case's working directory holds these; names that look like options
// are input files too.
const std::pair<const char *, std::string> kInputs[] = {
    {"a.txt", kText},  {"b.txt", kHalf}, {"c.txt", "the Dog 42\n"}, {"n.txt", "42 7\n"},
    {"--help", kText}, {"-v", kHalf},    {"-r", "the Dog 42\n"}};
// What the tools make of kText under C.UTF-8, file by file; the counts
// differ, so the order of result.txt is beyond doubt.
const std::string kWords = "The\ndog\nthe\nCAT\nthe\nDog\n",
                  kLower = "the\ndog\nthe\ncat\nthe\ndog\n";
const std::vector<std::string> kCounted = {kWords, kLower, "cat\ndog\ndog\nthe\nthe\nthe\n",
                                           "      1 cat\n      2 dog\n      3 the\n",
                                           "      3 the\n      2 dog\n      1 cat\n"};

struct Case {
  std::vector<std::string> args;
  std::vector<std::pair<std::string, std::string>> stand_ins;  // tool, shell script body
  int started;                                                 // "Started" lines printed
  std::string err;                                             // empty: a success
  std::vector<std::string> files;  // the first ones of kFiles; "<none>" or "<dir>"
  bool system_tools = true;        // else PATH holds the stand-ins alone
  bool stdin_closed = false;
};

std::string file_state(const fs::path &file) {
  if (fs::is_directory(file)) return "<dir>";
  return fs::exists(file) ? read_file(file) : "<none>";
}

// Runs the case where the five files hold stale text (tmp3.txt is a directory
// instead when the case expects so) and checks all that the run leaves.
void check(const Case &c) {
  ScratchDir dir;
  for (const char *file : kFiles) write_file(dir / file, kStale);
  if (c.files.size() > 2 && c.files[2] == "<dir>") {
    fs::remove(dir / kFiles[2]);
    fs::create_directory(dir / kFiles[2]);
  }
  for (const auto &[name, bytes] : kInputs) write_file(dir / name, bytes);
  fs::create_directory(dir / "bin");
  for (const auto &[tool, body] : c.stand_ins) {
    write_file(dir / "bin" / tool, "#!/bin/sh\n" + body + "\n");
    chmod((dir / "bin" / tool).c_str(), 0755);
  }
  std::string path = (dir / "bin").string() + (c.system_tools ? ":/usr/bin:/bin" : "");
  std::vector<std::string> args = c.args;
  fs::path program = program_path("Quovent");
  if (c.stdin_closed) {
    args.insert(args.begin(), {"-c", "exec \"$0\" \"$@\" <&-", program.string()});
    program = "/bin/sh";
  }
  RunResult run = run_program(program, args, dir.path(), {"PATH=" + path});

  std::string out;
  for (int i = 0; i < c.started; ++i) {
    out += "[Quovent] Started " + std::string(kStageNames[i]) + " process\n";
  }
  if (c.err.empty()) out += "[Quovent] Quovent completed successfully\n";
  std::string what = ::testing::PrintToString(c.args);
  EXPECT_EQ(run.out, out) << what;
  EXPECT_EQ(run.err, c.err) << what;
  EXPECT_EQ(run.exit_status, c.err.empty() ? 0 : 1) << what;
  for (size_t i = 0; i < c.files.size(); ++i) {
    EXPECT_EQ(file_state(dir / kFiles[i]), c.files[i]) << what << " " << kFiles[i];
  }
}

TEST(Quovent, CountsWithTheToolsOverwritingEarlierFiles) {
  const std::string record_args = "printf '%s\\n' \"$@\"";  // into tmp1.txt
  const Case cases[] = {
      {{"a.txt"}, {}, 5, "", kCounted},
      {{"b.txt", "c.txt"}, {}, 5, "", kCounted},
      {{"--help"}, {}, 5, "", kCounted},
      {{"-v", "-r"}, {}, 5, "", kCounted},
      {{"a.txt"}, {}, 5, "", kCounted, true, /*stdin_closed=*/true},
      {{"a"}, {{"grep", record_args}}, 5, "", {"-oE\n[[:alpha:]]+\n--\na\n"}},
      {{"a", "b c"}, {{"grep", record_args}}, 5, "", {"-h\n-oE\n[[:alpha:]]+\n--\na\nb c\n"}},
  };
  for (const Case &c : cases) check(c);
}

TEST(Quovent, StopsAtTheFirstFailingStage) {
  const std::string usage = "Usage: ./Quovent <input_file1> [input_file2 ...]\n";
  const std::string no_file = "grep: no.txt: No such file or directory\n";
  const std::string bad_in = "Error: input redirection failed\n";
  const std::string bad_out = "Error: output redirection failed\n";
  const std::string none = "<none>";
  const Case cases[] = {
      {{}, {}, 0, usage, {kStale, kStale, kStale, kStale, kStale}},
      // grep ends with status 1 when it finds no word, 2 when an input is missing.
      {{"n.txt"}, {}, 1, kFailed, {"", kStale}},
      {{"a.txt", "no.txt"}, {}, 1, no_file + kFailed, {kWords, kStale}},
      {{"a.txt"}, {}, 1, "Error: exec failed\n" + kFailed, {"", kStale}, /*system_tools=*/false},
      {{"a.txt"}, {{"sort", "kill -KILL $$"}}, 3, kFailed, {kWords, kLower, "", kStale}},
      // Its input gone, tr's stage stops before it creates its output.
      {{"a.txt"}, {{"grep", "rm tmp1.txt"}}, 2, bad_in + kFailed, {none, kStale}},
      {{"a.txt"}, {}, 3, bad_out + kFailed, {kWords, kLower, "<dir>", kStale}},
  };
  for (const Case &c : cases) check(c);
}

}  // namespace
