/* The sort of a batch's distinct lines into collation order before the batch is spilled.
 * Internal to the object module Suffle: every name in suffle_internal is local to lib/Suffle.o
 * (see shuffle/CMakeLists.txt). */
#ifndef QUOVENT_SHUFFLE_BATCHSORT_H
#define QUOVENT_SHUFFLE_BATCHSORT_H

#include <cstdint>

#include "shuffle/CollationKeys.h"
#include "shuffle/DistinctLines.h"

namespace suffle_internal {

// The order of the `distinct` (at most BATCH_LINES) lines under `collation`: entry n is the
// index in `lines` of the n-th line. Lines that collate equal may stand in any order. Valid
// until the next sort.
const uint32_t *sort_distinct_lines(Collation collation, const DistinctLine *lines, int distinct);

}  // namespace suffle_internal

#endif
