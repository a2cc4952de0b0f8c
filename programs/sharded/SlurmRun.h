/* Counting the shards of a run as the tasks of one Slurm array job, and merging their results
 * in a job that runs once every task has ended well. The work directory must be on a file
 * system that every node sees. */
#ifndef QUOVENT_PROGRAMS_SHARDED_SLURMRUN_H
#define QUOVENT_PROGRAMS_SHARDED_SLURMRUN_H

#include "programs/sharded/Console.h"
#include "programs/sharded/ShardRun.h"

/* Options of this program that make it a job of a Slurm run rather than its driver. */
inline constexpr char kRunShardOption[] = "run-shard";
inline constexpr char kMergeShardsOption[] = "merge-shards";

/* Submits the array job (at most run.jobs tasks at once) and the merge job, passing
 * run.sbatch_options to both, waits for them and returns once the merge job has written
 * run.output_file. When a task or the merge fails or is cancelled, reports which shards failed
 * and why (their own messages, kept in their directories), removes the work files (unless -k)
 * and ends the process with a non-zero status. The plan must be written first. */
void run_on_slurm(const ShardRun &run, Progress &progress);

#endif
