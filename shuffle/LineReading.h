/* How the shuffle reads map and batch files as lines, one rule set for both: only 0x0A ends a
 * line; a line is cut to its first MAX_LINE_BYTES bytes and its text ends at a zero byte
 * among them; an unterminated last line is dropped, since it is not a whole line.
 * Internal to the object module Suffle (see Suffle.cpp). */
#ifndef QUOVENT_SHUFFLE_LINEREADING_H
#define QUOVENT_SHUFFLE_LINEREADING_H

#include <string_view>

namespace {

enum class LineRead { kLine, kEnd, kFailed };

// Takes the next line from the read block, whose valid bytes are buf[pos, end), when its
// newline lies there: sets `line` to the line's text as the rules keep it (a view into buf,
// valid until the block is refilled), moves pos past the newline and returns true. Returns
// false, with nothing taken, when no newline is left in the block. Reads no byte at or past
// end.
bool take_line_in_block(const char *buf, int &pos, int end, std::string_view &line);

// Reads the next line of the file fd through its read block buf (SUFFLE_BLOCK_SIZE bytes,
// valid bytes [pos, end)), refilling the block as needed, and stores its text zero-terminated
// in `line` (LINE_SLOT bytes): kLine. kEnd at the end of the file, `line` then empty. kFailed
// when a read fails, which each caller reports in its own words.
LineRead next_line(int fd, char *buf, int &pos, int &end, char *line);

}  // namespace

#endif
