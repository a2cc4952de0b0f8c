// The combining table: open addressing over a dense array of distinct words, whose bytes are
// packed into one block of text.
#include "programs/sharded/WordTable.h"

#include <cstring>

namespace {

// The table starts small, so that a shard of few distinct words keeps its slots in the cache,
// and doubles its slots at half full.
constexpr uint64_t kFirstSlots = 1 << 14;
constexpr uint32_t kFirstTextBytes = 1 << 20;

}  // namespace

WordTable::WordTable(uint32_t max_words, uint32_t max_text_bytes)
    : max_words_(max_words), max_text_bytes_(max_text_bytes) {
  slots_.assign(kFirstSlots, 0);
  mask_ = kFirstSlots - 1;
}

bool WordTable::insert(const Incoming &word, uint64_t i) {
  if (words_.size() >= max_words_ || !make_text_room(word.length + 1)) return false;
  char *copy = text_.get() + text_used_;
  memcpy(copy, word.text, word.length);
  copy[word.length] = '\0';
  words_.push_back(Word{{word.head[0], word.head[1]}, 1, text_used_, word.length});
  text_used_ += word.length + 1;
  slots_[i] = (word.hash & word_table_detail::kHashTagMask) | words_.size();
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
