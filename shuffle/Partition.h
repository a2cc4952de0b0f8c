/* Which reducer a line goes to: the partition hash (common/PartitionHash.h) of its key, the
 * bytes before its first blank, modulo the reducers of the run (num_reducers). It depends on the
 * key alone, so every occurrence of a word meets in one reducer. Internal to the object module
 * Suffle (see LineBytes.h); the public hash_word and extract_word (Suffle.h) belong here too. */
#ifndef QUOVENT_SHUFFLE_PARTITION_H
#define QUOVENT_SHUFFLE_PARTITION_H

#include <cstdint>
#include <string_view>

#include "common/PartitionHash.h"

namespace {

// The reducer, 0 to num_reducers - 1, of `line`, a whole line without its newline.
uint32_t reducer_of_line(std::string_view line);

}  // namespace

#endif
