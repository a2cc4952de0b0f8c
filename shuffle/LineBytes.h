/* A line's bytes read as numbers, for the shuffle's look-up tables: the look-up hash and the
 * head that settles most look-ups. Internal to the object module Suffle: every name in
 * suffle_internal is local to lib/Suffle.o (see shuffle/CMakeLists.txt). */
#ifndef QUOVENT_SHUFFLE_LINEBYTES_H
#define QUOVENT_SHUFFLE_LINEBYTES_H

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace suffle_internal {

// `count` (at most 8) bytes at text as one number.
inline uint64_t load_bytes(const char *text, size_t count) {
  uint64_t value = 0;
  memcpy(&value, text, count);
  return value;
}

// Hash of a line's bytes for the look-up tables of the shuffle (the key cache, the distinct
// lines); not the partition hash, which must stay as it is.
uint32_t line_hash(const char *text, size_t length);

// The first eight bytes of the `length` bytes at text (all of them when fewer, zeros after) as
// one number; no byte past the line is read. Inline: every line filed needs it.
inline uint64_t head_bytes(const char *text, size_t length) {
  if (length >= sizeof(uint64_t)) return load_bytes(text, sizeof(uint64_t));
  if (length >= 4) {
    // Two overlapping halves; the bytes they share are the same bytes.
    return load_bytes(text, 4) | load_bytes(text + length - 4, 4) << (CHAR_BIT * (length - 4));
  }
  uint64_t head = 0;
  for (size_t k = 0; k < length; ++k) {
    head |= uint64_t{static_cast<unsigned char>(text[k])} << (CHAR_BIT * k);
  }
  return head;
}

}  // namespace suffle_internal

#endif
