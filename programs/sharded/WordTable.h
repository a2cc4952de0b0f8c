/* The distinct words of a shard and how often each came, in memory of a fixed bound: the
 * combiner that keeps a shard from writing every occurrence of a word. */
#ifndef QUOVENT_PROGRAMS_SHARDED_WORDTABLE_H
#define QUOVENT_PROGRAMS_SHARDED_WORDTABLE_H

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

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

  /* The word of `length` bytes at text, which must be followed by 16 readable bytes. */
  static Incoming prepare(const char *text, uint32_t length);

  /* Starts fetching the slot at which the word's look-up begins. */
  void prefetch(const Incoming &word) const { __builtin_prefetch(&slots_[word.hash & mask_]); }

  /* Counts one occurrence of the word. False, counting nothing, when the word is new and the
   * table is full. */
  bool add(const Incoming &word);

  /* The distinct words, in the order they first came. */
  std::span<const Word> words() const { return {words_.data(), words_.size()}; }

  /* The zero-terminated bytes of a word of this table. */
  const char *text(const Word &word) const { return text_.get() + word.offset; }

  /* Empties the table; its memory is kept for the next words. */
  void clear();

 private:
  void grow_slots();
  bool make_text_room(uint32_t bytes);

  uint32_t max_words_;
  uint32_t max_text_bytes_;
  std::vector<uint64_t> slots_;  // 0 free, else the hash's high half and the word index + 1
  uint64_t mask_;
  std::vector<Word> words_;
  std::unique_ptr<char[]> text_;
  uint32_t text_capacity_ = 0;
  uint32_t text_used_ = 0;
};

#endif
