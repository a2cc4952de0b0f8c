/* The distinct lines of each reducer's current batch, with how often each came: word data
 * repeats heavily, so a batch is held and sorted as its distinct lines, each written as often
 * as it came. Identical lines are indistinguishable in the file, so this is the sorted batch.
 * Internal to the object module Suffle (see Suffle.cpp). */
#ifndef QUOVENT_SHUFFLE_DISTINCTLINES_H
#define QUOVENT_SHUFFLE_DISTINCTLINES_H

#include <cstdint>
#include <span>

namespace {

struct DistinctLine {
  const char *text;  // the one copy in the reducer's line pool, zero-terminated
  uint64_t head;     // head_bytes of the line, which decides most look-ups without the text
  uint32_t length;
  uint32_t count;
};

// Empties reducer r's table and line pool for a new batch.
void clear_distinct_lines(uint32_t r);

// Starts fetching the slot of reducer r's table at which the look-up of a line of line_hash
// `hash` begins: most of a batch's slots are not in the cache.
void prefetch_distinct_slot(uint32_t r, uint32_t hash);

// The copy of the `length` bytes at text in reducer r's pool, made there when the line is new
// to the batch; either way the line is counted once more. `hash` and `head` are the line's
// line_hash and head_bytes. The copies never move while the batch lasts.
const char *intern_line(uint32_t r, const char *text, uint32_t length, uint32_t hash,
                        uint64_t head);

// The distinct lines of reducer r's batch, in the order they first came.
std::span<const DistinctLine> batch_distinct_lines(uint32_t r);

}  // namespace

#endif
