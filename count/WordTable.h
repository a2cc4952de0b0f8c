/* The distinct words of a shard and how often each came, in memory of a fixed bound: the
 * combiner that keeps a shard from writing every occurrence of a word. */
#ifndef QUOVENT_COUNT_WORDTABLE_H
#define QUOVENT_COUNT_WORDTABLE_H

#include <cstdint>
#include <cstring>
#include <span>

#include "common/LargeRegion.h"

class WordTable {
 public:
  /* A distinct word: its first 16 bytes (zeros after its end), its count, and where its bytes
   * lie in the table's text, zero-terminated. */
  struct Word {
    uint64_t head[2];
    uint64_t count;
    uint32_t offset;
    uint32_t length;
  };

  /* A word on its way in, with what its look-up needs worked out first. */
  struct Incoming {
    const char *text;  // followed by at least 16 readable bytes
    uint32_t length;   // 1 to 255
    uint64_t head[2];
    uint64_t hash;
  };

  /* A table that holds at most max_words distinct words and max_text_bytes of their text. */
  WordTable(uint32_t max_words, uint32_t max_text_bytes);

  /* Makes `word` the word of `length` bytes at text, which must be followed by 16 readable
   * bytes. (Filled in place: a whole Incoming copied right after its fields are stored waits
   * for the stores.) */
  static void prepare(Incoming &word, const char *text, uint32_t length);

  /* Starts fetching the slot at which the word's look-up begins. */
  void prefetch_slot(const Incoming &word) const { __builtin_prefetch(&slots_[word.hash & mask_]); }

  /* Starts fetching the known word that the word's first slot names, if any: called some words
   * after prefetch_slot, when the slot has arrived. */
  void prefetch_word(const Incoming &word) const {
    uint64_t slot = slots_[word.hash & mask_];
    if (slot != 0) __builtin_prefetch(&words_.as<Word>()[static_cast<uint32_t>(slot) - 1]);
  }

  /* Counts one occurrence of the word. False, counting nothing, when the word is new and the
   * table is full. */
  bool add(const Incoming &word);

  /* The distinct words, in the order they first came. */
  std::span<const Word> words() const { return {words_.as<Word>(), word_count_}; }

  /* The zero-terminated bytes of a word of this table. */
  const char *text(const Word &word) const { return text_.as<char>() + word.offset; }

  /* Empties the table; its memory is kept for the next words. */
  void clear();

  /* Empties the table and gives its memory back to the system. */
  void release();

 private:
  // Adds the new word at free slot i; false when the table is full.
  bool insert(const Incoming &word, uint64_t i);
  void grow_slots();

  uint32_t max_words_;
  uint32_t max_text_bytes_;
  uint64_t max_slots_;
  LargeRegion slots_region_;  // 0 free, else the hash's high half and the word index + 1
  uint64_t *slots_;
  uint64_t slot_count_;  // a power of two
  uint64_t mask_;
  LargeRegion words_;
  uint32_t word_count_ = 0;
  LargeRegion text_;
  uint32_t text_used_ = 0;
};

namespace word_table_detail {

// A slot keeps the high half of its word's hash, which settles most look-ups without the word.
constexpr uint64_t kHashTagMask = 0xFFFFFFFF00000000u;

inline uint64_t load8(const char *p) {
  uint64_t value;
  memcpy(&value, p, sizeof value);
  return value;
}

// Per count of bytes 0 to 8, the mask that keeps that many first bytes of eight. A look-up
// instead of a test: word lengths on either side of 8 follow no pattern a branch could learn.
constexpr uint64_t kFirstBytesMask[9] = {0,
                                         0xFF,
                                         0xFFFF,
                                         0xFFFFFF,
                                         0xFFFFFFFF,
                                         0xFFFFFFFFFF,
                                         0xFFFFFFFFFFFF,
                                         0xFFFFFFFFFFFFFF,
                                         0xFFFFFFFFFFFFFFFF};

// The first `n` bytes of the eight at p, zeros after (all eight when n is 8 or more).
inline uint64_t first_bytes(const char *p, uint32_t n) {
  return load8(p) & kFirstBytesMask[n < 8 ? n : 8];
}

inline uint64_t mix(uint64_t a, uint64_t b) {
  unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
  return static_cast<uint64_t>(product) ^ static_cast<uint64_t>(product >> 64);
}

}  // namespace word_table_detail

// The look-up is inline: it runs for every word of a shard.
inline void WordTable::prepare(Incoming &word, const char *text, uint32_t length) {
  using namespace word_table_detail;
  uint64_t head0 = first_bytes(text, length);
  uint64_t head1 = first_bytes(text + 8, length > 8 ? length - 8 : 0);
  uint64_t h = mix(head0 ^ (0x9E3779B97F4A7C15u * (length + 1)), head1 ^ 0xBF58476D1CE4E5B9u);
  for (uint32_t i = 16; i < length; i += 8) {
    h = mix(h ^ first_bytes(text + i, length - i), 0x94D049BB133111EBu);
  }
  word.text = text;
  word.length = length;
  word.head[0] = head0;
  word.head[1] = head1;
  word.hash = h;
}

inline bool WordTable::add(const Incoming &word) {
  using word_table_detail::kHashTagMask;
  const uint64_t tag = word.hash & kHashTagMask;
  uint64_t i = word.hash & mask_;
  for (uint64_t slot; (slot = slots_[i]) != 0; i = (i + 1) & mask_) {
    if ((slot & kHashTagMask) != tag) continue;
    Word &known = words_.as<Word>()[static_cast<uint32_t>(slot) - 1];
    if (known.head[0] == word.head[0] && known.head[1] == word.head[1] &&
        known.length == word.length &&
        (word.length <= 16 || memcmp(text(known) + 16, word.text + 16, word.length - 16) == 0)) {
      ++known.count;
      return true;
    }
  }
  return insert(word, i);
}

#endif
