/* A shard's result as the run keeps it: durable, and with a check of its own, so that a result
 * that a crash or a full disk left torn is counted again rather than trusted. */
#ifndef QUOVENT_PROGRAMS_SHARDED_SHARDRESULT_H
#define QUOVENT_PROGRAMS_SHARDED_SHARDRESULT_H

#include <string>

/* The file in a shard's directory that holds its result once it is complete; it appears by a
 * rename, after its check, so its presence says that the shard was counted. */
inline constexpr char kShardResultFile[] = "result.txt";

/* Beside the result: its length and checksum, "bytes <n> sum <16 hex digits>\n". */
inline constexpr char kShardCheckFile[] = "result.check";

/* Makes the complete result `partial` in shard_dir the shard's result: writes its check, then
 * flushes it and renames it onto kShardResultFile, every step flushed to disk. Stops through
 * Error, naming the file. */
void seal_shard_result(const std::string &shard_dir, const char *partial);

/* Whether shard_dir holds a sealed result whose length and checksum are still the ones its check
 * gives. */
bool shard_result_intact(const std::string &shard_dir);

#endif
