/* The shuffle's one output buffer, through which batch files and shuffle output files are
 * written as lines of at most MAX_LINE_BYTES bytes, each with its newline, in blocks. The spill
 * and the merge take turns with it, never both at once; a write that fails, or a close that
 * reports a lost write, stops the stage through Error. The appends are inline: the spill and
 * the merge make them for every line. Internal to the object module Suffle: every name in
 * suffle_internal is local to lib/Suffle.o (see shuffle/CMakeLists.txt). The public write_line
 * and flush_batch_out (Suffle.h) belong here too. */
#ifndef QUOVENT_SHUFFLE_LINEWRITING_H
#define QUOVENT_SHUFFLE_LINEWRITING_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "shuffle/Suffle.h"

namespace suffle_internal {

// The one output buffer, shared by the batch writer and the merge; never both at once.
extern char outbuf[SUFFLE_BLOCK_SIZE];

// Bytes waiting in outbuf; 0 whenever no file is being written, so that no byte of one file
// ever reaches another.
extern int outpos;

// The buffer is written out before a line that would take it past this many bytes, so with
// its newline it never holds more than kOutFillLimit + 1 bytes.
constexpr int kOutFillLimit = SUFFLE_BLOCK_SIZE - 2;

// A line that passes the fill test, and its newline, fit; so does the longest line with its
// newline in an emptied buffer.
static_assert(kOutFillLimit + 1 < SUFFLE_BLOCK_SIZE);
static_assert(MAX_LINE_BYTES + 1 <= kOutFillLimit);

// Writes the outpos bytes waiting to fd and empties the buffer.
void write_out(int fd);

// Closes fd, a file written through the buffer (after flush_batch_out).
void close_written_file(int fd);

// Appends a line of `length` bytes (at most MAX_LINE_BYTES) and its newline to the buffer,
// first writing out to fd what waits when the line might not fit.
inline void append_line(int fd, const char *line, int length) {
  if (outpos > 0 && outpos + length > kOutFillLimit) write_out(fd);
  memcpy(outbuf + outpos, line, length);
  outbuf[outpos + length] = '\n';
  outpos += length + 1;
}

// Appends `size` bytes that are whole lines (each at most MAX_LINE_BYTES and its newline),
// writing out what waits whenever the buffer fills, in the same bytes append_line would give
// them line by line.
inline void append_lines(int fd, const char *bytes, size_t size) {
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

// Appends `count` copies of a line of `length` bytes (at most MAX_LINE_BYTES) and its newline,
// in the bytes and with the writes append_line would make line by line. The copies that fit
// are made from the ones already in the buffer, doubling each time.
inline void append_repeated_line(int fd, const char *line, int length, uint32_t count) {
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

}  // namespace suffle_internal

#endif
