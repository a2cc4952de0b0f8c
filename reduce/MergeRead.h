/* The reading side of the result merge, shared by the whole merge and its parts: the words of
 * result files taken in the order of a result, each file read within a byte range of its own, the
 * counts of equal words added up; and the one place where a failure of the merge stops the
 * process, removing the temporary files it made. Internal to the ResultMerge library. */
#ifndef QUOVENT_REDUCE_MERGEREAD_H
#define QUOVENT_REDUCE_MERGEREAD_H

#include <climits>
#include <string>
#include <string_view>
#include <vector>

#include "reduce/Reduce.h"
#include "reduce/ResultWriter.h"
#include "reduce/WordOrder.h"

/* The lines of one result file that a merge reads: those that begin at byte offsets in
 * [begin, end). `begin` is the start of a line (or the file's length). */
struct FileRange {
  long long begin = 0;
  long long end = LLONG_MAX;
  // Added to the first appearances its lines carry: a shard numbers its words' first appearances
  // from 0, and its place in the run's text comes from here.
  unsigned long long first_base = 0;
};

/* One word of a result file, with what orders it: its section and the shuffle's sort key. */
struct MergeEntry {
  char word[REDUCE_MAX_WORD_BYTES + 1];
  int length = 0;
  long long count = 0;
  unsigned long long first = 0;  // where the order carries it
  unsigned section = 0;
  char line[kTupleLineSize];
  const char *key = nullptr;
  char key_made[kMaxSortKeyBytes];  // the key when the order's cache could not keep it

  OrderedWordView view() const { return {word, length, section, line, key}; }
};

/* Makes `entry` the word of the result line `line` (without its line end), with its section and,
 * when keyed and the order collates, its key; the line carries the word's first appearance when
 * with_first. False when the line is no result line. */
bool entry_of_line(WordOrder &order, bool keyed, std::string_view line, MergeEntry &entry,
                   bool with_first);

/* Where a merge puts its words, each once, their counts added up, in the order of the merge. */
class MergedWords {
 public:
  virtual ~MergedWords() = default;
  /* `first` is the least first appearance of the words added up, where the order carries it. */
  virtual void add(std::string_view word, unsigned section, long long total,
                   unsigned long long first) = 0;
};

/* The words written as the lines of the merged output `name`, with their first appearance when
 * with_first. A failed write stops the process through stop_merge. */
class MergedLines final : public MergedWords {
 public:
  MergedLines(ResultWriter &writer, const char *name, bool with_first)
      : writer_(writer), name_(name), with_first_(with_first) {}
  void add(std::string_view word, unsigned section, long long total,
           unsigned long long first) override;

 private:
  ResultWriter &writer_;
  const char *name_;
  bool with_first_;
};

/* Merges the lines of files[i] within ranges[i] (at most MERGE_FAN_IN files) into `out`, checking
 * their order when check_order. A reader stops at the first
 * line at or past its range's end, which it still reads and checks as the whole merge would at
 * that moment: so the part that holds a malformed line's predecessor reports it. Stops the
 * process through stop_merge or a refusal that names the file and its line. */
void merge_ranges_into(WordOrder &order, const std::vector<const char *> &files,
                       const std::vector<FileRange> &ranges, bool check_order, MergedWords &out);

/* The temporary files of this process's merge: a failure removes them all. */
void keep_merge_temporary(const std::string &name);
void forget_merge_temporary(const std::string &name);  // renamed into place or removed
void forget_merge_temporaries();

/* The processes that merge parts of this merge: a failure of this process stops them first, so
 * that none writes a temporary once they are removed. */
void keep_merge_worker(int pid);
void forget_merge_worker(int pid);
void forget_merge_workers();

/* Stops the workers not yet forgotten and waits for them, then removes the temporaries not yet
 * forgotten, leaving errno as it was. */
void remove_merge_temporaries();

/* "[Merge:merge_result_files]": what opens the merge's messages. */
inline constexpr char kMergeTag[] = "[Merge:merge_result_files]";

/* A write to a merged output failed, or a close or fsync that reports a lost one. */
inline constexpr char kMergeWriteFailed[] = "%s Error writting merge result %s\n";

/* Error with `format` (its %s the tag, then `name`), after removing the temporaries; errno is the
 * failed call's. */
[[noreturn]] void stop_merge(const char *format, const char *name);

#endif
