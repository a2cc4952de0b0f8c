/* Counting the shards of a run on this machine: one single-threaded child process per shard,
 * at most run.jobs at a time. */
#ifndef QUOVENT_RUN_LOCALRUN_H
#define QUOVENT_RUN_LOCALRUN_H

#include "input/Inputs.h"
#include "run/Console.h"
#include "run/ShardRun.h"

/* Counts every shard of the run not yet counted into its result file and returns when all are
 * counted. The inputs `fed` (streams, large compressed files) are read meanwhile by a child of
 * their own and cut into chunks of about chunk_size bytes, each appended to run.shards as a
 * shard and removed once counted. When a shard or the reading fails, or the driver is
 * interrupted, stops the children still running and returns what failed (the shard, its pieces
 * and its own message, or the input) with the status to end with: the child's own, or 128 +
 * the signal. Call setlocale first: the shards inherit the locale. */
RunOutcome count_shards_locally(ShardRun &run, const std::vector<Input> &fed, long long chunk_size,
                                Progress &progress);

#endif
