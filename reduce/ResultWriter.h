/* The writer of result lines (reduce/ResultLine.h) into an open file: lines gathered in a block
 * and written whole. The result merge and the shard counter's runs write through it. It
 * reports a failed write to its caller, errno kept, and leaves the message, the cleanup and the
 * close of the file to the caller. */
#ifndef QUOVENT_REDUCE_RESULTWRITER_H
#define QUOVENT_REDUCE_RESULTWRITER_H

#include <string_view>

#include "reduce/Reduce.h"

class ResultWriter {
 public:
  /* Writes into fd, open for writing; the caller closes it after the last flush. */
  explicit ResultWriter(int fd) : fd_(fd) {}

  /* Adds the result line of word (1 to MAX_WORK_TEXT_BYTES bytes) and total (above 0), first
   * writing out the block when the line might not fit. False, the line not added, when that
   * write fails; errno is the write's. */
  [[nodiscard]] bool add(std::string_view word, long long total);

  /* add for a line that carries the word's first appearance (reduce/ResultLine.h). */
  [[nodiscard]] bool add(std::string_view word, long long total, unsigned long long first);

  /* Writes out the lines the block holds. False when the write fails; errno is the write's. */
  [[nodiscard]] bool flush();

  /* The lines added so far. */
  long long lines() const { return lines_; }

 private:
  int fd_;
  int used_ = 0;  // bytes of buf_ waiting to be written
  long long lines_ = 0;
  char buf_[REDUCE_BLOCK_SIZE];
};

#endif
