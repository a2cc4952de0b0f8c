/* The shuffle's one output buffer, through which batch files and shuffle output files are
 * written as lines of at most MAX_LINE_BYTES bytes, each with its newline, in blocks. The spill
 * and the merge take turns with it, never both at once; a write that fails, or a close that
 * reports a lost write, stops the stage through Error. Internal to the object module Suffle
 * (see Suffle.cpp). The public write_line and flush_batch_out (Suffle.h) belong here too. */
#ifndef QUOVENT_SHUFFLE_LINEWRITING_H
#define QUOVENT_SHUFFLE_LINEWRITING_H

#include <cstddef>
#include <cstdint>

namespace {

// Appends a line of `length` bytes (at most MAX_LINE_BYTES) and its newline to the buffer,
// first writing out to fd what waits when the line might not fit.
void append_line(int fd, const char *line, int length);

// Appends `size` bytes that are whole lines (each at most MAX_LINE_BYTES and its newline),
// writing out what waits whenever the buffer fills, in the same bytes append_line would give
// them line by line.
void append_lines(int fd, const char *bytes, size_t size);

// Appends `count` copies of a line of `length` bytes (at most MAX_LINE_BYTES) and its newline,
// in the bytes and with the writes append_line would make line by line.
void append_repeated_line(int fd, const char *line, int length, uint32_t count);

// Closes fd, a file written through the buffer (after flush_batch_out).
void close_written_file(int fd);

}  // namespace

#endif
