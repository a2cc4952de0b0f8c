// The jobs of a Slurm run: this program again, started by Slurm on some node, its plan read from
// the work directory. The process is the job: its failures end it through Error, in the job's
// errors file for the driver to read.
#include <sysexits.h>

#include "common/Errors.h"
#include "common/RawIO.h"
#include "common/RunFiles.h"
#include "count/ShardCount.h"
#include "run/RunPlan.h"
#include "run/SlurmRun.h"

void run_slurm_job(ShardRun &run, long long shard, bool merge) {
  std::string plan = plan_file(run.work_dir);
  if (!read_plan(plan, run)) {
    error_at(nullptr, "Error reading the plan %s\n", plan.c_str());
  }
  if (!merge) {
    if (static_cast<size_t>(shard) >= run.shards.size()) {
      fail_at(nullptr, EX_USAGE, "--run-shard names a shard that the plan does not hold");
    }
    count_shard(run.shards[shard], run.nreducers, run.words, run.shard_dir(shard),
                run.keep_work_files);
    return;
  }
  // The results come from other machines, and some from an earlier attempt of the run.
  for (size_t k = 0; k < run.shards.size(); ++k) {
    if (!shard_result_intact(run.shard_dir(k))) {
      fail_at(nullptr, EX_DATAERR,
              "The result of shard %zu is missing or damaged (its length or checksum differs "
              "from its check): resume the run to count it again",
              k);
    }
  }
  merge_shard_results(run, true);
  std::string mark = merged_mark(run.work_dir);
  int fd = create_output_file(mark.c_str());
  if (fd < 0 || close_output_file(fd) != 0) error_at(nullptr, "Error writting %s\n", mark.c_str());
}
