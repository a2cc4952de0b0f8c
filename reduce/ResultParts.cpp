// One result file from reducers that run at the same time: part files
// renamed into place, assembled under a lock by the reducer that completes
// the set (the design is described in ResultParts.h).
#include "reduce/ResultParts.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/Errors.h"
#include "common/RawIO.h"
#include "reduce/Reduce.h"

namespace {

constexpr char kOutputFailure[] =
    "[Reduce::quovent_reducer] Error opening reducer output file %s\n";

// Error with a file name, keeping the errno of the call that failed.
[[noreturn]] void stop(const char *format, const char *name) {
  int call_errno = errno;
  snprintf(MsgError, sizeof MsgError, format, name);
  errno = call_errno;
  Error(MsgError);
}

// Longest suffix of a name beside the result: ".part-2147483648.tmp-2147483648".
constexpr int kSuffixSize = 40;

// output_file + suffix. The temporary part's name is the longest of these
// names, and begin_result_part builds it first; a cut name would be some
// other file.
void name_beside(char (&name)[RESULT_PART_NAME_SIZE], const char *output_file, const char *suffix) {
  int length = snprintf(name, sizeof name, "%s%s", output_file, suffix);
  if (length < 0 || length >= static_cast<int>(sizeof name)) {
    errno = ENAMETOOLONG;
    stop(kOutputFailure, output_file);
  }
}

void part_name(char (&name)[RESULT_PART_NAME_SIZE], const ResultPart &part, int index) {
  char suffix[kSuffixSize];
  snprintf(suffix, sizeof suffix, ".part%d", index);
  name_beside(name, part.output_file, suffix);
}

// The header that part `index` of this run begins with; returns its length.
int part_header(char (&header)[RESULT_PART_HEADER_SIZE], const ResultPart &part, int index) {
  return snprintf(header, sizeof header, "quovent part %d of %d run %.*s\n", index, part.n_reducers,
                  RESULT_PART_TOKEN_BYTES, part.run_token);
}
static_assert(RESULT_PART_HEADER_SIZE >
              sizeof "quovent part -2147483648 of -2147483648 run \n" + RESULT_PART_TOKEN_BYTES);

// Reads up to size bytes, fewer only at the end of the file.
ssize_t read_up_to(int fd, char *buf, size_t size) {
  size_t got = 0;
  while (got < size) {
    ssize_t n = read_block(fd, buf + got, size - got);
    if (n < 0) return -1;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(got);
}

// Opens part `index` and reads past its header. Returns the descriptor, or
// -1 when the part is missing or belongs to another run.
int open_part_of_this_run(const ResultPart &part, int index) {
  char name[RESULT_PART_NAME_SIZE];
  part_name(name, part, index);
  int fd = open(name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return -1;
    stop("[Reduce::finish_result_part] Error opening result part %s\n", name);
  }
  char expected[RESULT_PART_HEADER_SIZE];
  int length = part_header(expected, part, index);
  char found[RESULT_PART_HEADER_SIZE];
  ssize_t n = read_up_to(fd, found, static_cast<size_t>(length));
  if (n < 0) stop("[Reduce::finish_result_part] Error reading result part %s\n", name);
  if (n == length && memcmp(found, expected, static_cast<size_t>(length)) == 0) return fd;
  close(fd);
  return -1;
}

bool all_parts_of_this_run(const ResultPart &part) {
  for (int index = 0; index < part.n_reducers; ++index) {
    int fd = open_part_of_this_run(part, index);
    if (fd < 0) return false;
    close(fd);
  }
  return true;
}

// Concatenates the sections in index order into a temporary file renamed
// over the result file, so that the result is never seen half written.
void assemble_result(const ResultPart &part) {
  char temp_result[RESULT_PART_NAME_SIZE];
  char suffix[kSuffixSize];
  snprintf(suffix, sizeof suffix, ".tmp%d", static_cast<int>(getpid()));
  name_beside(temp_result, part.output_file, suffix);
  int fd_out = create_output_file(temp_result);
  if (fd_out < 0) stop(kOutputFailure, temp_result);
  char block[REDUCE_BLOCK_SIZE];
  for (int index = 0; index < part.n_reducers; ++index) {
    // The set cannot change while the lock is held.
    int fd_in = open_part_of_this_run(part, index);
    ssize_t n;
    while ((n = read_block(fd_in, block, sizeof block)) > 0) {
      if (write_fully(fd_out, block, static_cast<size_t>(n)) < 0) {
        stop("[Reduce::finish_result_part] Error writing %s\n", temp_result);
      }
    }
    if (n < 0)
      stop("[Reduce::finish_result_part] Error reading result part of %s\n", part.output_file);
    close(fd_in);
  }
  if (close_output_file(fd_out) != 0) {
    stop("[Reduce::finish_result_part] Error writing %s\n", temp_result);
  }
  if (rename(temp_result, part.output_file) != 0) {
    stop("[Reduce::finish_result_part] Error renaming %s\n", temp_result);
  }
}

// Takes the lock that orders the reducers of a run; it is released when the
// descriptor is closed or the process ends.
int lock_result(const ResultPart &part) {
  char lock_name[RESULT_PART_NAME_SIZE];
  name_beside(lock_name, part.output_file, ".lock");
  int fd = open(lock_name, O_RDWR | O_CREAT | O_CLOEXEC, CREATED_FILE_MODE);
  if (fd < 0) stop(kOutputFailure, lock_name);
  int locked;
  do {
    locked = flock(fd, LOCK_EX);
  } while (locked != 0 && errno == EINTR);
  if (locked != 0) stop("[Reduce::finish_result_part] Error locking %s\n", lock_name);
  return fd;
}

}  // namespace

void begin_result_part(ResultPart *part, const char *output_file, int n_reducers, int index,
                       const char *run_token) {
  part->output_file = output_file;
  part->n_reducers = n_reducers;
  part->index = index;
  part->run_token = run_token;
  // Built before anything is touched: every other name beside the result is
  // shorter than this one.
  char suffix[kSuffixSize];
  snprintf(suffix, sizeof suffix, ".part%d.tmp%d", index, static_cast<int>(getpid()));
  name_beside(part->temp_name, output_file, suffix);

  int fd_result = create_output_file(output_file);
  if (fd_result < 0) stop(kOutputFailure, output_file);
  // Checked like the close of every file written: were the emptying lost, an earlier run's
  // result would pass for this run's after a failure.
  if (close_output_file(fd_result) != 0) stop(kOutputFailure, output_file);

  part->fd = create_output_file(part->temp_name);
  if (part->fd < 0) stop(kOutputFailure, part->temp_name);
  char header[RESULT_PART_HEADER_SIZE];
  int length = part_header(header, *part, index);
  if (write_fully(part->fd, header, static_cast<size_t>(length)) < 0) {
    stop("[Reduce::begin_result_part] Error writing result part %s\n", part->temp_name);
  }
}

void finish_result_part(ResultPart *part) {
  if (close_output_file(part->fd) != 0) {
    stop("[Reduce::finish_result_part] Error writing result part %s\n", part->temp_name);
  }
  int lock_fd = lock_result(*part);
  char name[RESULT_PART_NAME_SIZE];
  part_name(name, *part, part->index);
  if (rename(part->temp_name, name) != 0) {
    stop("[Reduce::finish_result_part] Error renaming %s\n", part->temp_name);
  }
  // Parts appear one at a time under the lock, so exactly one reducer, the
  // last, finds the whole set.
  if (all_parts_of_this_run(*part)) assemble_result(*part);
  close(lock_fd);
}
