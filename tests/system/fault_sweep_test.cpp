// Every open, read, write and close of a work or result file fails once, one
// run per call (the preload library in fault/). For each injected
// fault the run either succeeds with the exact result, or stops with a
// non-zero status and the failing stage's message with the injected error;
// the inputs and the files of the stages before the failing one stay as a
// clean run left them, and no result file is passed off as complete:
// QuoventMR may leave the result's first lines, QuoventMR_v2b leaves the
// result empty or whole. A fault on a file that a stage writes, its close
// included, must stop the run, since a shared file system may report a lost
// write only at close; only a run whose fault hit a file that is merely read
// or locked may succeed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/TestSupport.h"

using namespace quovent_test;
namespace fs = std::filesystem;

namespace {

const std::vector<std::string> kInputs = {"in/a.txt", "in/b.txt", "in/c.txt"};

struct InjectedCall {
  std::string call;  // open, read, write, close
  char mode = 0;     // 'r' or 'w': how the file was opened
  std::string path;
};

// The stage that makes a call on a file: the writer of a map or shuffle file
// is the stage before the one that reads it.
std::string stage_of(const InjectedCall &call) {
  if (call.path.find("Result/") != std::string::npos) return "Reduce";
  if (call.path.find("_batch") != std::string::npos) return "Suffle";
  if (call.path.find("_map") != std::string::npos) return call.mode == 'w' ? "Map" : "Suffle";
  return call.mode == 'w' ? "Suffle" : "Reduce";
}

// Message tags of each stage, as a function in QuoventMR and as a program under the driver.
bool names_stage(const std::string &err, const std::string &stage) {
  if (stage == "Map") return err.find("[Map:") != err.npos || err.find("[QuoventMap]") != err.npos;
  if (stage == "Suffle") return err.find("[Suffle:") != err.npos;
  return err.find("[Reduce::") != err.npos;
}

// The lock file beside the result is opened for writing only to be locked; nothing is
// written to it, so its close loses nothing.
bool written_file(const InjectedCall &call) {
  return call.mode == 'w' && call.path.find(".lock") == std::string::npos;
}

int injected_errno(const InjectedCall &call) {
  if (call.call == "open") return EACCES;
  if (call.call == "write") return ENOSPC;
  return EIO;
}

// Work files a stage reads, which must be left as the clean run wrote them.
bool made_before(const std::string &name, const std::string &failing_stage) {
  bool map_file = name.find("_map") != std::string::npos;
  bool suffle_file = name.find("_suffle") != std::string::npos;
  if (failing_stage == "Suffle") return map_file;
  if (failing_stage == "Reduce") return map_file || suffle_file;
  return false;
}

std::map<std::string, std::string> work_files(const ScratchDir &dir) {
  std::map<std::string, std::string> files;
  for (const auto &entry : fs::directory_iterator(dir / "tmp")) {
    files["tmp/" + entry.path().filename().string()] = read_file(entry.path());
  }
  return files;
}

class FaultSweep : public ::testing::TestWithParam<std::vector<std::string>> {
 protected:
  void prepare(const ScratchDir &dir) {
    fs::create_directories(dir / "in");
    std::vector<std::string> texts = multilingual_texts();
    for (size_t i = 0; i < kInputs.size(); ++i) write_file(dir / kInputs[i], texts[i]);
    write_file(dir / "counter", std::string(8, '\0'));
  }

  RunResult run(const ScratchDir &dir, long fault_at) {
    std::vector<std::string> args = GetParam();
    std::string program = args.front();
    args.erase(args.begin());
    args.insert(args.end(), kInputs.begin(), kInputs.end());
    return run_program(
        program_path(program), args, dir.path(),
        {"LD_PRELOAD=" QUOVENT_FAULT_LIBRARY, "QUOVENT_FAULT_COUNTER=" + (dir / "counter").string(),
         "QUOVENT_FAULT_AT=" + std::to_string(fault_at),
         "QUOVENT_FAULT_LOG=" + (dir / "fault.log").string()});
  }

