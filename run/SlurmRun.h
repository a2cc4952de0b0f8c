/* Counting the shards of a run as the tasks of one Slurm array job, and merging their results
 * in a job that runs once every task has ended well: the whole protocol between the driver and
 * its jobs, which run this program again on whichever node Slurm picks: the options that make
 * it a job, the job scripts, and the files the jobs leave in the work directory, which must be
 * on a file system that every node sees. */
#ifndef QUOVENT_RUN_SLURMRUN_H
#define QUOVENT_RUN_SLURMRUN_H

#include "run/Console.h"
#include "run/ShardRun.h"

/* Options of this program that make it a job of a Slurm run rather than its driver: a task
 * counting the shard its array index names, and the merge. */
inline constexpr char kRunShardOption[] = "run-shard";
inline constexpr char kMergeShardsOption[] = "merge-shards";

/* Writes the job scripts, submits the array job of the shards not yet counted (at most run.jobs
 * tasks at once when -j was given; otherwise Slurm places them all) and the merge job, passing
 * run.sbatch_options to both, and waits for them, following tasks that Slurm queues again when
 * their node is lost. Returns once the merge job has written run.output_file, or with what
 * failed: the scripts, sbatch, the shards and their own messages, the merge's, a signal (the
 * jobs are then cancelled), or a scheduler that stopped answering for run.scheduler_timeout
 * seconds (the jobs are then left queued). Never ends the process. The plan must be written
 * first. */
RunOutcome run_on_slurm(const ShardRun &run, Progress &progress);

/* What a job of the run does, its plan read from run.work_dir: count the shard `shard`, or
 * check and merge every shard's result into run.output_file and leave the mark. The process is
 * the job: failures stop it through Error or Fail, their message in the job's errors file. */
void run_slurm_job(ShardRun &run, long long shard, bool merge);

#endif
