// The sort of a batch's distinct lines: a radix sort by order prefix, and a comparison sort of
// the lines that share one.
#include "shuffle/BatchSort.h"

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstring>
#include <utility>

#include "common/OrderPrefix.h"
#include "shuffle/Suffle.h"

namespace suffle_internal {

namespace {

constexpr int kRadixBuckets = 1 << CHAR_BIT;
static_assert(kRadixBuckets == 256);

// A distinct line as the sort moves it: the first number of the order prefix of what decides
// its place (the line itself when bytes decide, else its sort key), so that most comparisons
// are one integer comparison; equal prefixes leave it to the full comparison. The radix sort
// makes one pass a byte of it.
struct SortEntry {
  uint64_t prefix;      // prefix_number
  uint32_t index;       // in the lines sorted
  uint32_t has_prefix;  // 0 for a line without a sort key in a collating locale
};
SortEntry sort_entries[BATCH_LINES];
SortEntry radix_scratch[BATCH_LINES];
uint32_t sorted_distinct[BATCH_LINES];
// The sort keys of the lines being sorted (nullptr for a line without one); apart from the
// distinct lines, which are looked up for every line filed.
const char *distinct_keys[BATCH_LINES];

// The byte of the prefix that radix pass b sorts by, the least significant first.
unsigned radix_digit(uint64_t prefix, int b) {
  return static_cast<unsigned>(prefix >> (CHAR_BIT * b)) & (kRadixBuckets - 1);
}

// Orders the entries by prefix, stably, one byte a pass from the least significant; a pass
// whose byte is the same in every entry is skipped.
void radix_sort_by_prefix(SortEntry *entries, int count) {
  uint32_t counts[kPrefixNumberBytes][kRadixBuckets] = {};
  for (int n = 0; n < count; ++n) {
    for (int b = 0; b < kPrefixNumberBytes; ++b) counts[b][radix_digit(entries[n].prefix, b)]++;
  }
  SortEntry *from = entries;
  SortEntry *to = radix_scratch;
  for (int b = 0; b < kPrefixNumberBytes; ++b) {
    if (counts[b][radix_digit(from[0].prefix, b)] == static_cast<uint32_t>(count)) continue;
    uint32_t next[kRadixBuckets];
    uint32_t sum = 0;
    for (int digit = 0; digit < kRadixBuckets; ++digit) {
      next[digit] = sum;
      sum += counts[b][digit];
    }
    for (int n = 0; n < count; ++n) to[next[radix_digit(from[n].prefix, b)]++] = from[n];
    std::swap(from, to);
  }
  if (from != entries) memcpy(entries, from, sizeof(SortEntry) * static_cast<size_t>(count));
}

}  // namespace

const uint32_t *sort_distinct_lines(Collation collation, const DistinctLine *lines, int distinct) {
  bool all_have_prefix = true;
  for (int d = 0; d < distinct; ++d) {
    const DistinctLine &line = lines[d];
    const char *key = collation.by_bytes ? nullptr : sort_key(line.text, line.length);
    distinct_keys[d] = key;
    const char *decides = collation.by_bytes ? line.text : key;
    sort_entries[d] = SortEntry{decides != nullptr ? prefix_number(decides) : 0,
                                static_cast<uint32_t>(d), decides != nullptr};
    all_have_prefix = all_have_prefix && decides != nullptr;
  }
  auto before = [collation, lines](const SortEntry &a, const SortEntry &b) {
    if (a.has_prefix && b.has_prefix && a.prefix != b.prefix) return a.prefix < b.prefix;
    const DistinctLine &x = lines[a.index];
    const DistinctLine &y = lines[b.index];
    return collate(collation, x.text, distinct_keys[a.index], y.text, distinct_keys[b.index]) < 0;
  };
  if (all_have_prefix && distinct > 0) {
    // The prefixes put most lines in place; lines that share one are ordered among themselves.
    radix_sort_by_prefix(sort_entries, distinct);
    for (int first = 0; first < distinct;) {
      int last = first + 1;
      while (last < distinct && sort_entries[last].prefix == sort_entries[first].prefix) ++last;
      if (last - first > 1) std::sort(sort_entries + first, sort_entries + last, before);
      first = last;
    }
  } else {
    std::sort(sort_entries, sort_entries + distinct, before);
  }
  for (int d = 0; d < distinct; ++d) sorted_distinct[d] = sort_entries[d].index;
  return sorted_distinct;
}

}  // namespace suffle_internal
