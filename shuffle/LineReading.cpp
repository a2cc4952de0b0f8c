// Line reading of the shuffle: lines gathered across block ends.
#include "shuffle/LineReading.h"

#include "common/RawIO.h"

namespace suffle_internal {

LineRead next_line(int fd, char *buf, int &pos, int &end, char *line) {
  std::string_view whole;
  if (take_line_in_block(buf, pos, end, whole)) {
    memcpy(line, whole.data(), whole.size());
    line[whole.size()] = '\0';
    return LineRead::kLine;
  }
  // The line goes on past the block, or the block is used up: its bytes are gathered from
  // block after block, those after the cut dropped, up to its newline.
  int len = 0;
  for (;;) {
    if (pos >= end) {
      ssize_t n = read_block(fd, buf, SUFFLE_BLOCK_SIZE);
      if (n < 0) return LineRead::kFailed;
      if (n == 0) {
        line[0] = '\0';  // never leave the caller a cut-off, unterminated line
        return LineRead::kEnd;
      }
      pos = 0;
      end = static_cast<int>(n);
    }
    const char *start = buf + pos;
    int available = end - pos;
    const char *newline = static_cast<const char *>(memchr(start, '\n', available));
    int span = newline != nullptr ? static_cast<int>(newline - start) : available;
    int keep = span < MAX_LINE_BYTES - len ? span : MAX_LINE_BYTES - len;
    memcpy(line + len, start, keep);
    len += keep;
    if (newline != nullptr) {
      pos += span + 1;
      line[len] = '\0';
      return LineRead::kLine;
    }
    pos = end;
  }
}

}  // namespace suffle_internal
