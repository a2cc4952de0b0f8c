// The distinct lines of each reducer's batch: their copies in the reducer's line pool and the
// table that finds a line among them.
#include "shuffle/DistinctLines.h"

#include <cstddef>
#include <cstring>

#include "shuffle/LineBytes.h"
#include "shuffle/Suffle.h"

// Per reducer, room for BATCH_LINES lines of LINE_SLOT bytes; the distinct lines of the
// current batch are packed one after another, each zero-terminated, so that a short line
// touches only its own bytes and a repeated one none. 1 GiB of address space, of which only the
// bytes used are ever touched.
static char line_pool[MAX_REDUCERS][size_t{BATCH_LINES} * LINE_SLOT];

// Per reducer, where the next line goes in its pool; each batch starts again at the beginning
// of the pool (clear_distinct_lines).
static char *pool_end[MAX_REDUCERS];

namespace {

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
DistinctTable distinct_tables[MAX_REDUCERS];
uint64_t distinct_slots[MAX_REDUCERS][kMaxDistinctSlots];
DistinctLine distinct_lines[MAX_REDUCERS][BATCH_LINES];

// Whether the distinct line holds the `length` bytes at text, whose head_bytes are `head`.
bool holds_line(const DistinctLine &line, const char *text, uint32_t length, uint64_t head) {
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

void clear_distinct_lines(uint32_t r) {
  pool_end[r] = line_pool[r];
  DistinctTable &table = distinct_tables[r];
  if (table.slot_count == 0) table.slot_count = kMinDistinctSlots;
  memset(distinct_slots[r], 0, sizeof(uint64_t) * table.slot_count);
  table.line_count = 0;
}

void prefetch_distinct_slot(uint32_t r, uint32_t hash) {
  const uint32_t slot_count = distinct_tables[r].slot_count;
  if (slot_count != 0) __builtin_prefetch(&distinct_slots[r][hash & (slot_count - 1)]);
}

// Puts line `index` of reducer r's table in a free slot found from its hash.
void place_distinct_line(uint32_t r, uint32_t hash, uint32_t index) {
  const uint32_t mask = distinct_tables[r].slot_count - 1;
  uint64_t *slots = distinct_slots[r];
  uint32_t s = hash & mask;
  while (slots[s] != 0) s = (s + 1) & mask;
  slots[s] = uint64_t{hash} << 32 | (index + 1);
}

// Doubles reducer r's slots and places its lines again.
void grow_distinct_table(uint32_t r) {
  DistinctTable &table = distinct_tables[r];
  table.slot_count *= 2;
  memset(distinct_slots[r], 0, sizeof(uint64_t) * table.slot_count);
  for (uint32_t d = 0; d < table.line_count; ++d) {
    const DistinctLine &line = distinct_lines[r][d];
    place_distinct_line(r, line_hash(line.text, line.length), d);
  }
}

const char *intern_line(uint32_t r, const char *text, uint32_t length, uint32_t hash,
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

std::span<const DistinctLine> batch_distinct_lines(uint32_t r) {
  return {distinct_lines[r], distinct_tables[r].line_count};
}

}  // namespace
