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

// A run that has not ended after so long has hung: timeout(1) kills it with every process it
// started and ends with kHungStatus.
constexpr char kRunLimitSeconds[] = "120";
constexpr int kHungStatus = 124;

void prepare(const ScratchDir &dir) {
  fs::create_directories(dir / "in");
  std::vector<std::string> texts = multilingual_texts();
  for (size_t i = 0; i < kInputs.size(); ++i) write_file(dir / kInputs[i], texts[i]);
  write_file(dir / "counter", std::string(8, '\0'));
}

// Runs `command` (a program, then its options) on the inputs in dir under the preload library,
// which fails call fault_at (none when 0) on the paths that `watched` names (when empty, on those
// of the library's default).
RunResult run_with_fault(const ScratchDir &dir, const std::vector<std::string> &command,
                         long fault_at, const std::string &watched = "") {
  std::vector<std::string> args = {"-k", "10", kRunLimitSeconds,
                                   program_path(command.front()).string()};
  args.insert(args.end(), command.begin() + 1, command.end());
  args.insert(args.end(), kInputs.begin(), kInputs.end());
  std::vector<std::string> environment = {"LD_PRELOAD=" QUOVENT_FAULT_LIBRARY,
                                          "QUOVENT_FAULT_COUNTER=" + (dir / "counter").string(),
                                          "QUOVENT_FAULT_AT=" + std::to_string(fault_at),
                                          "QUOVENT_FAULT_LOG=" + (dir / "fault.log").string()};
  if (!watched.empty()) environment.push_back("QUOVENT_FAULT_PATHS=" + watched);
  RunResult result = run_program("/usr/bin/timeout", args, dir.path(), environment);
  EXPECT_NE(result.exit_status, kHungStatus) << "hung: not ended in " << kRunLimitSeconds << " s";
  return result;
}

long calls_counted(const ScratchDir &dir) {
  std::string counter = read_file(dir / "counter");
  long calls;
  memcpy(&calls, counter.data(), sizeof calls);
  return calls;
}

// The call that failed; an empty one when the run made fewer calls than the one to fail.
InjectedCall injected_call(const ScratchDir &dir) {
  std::istringstream log(fs::exists(dir / "fault.log") ? read_file(dir / "fault.log") : "");
  InjectedCall call;
  log >> call.call >> call.mode >> call.path;
  return call;
}

// "<outcome>: <runs>" lines, one a kind of outcome.
std::string summary_of(const std::map<std::string, int> &outcomes) {
  std::string summary;
  for (const auto &[outcome, runs] : outcomes) {
    summary += "  " + outcome + ": " + std::to_string(runs) + "\n";
  }
  return summary;
}

class FaultSweep : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(FaultSweep, EveryFailedCallStopsTheRunOrLeavesTheExactResult) {
  bool parallel = GetParam().front() == "QuoventMR_v2b";
  ScratchDir clean;
  prepare(clean);
  RunResult clean_run = run_with_fault(clean, GetParam(), 0);
  ASSERT_EQ(clean_run.exit_status, 0) << clean_run.err;
  const std::string expected = read_file(clean / "Result/qv.txt");
  const std::map<std::string, std::string> clean_files = work_files(clean);
  const long calls = calls_counted(clean);
  ASSERT_GT(calls, 20);

