// QuoventReduce: the reduce stage as a program of its own, started by the
// multi-process drivers after the shuffle. Exits with 0 when the result file
// is complete; any failure ends it through Error with a non-zero status.
#include <cerrno>
#include <climits>
#include <clocale>
#include <cstdlib>

#include "common/Errors.h"
#include "reduce/Reduce.h"

namespace {

constexpr char kDefaultResultFile[] = "./Result/qv.txt";

// The result file and the reducer count. The parallel driver's partition
// index will be a third argument.
constexpr int kMaxArguments = 2;

// The reducer count, read like atoi: leading blanks, optional sign, digits
// up to the first other character, 0 when there are none. A value beyond int
// is invalid rather than wrapped into some other count; 0 stands for it.
// Leaves ERANGE in errno when the text overflows long.
int parse_reducer_count(const char *text) {
  long value = strtol(text, nullptr, 10);
  if (value > INT_MAX || value < INT_MIN) return 0;
  return static_cast<int>(value);
}

}  // namespace

int main(int argc, char **argv) {
  // Nothing has failed yet; an argument error then exits with status 1.
  errno = 0;
  if (argc - 1 > kMaxArguments) {
    Error("[QuoventReduce] Usage: QuoventReduce [output_file] [nreducers]");
  }
  const char *output_file = argc > 1 ? argv[1] : kDefaultResultFile;
  int nreducers = 1;
  if (argc > 2) {
    nreducers = parse_reducer_count(argv[2]);
    if (nreducers < 1) Error("[QuoventReduce] Invalid number of reducers");
  }

  setlocale(LC_ALL, "");
  quovent_reducer(output_file, nreducers);
  return 0;
}
