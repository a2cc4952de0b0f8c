// QuoventSuffle: the shuffle stage as a program of its own, started by the multi-process
// drivers after the mappers. Exit status 0 means every shuffle output file is complete.
#include <cerrno>
#include <climits>
#include <clocale>

#include "common/Errors.h"
#include "shuffle/Suffle.h"

namespace {

// A count read as atoi reads it: leading white space, an optional sign, decimal digits up to
// the first other character, 0 without digits. A value beyond int is held at INT_MAX or
// INT_MIN, so that "4294967297" is out of range instead of wrapping round to 1.
int parse_count(const char *text) {
  while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
  bool negative = *text == '-';
  if (*text == '-' || *text == '+') ++text;
  long long value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    if (value <= static_cast<long long>(INT_MAX) + 1) value = value * 10 + (*text - '0');
  }
  if (negative) value = -value;
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

// No call has failed: errno 0 makes Error exit with status 1, which the drivers see as a
// refused command line.
[[noreturn]] void command_line_error(const char *text) {
  errno = 0;
  Error(text);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 3) command_line_error("[QuoventSuffle] Usage: QuoventSuffle <nmappers> <nreducers>");
  int nmappers = parse_count(argv[1]);
  int nreducers = parse_count(argv[2]);
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
