/* The two halves of a merge that puts words in the collation's order once per distinct word.
 *
 * The first half takes the words of one byte range of the shards' results, each distinct word once
 * with its total and first appearance, in chunks of bounded memory: each chunk gets the collation
 * key of every word, is sorted by section, key and first appearance, and is appended to the part's
 * keyed file, cut into the buckets that the merge's cuts make (the cuts of a result's order, the
 * same in every part). The second half merges one bucket of every chunk of every keyed file by the
 * keys alone, and adds up the words that are one word for the reducer under the first to appear:
 * the buckets' outputs one after another are the result. Internal to the ResultMerge library. */
#ifndef QUOVENT_REDUCE_KEYEDRUNS_H
#define QUOVENT_REDUCE_KEYEDRUNS_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/LargeRegion.h"
#include "reduce/MergePlan.h"
#include "reduce/MergeRead.h"
#include "reduce/ResultWriter.h"
#include "reduce/WordOrder.h"

/* Words in one chunk: what a chunk may hold before it is sorted and written. The defaults keep a
 * part's process well below 100 MB. */
struct KeyedChunkLimits {
  size_t max_words = size_t{1} << 19;
  size_t max_bytes = size_t{40} << 20;  // of keys, words and their records
};

class KeyedRunWriter final : public MergedWords {
 public:
  /* Writes into the open file fd, named `name` in messages, the words it is given, in the collating
   * order `order` (not in byte order), cut at `cuts` (choose_merge_cuts under that order). */
  KeyedRunWriter(WordOrder &order, const std::vector<std::unique_ptr<PlacedWord>> &cuts, int fd,
                 std::string name, KeyedChunkLimits limits = {});
  ~KeyedRunWriter() override;

  void add(std::string_view word, unsigned section, long long total,
           unsigned long long first) override;

  /* Writes the last chunk and the file's index of chunks and buckets. A failed write stops the
   * process through stop_merge. */
  void complete();

  /* Whether every word given is still in memory, no chunk written to the file. */
  bool holds_every_word() const { return index_.empty(); }

  /* For a writer that holds every word and has no cuts: the words as result lines into `writer`
   * (the merged output `name`), as merge_keyed_buckets would give them from the file, without the
   * file. */
  void write_result(ResultWriter &writer, const char *name);

 private:
  struct Item;
  void sort_chunk();
  void write_chunk();
  void write_out(const void *bytes, size_t size);

  WordOrder &order_;
  const std::vector<std::unique_ptr<PlacedWord>> &cuts_;
  int fd_;
  std::string name_;
  KeyedChunkLimits limits_;
  LargeRegion arena_;  // the chunk's records, one after another
  size_t arena_used_ = 0;
  LargeRegion items_;
  size_t item_count_ = 0;
  std::vector<char> key_;        // where a key is made
  std::vector<uint64_t> index_;  // per chunk, the offsets of its buckets and its end
  uint64_t written_ = 0;
  std::vector<char> block_;  // the file's bytes gathered before they are written
};

/* Merges buckets first_bucket to end_bucket - 1 of every chunk of the keyed files into result lines
 * in `writer` (the merged output `name`), in the collating order `order` the files were written
 * in. Stops the process through stop_merge when a file cannot be read or is not a keyed file. */
void merge_keyed_buckets(WordOrder &order, const std::vector<std::string> &keyed_files,
                         int first_bucket, int end_bucket, ResultWriter &writer, const char *name);

#endif
