// The cache of collation keys: open addressing over the kept lines, whose lines and keys are
// packed into blocks that never move.
#include "common/CollationKeys.h"

#include <sys/mman.h>

#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <cstring>

namespace {

// Few lines keep few slots, in the processor's cache; the slots double at half full.
constexpr uint32_t kFirstSlots = 1 << 14;
// Blocks of one huge page, aligned to it, where the system offers them: the keys of a batch
// or a shard fill megabytes, and small pages would cost a fault every four kilobytes.
constexpr size_t kBlockBytes = size_t{2} << 20;
// A locale name longer than this is not remembered: the cache then keeps nothing.
constexpr size_t kLocaleNameSize = 256;

}  // namespace

CollationKeyCache::CollationKeyCache(size_t max_keys, size_t max_bytes, size_t max_key_bytes)
    : max_keys_(max_keys),
      max_bytes_(max_bytes),
      max_key_bytes_(max_key_bytes < kBlockBytes / 2 ? max_key_bytes : kBlockBytes / 2),
      scratch_(std::make_unique_for_overwrite<char[]>(max_key_bytes_)) {}

const char *CollationKeyCache::find(uint32_t hash, const char *line, size_t length) const {
  if (slots_.empty()) return nullptr;
  const uint32_t mask = static_cast<uint32_t>(slots_.size()) - 1;
  for (uint32_t i = hash & mask;; i = (i + 1) & mask) {
    uint32_t entry = slots_[i];
    if (entry == 0) return nullptr;
    const Cached &cached = entries_[entry - 1];
    if (cached.hash == hash && cached.line_length == length &&
        memcmp(cached.text, line, length) == 0) {
      return cached.text + length + 1;
    }
  }
}

const char *CollationKeyCache::find_or_make(uint32_t hash, const char *line, size_t length,
                                            char *scratch) {
  if (const char *kept = find(hash, line, length)) return kept;
  bool room = usable_ && entries_.size() < max_keys_ && used_bytes_ + length + 2 <= max_bytes_;
  if (!room && scratch == nullptr) return nullptr;
  char *made = room ? scratch_.get() : scratch;
  int saved_errno = errno;
  size_t key_length = strxfrm(made, line, max_key_bytes_);
  errno = saved_errno;
  if (key_length >= max_key_bytes_) return nullptr;
  const char *kept = room ? keep(hash, line, length, made, key_length) : nullptr;
  if (kept != nullptr) return kept;
  if (scratch == nullptr) return nullptr;
  if (made != scratch) memcpy(scratch, made, key_length + 1);
  return scratch;
}

const char *CollationKeyCache::keep(uint32_t hash, const char *line, size_t length, const char *key,
                                    size_t key_length) {
  size_t bytes = length + 1 + key_length + 1;
  if (used_bytes_ + bytes > max_bytes_ || bytes > kBlockBytes) return nullptr;
  if (blocks_.empty() || block_used_ + bytes > kBlockBytes) {
    char *block = static_cast<char *>(std::aligned_alloc(kBlockBytes, kBlockBytes));
    if (block == nullptr) return nullptr;
    madvise(block, kBlockBytes, MADV_HUGEPAGE);  // a hint: small pages work all the same
    blocks_.emplace_back(block);
    block_used_ = 0;
  }
  char *text = blocks_.back().get() + block_used_;
  block_used_ += bytes;
  used_bytes_ += bytes;
  memcpy(text, line, length);
  text[length] = '\0';
  memcpy(text + length + 1, key, key_length + 1);
  entries_.push_back(Cached{hash, static_cast<uint32_t>(length), text});
  if (2 * entries_.size() > slots_.size()) {
    slots_.assign(slots_.empty() ? kFirstSlots : 2 * slots_.size(), 0);
    for (uint32_t e = 0; e < entries_.size(); ++e) place(e);
  } else {
    place(static_cast<uint32_t>(entries_.size() - 1));
  }
  return text + length + 1;
}

void CollationKeyCache::FreeBlock::operator()(char *block) const { std::free(block); }

void CollationKeyCache::place(uint32_t entry) {
  const uint32_t mask = static_cast<uint32_t>(slots_.size()) - 1;
  uint32_t i = entries_[entry].hash & mask;
  while (slots_[i] != 0) i = (i + 1) & mask;
  slots_[i] = entry + 1;
}

void CollationKeyCache::clear() {
  slots_.clear();
  entries_.clear();
  blocks_.clear();
  block_used_ = 0;
  used_bytes_ = 0;
}

void CollationKeyCache::follow_collation_locale() {
  const char *name = setlocale(LC_COLLATE, nullptr);
  if (name != nullptr && usable_ && locale_ == name) return;
  clear();
  // A name too long to be remembered could not tell two locales apart: no key is kept then.
  usable_ = name != nullptr && strlen(name) < kLocaleNameSize;
  locale_ = usable_ ? name : "";
}
