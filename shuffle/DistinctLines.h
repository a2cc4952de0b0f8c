/* The distinct lines of each reducer's current batch, with how often each came: word data
 * repeats heavily, so a batch is held and sorted as its distinct lines, each written as often
 * as it came. Identical lines are indistinguishable in the file, so this is the sorted batch.
 * The look-up of a line is inline: every line filed makes one. Internal to the object module
 * Suffle: every name in suffle_internal is local to lib/Suffle.o (see shuffle/CMakeLists.txt). */
#ifndef QUOVENT_SHUFFLE_DISTINCTLINES_H
#define QUOVENT_SHUFFLE_DISTINCTLINES_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "shuffle/LineBytes.h"
#include "shuffle/Suffle.h"

namespace suffle_internal {

struct DistinctLine {
  const char *text;  // the one copy in the reducer's line pool, zero-terminated
  uint64_t head;     // head_bytes of the line, which decides most look-ups without the text
  uint32_t length;
  uint32_t count;
};

// Per reducer, an open-addressing table of its distinct lines, filled as lines are filed. A
// slot holds the line's hash in its high half and its index + 1 in the low half; 0 is free.
// The table starts small and doubles at half full, so that a batch of few distinct lines keeps
// its slots in the cache; it keeps its size from batch to batch.
constexpr uint32_t kMinDistinctSlots = 1 << 13;
constexpr uint32_t kMaxDistinctSlots = 2 * BATCH_LINES;
static_assert((kMinDistinctSlots & (kMinDistinctSlots - 1)) == 0);
static_assert((kMaxDistinctSlots & (kMaxDistinctSlots - 1)) == 0);

struct DistinctTable {
  uint32_t slot_count;  // a power of two from kMinDistinctSlots on; 0 before first use
  uint32_t line_count;  // distinct lines of the batch
};
extern DistinctTable distinct_tables[MAX_REDUCERS];
extern uint64_t distinct_slots[MAX_REDUCERS][kMaxDistinctSlots];
extern DistinctLine distinct_lines[MAX_REDUCERS][BATCH_LINES];

// Per reducer, where the next line goes in its line pool; each batch starts again at the
// beginning of the pool (clear_distinct_lines).
extern char *pool_end[MAX_REDUCERS];

// Empties reducer r's table and line pool for a new batch.
void clear_distinct_lines(uint32_t r);

// Doubles reducer r's slots and places its lines again.
void grow_distinct_table(uint32_t r);

// The distinct lines of reducer r's batch, in the order they first came.
std::span<const DistinctLine> batch_distinct_lines(uint32_t r);

// Starts fetching the slot of reducer r's table at which the look-up of a line of line_hash
// `hash` begins: most of a batch's slots are not in the cache.
inline void prefetch_distinct_slot(uint32_t r, uint32_t hash) {
  const uint32_t slot_count = distinct_tables[r].slot_count;
  if (slot_count != 0) __builtin_prefetch(&distinct_slots[r][hash & (slot_count - 1)]);
}

// Whether the distinct line holds the `length` bytes at text, whose head_bytes are `head`.
inline bool holds_line(const DistinctLine &line, const char *text, uint32_t length, uint64_t head) {
  if (line.length != length || line.head != head) return false;
  if (length <= sizeof(uint64_t)) return true;
  if (length <= 2 * sizeof(uint64_t)) {
    size_t last = length - sizeof(uint64_t);
    return load_bytes(line.text + last, sizeof(uint64_t)) ==
           load_bytes(text + last, sizeof(uint64_t));
  }
  return memcmp(line.text + sizeof(uint64_t), text + sizeof(uint64_t), length - sizeof(uint64_t)) ==
         0;
}

// Puts line `index` of reducer r's table in a free slot found from its hash.
inline void place_distinct_line(uint32_t r, uint32_t hash, uint32_t index) {
  const uint32_t mask = distinct_tables[r].slot_count - 1;
  uint64_t *slots = distinct_slots[r];
  uint32_t s = hash & mask;
  while (slots[s] != 0) s = (s + 1) & mask;
  slots[s] = uint64_t{hash} << 32 | (index + 1);
}

// The copy of the `length` bytes at text in reducer r's pool, made there when the line is new
// to the batch; either way the line is counted once more. `hash` and `head` are the line's
// line_hash and head_bytes. The copies never move while the batch lasts.
inline const char *intern_line(uint32_t r, const char *text, uint32_t length, uint32_t hash,
                               uint64_t head) {
  DistinctTable &table = distinct_tables[r];
  const uint32_t mask = table.slot_count - 1;
  uint64_t *slots = distinct_slots[r];
  const uint64_t tag = uint64_t{hash} << 32;
  for (uint32_t s = hash & mask; slots[s] != 0; s = (s + 1) & mask) {
    if ((slots[s] & ~uint64_t{UINT32_MAX}) != tag) continue;
    DistinctLine &line = distinct_lines[r][static_cast<uint32_t>(slots[s]) - 1];
    if (holds_line(line, text, length, head)) {
      line.count++;
      return line.text;
    }
  }
  char *copy = pool_end[r];
  memcpy(copy, text, length);
  copy[length] = '\0';
  pool_end[r] = copy + length + 1;
  uint32_t index = table.line_count++;
  distinct_lines[r][index] = DistinctLine{copy, head, length, 1};
  if (2 * table.line_count > table.slot_count && table.slot_count < kMaxDistinctSlots) {
    grow_distinct_table(r);
  } else {
    place_distinct_line(r, hash, index);
  }
  return copy;
}

}  // namespace suffle_internal

#endif
