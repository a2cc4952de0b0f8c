#include "run/RunStart.h"

#include <sysexits.h>
#include <unistd.h>

#include <cerrno>
#include <set>

#include "common/Collation.h"
#include "common/CommandLine.h"
#include "common/Errors.h"
#include "common/RunFiles.h"
#include "input/StreamFeed.h"
#include "run/Console.h"
#include "run/RunPlan.h"
#include "run/WorkDirLock.h"

namespace {

// Exit statuses of a resume that cannot go on: no run in the work directory, and a run whose
// plan or inputs are no longer what it was counting.
constexpr int kNoRunStatus = EX_NOINPUT;
constexpr int kDamagedRunStatus = EX_DATAERR;

// Under Slurm the tasks decompress the files themselves (plan_shards gives each compressed file
// a piece of its own when it is given nowhere to feed them), so only streams are left here: the
// driver reads them into chunk files in the work directory, which every node sees, before the
// tasks are submitted.
void feed_before_slurm(ShardRun &run, const std::vector<Input> &streams, long long chunk_size) {
  if (streams.empty()) return;
  std::string dir = feed_dir(run.work_dir);
  if (!make_run_directory(dir)) error_at(nullptr, "Error creating the directory %s\n", dir.c_str());
  ChunkFeed feed(
      dir, chunk_size, [] {}, [](const std::string &) {},
      [&run](const Chunk &chunk) {
        run.shards.push_back(shard_of_chunk(chunk, false));
        std::string shard_dir = run.shard_dir(run.shards.size() - 1);
        if (!make_run_directory(shard_dir)) {
          error_at(nullptr, "Error creating the shard directory %s\n", shard_dir.c_str());
        }
      });
  feed.feed(streams, run.as_stored, run.words);
}

// The inputs the shards of the plan do not hold: large compressed files that a local run reads
// as it goes, cut into chunks.
std::vector<Input> inputs_outside_plan(const ShardRun &run) {
  std::set<std::string> planned;
  for (const Shard &shard : run.shards) {
    for (const Piece &piece : shard.pieces) planned.insert(piece.path);
  }
  std::vector<Input> outside;
  for (const Input &input : run.inputs) {
    if (!planned.contains(input.path)) outside.push_back(input);
  }
  return outside;
}

[[noreturn]] void refuse_resume(const ShardRun &run, const std::string &why, int status) {
  report_error("Cannot resume the run in " + run.work_dir + ": " + why);
  exit(status);
}

}  // namespace

std::vector<Input> plan_run(ShardRun &run, bool slurm) {
  long long shard_size = cut_size(run);
  std::vector<Input> fed;
  run.shards = plan_shards(run.inputs, shard_size, run.words, slurm ? nullptr : &fed);
  if (slurm) {
    for (const Input &input : run.inputs) {
      if (input.kind == InputKind::kStream) fed.push_back(input);
    }
  }
  prepare_work_dir(run);
  if (slurm) {
    // The tasks read only files: the streams are written into chunk files for them first.
    feed_before_slurm(run, fed, shard_size);
    fed.clear();
  }
  run.planned_shards = run.shards.size();
  // A local merge puts every distinct word in the collation's order once; a shard that is the
  // whole run writes the result itself, and Slurm's merge parts read results in the result's order.
  bool merge_collates =
      !slurm && !collation_is_byte_order() && (run.shards.size() > 1 || !fed.empty());
  run.shard_results = merge_collates ? ResultForm::kBytesWithFirst : ResultForm::kCollated;
  if (!write_plan(plan_file(run.work_dir), run)) {
    int failed_errno = errno;
    remove_work_files(run);
    errno = failed_errno;
    error_at(nullptr, "Error writting the plan of the run (an input path with a line end?)");
  }
  return fed;
}

// Takes up the plan in the work directory, when this command can resume it, and the results of
// the shards it counted; returns the inputs that are read while the run goes on.
std::vector<Input> resume_run(ShardRun &run, bool slurm) {
  locate_work_dir(run);
  std::string plan = plan_file(run.work_dir);
  if (access(plan.c_str(), F_OK) != 0) {
    refuse_resume(run, "it holds no plan of a run", kNoRunStatus);
  }
  // Before the plan is read: a run that still goes on there is refused.
  if (!lock_work_dir(run.work_dir)) {
    error_at(nullptr, "Error locking the work directory %s\n", run.work_dir.c_str());
  }
  ShardRun planned = run;
  if (!read_plan(plan, planned)) {
    refuse_resume(run, "its plan " + plan + " cannot be read; remove the work directory",
                  kDamagedRunStatus);
  }
  bool inputs_changed = false;
  std::string difference = plan_difference(planned, run, inputs_changed);
  if (!difference.empty()) {
    refuse_resume(run, difference, inputs_changed ? kDamagedRunStatus : kUsageStatus);
  }
  run.shards = planned.shards;
  run.planned_shards = planned.planned_shards;
  run.created_dirs = planned.created_dirs;
  run.shard_results = planned.shard_results;
  std::vector<Input> fed = inputs_outside_plan(run);
  if (slurm && !fed.empty()) {
    refuse_resume(run,
                  "it reads large compressed files on this machine as it goes: resume it "
                  "without --slurm",
                  kUsageStatus);
  }
  reuse_counted_shards(run);
  return fed;
}

long long cut_size(const ShardRun &run) {
  return balanced_shard_size(input_bytes(run.inputs), run.shard_size, run.jobs);
}
