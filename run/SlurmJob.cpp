// The jobs of a Slurm run: this program again, started by Slurm on some node, its plan read from
// the work directory. The process is the job: its failures end it through Error, in the job's
// errors file for the driver to read.
#include <fcntl.h>
#include <sysexits.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <fstream>

#include "common/Errors.h"
#include "common/RawIO.h"
#include "common/RunFiles.h"
#include "count/ShardCount.h"
#include "reduce/CollatingMerge.h"
#include "reduce/ResultMerge.h"
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
    count_shard(run.shards[k], run.nreducers, run.words, run.shard_results, run.shard_dir(k),
                run.keep_work_files);
    exit(0);
  }
  int status = wait_for_child(pid);
  return status >= 0 && exit_code_of(status) == 0;
}

// The sealed results of every shard, by name, for the merge.
std::vector<std::string> result_names(const ShardRun &run) {
  std::vector<std::string> names;
  for (size_t k = 0; k < run.shards.size(); ++k) names.push_back(run.shard_result(k));
  return names;
}

std::vector<const char *> pointers_to(const std::vector<std::string> &names) {
  std::vector<const char *> pointers;
  for (const std::string &name : names) pointers.push_back(name.c_str());
  return pointers;
}

// The inputs of the merge after `rounds` rounds of groups: the shards' results, or the last
// round's intermediate results.
std::vector<std::string> merge_inputs(const ShardRun &run, long long rounds) {
  if (rounds <= 0) return result_names(run);
  auto round = static_cast<size_t>(rounds - 1);
  std::vector<std::string> names;
  for (size_t g = 0; g < merge_groups_in_round(run.shards.size(), round); ++g) {
    names.push_back(merge_group_file(run.work_dir, round, g));
  }
  return names;
}

// This process's messages from now on go to `errors`, the errors file of `what` (a "merge part"),
// where the driver looks for them.
void say_into(const std::string &errors, const char *what) {
  int fd = open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, CREATED_FILE_MODE);
  if (fd < 0 || dup2(fd, STDERR_FILENO) < 0) {
    error_at(nullptr, "Error opening the %s's errors file %s\n", what, errors.c_str());
  }
  close(fd);
}

// A task of a group array: its groups of the round's inputs in turn, each into its intermediate
// result, which appears complete by a rename. A task queued again after its node was lost merges
// its groups anew.
int merge_group_job(const ShardRun &run, const SlurmJobRole &role) {
  std::vector<std::string> inputs = merge_inputs(run, role.merge_rounds);
  std::vector<const char *> names = pointers_to(inputs);
  auto round = static_cast<size_t>(role.merge_rounds);
  int groups = merge_group_count(static_cast<int>(names.size()));
  for (long long g = role.merge_group; g < groups; g += role.merge_group_tasks) {
    auto group = static_cast<size_t>(g);
    say_into(merge_group_errors(run.work_dir, round, group), "merge group");
    std::string file = merge_group_file(run.work_dir, round, group);
    unlink(file.c_str());
    merge_result_group(static_cast<int>(names.size()), names.data(), run.nreducers, 1,
                       static_cast<int>(g), file.c_str());
  }
  return 0;
}

// Task `part` of the parts array: its part into its part file, which appears complete by a
// rename; its messages in the part's own errors file, where the driver looks for them. A task
// queued again after its node was lost writes its part anew.
int merge_part_job(const ShardRun &run, const SlurmJobRole &role) {
  auto part = static_cast<size_t>(role.merge_part);
  say_into(merge_part_errors(run.work_dir, part), "merge part");
  int parts = merge_parts_of_run(run, role.merge_parts, role.merge_rounds);
  if (role.merge_part >= parts) return 0;
  std::string partial = merge_part_partial(run.work_dir, part);
  std::string done = merge_part_file(run.work_dir, part);
  unlink(done.c_str());
  unlink(partial.c_str());
  std::vector<std::string> inputs = merge_inputs(run, role.merge_rounds);
  std::vector<const char *> names = pointers_to(inputs);
  merge_result_part(static_cast<int>(names.size()), names.data(), run.nreducers, 1,
                    static_cast<int>(part), parts, partial.c_str());
  if (rename(partial.c_str(), done.c_str()) < 0) {
    error_at(nullptr, "Error renaming the merge part onto %s\n", done.c_str());
  }
  return 0;
}

