// The order of lines under the current locale, with the product's collation key cache.
#include "shuffle/CollationKeys.h"

#include "common/Collation.h"
#include "common/CollationKeys.h"
#include "shuffle/LineBytes.h"

namespace {

// Keys of the lines met in this process: words repeat across batches and across the merge.
// Bounded: when the cache is full, further lines go without a key and are compared by strcoll.
// A key longer than kMaxKeyBytes is not kept either.
constexpr size_t kMaxKeys = 1 << 17;
constexpr size_t kKeyCacheBytes = size_t{24} << 20;
constexpr size_t kMaxKeyBytes = 4096;

// Made at the first sort in a collating locale and kept for the whole process, as the
// shuffle's other tables are.
CollationKeyCache &key_cache() {
  static CollationKeyCache *cache = new CollationKeyCache(kMaxKeys, kKeyCacheBytes, kMaxKeyBytes);
  return *cache;
}

const char *sort_key(const char *line, uint32_t length) {
  return key_cache().find_or_make(line_hash(line, length), line, length);
}

Collation current_collation() {
  Collation collation{collation_is_byte_order()};
  if (!collation.by_bytes) key_cache().follow_collation_locale();
  return collation;
}

int collate(Collation collation, const char *a, const char *key_a, const char *b,
            const char *key_b) {
  return collate_lines(collation.by_bytes, a, key_a, b, key_b);
}

}  // namespace
