// The order of lines under the current locale: the shuffle's collation key cache.
#include "shuffle/CollationKeys.h"

namespace suffle_internal {

namespace {

// Keys of the lines met in this process: words repeat across batches and across the merge.
// Bounded: when the cache is full, further lines go without a key and are compared by strcoll.
// A key longer than kMaxKeyBytes is not kept either.
constexpr size_t kMaxKeys = 1 << 17;
constexpr size_t kKeyCacheBytes = size_t{24} << 20;
constexpr size_t kMaxKeyBytes = 4096;

}  // namespace

CollationKeyCache &key_cache() {
  static CollationKeyCache *cache = new CollationKeyCache(kMaxKeys, kKeyCacheBytes, kMaxKeyBytes);
  return *cache;
}

Collation current_collation() {
  Collation collation{collation_is_byte_order()};
  if (!collation.by_bytes) key_cache().follow_collation_locale();
  return collation;
}

}  // namespace suffle_internal
