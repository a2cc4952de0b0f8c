// The shuffle's output buffer: its writes to the file and the close that ends a file.
#include "shuffle/LineWriting.h"

#include "common/Errors.h"
#include "common/RawIO.h"

namespace suffle_internal {

char outbuf[SUFFLE_BLOCK_SIZE];
int outpos;

namespace {

constexpr char kWriteError[] = "[Suffle:write_line] Error writting suffle result (1).\n";

}  // namespace

void write_out(int fd) {
  if (write_fully(fd, outbuf, outpos) < 0) Error(kWriteError);
  outpos = 0;
}

// A file system may report a lost write only when the file is closed; it stops the stage like
// the failed write it is.
void close_written_file(int fd) {
  if (close_output_file(fd) != 0) Error(kWriteError);
}

}  // namespace suffle_internal

using suffle_internal::append_line;
using suffle_internal::outpos;
using suffle_internal::write_out;

void write_line(int fd, const char *line) {
  append_line(fd, line, static_cast<int>(strnlen(line, MAX_LINE_BYTES)));
}

void flush_batch_out(int fd) {
  if (outpos > 0) write_out(fd);
  outpos = 0;
}
