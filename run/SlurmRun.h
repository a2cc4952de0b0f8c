/* Counting the shards of a run as the tasks of Slurm array jobs, and merging their results in a
 * job that runs once every task has ended well: the whole protocol between the driver and its
 * jobs, which run this program again on whichever node Slurm picks: the options that make it a
 * job, the job scripts, and the files the jobs leave in the work directory, which must be on a
 * file system that every node sees. How many tasks and arrays, within the site's limits, is
 * SlurmTasks.h's to say. */
#ifndef QUOVENT_RUN_SLURMRUN_H
#define QUOVENT_RUN_SLURMRUN_H

#include "run/Console.h"
#include "run/ShardRun.h"
#include "run/SlurmTasks.h"

/* Options of this program that make it a job of a Slurm run rather than its driver: task
 * number n, which counts the shards the tasks file gives it, the merge, task k of the merge's
 * parts array, and the tasks of that array (merge_parts_of), which the last two are given; task k
 * of a group array and the tasks of that array; and the rounds of groups before the job, which
 * every job of the merge is given: its inputs are the last round's intermediate results. */
inline constexpr char kRunTaskOption[] = "run-task";
inline constexpr char kMergeShardsOption[] = "merge-shards";
inline constexpr char kMergePartOption[] = "merge-part";
inline constexpr char kMergePartsOption[] = "merge-parts";
inline constexpr char kMergeGroupOption[] = "merge-group";
inline constexpr char kMergeGroupTasksOption[] = "merge-group-tasks";
inline constexpr char kMergeRoundsOption[] = "merge-rounds";

/* Which job of a Slurm run this process is, from those options. */
struct SlurmJobRole {
  long long shards_task = -1;       // a task of the shards' arrays: its number
  long long merge_part = -1;        // a task of the merge's parts array: its number
  long long merge_group = -1;       // a task of a group array: its number
  bool merge = false;               // the merge job
  long long merge_parts = 1;        // the tasks of the parts array; 1: there is none
  long long merge_group_tasks = 1;  // the tasks of the group array
  long long merge_rounds = 0;       // the rounds of groups before this job's
  bool is_job() const { return shards_task >= 0 || merge_part >= 0 || merge_group >= 0 || merge; }
};

/* Writes the job scripts and the tasks file, submits the array jobs of `layout` for the shards
 * not yet counted, the merge's array when the layout has one, and the merge job, passing
 * run.sbatch_options to all, and waits for them, following tasks that Slurm queues again when their
 * node is lost. Returns once the merge job has written run.output_file, or with what failed: the
 * scripts, sbatch, the shards and their own messages, the merge's, a signal (the jobs are then
 * cancelled), or a scheduler that stopped answering for run.scheduler_timeout seconds (the jobs are
 * then left queued). Never ends the process. The plan must be written first. */
RunOutcome run_on_slurm(const ShardRun &run, const TaskLayout &layout, Progress &progress);

/* What a job of the run does, its plan read from run.work_dir: count the shards of its task in
 * turn, each in a child whose messages go to the shard's errors file; or, as a task of a group
 * array, merge its groups of the round's inputs in turn into their intermediate results, its
 * messages in each group's errors file; or, as a task of the parts array, merge its part of the
 * last inputs (nothing when the merge has fewer parts) into its part file, its messages in the
 * part's errors file; or, as the merge job, check every shard's result and merge the last inputs
 * into run.output_file (one part), or join the parts into it, then leave the mark (which holds the
 * parts' count) and remove the parts and the intermediate results. Returns the job's exit status:
 * a task's is not 0 when one of its shards failed. The process is the job: failures outside a
 * shard stop it through Error or Fail, their message in the job's errors file. */
int run_slurm_job(ShardRun &run, const SlurmJobRole &role);

/* The parts the merge of run's last inputs (after `merge_rounds` rounds of groups) is cut into
 * when its parts array has `merge_parts` tasks: the driver and every job of the run find the same
 * from those files, while they are there. */
int merge_parts_of_run(const ShardRun &run, long long merge_parts, long long merge_rounds);

#endif
