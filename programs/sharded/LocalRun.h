/* Counting the shards of a run on this machine: one single-threaded child process per shard,
 * at most run.jobs at a time. */
#ifndef QUOVENT_PROGRAMS_SHARDED_LOCALRUN_H
#define QUOVENT_PROGRAMS_SHARDED_LOCALRUN_H

#include "programs/sharded/Console.h"
#include "programs/sharded/ShardRun.h"

/* Counts every shard of the run into its result file and returns when all are counted. When a
 * shard fails, or the driver is interrupted, stops the shards still running, reports the
 * failed shard (its pieces and its own message), removes the run's work files (unless -k) and
 * ends the process with a non-zero status: the shard's own, or 128 + the signal. Call
 * setlocale first: the shards inherit the locale. */
void count_shards_locally(const ShardRun &run, Progress &progress);

#endif
