/* Filing lines into their reducer's batch, and the spill of a full batch as a sorted batch
 * file. Internal to the object module Suffle: every name in suffle_internal is local to
 * lib/Suffle.o (see shuffle/CMakeLists.txt). The public add_line, flush_batch and the tables
 * buffer, nlines and batch_count (Suffle.h) belong here too. */
#ifndef QUOVENT_SHUFFLE_BATCHSPILL_H
#define QUOVENT_SHUFFLE_BATCHSPILL_H

#include <cstdint>
#include <string_view>

namespace suffle_internal {

// A line on its way into its reducer's batch, with what its look-up needs worked out first.
struct LineToFile {
  const char *text;
  uint32_t length;
  uint32_t reducer;
  uint32_t hash;  // line_hash
  uint64_t head;  // head_bytes
};

// Works out where `line`, a whole line of at most MAX_LINE_BYTES bytes with no zero byte among
// them, is to be filed, and starts fetching the table slot that filing it will read first, so
// that the fetch can proceed while the line before is filed. The bytes must stay in place
// until the line is filed.
LineToFile locate_line(std::string_view line);

// Files a located line as add_line files it, spilling the batch when it is full.
void file_located_line(const LineToFile &line);

}  // namespace suffle_internal

#endif
