/* How a result file orders its words, for every part of the product that writes or merges
 * result files without the shuffle: the reducer section of a word, its place within the section
 * (where the shuffle sorted its tuple line, cut as the shuffle cuts it, under the locale's
 * collation), and when two words are one word for the reducer. */
#ifndef QUOVENT_REDUCE_WORDORDER_H
#define QUOVENT_REDUCE_WORDORDER_H

#include <cstddef>
#include <cstdint>
#include <memory>

#include "common/WorkFiles.h"

/* A tuple line as the shuffle keeps it, with its terminating zero. */
constexpr int kTupleLineSize = MAX_WORK_TEXT_BYTES + 1;

/* A collation key longer than this is never made; its word is compared with strcoll. */
constexpr size_t kMaxSortKeyBytes = 2048;

/* One word as the order sees it. `word` and `line` are zero-terminated; `line` is the tuple
 * line the shuffle sorted for the word; `key` is that line's strxfrm key, or nullptr when it has
 * none (always in byte order). */
struct OrderedWordView {
  const char *word;
  int length;
  unsigned section;
  const char *line;
  const char *key;
};

class CollationKeyCache;

/* How a file of result lines is ordered. kCollated: a result file, each section in the order of
 * the shuffle's sort. kBytesWithFirst: the result of a shard of a run whose merge puts the words
 * in the collation's order itself, once per distinct word (reduce/CollatingMerge.h): each section
 * in byte order, every word once with its first appearance (reduce/ResultLine.h); words that
 * collate equal are still apart there. Under a locale whose collation is byte order the two are
 * one order. */
enum class ResultForm { kCollated, kBytesWithFirst };

class WordOrder {
 public:
  /* The order of files of `nreducers` sections (1 to 16) and form `form` under the current
   * locale. */
  explicit WordOrder(int nreducers, ResultForm form = ResultForm::kCollated);
  ~WordOrder();
  WordOrder(const WordOrder &) = delete;
  WordOrder &operator=(const WordOrder &) = delete;

  bool by_bytes() const { return by_bytes_; }

  /* Whether its lines carry the first appearance of their words. */
  bool carries_first() const { return carries_first_; }

  /* The number of sections, the reducer count. */
  unsigned sections() const { return nreducers_; }

  /* The section of a word whose partition hash (common/PartitionHash.h) is word_hash: the reducer
   * the shuffle sends it to. */
  unsigned section_of(uint32_t word_hash) const { return word_hash % nreducers_; }

  /* The tuple line the shuffle sorts for a word of `length` bytes: "word 1" cut to the
   * shuffle's 255 bytes, as it cuts the lines of 254- and 255-byte words; zero-terminated in
   * `line` (kTupleLineSize bytes). Returns its length. */
  static int tuple_line_of(const char *word, int length, char *line);

  /* The collation key of the tuple line `line` of `length` bytes, whose word has the
   * partition hash `hash`: made once per distinct line and kept (the same words come again
   * and again across runs and shards), or made into `scratch` (kMaxSortKeyBytes) once the
   * cache is full. nullptr in byte order, or when the key does not fit. Valid until this
   * order is destroyed, or, when made into scratch, until scratch is reused. */
  const char *key_of(uint32_t hash, const char *line, size_t length, char *scratch);

  /* Negative, zero or positive as a sorts before, with or after b: section, then collation. */
  int compare(const OrderedWordView &a, const OrderedWordView &b) const;

  /* Whether two words are one word for the reducer: the same section and the same bytes, or
   * words that collate equal, which the reducer adds up under the first one's bytes. */
  bool same_word(const OrderedWordView &a, const OrderedWordView &b) const;

  /* same_word for two words of which the caller knows whether their tuple lines collate apart
   * (lines_apart), as a sort does: lines that keep their whole tails and collate apart have
   * words that collate apart. */
  bool same_word(const OrderedWordView &a, const OrderedWordView &b, bool lines_apart) const;

  /* Whether `next` may follow `before` in a result: it sorts after it and is another word. */
  bool follows(const OrderedWordView &before, const OrderedWordView &next) const;

 private:
  bool by_bytes_;
  bool carries_first_;
  unsigned nreducers_;
  std::unique_ptr<CollationKeyCache> keys_;
};

#endif
