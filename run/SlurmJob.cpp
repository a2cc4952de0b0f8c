// The jobs of a Slurm run: this program again, started by Slurm on some node, its plan read from
// the work directory. The process is the job: its failures end it through Error, in the job's
// errors file for the driver to read.
#include <fcntl.h>
#include <sysexits.h>
#include <unistd.h>

#include <fstream>

#include "common/Errors.h"
#include "common/RawIO.h"
#include "common/RunFiles.h"
#include "count/ShardCount.h"
#include "run/ChildEnd.h"
#include "run/RunPlan.h"
#include "run/SlurmRun.h"
#include "run/SlurmTasks.h"

namespace {

// The shards that task `task` counts, as the driver listed them for this run.
std::vector<size_t> shards_of_this_task(const ShardRun &run, long long task) {
  std::string file = slurm_tasks_file(run.work_dir);
  std::ifstream in(file);
  if (!in) error_at(nullptr, "Error reading the tasks' list %s\n", file.c_str());
  std::string text((std::istreambuf_iterator<char>(in)), {});
  size_t tasks = 0;
  std::vector<size_t> todo;
  if (!read_tasks_text(text, run.shards.size(), tasks, todo)) {
    fail_at(nullptr, EX_DATAERR, "The tasks' list %s is damaged: resume the run", file.c_str());
  }
  if (static_cast<size_t>(task) >= tasks) {
    fail_at(nullptr, EX_USAGE, "--%s names a task that the run does not have", kRunTaskOption);
  }
  return shards_of_task(todo, tasks, static_cast<size_t>(task));
}

// Counts shard k in a child whose messages go to the shard's own errors file, where the driver
// looks for them, so that a shard that fails leaves the task free to count its next one.
// Returns whether it was counted.
bool count_in_child(const ShardRun &run, size_t k) {
  pid_t pid = fork();
  if (pid < 0) error_at(nullptr, "Error starting the count of shard %zu\n", k);
  if (pid == 0) {
    std::string errors = shard_errors(run.shard_dir(k));
    int fd = open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, CREATED_FILE_MODE);
    if (fd < 0 || dup2(fd, STDERR_FILENO) < 0) {
      error_at(nullptr, "Error opening the shard's errors file %s\n", errors.c_str());
    }
    close(fd);
    if (!redirect_shard_log(run.shard_dir(k), run.keep_work_files)) {
      error_at("count_shard", "Error opening the shard's output files");
    }
    count_shard(run.shards[k], run.nreducers, run.words, run.shard_dir(k), run.keep_work_files);
    exit(0);
  }
  int status = wait_for_child(pid);
  return status >= 0 && exit_code_of(status) == 0;
}

}  // namespace

int run_slurm_job(ShardRun &run, long long task, bool merge) {
  std::string plan = plan_file(run.work_dir);
  if (!read_plan(plan, run)) {
    error_at(nullptr, "Error reading the plan %s\n", plan.c_str());
  }
  if (!merge) {
    int failed = 0;
    for (size_t k : shards_of_this_task(run, task)) {
      // A task queued again after its node was lost finds the shards it counted there sealed.
      if (shard_result_intact(run.shard_dir(k))) continue;
      if (!count_in_child(run, k)) ++failed;
    }
    // The merge job waits for every task to end well: one failed shard is enough to stop it.
    return failed == 0 ? 0 : EXIT_FAILURE;
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
  return 0;
}
