// The shuffle's output buffer: lines, runs of lines and repeated lines into batch files and
// shuffle output files.
#include "shuffle/LineWriting.h"

#include <cstring>

#include "common/Errors.h"
#include "common/RawIO.h"
#include "shuffle/Suffle.h"

// The one output buffer, shared by the batch writer and the merge; never both at once.
static char outbuf[SUFFLE_BLOCK_SIZE];

// Bytes waiting in outbuf; 0 whenever no file is being written, so that no byte of one file
// ever reaches another.
static int outpos;

namespace {

// The buffer is written out before a line that would take it past this many bytes, so with
// its newline it never holds more than kOutFillLimit + 1 bytes.
constexpr int kOutFillLimit = SUFFLE_BLOCK_SIZE - 2;

// A line that passes the fill test, and its newline, fit; so does the longest line with its
// newline in an emptied buffer.
static_assert(kOutFillLimit + 1 < SUFFLE_BLOCK_SIZE);
static_assert(MAX_LINE_BYTES + 1 <= kOutFillLimit);

constexpr char kWriteError[] = "[Suffle:write_line] Error writting suffle result (1).\n";

void write_out(int fd) {
  if (write_fully(fd, outbuf, outpos) < 0) Error(kWriteError);
  outpos = 0;
}

// A file system may report a lost write only when the file is closed; it stops the stage like
// the failed write it is.
void close_written_file(int fd) {
  if (close_output_file(fd) != 0) Error(kWriteError);
}

void append_line(int fd, const char *line, int length) {
  if (outpos > 0 && outpos + length > kOutFillLimit) write_out(fd);
  memcpy(outbuf + outpos, line, length);
  outbuf[outpos + length] = '\n';
  outpos += length + 1;
}

void append_lines(int fd, const char *bytes, size_t size) {
  while (size > 0) {
    if (outpos >= kOutFillLimit) write_out(fd);
    size_t room = static_cast<size_t>(kOutFillLimit - outpos);
    size_t take = size < room ? size : room;
    memcpy(outbuf + outpos, bytes, take);
    outpos += static_cast<int>(take);
    bytes += take;
    size -= take;
  }
}

// The copies that fit are made from the ones already in the buffer, doubling each time.
void append_repeated_line(int fd, const char *line, int length, uint32_t count) {
  const int unit = length + 1;
  while (count > 0) {
    if (outpos > 0 && outpos + length > kOutFillLimit) write_out(fd);
    char *first = outbuf + outpos;
    memcpy(first, line, static_cast<size_t>(length));
    first[length] = '\n';
    // Copies after the first that pass append_line's fill test: each starts at most at
    // kOutFillLimit - length.
    uint32_t fit = 1 + static_cast<uint32_t>((kOutFillLimit - length - outpos) / unit);
    uint32_t made = 1;
    uint32_t wanted = count < fit ? count : fit;
    while (made < wanted) {
      uint32_t more = made < wanted - made ? made : wanted - made;
      memcpy(first + size_t{made} * unit, first, size_t{more} * unit);
      made += more;
    }
    outpos += static_cast<int>(made) * unit;
    count -= made;
  }
}

}  // namespace

void write_line(int fd, const char *line) {
  append_line(fd, line, static_cast<int>(strnlen(line, MAX_LINE_BYTES)));
}

void flush_batch_out(int fd) {
  if (outpos > 0) write_out(fd);
  outpos = 0;
}
