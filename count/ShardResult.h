/* A shard's result as the run keeps it: durable, and with a check of its own, so that a result
 * that a crash or a full disk left torn is counted again rather than trusted. */
#ifndef QUOVENT_COUNT_SHARDRESULT_H
#define QUOVENT_COUNT_SHARDRESULT_H

#include <string>

/* Makes the complete result `partial` in shard_dir the shard's result: writes its check, then
 * flushes it and renames it onto the shard's result (shard_result), every step flushed to disk.
 * Stops through Error, naming the file. */
void seal_shard_result(const std::string &shard_dir, const char *partial);

/* Whether shard_dir holds a sealed result whose length and checksum are still the ones its check
 * gives. */
bool shard_result_intact(const std::string &shard_dir);

#endif
