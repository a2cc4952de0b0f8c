/* Which reducer a line goes to: the partition hash of its key, the bytes before its first
 * blank, modulo the reducers of the run (num_reducers). It depends on the key alone, so every
 * occurrence of a word meets in one reducer. Internal to the object module Suffle (see
 * LineBytes.h); the public hash_word and extract_word (Suffle.h) belong here too. */
#ifndef QUOVENT_SHUFFLE_PARTITION_H
#define QUOVENT_SHUFFLE_PARTITION_H

#include <cstdint>
#include <string_view>

namespace {

// The partition hash of `text` up to its first `end_of_key` byte, or of all of it: h = 5381,
// then h = h * 33 + c for each byte c. Bytes count as signed 8-bit values, so every byte of a
// non-ASCII letter subtracts; reducers of existing runs depend on it.
constexpr uint32_t partition_hash(std::string_view text, char end_of_key) {
  uint32_t h = 5381;
  for (char c : text) {
    if (c == end_of_key) break;
    h = h * 33 + static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(c)));
  }
  return h;
}

// The reducer, 0 to num_reducers - 1, of `line`, a whole line without its newline.
uint32_t reducer_of_line(std::string_view line);

}  // namespace

#endif
