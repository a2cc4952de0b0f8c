// Filing lines into the reducers' batches, and spilling each full batch as a sorted batch file.
#include "shuffle/BatchSpill.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/Errors.h"
#include "common/RawIO.h"
#include "common/WorkFiles.h"
#include "shuffle/BatchSort.h"
#include "shuffle/CollationKeys.h"
#include "shuffle/DistinctLines.h"
#include "shuffle/LineWriting.h"
#include "shuffle/Partition.h"
#include "shuffle/Suffle.h"

char *buffer[MAX_REDUCERS][BATCH_LINES];
int nlines[MAX_REDUCERS];
int batch_count[MAX_REDUCERS];

namespace suffle_internal {

LineToFile locate_line(std::string_view line) {
  const uint32_t r = reducer_of_line(line);
  const LineToFile located{line.data(), static_cast<uint32_t>(line.size()), r,
                           line_hash(line.data(), line.size()),
                           head_bytes(line.data(), line.size())};
  prefetch_distinct_slot(r, located.hash);
  return located;
}

void file_located_line(const LineToFile &line) {
  const uint32_t r = line.reducer;
  int n = nlines[r];
  if (n == 0) clear_distinct_lines(r);
  buffer[r][n] = const_cast<char *>(intern_line(r, line.text, line.length, line.hash, line.head));
  nlines[r] = n + 1;
  if (nlines[r] == BATCH_LINES) flush_batch(static_cast<int>(r));
}

}  // namespace suffle_internal

using suffle_internal::append_repeated_line;
using suffle_internal::batch_distinct_lines;
using suffle_internal::close_written_file;
using suffle_internal::Collation;
using suffle_internal::current_collation;
using suffle_internal::DistinctLine;
using suffle_internal::file_located_line;
using suffle_internal::locate_line;
using suffle_internal::sort_distinct_lines;

void add_line(const char *line) {
  file_located_line(locate_line(std::string_view(line, strnlen(line, MAX_LINE_BYTES))));
}

int cmp_lines(const void *a, const void *b) {
  return strcoll(*static_cast<char *const *>(a), *static_cast<char *const *>(b));
}

void flush_batch(int r) {
  if (nlines[r] == 0) return;
  const Collation collation = current_collation();
  std::span<const DistinctLine> lines = batch_distinct_lines(static_cast<uint32_t>(r));
  const int distinct = static_cast<int>(lines.size());
  const uint32_t *order = sort_distinct_lines(collation, lines.data(), distinct);
  int b = batch_count[r]++;
  char name[WORK_NAME_SIZE];
  batch_file_name(name, r, b);
  int fd = create_output_file(name);
  if (fd < 0) {
    int open_errno = errno;
    snprintf(MsgError, sizeof MsgError, "[Suffle:flush_batch] Error opening batch file %s.\n",
             name);
    errno = open_errno;
    Error(MsgError);
  }
  // The table points at the lines in sorted order, as the file holds them.
  int n = 0;
  for (int d = 0; d < distinct; ++d) {
    const DistinctLine &line = lines[order[d]];
    append_repeated_line(fd, line.text, static_cast<int>(line.length), line.count);
    for (uint32_t k = 0; k < line.count; ++k) buffer[r][n++] = const_cast<char *>(line.text);
  }
  flush_batch_out(fd);
  close_written_file(fd);
  nlines[r] = 0;
}
