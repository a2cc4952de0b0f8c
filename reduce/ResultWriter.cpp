// The writer of result lines: a block filled with whole lines, written out when the next line
// might not fit.
#include "reduce/ResultWriter.h"

#include "common/RawIO.h"
#include "reduce/ResultLine.h"

// The longest line fits an emptied block.
static_assert(kMaxLineWithFirstBytes + 1 <= REDUCE_BLOCK_SIZE);

bool ResultWriter::add(std::string_view word, long long total) {
  if (used_ + kMaxResultLineBytes + 1 > static_cast<int>(sizeof buf_) && !flush()) return false;
  used_ += format_result_line(word, total, buf_ + used_);
  ++lines_;
  return true;
}

bool ResultWriter::add(std::string_view word, long long total, unsigned long long first) {
  if (used_ + kMaxLineWithFirstBytes + 1 > static_cast<int>(sizeof buf_) && !flush()) return false;
  used_ += format_result_line(word, total, first, buf_ + used_);
  ++lines_;
  return true;
}

bool ResultWriter::flush() {
  if (used_ > 0 && write_fully(fd_, buf_, static_cast<size_t>(used_)) < 0) return false;
  used_ = 0;
  return true;
}
