// The order of lines under the current locale, and the cache of their collation sort keys.
#include "shuffle/CollationKeys.h"

#include <cerrno>
#include <clocale>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "common/Collation.h"
#include "shuffle/LineBytes.h"

namespace {

// Sort keys of the lines met in this process, each computed once: words repeat across
// batches and across the merge, and strxfrm is the costly part of collation. Bounded: when
// the table or its bytes are used up, further lines go without a key and are compared by
// strcoll. Emptied when the collation locale changes.
constexpr int kKeySlots = 1 << 18;
constexpr int kMaxKeys = 1 << 17;
constexpr size_t kKeyCacheBytes = size_t{24} << 20;
// A key longer than this is not kept; its line is compared by strcoll.
constexpr size_t kMaxKeyBytes = 4096;
constexpr size_t kLocaleNameSize = 256;
static_assert((kKeySlots & (kKeySlots - 1)) == 0 && kKeySlots >= 2 * kMaxKeys);

struct CachedKey {
  uint32_t hash;
  uint32_t length;  // of the line; the line's bytes, a zero, the key and a zero follow
  size_t offset;    // in key_bytes
};

uint32_t key_slots[kKeySlots];  // entry index + 1; 0 is a free slot
CachedKey cached_keys[kMaxKeys];
int cached_key_count;
char key_bytes[kKeyCacheBytes];
size_t key_bytes_used;
char key_locale[kLocaleNameSize];  // the LC_COLLATE name the keys were made for
bool key_cache_usable;

void follow_collation_locale() {
  const char *name = setlocale(LC_COLLATE, nullptr);
  if (name != nullptr && strcmp(name, key_locale) == 0 && key_cache_usable) return;
  memset(key_slots, 0, sizeof key_slots);
  cached_key_count = 0;
  key_bytes_used = 0;
  // A name too long to be remembered could not tell two locales apart: no cache then.
  key_cache_usable = name != nullptr && strlen(name) < kLocaleNameSize;
  snprintf(key_locale, sizeof key_locale, "%s", key_cache_usable ? name : "");
}

const char *sort_key(const char *line, uint32_t length) {
  if (!key_cache_usable) return nullptr;
  uint32_t hash = line_hash(line, length);
  uint32_t slot = hash & (kKeySlots - 1);
  for (; key_slots[slot] != 0; slot = (slot + 1) & (kKeySlots - 1)) {
    const CachedKey &entry = cached_keys[key_slots[slot] - 1];
    const char *text = key_bytes + entry.offset;
    if (entry.hash == hash && entry.length == length && memcmp(text, line, length) == 0) {
      return text + length + 1;
    }
  }
  if (cached_key_count == kMaxKeys) return nullptr;
  size_t room = kKeyCacheBytes - key_bytes_used;
  if (room < length + 2) return nullptr;
  char *text = key_bytes + key_bytes_used;
  size_t key_room = room - length - 1 < kMaxKeyBytes ? room - length - 1 : kMaxKeyBytes;
  int saved_errno = errno;
  size_t key_length = strxfrm(text + length + 1, line, key_room);
  errno = saved_errno;
  if (key_length >= key_room) return nullptr;
  memcpy(text, line, length);
  text[length] = '\0';
  cached_keys[cached_key_count] = CachedKey{hash, length, key_bytes_used};
  key_slots[slot] = static_cast<uint32_t>(++cached_key_count);
  key_bytes_used += length + 1 + key_length + 1;
  return text + length + 1;
}

Collation current_collation() {
  Collation collation{collation_is_byte_order()};
  if (!collation.by_bytes) follow_collation_locale();
  return collation;
}

int collate(Collation collation, const char *a, const char *key_a, const char *b,
            const char *key_b) {
  if (collation.by_bytes) return strcmp(a, b);
  if (key_a != nullptr && key_b != nullptr) return strcmp(key_a, key_b);
  return strcoll(a, b);
}

}  // namespace
