#include "run/SlurmRun.h"

#include <signal.h>
#include <sys/stat.h>
#include <sysexits.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <vector>

#include "common/Clock.h"
#include "common/RunFiles.h"
#include "run/ChildEnd.h"
#include "run/SlurmCommands.h"

namespace {

constexpr long kPollNanoseconds = 500'000'000;
constexpr int kProgramPathSize = 4096;
constexpr mode_t kScriptMode = 0755;

// The text in single quotes for sh, whatever it holds.
std::string shell_quoted(const std::string &text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

bool write_job_script(const std::string &file, const std::string &command) {
  std::ofstream script(file, std::ios::trunc);
  script << "#!/bin/sh\n"
         << "exec " << command << "\n";
  script.close();
  return !script.fail() && chmod(file.c_str(), kScriptMode) == 0;
}

// The shards not yet counted, in the plan's order.
std::vector<size_t> shards_to_count(const ShardRun &run) {
  std::vector<size_t> todo;
  for (size_t k = 0; k < run.shards.size(); ++k) {
    if (!run.shards[k].counted) todo.push_back(k);
  }
  return todo;
}

// The array jobs' and the merge job's scripts, which run this program's own file again, on
// whichever node Slurm picks, and the list of the shards the tasks count. An array's script
// takes the number of its first task as its argument: each array's indices run from 0, within
// MaxArraySize. Returns kCounted, or what kept them from being written.
RunOutcome write_job_files(const ShardRun &run, const TaskLayout &layout) {
  char path[kProgramPathSize];
  ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length < 0) return failed_call("Error finding its own program file %s\n", "/proc/self/exe");
  std::string program = shell_quoted(std::string(path, static_cast<size_t>(length)));
  std::string work_dir = shell_quoted(run.work_dir);
  std::string keep = run.keep_work_files ? " -k" : "";
  std::string tasks_file = slurm_tasks_file(run.work_dir);
  std::ofstream tasks(tasks_file, std::ios::trunc);
  tasks << tasks_text(layout.tasks, shards_to_count(run));
  tasks.close();
  if (tasks.fail()) return failed_call("Error writting the tasks' list %s\n", tasks_file.c_str());
  std::string shards_job = shards_script(run.work_dir);
  if (!write_job_script(shards_job, program + " --" + kRunTaskOption +
                                        " \"$(($1 + SLURM_ARRAY_TASK_ID))\" -w " + work_dir +
                                        keep)) {
    return failed_call("Error writting job script %s\n", shards_job.c_str());
  }
  // Every task of the parts array and the merge job find the same parts of the same inputs.
  std::string merging = " --" + std::string(kMergePartsOption) + " " +
                        std::to_string(merge_parts_of(layout)) + " --" + kMergeRoundsOption + " " +
                        std::to_string(merge_rounds_of(layout)) + " -w " + work_dir + " -o " +
                        shell_quoted(run.output_file);
  std::string merge_job = merge_script(run.work_dir);
  if (!write_job_script(merge_job, program + " --" + kMergeShardsOption + merging)) {
    return failed_call("Error writting job script %s\n", merge_job.c_str());
  }
  std::string parts_job = merge_parts_script(run.work_dir);
  if (merge_parts_of(layout) > 1 &&
      !write_job_script(
          parts_job, program + " --" + kMergePartOption + " \"$SLURM_ARRAY_TASK_ID\"" + merging)) {
    return failed_call("Error writting job script %s\n", parts_job.c_str());
  }
  // A group array's script takes its round and its tasks' count as its arguments.
  std::string groups_job = merge_groups_script(run.work_dir);
  if (merge_rounds_of(layout) > 0 &&
      !write_job_script(groups_job, program + " --" + kMergeGroupOption +
                                        " \"$SLURM_ARRAY_TASK_ID\" --" + kMergeRoundsOption +
                                        " \"$1\" --" + kMergeGroupTasksOption + " \"$2\" -w " +
                                        work_dir)) {
    return failed_call("Error writting job script %s\n", groups_job.c_str());
  }
  return {};
}

// Runs sbatch with the arguments and returns the id of the job it submitted, or nothing, with
// the outcome saying why, when sbatch refused it.
std::string submit(const std::vector<std::string> &argv, RunOutcome &outcome) {
  std::string printed;
  std::string message;
  int status = 0;
  if (!run_command(argv, printed, status, message)) {
    outcome = failed_call("Error starting %s\n", argv[0].c_str());
    return "";
  }
  std::string id = printed.substr(0, printed.find_first_of(";\n"));
  if (status != 0 || id.empty()) {
    outcome.end = RunOutcome::End::kFailed;
    outcome.status = status != 0 ? status : 1;
    outcome.messages.push_back("sbatch refused the job (exit status " + std::to_string(status) +
                               ")" + (message.empty() ? "" : ": " + message));
    return "";
  }
  return id;
}

std::vector<std::string> sbatch_command(const ShardRun &run, const std::string &name) {
  std::vector<std::string> argv = {"sbatch", "--parsable", "--job-name=" + name};
  argv.insert(argv.end(), run.sbatch_options.begin(), run.sbatch_options.end());
  return argv;
}

// Submits the array jobs of the layout, one after the other, their ids into `ids`. Returns
// kCounted once all are queued, otherwise what sbatch said.
RunOutcome submit_arrays(const ShardRun &run, const TaskLayout &layout,
                         std::vector<std::string> &ids) {
  RunOutcome outcome;
  size_t first_task = 0;
  for (size_t tasks : layout.arrays) {
    std::vector<std::string> array = sbatch_command(run, "quovent-shards");
    array.push_back("--array=0-" + std::to_string(tasks - 1));
    // A task whose node is lost is queued again, also where the site's default is not to.
    array.push_back("--requeue");
    // Each shard's messages go to its own directory; what is left is the task's own, and every
    // task appends to one file.
    array.push_back("--output=/dev/null");
    array.push_back("--error=" + slurm_tasks_errors(run.work_dir));
    array.push_back("--open-mode=append");
    array.push_back(shards_script(run.work_dir));
    array.push_back(std::to_string(first_task));
    std::string id = submit(array, outcome);
    if (id.empty()) return outcome;
    ids.push_back(id);
    first_task += tasks;
  }
  return outcome;
}

// sbatch's command for a job of the merge, which waits until every job of `ids` has ended
// well (cancelled when one did not) and is queued again when its node is lost.
std::vector<std::string> merge_command(const ShardRun &run, const std::string &name,
                                       const std::vector<std::string> &ids) {
  std::vector<std::string> merge = sbatch_command(run, name);
  if (!ids.empty()) {
    std::string after = "--dependency=afterok";
    for (const std::string &id : ids) after.append(1, ':').append(id);
    merge.push_back(after);
    merge.push_back("--kill-on-invalid-dep=yes");
  }
  merge.push_back("--requeue");
  return merge;
}

// Submits the merge's arrays, each after the jobs of `ids` before it, their ids into `ids`. Each
// task's messages go to its group's or its part's own errors file; what is left is the task's
// own, and every task appends to the merge job's errors file. Returns kCounted once all are
// queued, otherwise what sbatch said.
RunOutcome submit_merge_stages(const ShardRun &run, const TaskLayout &layout,
                               std::vector<std::string> &ids) {
  RunOutcome outcome;
  size_t round = 0;
  for (const MergeStage &stage : layout.merge_stages) {
    bool groups = stage.kind == MergeStageKind::kGroups;
    std::vector<std::string> array =
        merge_command(run, groups ? "quovent-merge-groups" : "quovent-merge-parts", ids);
    array.push_back("--array=0-" + std::to_string(stage.tasks - 1));
    array.push_back("--output=/dev/null");
    array.push_back("--error=" + merge_errors(run.work_dir));
    array.push_back("--open-mode=append");
    array.push_back(groups ? merge_groups_script(run.work_dir) : merge_parts_script(run.work_dir));
    // A group array's script takes its round and its tasks' count.
    if (groups) array.insert(array.end(), {std::to_string(round++), std::to_string(stage.tasks)});
    std::string id = submit(array, outcome);
    if (id.empty()) return outcome;
    ids.push_back(id);
  }
  return outcome;
}

// Submits the array jobs of the shards not yet counted (a resumed run whose shards were all
// counted has only its merge left), the merge's array after them when the layout has one and
// the merge job after all, their ids into `ids`. Returns kCounted once all are queued;
// otherwise what sbatch said, the jobs then cancelled.
RunOutcome submit_jobs(const ShardRun &run, const TaskLayout &layout,
                       std::vector<std::string> &ids) {
  RunOutcome outcome = submit_arrays(run, layout, ids);
  if (outcome.end == RunOutcome::End::kCounted) outcome = submit_merge_stages(run, layout, ids);
  std::string merge_id;
  if (outcome.end == RunOutcome::End::kCounted) {
    std::vector<std::string> merge = merge_command(run, "quovent-merge", ids);
    merge.push_back("--output=" + merge_log(run.work_dir));
    merge.push_back("--error=" + merge_errors(run.work_dir));
    merge.push_back(merge_script(run.work_dir));
    merge_id = submit(merge, outcome);
  }
  if (merge_id.empty()) {
    if (!ids.empty()) {
      std::string not_cancelled = cancel_jobs(ids);
      if (!not_cancelled.empty()) outcome.messages.push_back(not_cancelled);
    }
    return outcome;
  }
  ids.push_back(merge_id);
  return outcome;
}

// The shards counted so far and their bytes, from the results that have appeared. A result
// stays once sealed: `seen` keeps those found, so that each poll looks only for the others.
size_t shards_counted(const ShardRun &run, std::vector<bool> &seen, long long &bytes) {
  size_t counted = 0;
  bytes = 0;
  for (size_t k = 0; k < run.shards.size(); ++k) {
    if (!seen[k]) seen[k] = access(run.shard_result(k).c_str(), F_OK) == 0;
    if (seen[k]) {
      ++counted;
      bytes += run.shards[k].bytes;
    }
  }
  return counted;
}

// The merge's progress on the progress line, once every shard is counted: the groups merged of the
// first round not done, whose files appear complete, then the parts merged, of `parts` (found once
// the groups are, -1 before). Nothing once the merge job's mark is down and its files gone.
void show_merge(const ShardRun &run, const TaskLayout &layout, int &parts, Progress &progress) {
  if (access(merged_mark(run.work_dir).c_str(), F_OK) == 0) return;
  size_t rounds = merge_rounds_of(layout);
  for (size_t round = 0; round < rounds; ++round) {
    size_t groups = merge_groups_in_round(run.shards.size(), round);
    int done = 0;
    for (size_t g = 0; g < groups; ++g) {
      if (access(merge_group_file(run.work_dir, round, g).c_str(), F_OK) == 0) ++done;
    }
    if (static_cast<size_t>(done) < groups) {
      progress.merge_update(done, static_cast<int>(groups), "groups");
      return;
    }
  }
  if (parts < 0) {
    parts = merge_parts_of_run(run, static_cast<long long>(merge_parts_of(layout)),
                               static_cast<long long>(rounds));
  }
  int done = 0;
  // A merge in one part has no part file: its end is the merge job's.
  for (int k = 0; parts > 1 && k < parts; ++k) {
    if (access(merge_part_file(run.work_dir, static_cast<size_t>(k)).c_str(), F_OK) == 0) ++done;
  }
  progress.merge_update(done, parts);
}

// The scheduler has not answered for run.scheduler_timeout seconds: nothing tells whether the
// jobs will still run, so they stay for the user to decide.
RunOutcome scheduler_lost(const ShardRun &run, const std::vector<std::string> &ids,
                          const std::string &jobs, const std::string &said) {
  std::string listed;
  for (const std::string &id : ids) listed += " " + id;
  RunOutcome outcome{RunOutcome::End::kSchedulerLost, EX_TEMPFAIL, {}};
  outcome.messages.push_back(
      "squeue has not answered for " + std::to_string(run.scheduler_timeout) +
      " seconds while the jobs " + jobs +
      " had not finished; they are left in the queue: see them with squeue -j " + jobs +
      ", or cancel them with scancel" + listed + "; the work directory " + run.work_dir +
      " is kept: once they have ended, the same command with --resume counts what they did not");
  if (!said.empty()) outcome.messages.push_back("squeue said: " + said);
  return outcome;
}

// Watches the queue until the jobs have left it. Slurm's own waiting (sbatch --wait) answers
// success for a merge job that it cancelled because a shard failed, and looks only every half
// minute: the driver watches the queue itself. Returns kCounted once they have left it, or
// what stopped the watch: a signal (the jobs are then cancelled), or a scheduler that stopped
// answering.
RunOutcome watch_queue(const ShardRun &run, const TaskLayout &layout,
                       const std::vector<std::string> &ids, Progress &progress) {
  sigset_t waited;
  sigemptyset(&waited);
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&waited, signal_number);
  sigset_t old_mask;
  sigprocmask(SIG_BLOCK, &waited, &old_mask);
  std::string jobs;
  for (const std::string &id : ids) jobs += (jobs.empty() ? "" : ",") + id;
  RunOutcome outcome;
  std::string said;
  timespec last_answer = monotonic_now();
  std::vector<bool> seen(run.shards.size(), false);
  int merge_parts = -1;
  for (;;) {
    long long bytes = 0;
    size_t counted = shards_counted(run, seen, bytes);
    progress.update(counted, bytes);
    if (counted == run.shards.size()) show_merge(run, layout, merge_parts, progress);
    // A call gets only the time left of the bound: squeue retries a controller that refuses it
    // for seconds, which would otherwise carry the driver past the bound.
    JobsState state = jobs_state(jobs, run.scheduler_timeout - seconds_since(last_answer), said);
    if (state == JobsState::kFinished) break;
    if (state == JobsState::kActive) last_answer = monotonic_now();
    if (seconds_since(last_answer) >= run.scheduler_timeout) {
      outcome = scheduler_lost(run, ids, jobs, said);
      break;
    }
    timespec wait_at_most{0, kPollNanoseconds};
    int signal_number = sigtimedwait(&waited, nullptr, &wait_at_most);
    if (signal_number > 0) {
      std::string not_cancelled = cancel_jobs(ids);
      outcome = RunOutcome{RunOutcome::End::kFailed,
                           kSignalStatusBase + signal_number,
                           {std::string("Stopped by signal ") + strsignal(signal_number) +
                            "; the jobs are cancelled, no result written"}};
      if (!not_cancelled.empty()) outcome.messages.push_back(not_cancelled);
      break;
    }
  }
  sigprocmask(SIG_SETMASK, &old_mask, nullptr);
  return outcome;
}

