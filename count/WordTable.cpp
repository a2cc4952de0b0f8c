// The combining table: open addressing over a dense array of distinct words, whose bytes are
// packed into one block of text.
#include "count/WordTable.h"

#include <bit>
#include <cstring>

namespace {

// The table starts small, so that a shard of few distinct words keeps its slots in the cache,
// and doubles its slots at half full.
constexpr uint64_t kFirstSlots = 1 << 14;

// The text keeps 16 bytes free after its last word: a word's tail is loaded 8 bytes a step.
constexpr uint32_t kLoadSlack = 16;

uint64_t most_slots(uint32_t max_words) {
  uint64_t slots = std::bit_ceil(2 * uint64_t{max_words});
  return slots < kFirstSlots ? kFirstSlots : slots;
}

}  // namespace

WordTable::WordTable(uint32_t max_words, uint32_t max_text_bytes)
    : max_words_(max_words),
      max_text_bytes_(max_text_bytes),
      max_slots_(most_slots(max_words)),
      slots_region_(max_slots_ * sizeof(uint64_t), "count_shard", "the word table"),
      slots_(slots_region_.as<uint64_t>()),
      slot_count_(kFirstSlots),
      mask_(kFirstSlots - 1),
      words_(size_t{max_words} * sizeof(Word), "count_shard", "the word table"),
      text_(size_t{max_text_bytes} + kLoadSlack, "count_shard", "the word table") {}

bool WordTable::insert(const Incoming &word, uint64_t i) {
  if (word_count_ >= max_words_ || text_used_ + word.length + 1 > max_text_bytes_) return false;
  char *copy = text_.as<char>() + text_used_;
  memcpy(copy, word.text, word.length);
  copy[word.length] = '\0';
  words_.as<Word>()[word_count_++] = Word{{word.head[0], word.head[1]}, 1, text_used_, word.length};
  text_used_ += word.length + 1;
  slots_[i] = (word.hash & word_table_detail::kHashTagMask) | word_count_;
  if (2 * uint64_t{word_count_} > slot_count_ && slot_count_ < max_slots_) grow_slots();
  return true;
}

// The slots double and every word is placed again from its hash.
void WordTable::grow_slots() {
  slot_count_ *= 2;
  mask_ = slot_count_ - 1;
  memset(slots_, 0, slot_count_ * sizeof(uint64_t));
  const Word *words = words_.as<Word>();
  for (uint32_t d = 0; d < word_count_; ++d) {
    Incoming again;
    prepare(again, text(words[d]), words[d].length);
    uint64_t i = again.hash & mask_;
    while (slots_[i] != 0) i = (i + 1) & mask_;
    slots_[i] = (again.hash & word_table_detail::kHashTagMask) | (d + 1);
  }
}

void WordTable::clear() {
  memset(slots_, 0, slot_count_ * sizeof(uint64_t));
  word_count_ = 0;
  text_used_ = 0;
}

void WordTable::release() {
  clear();
  slots_region_.release();
  words_.release();
  text_.release();
}
