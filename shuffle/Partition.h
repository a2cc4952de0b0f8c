/* Which reducer a line goes to: the partition hash (common/PartitionHash.h) of its key, the
 * bytes before its first blank, modulo the reducers of the run (num_reducers). It depends on the
 * key alone, so every occurrence of a word meets in one reducer. Inline: every line filed asks
 * it. Internal to the object module Suffle: every name in suffle_internal is local to
 * lib/Suffle.o (see shuffle/CMakeLists.txt). The public hash_word and extract_word (Suffle.h)
 * belong here too. */
#ifndef QUOVENT_SHUFFLE_PARTITION_H
#define QUOVENT_SHUFFLE_PARTITION_H

#include <cstdint>
#include <string_view>

#include "common/PartitionHash.h"
#include "shuffle/Suffle.h"

namespace suffle_internal {

// The key of a map line ends at its first blank; a tab belongs to it.
constexpr uint32_t key_hash(std::string_view line) { return partition_hash(line, ' '); }

// The divisor remainder_by_reducers was last asked for (0 before the first time), and its
// magic number: 2^64 / divisor rounded up.
extern uint32_t reducer_divisor;
extern uint64_t reducer_magic;

// h % num_reducers, without a division for every line: with m = 2^64 / d rounded up, the
// remainder is the high half of (m * h mod 2^64) * d, exact for every 32-bit h and d.
inline uint32_t remainder_by_reducers(uint32_t h) {
  const uint32_t d = static_cast<uint32_t>(num_reducers);
  if (d != reducer_divisor) {
    reducer_divisor = d;
    reducer_magic = UINT64_MAX / d + 1;
  }
  return static_cast<uint32_t>((static_cast<unsigned __int128>(reducer_magic * h) * d) >> 64);
}

// The reducer, 0 to num_reducers - 1, of `line`, a whole line without its newline.
inline uint32_t reducer_of_line(std::string_view line) {
  // With one reducer there is nothing to choose.
  if (num_reducers <= 1) return 0;
  return remainder_by_reducers(key_hash(line));
}

}  // namespace suffle_internal

#endif
