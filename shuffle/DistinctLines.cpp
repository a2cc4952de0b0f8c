// The distinct lines of each reducer's batch: their copies in the reducer's line pool and the
// table that finds a line among them.
#include "shuffle/DistinctLines.h"

// Per reducer, room for BATCH_LINES lines of LINE_SLOT bytes; the distinct lines of the
// current batch are packed one after another, each zero-terminated, so that a short line
// touches only its own bytes and a repeated one none. 1 GiB of address space, of which only the
// bytes used are ever touched.
static char line_pool[MAX_REDUCERS][size_t{BATCH_LINES} * LINE_SLOT];

namespace suffle_internal {

DistinctTable distinct_tables[MAX_REDUCERS];
uint64_t distinct_slots[MAX_REDUCERS][kMaxDistinctSlots];
DistinctLine distinct_lines[MAX_REDUCERS][BATCH_LINES];
char *pool_end[MAX_REDUCERS];

void clear_distinct_lines(uint32_t r) {
  pool_end[r] = line_pool[r];
  DistinctTable &table = distinct_tables[r];
  if (table.slot_count == 0) table.slot_count = kMinDistinctSlots;
  memset(distinct_slots[r], 0, sizeof(uint64_t) * table.slot_count);
  table.line_count = 0;
}

void grow_distinct_table(uint32_t r) {
  DistinctTable &table = distinct_tables[r];
  table.slot_count *= 2;
  memset(distinct_slots[r], 0, sizeof(uint64_t) * table.slot_count);
  for (uint32_t d = 0; d < table.line_count; ++d) {
    const DistinctLine &line = distinct_lines[r][d];
    place_distinct_line(r, line_hash(line.text, line.length), d);
  }
}

std::span<const DistinctLine> batch_distinct_lines(uint32_t r) {
  return {distinct_lines[r], distinct_tables[r].line_count};
}

}  // namespace suffle_internal
