// Every open, read, write, fsync, rename and close of a work or result file
// fails once, one run per call (the preload library in fault/). For each injected
// fault the run either succeeds with the exact result, or stops with a
// non-zero status and the failing stage's message with the injected error;
// the inputs and the files of the stages before the failing one stay as a
// clean run left them, and no result file is passed off as complete:
// QuoventMR may leave the result's first lines, QuoventMR_v2b leaves the
// result empty or whole. A fault on a file that a stage writes, its close
// included, must stop the run, since a shared file system may report a lost
// write only at close; only a run whose fault hit a file that is merely read
// or locked may succeed. QuoventMR_v3 never leaves a result when it stops, and
// the same command, resumed or run again, then gives the exact result.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <numeric>
#include <ostream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/TestSupport.h"

using namespace quovent_test;
namespace fs = std::filesystem;

namespace {

struct InjectedCall {
  std::string call;  // open, read, write, fsync, rename, close
  char mode = 0;     // 'r' or 'w': how the file was opened; 'w' for a rename
  std::string path;
  std::string new_path;  // of a rename
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

// The input files of a run, in/a.txt, in/b.txt and so on, one a text.
std::vector<std::string> input_names(size_t count) {
  std::vector<std::string> names;
  for (size_t i = 0; i < count; ++i)
    names.push_back("in/" + std::string(1, char('a' + i)) + ".txt");
  return names;
}

void prepare(const ScratchDir &dir, const std::vector<std::string> &texts) {
  fs::create_directories(dir / "in");
  std::vector<std::string> names = input_names(texts.size());
  for (size_t i = 0; i < texts.size(); ++i) write_file(dir / names[i], texts[i]);
  write_file(dir / "counter", std::string(8, '\0'));
}

void expect_inputs_unchanged(const ScratchDir &dir, const std::vector<std::string> &texts) {
  std::vector<std::string> names = input_names(texts.size());
  for (size_t i = 0; i < texts.size(); ++i) EXPECT_EQ(read_file(dir / names[i]), texts[i]);
}

// Runs `command` (a program, then its options) on `inputs` input files in dir under the preload
// library, which fails call fault_at (none when 0) on the paths that `watched` names (when empty,
// on those of the library's default) and traces every call it counts.
RunResult run_with_fault(const ScratchDir &dir, const std::vector<std::string> &command,
                         size_t inputs, long fault_at, const std::string &watched = "") {
  std::vector<std::string> args = {"-k", "10", kRunLimitSeconds,
                                   program_path(command.front()).string()};
  args.insert(args.end(), command.begin() + 1, command.end());
  for (const std::string &name : input_names(inputs)) args.push_back(name);
  std::vector<std::string> environment = {"LD_PRELOAD=" QUOVENT_FAULT_LIBRARY,
                                          "QUOVENT_FAULT_COUNTER=" + (dir / "counter").string(),
                                          "QUOVENT_FAULT_AT=" + std::to_string(fault_at),
                                          "QUOVENT_FAULT_LOG=" + (dir / "fault.log").string(),
                                          "QUOVENT_FAULT_TRACE=" + (dir / "calls.log").string()};
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

// The calls that a log of the library names, a line each.
std::vector<InjectedCall> calls_in(const fs::path &log_file) {
  std::istringstream log(fs::exists(log_file) ? read_file(log_file) : "");
  std::vector<InjectedCall> calls;
  for (std::string line; std::getline(log, line);) {
    std::istringstream fields(line);
    InjectedCall call;
    if (!(fields >> call.call >> call.mode >> call.path)) continue;
    if (call.call == "rename") fields >> call.new_path;
    calls.push_back(call);
  }
  return calls;
}

// The call that failed; an empty one when the run made fewer calls than the one to fail.
InjectedCall injected_call(const ScratchDir &dir) {
  std::vector<InjectedCall> calls = calls_in(dir / "fault.log");
  return calls.empty() ? InjectedCall{} : calls.front();
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
  const std::vector<std::string> texts = multilingual_texts();
  ScratchDir clean;
  prepare(clean, texts);
  RunResult clean_run = run_with_fault(clean, GetParam(), texts.size(), 0);
  ASSERT_EQ(clean_run.exit_status, 0) << clean_run.err;
  const std::string expected = read_file(clean / "Result/qv.txt");
  const std::map<std::string, std::string> clean_files = work_files(clean);
  const long calls = calls_counted(clean);
  ASSERT_GT(calls, 20);

  std::map<std::string, int> outcomes;  // "<call> <stage>: <how it ended>" -> runs
  for (long n = 1; n <= calls; ++n) {
    ScratchDir dir;
    prepare(dir, texts);
    RunResult result = run_with_fault(dir, GetParam(), texts.size(), n);
    InjectedCall call = injected_call(dir);
    std::string result_file =
        fs::exists(dir / "Result/qv.txt") ? read_file(dir / "Result/qv.txt") : "";
    SCOPED_TRACE("call " + std::to_string(n) + ": " + call.call + " " + call.path + "\n" +
                 result.err);
    expect_inputs_unchanged(dir, texts);
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

// A shard's sealed result.
constexpr char kShardResultName[] = "result.txt";

// Distinct words a shard's table holds; one more is spilled as a sorted run.
constexpr size_t kTableWords = size_t{1} << 19;

// `count` different words of five letters, twelve a line.
std::string distinct_words(size_t count) {
  std::string text;
  for (size_t n = 0; n < count; ++n) {
    size_t digits = n;
    for (int letter = 0; letter < 5; ++letter, digits /= 26) text += char('a' + digits % 26);
    text += n % 12 == 11 ? '\n' : ' ';
  }
  return text;
}

// The files of a sharded run: its work directory and the result's directory, as absolute paths,
// since a shard changes into its directory and names its files from there.
std::string sharded_run_files(const ScratchDir &dir) {
  std::string root = fs::canonical(dir.path()).string();
  return root + "/tmp/v3:" + root + "/Result/";
}

// The sorted runs of the shards, and their sealed results.
std::string sorted_runs_and_results(const ScratchDir &) { return "run_:result.txt"; }

// A sharded run to sweep.
struct ShardedSweep {
  std::vector<std::string> command;               // QuoventMR_v3 and its options
  std::vector<std::string> (*texts)();            // the inputs
  std::string (*watched)(const ScratchDir &dir);  // the paths whose calls fail
  bool every_call;  // else the first and the last of each kind of call on each kind of file
};

void PrintTo(const ShardedSweep &sweep, std::ostream *out) {
  *out << ::testing::PrintToString(sweep.command);
}

// What a file of a sharded run is, by its name: the plan, a shard's file or directory, a sorted
// run, the merge's temporary or the result.
std::string sharded_file_kind(const std::string &path) {
  std::string name = fs::path(path).filename().string();
  if (path.find("/Result/") != std::string::npos) {
    return name.find(".merging.") != std::string::npos ? "merge's temporary" : "result";
  }
  if (name.starts_with("shard_")) return "shard directory";
  if (name.starts_with("run_")) return "sorted run";
  if (name == "v3") return "work directory";
  return name;
}

std::string kind_of(const InjectedCall &call) {
  return call.call + " " + call.mode + " " + sharded_file_kind(call.path);
}

// The calls to fail, from the clean run: all, or the first and the last of each kind, which
// are the same calls in every run of one process.
std::vector<long> calls_to_fail(const ShardedSweep &sweep, const ScratchDir &clean) {
  const long calls = calls_counted(clean);
  if (sweep.every_call) {
    std::vector<long> all(static_cast<size_t>(calls));
    std::iota(all.begin(), all.end(), 1);
    return all;
  }
  std::set<long> chosen;
  std::vector<InjectedCall> traced = calls_in(clean / "calls.log");
  EXPECT_EQ(static_cast<long>(traced.size()), calls);
  std::map<std::string, long> last;
  for (long n = 1; n <= static_cast<long>(traced.size()); ++n) {
    std::string kind = kind_of(traced[n - 1]);
    if (!last.contains(kind)) chosen.insert(n);
    last[kind] = n;
  }
  for (const auto &[kind, n] : last) chosen.insert(n);
  return {chosen.begin(), chosen.end()};
}

// Whether a failed call of a sharded run loses nothing, so that the run may go on: the close of a
// file that was merely read, or of the shard's errors file, which stays open as its standard
// error; or the rename of a shard's sealed result, which only a run of one shard makes, to move
// it onto the result, and which falls back to a copy; or the close of the lock file's copy in a
// child, which leaves the driver's lock.
bool loses_nothing(const InjectedCall &call) {
  if (call.call == "rename") return sharded_file_kind(call.path) == kShardResultName;
  if (sharded_file_kind(call.path) == "lock") return call.call == "close";
  return call.call == "close" && (call.mode == 'r' || call.path.ends_with("/errors.txt"));
}

class ShardedFaultSweep : public ::testing::TestWithParam<ShardedSweep> {};

// The calls of the plan, of each shard's count, sorted runs and seal (its flushes and rename
// included) and of the merge fail, one a run. A run whose fault lost nothing may succeed with the
// exact result; any other fault stops the run with the failed call's error number and text, no
// result and no temporary beside it. The same command without the fault then ends with the exact
// result: with --resume when the run kept its plan (and the shards it had sealed, which are so
// shown intact), afresh when it left no work directory.
TEST_P(ShardedFaultSweep, EveryFailedCallStopsTheRunOrLeavesTheExactResultAndTheRunGoesOn) {
  const ShardedSweep &sweep = GetParam();
  const std::vector<std::string> texts = sweep.texts();
  std::vector<std::string> resume = sweep.command;
  resume.push_back("--resume");
  ScratchDir clean;
  prepare(clean, texts);
  RunResult clean_run = run_with_fault(clean, sweep.command, texts.size(), 0, sweep.watched(clean));
  ASSERT_EQ(clean_run.exit_status, 0) << clean_run.err;
  const std::string expected = read_file(clean / "Result/qv.txt");
  const std::vector<long> calls = calls_to_fail(sweep, clean);
  ASSERT_GE(calls.size(), 10u) << "too few calls on the watched files";

  std::map<std::string, int> outcomes;  // "<call> <file>: <how it ended>" -> runs
  for (long n : calls) {
    ScratchDir dir;
    prepare(dir, texts);
    RunResult result = run_with_fault(dir, sweep.command, texts.size(), n, sweep.watched(dir));
    InjectedCall call = injected_call(dir);
    SCOPED_TRACE("call " + std::to_string(n) + ": " + call.call + " " + call.mode + " " +
                 call.path + " " + call.new_path + "\n" + result.err);
    EXPECT_EQ(result.signal, 0);
    expect_inputs_unchanged(dir, texts);
    if (call.call.empty() || result.exit_status == 0) {
      // The shards, in parallel, made fewer calls this time, or the fault lost nothing.
      EXPECT_TRUE(call.call.empty() || loses_nothing(call)) << "a fault passed unnoticed";
      EXPECT_EQ(result.exit_status, 0);
      EXPECT_EQ(read_file(dir / "Result/qv.txt"), expected);
      EXPECT_FALSE(fs::exists(dir / "tmp/v3"));
      std::string key = call.call.empty() ? "no call failed" : kind_of(call);
      ++outcomes[key + ": run succeeded, result exact"];
      continue;
    }
    int error = injected_errno(call);
    EXPECT_EQ(result.exit_status, error);
    EXPECT_NE(result.err.find(std::string(": ") + strerror(error)), std::string::npos);
    EXPECT_TRUE(fs::is_empty(dir / "Result")) << "a result or a temporary was left";
    bool kept = fs::exists(dir / "tmp/v3");
    EXPECT_TRUE(!kept || fs::exists(dir / "tmp/v3/plan.txt")) << "work files without a plan";

    RunResult again = run_with_fault(dir, kept ? resume : sweep.command, texts.size(), 0);
    EXPECT_EQ(again.exit_status, 0) << again.err;
    EXPECT_EQ(read_file(dir / "Result/qv.txt"), expected);
    EXPECT_FALSE(fs::exists(dir / "tmp/v3"));
    ++outcomes[kind_of(call) + (kept ? ": stopped, resumed" : ": stopped, run again")];
  }
  RecordProperty("faults", std::to_string(calls.size()));
  printf("%zu faults injected into %s:\n%s", calls.size(),
         ::testing::PrintToString(sweep.command).c_str(), summary_of(outcomes).c_str());
}

INSTANTIATE_TEST_SUITE_P(
    QuoventMRv3, ShardedFaultSweep,
    ::testing::Values(
        // Four shards, two at a time: every call of the run.
        ShardedSweep{{"QuoventMR_v3", "-j", "2", "-s", "512", "-r", "3"},
                     multilingual_texts,
                     sharded_run_files,
                     true},
        // One shard of more distinct words than its table holds: two sorted runs, merged, and
        // the shard's sealed result moved onto the result.
        ShardedSweep{{"QuoventMR_v3", "-j", "1", "-r", "2"},
                     [] { return std::vector<std::string>{distinct_words(kTableWords + 5000)}; },
                     sorted_runs_and_results,
                     false}),
    [](const auto &info) { return info.param.every_call ? "Shards" : "SortedRuns"; });

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
    // A shard that was counted before the failure is kept for a resume, with the plan, and the
    // message says so; nothing else of the run is left.
    bool keeps_work_files = std::find(args.begin(), args.end(), "-k") != args.end();
    EXPECT_EQ(
        fs::exists(dir / "tmp/v3/plan.txt"),
        result.err.find("the same command with --resume") != std::string::npos || keeps_work_files)
        << result.err;
    if (keeps_work_files || !fs::exists(dir / "tmp/v3")) continue;
    for (const auto &entry : fs::recursive_directory_iterator(dir / "tmp/v3")) {
      if (entry.is_directory()) continue;
      std::string file = fs::relative(entry.path(), dir / "tmp/v3");
      bool sealed = file.starts_with("shard_") &&
                    (file.ends_with("/result.txt") || file.ends_with("/result.check"));
      EXPECT_TRUE(file == "plan.txt" || file == "lock" || sealed) << file;
    }
  }
}

}  // namespace

namespace {

// Ctrl-C while the shards' results are merged: the merge, stopped where it writes the result's
// temporary (or, cut into parts, where the first part or the join writes), leaves nothing beside
// the result, the run ends with 128 + SIGINT and keeps every shard it counted, and the same
// command with --resume gives the bytes of a run never stopped.
TEST(StoppedMerge, ACtrlCDuringTheMergeLeavesNoTemporaryAndTheRunGoesOnWithResume) {
  struct Case {
    const char *options;
    std::string text;
    const char *merge_shown;  // in the closing line of the resumed run
    const char *locale;
  };
  std::string small;
  for (int i = 0; i < 4; ++i) {
    for (const std::string &t : multilingual_texts()) small += t;
  }
  // Shards' results of more than 4 MB: the merge is cut into parts merged two at a time.
  std::string large;
  for (long long i = 0; i < 450000; ++i) {
    large += "pal";
    for (long long n = i * 7919 % 1000003; n > 0; n /= 26) large += static_cast<char>('a' + n % 26);
    large += ' ';
  }
  // Under a collating locale the merge keys the words of byte-ordered results: in memory for one
  // part, else in two halves of parts.
  const Case cases[] = {{"-j 2 -s 300", small, " in 1 part.", "C.UTF-8"},
                        {"-j 2 -s 1M", large, " parts.", "C.UTF-8"},
                        {"-j 2 -s 300", small, " in 1 part.", "en_US.UTF-8"},
                        {"-j 2 -s 1M", large, " parts.", "en_US.UTF-8"}};
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.options) + " " + c.locale);
    const std::vector<std::string> locale = {std::string("LC_ALL=") + c.locale,
                                             "LOCPATH=" + generated_locale_dir()};
    ScratchDir dir;
    write_file(dir / "in.txt", c.text);
    write_file(dir / "counter", std::string(8, '\0'));
    ASSERT_EQ(run_program(program_path("QuoventMR"), {"-r", "2", "-o", "one.txt", "in.txt"},
                          dir.path(), locale)
                  .exit_status,
              0);
    const std::string command =
        program_path("QuoventMR_v3").string() + " " + c.options + " -r 2 in.txt";
    // The second call on the result's temporaries is the first write: the merge waits there, the
    // temporary made, until the signal that the whole job gets, as from a terminal.
    RunResult stopped = run_program(
        "/bin/bash",
        {"-c", "set -m; " + command +
                   " & run=$!; until [ -s fault.log ]; do kill -0 $run 2>/dev/null || exit 99;"
                   " sleep 0.01; done; kill -INT -- -$run; wait $run"},
        dir.path(),
        {"LD_PRELOAD=" QUOVENT_FAULT_LIBRARY, "QUOVENT_FAULT_COUNTER=" + (dir / "counter").string(),
         "QUOVENT_FAULT_AT=2", "QUOVENT_FAULT_STALL=1", "QUOVENT_FAULT_PATHS=Result/qv.txt.",
         "QUOVENT_FAULT_LOG=" + (dir / "fault.log").string(), locale[0], locale[1]});
    ASSERT_NE(stopped.exit_status, 99) << "the run ended before its merge was stopped";
    EXPECT_EQ(stopped.exit_status, 128 + SIGINT) << stopped.err;
    EXPECT_NE(stopped.err.find("Stopped by signal Interrupt; no result written"), std::string::npos)
        << stopped.err;
    EXPECT_NE(stopped.err.find("the same command with --resume"), std::string::npos) << stopped.err;
    EXPECT_TRUE(fs::is_empty(dir / "Result"));

    RunResult resumed = run_program("/bin/bash", {"-c", command + " --resume"}, dir.path(), locale);
    ASSERT_EQ(resumed.exit_status, 0) << resumed.err;
    EXPECT_NE(resumed.err.find(c.merge_shown), std::string::npos) << resumed.err;
    EXPECT_EQ(read_file(dir / "Result/qv.txt"), read_file(dir / "one.txt"));
  }
}

}  // namespace
