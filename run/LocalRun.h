/* Counting the shards of a run on this machine: one single-threaded child process per shard,
 * at most run.jobs at a time, each one's messages brought back through a pipe; then merging
 * their results. */
#ifndef QUOVENT_RUN_LOCALRUN_H
#define QUOVENT_RUN_LOCALRUN_H

#include "input/Inputs.h"
#include "run/Console.h"
#include "run/ShardRun.h"

/* The driver holds a descriptor for every shard it counts at once, and the merges read up to
 * MERGE_FAN_IN files at once: raises the limit of open descriptors, which the shards inherit, as
 * far as the hard limit allows, to hold the more of the two. Returns jobs, or the fewer that
 * the hard limit leaves room for (at least 1). */
int jobs_within_descriptor_limit(int jobs);

/* Counts every shard of the run not yet counted into its result file and returns when all are
 * counted. The inputs `fed` (streams, large compressed files) are read meanwhile by a child of
 * their own and cut into chunks of about chunk_size bytes, each appended to run.shards as a
 * shard and removed once counted. When a shard or the reading fails, a call of the driver fails,
 * or the driver is interrupted, stops the children still running and returns what failed (the
 * shard, its pieces and its own message, or the input) with the status to end with: the child's
 * own, the error number of the driver's call, or kSignalStatusBase + the signal. Call setlocale
 * first: the shards inherit the locale. */
RunOutcome count_shards_locally(ShardRun &run, const std::vector<Input> &fed, long long chunk_size,
                                Progress &progress);

/* Merges the counted shards' results into run.output_file (merge_shard_results) in a child
 * process, cut into parts merged by up to run.jobs processes, and shows its parts on the progress
 * line as they end. Returns kCounted, or the merge's failure: its own message and status. */
RunOutcome merge_locally(const ShardRun &run, Progress &progress);

#endif
