/* How the shuffle reads map and batch files as lines, one rule set for both: only 0x0A ends a
 * line; a line is cut to its first MAX_LINE_BYTES bytes and its text ends at a zero byte
 * among them; an unterminated last line is dropped, since it is not a whole line. The public
 * readers apply it beside their callers: read_line_map in the stage (SuffleStage.cpp),
 * read_line_batch in the merge (BatchMerge.cpp). Internal to the object module Suffle: every
 * name in suffle_internal is local to lib/Suffle.o (see shuffle/CMakeLists.txt). */
#ifndef QUOVENT_SHUFFLE_LINEREADING_H
#define QUOVENT_SHUFFLE_LINEREADING_H

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstring>
#include <string_view>

#include "shuffle/LineBytes.h"
#include "shuffle/Suffle.h"

namespace suffle_internal {

enum class LineRead { kLine, kEnd, kFailed };

// Lines up to this many bytes, newline included, are looked for eight bytes a step; map lines
// are words with " 1", and most are far shorter.
constexpr int kShortLineBytes = 64;
static_assert(kShortLineBytes % sizeof(uint64_t) == 0 && kShortLineBytes <= MAX_LINE_BYTES);
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__);

// The length of the line at `start` when its newline lies before `end`, within kShortLineBytes,
// with no zero byte before it; otherwise -1, and the general path takes the line.
inline int short_line_length(const char *start, const char *end) {
  constexpr uint64_t kOnes = 0x0101010101010101u;
  constexpr uint64_t kHighBits = kOnes << (CHAR_BIT - 1);
  constexpr uint64_t kNewlines = kOnes * '\n';
  for (int k = 0; k < kShortLineBytes; k += sizeof(uint64_t)) {
    if (end - (start + k) < static_cast<ptrdiff_t>(sizeof(uint64_t))) return -1;
    uint64_t bytes = load_bytes(start + k, sizeof(uint64_t));
    uint64_t not_newline = bytes ^ kNewlines;
    // High bit of each byte that is zero or a newline; exact up to the first such byte, which
    // is all that is used (the loads are little-endian).
    uint64_t found =
        ((not_newline - kOnes) & ~not_newline & kHighBits) | ((bytes - kOnes) & ~bytes & kHighBits);
    if (found != 0) {
      int at = k + __builtin_ctzll(found) / CHAR_BIT;
      return start[at] == '\n' ? at : -1;
    }
  }
  return -1;
}

// Takes the next line from the read block, whose valid bytes are buf[pos, end), when its
// newline lies there: sets `line` to the line's text as the rules keep it (a view into buf,
// valid until the block is refilled), moves pos past the newline and returns true. Returns
// false, with nothing taken, when no newline is left in the block. Reads no byte at or past
// end. Inline: it is the per-line path of the stage and of the merge.
inline bool take_line_in_block(const char *buf, int &pos, int end, std::string_view &line) {
  if (pos >= end) return false;
  const char *start = buf + pos;
  int short_length = short_line_length(start, buf + end);
  if (short_length >= 0) {
    line = std::string_view(start, static_cast<size_t>(short_length));
    pos += short_length + 1;
    return true;
  }
  size_t available = static_cast<size_t>(end - pos);
  const char *newline = static_cast<const char *>(memchr(start, '\n', available));
  if (newline == nullptr) return false;
  size_t span = static_cast<size_t>(newline - start);
  size_t kept = std::min(span, size_t{MAX_LINE_BYTES});
  const char *zero = static_cast<const char *>(memchr(start, '\0', kept));
  line = std::string_view(start, zero != nullptr ? static_cast<size_t>(zero - start) : kept);
  pos += static_cast<int>(span) + 1;
  return true;
}

// Reads the next line of the file fd through its read block buf (SUFFLE_BLOCK_SIZE bytes,
// valid bytes [pos, end)), refilling the block as needed, and stores its text zero-terminated
// in `line` (LINE_SLOT bytes): kLine. kEnd at the end of the file, `line` then empty. kFailed
// when a read fails, which each caller reports in its own words.
LineRead next_line(int fd, char *buf, int &pos, int &end, char *line);

}  // namespace suffle_internal

#endif
