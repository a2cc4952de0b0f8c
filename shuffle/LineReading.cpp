// Line reading of the shuffle: lines taken where they lie in the read block, and lines gathered
// across block ends; the map and batch line readers.
#include "shuffle/LineReading.h"

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstring>

#include "common/Errors.h"
#include "common/RawIO.h"
#include "shuffle/LineBytes.h"
#include "shuffle/Suffle.h"

namespace {

// Lines up to this many bytes, newline included, are looked for eight bytes a step; map lines
// are words with " 1", and most are far shorter.
constexpr int kShortLineBytes = 64;
static_assert(kShortLineBytes % sizeof(uint64_t) == 0 && kShortLineBytes <= MAX_LINE_BYTES);
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__);

// The length of the line at `start` when its newline lies before `end`, within kShortLineBytes,
// with no zero byte before it; otherwise -1, and the general path takes the line.
int short_line_length(const char *start, const char *end) {
  constexpr uint64_t kOnes = 0x0101010101010101u;
  constexpr uint64_t kHighBits = kOnes << (CHAR_BIT - 1);
  constexpr uint64_t kNewlines = kOnes * '\n';
  for (int k = 0; k < kShortLineBytes; k += sizeof(uint64_t)) {
    if (end - (start + k) < static_cast<ptrdiff_t>(sizeof(uint64_t))) return -1;
    uint64_t bytes = load_bytes(start + k, sizeof(uint64_t));
    uint64_t not_newline = bytes ^ kNewlines;
    // High bit of each byte that is zero or a newline; exact up to the first such byte, which
    // is all that is used (the loads are little-endian).
    uint64_t found =
        ((not_newline - kOnes) & ~not_newline & kHighBits) | ((bytes - kOnes) & ~bytes & kHighBits);
    if (found != 0) {
      int at = k + __builtin_ctzll(found) / CHAR_BIT;
      return start[at] == '\n' ? at : -1;
    }
  }
  return -1;
}

// Inline: it is the per-line path of the stage and of the merge, which call it for every line.
inline bool take_line_in_block(const char *buf, int &pos, int end, std::string_view &line) {
  if (pos >= end) return false;
  const char *start = buf + pos;
  int short_length = short_line_length(start, buf + end);
  if (short_length >= 0) {
    line = std::string_view(start, static_cast<size_t>(short_length));
    pos += short_length + 1;
    return true;
  }
  size_t available = static_cast<size_t>(end - pos);
  const char *newline = static_cast<const char *>(memchr(start, '\n', available));
  if (newline == nullptr) return false;
  size_t span = static_cast<size_t>(newline - start);
  size_t kept = std::min(span, size_t{MAX_LINE_BYTES});
  const char *zero = static_cast<const char *>(memchr(start, '\0', kept));
  line = std::string_view(start, zero != nullptr ? static_cast<size_t>(zero - start) : kept);
  pos += static_cast<int>(span) + 1;
  return true;
}

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

}  // namespace

int read_line_map(MapFile *mf, char *line) {
  LineRead result = next_line(mf->fd, mf->buf, mf->pos, mf->end, line);
  // Ending the file quietly here would lose its remaining tuples and report success.
  if (result == LineRead::kFailed) Error("[Suffle:read_line_map] Error reading map file.\n");
  return result == LineRead::kLine ? 1 : 0;
}

int read_line_batch(BatchFile *bf) {
  LineRead result = next_line(bf->fd, bf->buf, bf->pos, bf->end, bf->line);
  if (result == LineRead::kFailed) Error("[Suffle:read_line_batch] Error reading batch file.\n");
  return result == LineRead::kLine ? 1 : 0;
}
