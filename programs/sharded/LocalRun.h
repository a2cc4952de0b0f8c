/* Counting the shards of a run on this machine: one single-threaded child process per shard,
 * at most run.jobs at a time. */
#ifndef QUOVENT_PROGRAMS_SHARDED_LOCALRUN_H
#define QUOVENT_PROGRAMS_SHARDED_LOCALRUN_H

#include "programs/sharded/Console.h"
#include "programs/sharded/Inputs.h"
#include "programs/sharded/ShardRun.h"

/* Counts every shard of the run into its result file and returns when all are counted. The
 * inputs `fed` (streams, large compressed files) are read meanwhile by a child of their own and
 * cut into chunks of about chunk_size bytes, each appended to run.shards as a shard and removed
 * once counted. When a shard or the reading fails, or the driver is interrupted, stops the
 * children still running, reports the failed shard (its pieces and its own message) or input,
 * removes the run's work files (unless -k) and ends the process with a non-zero status: the
 * child's own, or 128 + the signal. Call setlocale first: the shards inherit the locale. */
void count_shards_locally(ShardRun &run, const std::vector<Input> &fed, long long chunk_size,
                          Progress &progress);

#endif
