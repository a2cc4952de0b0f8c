/* The count of one shard by combining on the map side: the map stage's words counted per
 * distinct word in a table of bounded memory, spilled as a sorted run in the result-file format
 * whenever it is full, and the runs merged into the shard's result by the result merge. No
 * limit on the words, distinct words or runs of a shard. */
#ifndef QUOVENT_COUNT_COMBININGCOUNT_H
#define QUOVENT_COUNT_COMBININGCOUNT_H

#include <cstdint>
#include <string>
#include <vector>

#include "common/LargeRegion.h"
#include "count/WordTable.h"
#include "map/WordScan.h"
#include "reduce/WordOrder.h"

/* What the table may hold before it is spilled as a run. The defaults keep a shard's process
 * below about 100 MB whatever its text: the table itself, its text, and the order of a spill. */
struct TableLimits {
  uint32_t max_words = 1 << 19;
  uint32_t max_text_bytes = 12 << 20;
};

class CombiningCount final : public WordReceiver {
 public:
  /* Counts for a result of nreducers sections in the form `form` under the current locale; runs
   * are written in the working directory. In the byte-ordered form, the first appearance of a
   * word is the number of distinct words of the shard that came before it. */
  CombiningCount(int nreducers, TableLimits limits = {}, ResultForm form = ResultForm::kCollated);

  void take_words(const char *text, const WordSpan *words, int count) override;

  /* Writes the result of every word taken so far into result_file (created or emptied): the
   * table itself when it never filled, else its runs merged, which are then removed unless
   * keep_runs. Stops the process through Error when a file cannot be written. */
  void finish(const char *result_file, bool keep_runs);

  long long words() const { return words_; }
  size_t runs() const { return runs_.size(); }

 private:
  void count(const WordTable::Incoming &word);
  void spill();
  void write_sorted_table(const char *file);

  int nreducers_;
  WordOrder order_;
  WordTable table_;
  LargeRegion sort_space_;  // the order of a spill
  long long words_ = 0;
  unsigned long long first_base_ = 0;  // the first appearance of the table's first word
  std::vector<std::string> runs_;
};

#endif
