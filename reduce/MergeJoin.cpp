// The parts of a merge appended in order as they end, and the check of their joints.
#include "reduce/MergeJoin.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string_view>

#include "common/RawIO.h"
#include "reduce/MergeRead.h"
#include "reduce/ResultLine.h"

namespace {

// What the join reads and writes at a time: the parts lie in the page cache, just written.
constexpr size_t kJoinBlockBytes = size_t{1} << 20;

// The tail of a part's bytes that holds its last line whole: the longest line, its line end and
// the line end before it.
constexpr size_t kLastLineBytes = kMaxResultLineBytes + 2;

// The line ends among the `size` bytes at `bytes`.
long long line_ends_in(const char *bytes, size_t size) {
  long long ends = 0;
  for (const char *end = bytes + size;
       (bytes = static_cast<const char *>(memchr(bytes, '\n', static_cast<size_t>(end - bytes)))) !=
       nullptr;
       ++bytes) {
    ++ends;
  }
  return ends;
}

}  // namespace

PartJoin::PartJoin(std::vector<std::string> parts, int fd, std::string name)
    : parts_(std::move(parts)),
      fd_(fd),
      name_(std::move(name)),
      done_(parts_.size(), false),
      first_lines_(parts_.size()),
      last_lines_(parts_.size()),
      block_(std::make_unique_for_overwrite<char[]>(kJoinBlockBytes)) {}

void PartJoin::part_done(int k) {
  done_[static_cast<size_t>(k)] = true;
  while (next_ < parts_.size() && done_[next_]) append(next_++);
}

void PartJoin::append(size_t k) {
  const char *part = parts_[k].c_str();
  int in = open(part, O_RDONLY | O_CLOEXEC);
  if (in < 0) stop_merge("%s Error reading result file %s\n", part);
  std::string tail;  // the last bytes read
  ssize_t n;
  while ((n = read_block(in, block_.get(), kJoinBlockBytes)) > 0) {
    const char *bytes = block_.get();
    if (tail.empty()) {  // the first block, which holds the first line whole
      const char *end = static_cast<const char *>(memchr(bytes, '\n', static_cast<size_t>(n)));
      if (end != nullptr) first_lines_[k].assign(bytes, end);
    }
    lines_ += line_ends_in(bytes, static_cast<size_t>(n));
    tail.append(bytes + std::max<ssize_t>(0, n - static_cast<ssize_t>(kLastLineBytes)), bytes + n);
    if (tail.size() > kLastLineBytes) tail.erase(0, tail.size() - kLastLineBytes);
    if (write_fully(fd_, bytes, static_cast<size_t>(n)) < 0) {
      close(in);
      stop_merge(kMergeWriteFailed, name_.c_str());
    }
  }
  if (n < 0) stop_merge("%s Error reading result file %s\n", part);
  close(in);
  if (!tail.empty()) {
    tail.pop_back();  // its line end
    size_t line_start = tail.rfind('\n');
    last_lines_[k] = tail.substr(line_start == std::string::npos ? 0 : line_start + 1);
  }
}

bool PartJoin::joints_keep_words_apart(WordOrder &order) const {
  auto before = std::make_unique<MergeEntry>();
  auto after = std::make_unique<MergeEntry>();
  const std::string *last = nullptr;  // the last line of the parts so far
  for (size_t k = 0; k < parts_.size(); ++k) {
    if (last_lines_[k].empty()) continue;  // a part without lines
    if (last != nullptr && entry_of_line(order, true, *last, *before, false) &&
        entry_of_line(order, true, first_lines_[k], *after, false) &&
        order.same_word(before->view(), after->view())) {
      return false;
    }
    last = &last_lines_[k];
  }
  return true;
}
