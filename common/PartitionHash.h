/* Which reducer a word belongs to: the partition hash of its bytes, modulo the reducers of the
 * run. The shuffle partitions tuple lines by it, and every result file keeps its sections in
 * that partition; one rule, so that merged results and shard counts agree with the shuffle. */
#ifndef QUOVENT_COMMON_PARTITIONHASH_H
#define QUOVENT_COMMON_PARTITIONHASH_H

#include <cstdint>
#include <string_view>

/* The partition hash of `text` up to its first `end_of_key` byte, or of all of it: h = 5381,
 * then h = h * 33 + c for each byte c. Bytes count as signed 8-bit values, so every byte of a
 * non-ASCII letter subtracts; the sections of existing results depend on it. */
constexpr uint32_t partition_hash(std::string_view text, char end_of_key = '\0') {
  uint32_t h = 5381;
  for (char c : text) {
    if (c == end_of_key) break;
    h = h * 33 + static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(c)));
  }
  return h;
}

static_assert(partition_hash("") == 5381 && partition_hash("a") == 177670);
static_assert(partition_hash("\xC3\xA9") == 5857809);

#endif
