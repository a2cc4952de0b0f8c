// QuoventSuffle: the shuffle stage as a program of its own, started by the multi-process
// drivers after the mappers. Exit status 0 means every shuffle output file is complete.
#include <cerrno>
#include <clocale>

#include "common/Errors.h"
#include "common/NumberArgument.h"
#include "shuffle/Suffle.h"

namespace {

// No call has failed: errno 0 makes Error exit with status 1, which the drivers see as a
// refused command line.
[[noreturn]] void command_line_error(const char *text) {
  errno = 0;
  Error(text);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 3) command_line_error("[QuoventSuffle] Usage: QuoventSuffle <nmappers> <nreducers>");
  int nmappers = count_argument(argv[1]);
  int nreducers = count_argument(argv[2]);
  // Mappers first: a command line with both counts wrong reports the mappers.
  if (nmappers < 1 || nmappers > MAX_MAP_FILES) {
    command_line_error("[QuoventSuffle] Invalid number of mappers");
  }
  if (nreducers < 1 || nreducers > MAX_REDUCERS) {
    command_line_error("[QuoventSuffle] Invalid number of reducers");
  }
  setlocale(LC_ALL, "");
  quovent_suffle(nmappers, nreducers);
  return 0;
}