  std::map<std::string, int> outcomes;  // "<call> <stage>: <how it ended>" -> runs
  for (long n = 1; n <= calls; ++n) {
    ScratchDir dir;
    prepare(dir);
    RunResult result = run_with_fault(dir, GetParam(), n);
    InjectedCall call = injected_call(dir);
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
  RecordProperty("faults", std::to_string(calls));
  printf("%ld faults injected into %s:\n%s", calls, GetParam().front().c_str(),
         summary_of(outcomes).c_str());
}

INSTANTIATE_TEST_SUITE_P(Drivers, FaultSweep,
                         ::testing::Values(std::vector<std::string>{"QuoventMR", "-r", "3"},
                                           std::vector<std::string>{"QuoventMR_v2b", "-m", "-r",
                                                                    "3"}),
                         [](const auto &info) { return info.param.front(); });

// The sharded run, several shards at a time, on the same inputs.
const std::vector<std::string> kShardedRun = {"QuoventMR_v3", "-j", "2", "-s", "512", "-r", "3"};

// The files of a sharded run: its work directory and the result's directory, as absolute paths,
// since a shard changes into its directory and names its files from there.
std::string sharded_run_files(const ScratchDir &dir) {
  std::string root = fs::canonical(dir.path()).string();
  return root + "/tmp/v3:" + root + "/Result/";
}

// What a file of a sharded run is, by its name: the plan, a shard's file or directory, the
// merge's temporary or the result.
std::string sharded_file_kind(const std::string &path) {
  std::string name = fs::path(path).filename().string();
  if (path.find("/Result/") != std::string::npos) {
    return name.find(".merging.") != std::string::npos ? "merge's temporary" : "result";
  }
  if (name.starts_with("shard_")) return "shard directory";
  if (name == "v3") return "work directory";
  return name;
}

// Whether a failed call of a sharded run loses nothing, so that the run may go on: the close of a
// file that was merely read, or of the shard's errors file, which stays open as its standard error.
bool loses_nothing(const InjectedCall &call) {
  return call.call == "close" && (call.mode == 'r' || call.path.ends_with("/errors.txt"));
}

// Every call of the plan, of each shard's count and seal (its flushes and rename included) and of
// the merge fails once. A run whose fault lost nothing may succeed with the exact result; any
// other fault stops the run with the failed call's error number and text, no result and no
// temporary beside it. The same command without the fault
// then ends with the exact result: with --resume when the run kept its plan (and the shards it had
// sealed, which are so shown intact), afresh when it left no work directory.
TEST(ShardedFaultSweep, EveryFailedCallStopsTheRunOrLeavesTheExactResultAndTheRunGoesOn) {
  std::vector<std::string> resume = kShardedRun;
  resume.push_back("--resume");
  ScratchDir clean;
  prepare(clean);
  RunResult clean_run = run_with_fault(clean, kShardedRun, 0, sharded_run_files(clean));
  ASSERT_EQ(clean_run.exit_status, 0) << clean_run.err;
  const std::string expected = read_file(clean / "Result/qv.txt");
  const long calls = calls_counted(clean);
  ASSERT_GT(calls, 40);

  std::map<std::string, int> outcomes;  // "<call> <file>: <how it ended>" -> runs
  for (long n = 1; n <= calls; ++n) {
    ScratchDir dir;
    prepare(dir);
    RunResult result = run_with_fault(dir, kShardedRun, n, sharded_run_files(dir));
    InjectedCall call = injected_call(dir);
    SCOPED_TRACE("call " + std::to_string(n) + ": " + call.call + " " + call.mode + " " +
                 call.path + "\n" + result.err);
    EXPECT_EQ(result.signal, 0);
    for (size_t i = 0; i < kInputs.size(); ++i) {
      EXPECT_EQ(read_file(dir / kInputs[i]), multilingual_texts()[i]);
    }
    std::string key = call.call + " " + call.mode + " " + sharded_file_kind(call.path);
    if (call.call.empty() || result.exit_status == 0) {
      // The shards, in parallel, made fewer calls this time, or the fault lost nothing.
      EXPECT_TRUE(call.call.empty() || loses_nothing(call)) << "a fault passed unnoticed";
      EXPECT_EQ(result.exit_status, 0);
      EXPECT_EQ(read_file(dir / "Result/qv.txt"), expected);
      EXPECT_FALSE(fs::exists(dir / "tmp/v3"));
      ++outcomes[(call.call.empty() ? "no call failed" : key) + ": run succeeded, result exact"];
      continue;
    }
    int error = injected_errno(call);
    EXPECT_EQ(result.exit_status, error);
    EXPECT_NE(result.err.find(std::string(": ") + strerror(error)), std::string::npos);
    EXPECT_TRUE(fs::is_empty(dir / "Result")) << "a result or a temporary was left";
    bool kept = fs::exists(dir / "tmp/v3");
    EXPECT_TRUE(!kept || fs::exists(dir / "tmp/v3/plan.txt")) << "work files without a plan";

    RunResult again = run_with_fault(dir, kept ? resume : kShardedRun, 0);
    EXPECT_EQ(again.exit_status, 0) << again.err;
    EXPECT_EQ(read_file(dir / "Result/qv.txt"), expected);
    EXPECT_FALSE(fs::exists(dir / "tmp/v3"));
    ++outcomes[key + (kept ? ": stopped, resumed" : ": stopped, run again")];
  }
  RecordProperty("faults", std::to_string(calls));
  printf("%ld faults injected into %s:\n%s", calls, kShardedRun.front().c_str(),
         summary_of(outcomes).c_str());
}

}  // namespace

namespace {

// A shard that fails stops the sharded run: the other shards are stopped, the failed one is
// named with its own message, and no result is written over the old one. Whether the shard beside
// it was sealed before the failure stopped it is the scheduler's choice: one sealed is kept for a
// resume, with the plan, and the message says so; nothing else of the run is left.
TEST(ShardFailure, AFailingShardStopsTheRunAndWritesNoResult) {
  ScratchDir dir;
  std::string text;
  for (const std::string &t : multilingual_texts()) text += t;
  for (int i = 0; i < 20; ++i) text += "linea " + std::to_string(i) + " palabra\n";
  write_file(dir / "in.txt", text);
  write_file(dir / "counter", std::string(8, '\0'));
  write_file(dir / "Result/qv.txt", "old\n");
  RunResult result = run_program(
      program_path("QuoventMR_v3"), {"-s", "200", "-j", "2", "in.txt"}, dir.path(),
      {"LD_PRELOAD=" QUOVENT_FAULT_LIBRARY, "QUOVENT_FAULT_COUNTER=" + (dir / "counter").string(),
       "QUOVENT_FAULT_AT=1", "QUOVENT_FAULT_PATHS=result.partial"});
  EXPECT_EQ(result.exit_status, EACCES);
  EXPECT_NE(result.err.find("failed: [QuoventMR_v3:count_shard] Error opening the count file "
                            "result.partial: Permission denied"),
            std::string::npos)
      << result.err;
  EXPECT_NE(result.err.find("(in.txt bytes "), std::string::npos) << result.err;
  EXPECT_EQ(read_file(dir / "Result/qv.txt"), "old\n");
  std::vector<std::string> left;
  if (fs::exists(dir / "tmp/v3")) {
    for (const auto &entry : fs::recursive_directory_iterator(dir / "tmp/v3")) {
      if (!entry.is_directory()) left.push_back(fs::relative(entry.path(), dir / "tmp/v3"));
    }
  }
  for (const std::string &file : left) {
    bool sealed = file.starts_with("shard_") &&
                  (file.ends_with("/result.txt") || file.ends_with("/result.check"));
    EXPECT_TRUE(file == "plan.txt" || sealed) << file;
  }
  EXPECT_EQ(!left.empty(), result.err.find("--resume") != std::string::npos) << result.err;
}

}  // namespace
