// The combining table: open addressing over a dense array of distinct words, whose bytes are
// packed into one block of text.
#include "programs/sharded/WordTable.h"

#include <cstring>

namespace {

// The table starts small, so that a shard of few distinct words keeps its slots in the cache,
// and doubles its slots at half full.
constexpr uint64_t kFirstSlots = 1 << 14;
constexpr uint32_t kFirstTextBytes = 1 << 20;
constexpr uint64_t kTagMask = 0xFFFFFFFF00000000u;

uint64_t load8(const char *p) {
  uint64_t value;
  memcpy(&value, p, sizeof value);
  return value;
}

// The first `n` bytes (0 to 8) of a little-endian load, zeros after.
uint64_t first_bytes(uint64_t value, uint32_t n) {
  return n >= 8 ? value : value & ((uint64_t{1} << (8 * n)) - 1);
}

uint64_t mix(uint64_t a, uint64_t b) {
  unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
  return static_cast<uint64_t>(product) ^ static_cast<uint64_t>(product >> 64);
}

}  // namespace

WordTable::WordTable(uint32_t max_words, uint32_t max_text_bytes)
    : max_words_(max_words), max_text_bytes_(max_text_bytes) {
  slots_.assign(kFirstSlots, 0);
  mask_ = kFirstSlots - 1;
}

WordTable::Incoming WordTable::prepare(const char *text, uint32_t length) {
  Incoming word{text, length, {first_bytes(load8(text), length),
                               first_bytes(load8(text + 8), length > 8 ? length - 8 : 0)},
                0};
  uint64_t h = mix(word.head[0] ^ (0x9E3779B97F4A7C15u * (length + 1)),
                   word.head[1] ^ 0xBF58476D1CE4E5B9u);
  for (uint32_t i = 16; i < length; i += 8) {
    h = mix(h ^ first_bytes(load8(text + i), length - i), 0x94D049BB133111EBu);
  }
  word.hash = h;
  return word;
}

bool WordTable::add(const Incoming &word) {
  const uint64_t tag = word.hash & kTagMask;
  uint64_t i = word.hash & mask_;
  for (;; i = (i + 1) & mask_) {
    uint64_t slot = slots_[i];
    if (slot == 0) break;
    if ((slot & kTagMask) != tag) continue;
    Word &known = words_[static_cast<uint32_t>(slot) - 1];
    if (known.head[0] == word.head[0] && known.head[1] == word.head[1] &&
        known.length == word.length &&
        (word.length <= 16 ||
         memcmp(text(known) + 16, word.text + 16, word.length - 16) == 0)) {
      ++known.count;
      return true;
    }
  }
  if (words_.size() >= max_words_ || !make_text_room(word.length + 1)) return false;
  char *copy = text_.get() + text_used_;
  memcpy(copy, word.text, word.length);
  copy[word.length] = '\0';
  words_.push_back(Word{{word.head[0], word.head[1]}, 1, text_used_, word.length});
  text_used_ += word.length + 1;
  slots_[i] = tag | words_.size();
  if (2 * words_.size() > slots_.size()) grow_slots();
  return true;
}

void WordTable::grow_slots() {
  std::vector<uint64_t> old;
  old.swap(slots_);
  slots_.assign(2 * old.size(), 0);
  mask_ = slots_.size() - 1;
  for (uint64_t slot : old) {
    if (slot == 0) continue;
    const Word &known = words_[static_cast<uint32_t>(slot) - 1];
    uint64_t hash = prepare(text(known), known.length).hash;
    uint64_t i = hash & mask_;
    while (slots_[i] != 0) i = (i + 1) & mask_;
    slots_[i] = slot;
  }
}

// The text block doubles as it fills, up to max_text_bytes_; the words hold offsets, so a
// move costs them nothing. The last 16 bytes stay free: a word's tail is loaded 8 bytes a step.
bool WordTable::make_text_room(uint32_t bytes) {
  constexpr uint32_t kLoadSlack = 16;
  uint64_t needed = uint64_t{text_used_} + bytes + kLoadSlack;
  if (needed <= text_capacity_) return true;
  if (needed > max_text_bytes_) return false;
  uint64_t capacity = text_capacity_ == 0 ? kFirstTextBytes : text_capacity_;
  while (capacity < needed) capacity *= 2;
  if (capacity > max_text_bytes_) capacity = max_text_bytes_;
  auto moved = std::make_unique<char[]>(capacity);
  if (text_used_ > 0) memcpy(moved.get(), text_.get(), text_used_);
  text_ = std::move(moved);
  text_capacity_ = static_cast<uint32_t>(capacity);
  return true;
}

void WordTable::clear() {
  std::fill(slots_.begin(), slots_.end(), 0);
  words_.clear();
  text_used_ = 0;
}