// The merge job, once every shard's result is checked: the last inputs merged in this process,
// or the parts that the parts array wrote joined in order. Returns the parts' count.
int merge_or_join(const ShardRun &run, const SlurmJobRole &role) {
  int parts = merge_parts_of_run(run, role.merge_parts, role.merge_rounds);
  std::vector<std::string> inputs = merge_inputs(run, role.merge_rounds);
  std::vector<const char *> names = pointers_to(inputs);
  if (parts == 1 && run.shard_results != ResultForm::kCollated) {
    collate_results(static_cast<int>(names.size()), names.data(), run.nreducers,
                    run.output_file.c_str(), true, 1, nullptr);
    return parts;
  }
  if (parts == 1) {
    merge_results(static_cast<int>(names.size()), names.data(), run.nreducers,
                  run.output_file.c_str(), 1, 1, nullptr);
    return parts;
  }
  std::vector<std::string> part_files;
  for (int k = 0; k < parts; ++k) part_files.push_back(merge_part_file(run.work_dir, k));
  std::vector<const char *> part_names = pointers_to(part_files);
  join_result_parts(static_cast<int>(names.size()), names.data(), run.nreducers, 1, parts,
                    part_names.data(), run.output_file.c_str());
  return parts;
}

// The parts' and the groups' files, once the result they made is in place.
void remove_merged_files(const ShardRun &run, const SlurmJobRole &role, int parts) {
  for (int k = 0; parts > 1 && k < parts; ++k) unlink(merge_part_file(run.work_dir, k).c_str());
  for (long long round = 0; round < role.merge_rounds; ++round) {
    auto r = static_cast<size_t>(round);
    for (size_t g = 0; g < merge_groups_in_round(run.shards.size(), r); ++g) {
      unlink(merge_group_file(run.work_dir, r, g).c_str());
    }
  }
}

}  // namespace

int merge_parts_of_run(const ShardRun &run, long long merge_parts, long long merge_rounds) {
  // Results in byte order (a run planned on this machine, resumed under Slurm) are merged by the
  // merge job alone.
  if (merge_parts <= 1 || run.shard_results != ResultForm::kCollated) return 1;
  std::vector<std::string> inputs = merge_inputs(run, merge_rounds);
  std::vector<const char *> names = pointers_to(inputs);
  int most = static_cast<int>(std::min<long long>(merge_parts, INT_MAX));
  return std::min(most, merge_part_count_of(static_cast<int>(names.size()), names.data(), most));
}

int run_slurm_job(ShardRun &run, const SlurmJobRole &role) {
  std::string plan = plan_file(run.work_dir);
  if (!read_plan(plan, run)) {
    error_at(nullptr, "Error reading the plan %s\n", plan.c_str());
  }
  if (role.merge_part >= 0) return merge_part_job(run, role);
  if (role.merge_group >= 0) return merge_group_job(run, role);
  if (!role.merge) {
    int failed = 0;
    for (size_t k : shards_of_this_task(run, role.shards_task)) {
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
  int parts = merge_or_join(run, role);
  // The mark tells the driver how many parts the result was joined from: by the time it looks, the
  // files that decided it are gone.
  std::string mark = merged_mark(run.work_dir);
  std::string said = std::to_string(parts) + "\n";
  int fd = create_output_file(mark.c_str());
  if (fd < 0 || write_fully(fd, said.data(), said.size()) != static_cast<ssize_t>(said.size()) ||
      close_output_file(fd) != 0) {
    error_at(nullptr, "Error writting %s\n", mark.c_str());
  }
  // Only once the mark is down: a merge job queued again before it finds its files still there.
  remove_merged_files(run, role, parts);
  return 0;
}