  static long calls_counted(const ScratchDir &dir) {
    std::string counter = read_file(dir / "counter");
    long calls;
    memcpy(&calls, counter.data(), sizeof calls);
    return calls;
  }
};

TEST_P(FaultSweep, EveryFailedCallStopsTheRunOrLeavesTheExactResult) {
  bool parallel = GetParam().front() == "QuoventMR_v2b";
  ScratchDir clean;
  prepare(clean);
  RunResult clean_run = run(clean, 0);
  ASSERT_EQ(clean_run.exit_status, 0) << clean_run.err;
  const std::string expected = read_file(clean / "Result/qv.txt");
  const std::map<std::string, std::string> clean_files = work_files(clean);
  const long calls = calls_counted(clean);
  ASSERT_GT(calls, 20);

  std::map<std::string, int> outcomes;  // "<call> <stage>: <how it ended>" -> runs
  for (long n = 1; n <= calls; ++n) {
    ScratchDir dir;
    prepare(dir);
    RunResult result = run(dir, n);
    std::istringstream log(fs::exists(dir / "fault.log") ? read_file(dir / "fault.log") : "");
    InjectedCall call;
    log >> call.call >> call.mode >> call.path;
    std::string result_file =
        fs::exists(dir / "Result/qv.txt") ? read_file(dir / "Result/qv.txt") : "";
    SCOPED_TRACE("call " + std::to_string(n) + ": " + call.call + " " + call.path + "\n" +
                 result.err);
    for (size_t i = 0; i < kInputs.size(); ++i) {
      EXPECT_EQ(read_file(dir / kInputs[i]), multilingual_texts()[i]);
    }
    if (call.call.empty()) {  // parallel processes made fewer calls this time
      EXPECT_EQ(result.exit_status, 0);
      continue;
    }
    std::string stage = stage_of(call);
    std::string key = call.call + " " + call.mode + " " + stage;
    if (call.mode == 'w' && !written_file(call)) key += " (lock file)";
    if (result.exit_status == 0) {
      EXPECT_FALSE(written_file(call)) << "a written file's fault passed unnoticed";
      EXPECT_EQ(result_file, expected);
      ++outcomes[key + ": run succeeded, result exact"];
      continue;
    }
    EXPECT_GT(result.exit_status, 0);
    EXPECT_TRUE(names_stage(result.err, stage));
    int error = injected_errno(call);
    EXPECT_NE(result.err.find(std::string(": ") + strerror(error)), std::string::npos);
    if (!parallel) {
      EXPECT_EQ(result.exit_status, error);
    }
    if (parallel) {
      EXPECT_TRUE(result_file.empty() || result_file == expected);
    } else {
      EXPECT_EQ(expected.compare(0, result_file.size(), result_file), 0);
    }
    for (const auto &[name, contents] : clean_files) {
      if (made_before(name, stage)) {
        EXPECT_EQ(read_file(dir / name), contents) << name;
      }
    }
    ++outcomes[key + ": stopped"];
  }
  std::string summary;
  for (const auto &[outcome, runs] : outcomes) {
    summary += "  " + outcome + ": " + std::to_string(runs) + "\n";
  }
  RecordProperty("faults", std::to_string(calls));
  printf("%ld faults injected into %s:\n%s", calls, GetParam().front().c_str(), summary.c_str());
}

INSTANTIATE_TEST_SUITE_P(Drivers, FaultSweep,
                         ::testing::Values(std::vector<std::string>{"QuoventMR", "-r", "3"},
                                           std::vector<std::string>{"QuoventMR_v2b", "-m", "-r",
                                                                    "3"}),
                         [](const auto &info) { return info.param.front(); });

}  // namespace

namespace {

// A shard that fails stops the sharded run: the other shards are stopped, the failed one is
// named with its own message, which reaches the user without a file even when the disk is
// full, and no result is written over the old one.
TEST(ShardFailure, AFailingShardStopsTheRunWithItsOwnMessageAndWritesNoResult) {
  struct Case {
    std::vector<std::string> args;
    const char *fault_at;  // the call on a shard's result that fails
    int status;
    const char *message;
  };
  const Case cases[] = {
      {{"-s", "200", "-j", "2"},
       "1",  // the first shard's open
       EACCES,
       "failed: [QuoventMR_v3:count_shard] Error opening the count file result.partial: "
       "Permission denied"},
      // One shard at a time, its work files kept: the second call is the first shard's first
      // write, and its directory shows whether its message went through a file.
      {{"-s", "200", "-j", "1", "-k"},
       "2",
       ENOSPC,
       "failed: [QuoventMR_v3:count_shard] Error writting the count file result.partial: No "
       "space left on device"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.message);
    ScratchDir dir;
    std::string text;
    for (const std::string &t : multilingual_texts()) text += t;
    for (int i = 0; i < 20; ++i) text += "linea " + std::to_string(i) + " palabra\n";
    write_file(dir / "in.txt", text);
    write_file(dir / "counter", std::string(8, '\0'));
    write_file(dir / "Result/qv.txt", "old\n");
    std::vector<std::string> args = c.args;
    args.push_back("in.txt");
    RunResult result = run_program(
        program_path("QuoventMR_v3"), args, dir.path(),
        {"LD_PRELOAD=" QUOVENT_FAULT_LIBRARY, "QUOVENT_FAULT_COUNTER=" + (dir / "counter").string(),
         std::string("QUOVENT_FAULT_AT=") + c.fault_at, "QUOVENT_FAULT_PATHS=result.partial"});
    EXPECT_EQ(result.exit_status, c.status);
    EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("(in.txt bytes "), std::string::npos) << result.err;
    EXPECT_EQ(read_file(dir / "Result/qv.txt"), "old\n");
    EXPECT_FALSE(fs::exists(dir / "tmp/v3/shard_0/errors.txt"));
    // A shard that was counted before the failure is kept for a resume, and the message says so.
    EXPECT_EQ(fs::exists(dir / "tmp/v3/plan.txt"),
              result.err.find("the same command with --resume") != std::string::npos ||
                  std::find(args.begin(), args.end(), "-k") != args.end())
        << result.err;
  }
}

}  // namespace
