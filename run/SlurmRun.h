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
 * number n, which counts the shards the tasks file gives it, and the merge. */
inline constexpr char kRunTaskOption[] = "run-task";
inline constexpr char kMergeShardsOption[] = "merge-shards";

/* Writes the job scripts and the tasks file, submits the array jobs of `layout` for the shards
 * not yet counted and the merge job, passing run.sbatch_options to all, and waits for them,
 * following tasks that Slurm queues again when their node is lost. Returns once the merge job
 * has written run.output_file, or with what failed: the scripts, sbatch, the shards and their
 * own messages, the merge's, a signal (the jobs are then cancelled), or a scheduler that stopped
 * answering for run.scheduler_timeout seconds (the jobs are then left queued). Never ends the
 * process. The plan must be written first. */
RunOutcome run_on_slurm(const ShardRun &run, const TaskLayout &layout, Progress &progress);

/* What a job of the run does, its plan read from run.work_dir: count the shards of task `task`
 * in turn, each in a child whose messages go to the shard's errors file, or check and merge
 * every shard's result into run.output_file and leave the mark. Returns the job's exit status:
 * a task's is not 0 when one of its shards failed. The process is the job: failures outside a
 * shard stop it through Error or Fail, their message in the job's errors file. */
int run_slurm_job(ShardRun &run, long long task, bool merge);

#endif