// What a job left in its errors file (its beginning, which says what failed first), as one line,
// or `otherwise` when it left nothing.
std::string left_message(const std::string &errors_file, const std::string &otherwise) {
  std::ifstream in(errors_file);
  std::string text(kMaxMessageBytes, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<size_t>(in.gcount()));
  text = plain_message(text);
  return text.empty() ? otherwise : text;
}

// After the jobs left the queue without the merge's mark: every shard without a result, with the
// message its task left, or the merge's.
RunOutcome failures(const ShardRun &run, const TaskLayout &layout) {
  RunOutcome outcome{RunOutcome::End::kFailed, 1, {}};
  size_t failed = 0;
  for (size_t k = 0; k < run.shards.size(); ++k) {
    if (access(run.shard_result(k).c_str(), F_OK) == 0) continue;
    ++failed;
    outcome.messages.push_back("Shard " + std::to_string(k) + " (" + describe_shard(run.shards[k]) +
                               ") failed: " +
                               left_message(shard_errors(run.shard_dir(k)),
                                            "no message: its task was cancelled or never ran"));
  }
  if (failed == 0) {
    // A group or a part that failed stopped the merge job before it began: its words tell why.
    for (size_t round = 0; round < merge_rounds_of(layout); ++round) {
      for (size_t g = 0; g < merge_groups_in_round(run.shards.size(), round); ++g) {
        std::string said = left_message(merge_group_errors(run.work_dir, round, g), "");
        std::string of_round = round > 0 ? " of round " + std::to_string(round + 1) : "";
        if (!said.empty())
          outcome.messages.push_back("Merge group " + std::to_string(g) + of_round +
                                     " failed: " + said);
      }
    }
    for (size_t k = 0; k < merge_parts_of(layout); ++k) {
      std::string said = left_message(merge_part_errors(run.work_dir, k), "");
      if (said.empty()) continue;
      outcome.messages.push_back("Merge part " + std::to_string(k) + " failed: " + said);
    }
    if (outcome.messages.empty()) {
      outcome.messages.push_back("The merge job failed: " +
                                 left_message(merge_errors(run.work_dir), "no message"));
    }
  } else {
    // A task that could not begin (its plan unreadable, say) leaves its shards without a word.
    std::string tasks_said = left_message(slurm_tasks_errors(run.work_dir), "");
    if (!tasks_said.empty()) outcome.messages.push_back("The tasks said: " + tasks_said);
    outcome.messages.push_back(std::to_string(failed) + " of " + std::to_string(run.shards.size()) +
                               " shards failed; no result written");
  }
  return outcome;
}

}  // namespace

RunOutcome run_on_slurm(const ShardRun &run, const TaskLayout &layout, Progress &progress) {
  RunOutcome outcome = write_job_files(run, layout);
  if (outcome.end != RunOutcome::End::kCounted) return outcome;
  std::vector<std::string> ids;
  outcome = submit_jobs(run, layout, ids);
  if (outcome.end != RunOutcome::End::kCounted) return outcome;
  outcome = watch_queue(run, layout, ids, progress);
  if (outcome.end != RunOutcome::End::kCounted) return outcome;
  // The merge job's own mark tells success, and the parts it joined.
  std::ifstream mark(merged_mark(run.work_dir));
  if (!mark) return failures(run, layout);
  int parts = 0;
  if (!(mark >> parts) || parts < 1) parts = 1;
  progress.merge_update(parts, parts);
  return outcome;
}
