/* Counting one shard: the words of its pieces combined on the map side (CombiningCount), in a
 * directory of the shard's own. */
#ifndef QUOVENT_COUNT_SHARDCOUNT_H
#define QUOVENT_COUNT_SHARDCOUNT_H

#include <string>

#include "count/ShardResult.h"
#include "input/ShardPlan.h"
#include "map/UnicodeWords.h"
#include "reduce/WordOrder.h"

/* Counts the shard in shard_dir, which must exist: changes into it, counts the words of its
 * pieces under the word rule `words`, writes its result in the form `form` and seals it
 * (seal_shard_result); the sorted runs of a shard whose words outgrew one table are removed
 * unless keep_work_files. Call setlocale first.
 * Every failure stops the process through Error, naming the file. */
void count_shard(const Shard &shard, int nreducers, WordRule words, ResultForm form,
                 const std::string &shard_dir, bool keep_work_files);

/* Points standard output at the shard's log in shard_dir (keep_log) or at /dev/null. Standard
 * error stays what the caller made it: the driver's pipe in a local run, the shard's errors file
 * under Slurm. False with errno set on failure. */
bool redirect_shard_log(const std::string &shard_dir, bool keep_log);

/* Removes the files a shard wrote in shard_dir, then shard_dir itself when it is left empty.
 * Removes only names this program creates there. With keep_result, the result and its check
 * stay. */
void remove_shard_directory(const std::string &shard_dir, bool keep_result = false);

#endif
