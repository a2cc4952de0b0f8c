/* Joining the outputs of a merge's parts, in order, into the merge's output, as the parts end: a
 * part is appended once every part before it is. Internal to the ResultMerge library. */
#ifndef QUOVENT_REDUCE_MERGEJOIN_H
#define QUOVENT_REDUCE_MERGEJOIN_H

#include <memory>
#include <string>
#include <vector>

#include "reduce/WordOrder.h"

class PartJoin {
 public:
  /* Appends the files `parts` into the open file `fd` (written, named `name` in messages), which
   * the caller flushes and closes. */
  PartJoin(std::vector<std::string> parts, int fd, std::string name);

  /* Part k is complete: appends it and the complete parts after it, once every part before it is
   * appended. A failed read or write stops the process through stop_merge. */
  void part_done(int k);

  /* Every part appended. */
  bool complete() const { return next_ == parts_.size(); }

  /* Whether the lines on both sides of every joint of two parts that hold lines are other words
   * for the reducer, as the merge in one process would have written them; where they are one
   * word, the merge in one process had added them up into one line. */
  bool joints_keep_words_apart(WordOrder &order) const;

  /* The lines appended. */
  long long lines() const { return lines_; }

 private:
  void append(size_t k);

  std::vector<std::string> parts_;
  int fd_;
  std::string name_;
  std::vector<bool> done_;
  size_t next_ = 0;  // the first part not yet appended
  long long lines_ = 0;
  std::vector<std::string> first_lines_;  // of each part, without its line end; empty when none
  std::vector<std::string> last_lines_;
  std::unique_ptr<char[]> block_;
};

#endif
