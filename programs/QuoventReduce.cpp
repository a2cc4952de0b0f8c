// QuoventReduce: the reduce stage as a program of its own, started by the
// multi-process drivers after the shuffle, either once for all partitions
// or, with a partition index, once per partition, all at the same time.
// Exits with 0 when its work is complete; any failure ends it through Error
// with a non-zero status.
#include <cerrno>
#include <climits>
#include <clocale>
#include <cstdlib>

#include "common/Errors.h"
#include "common/WorkFiles.h"
#include "reduce/Reduce.h"

namespace {

constexpr char kDefaultResultFile[] = DEFAULT_RESULT_FILE;

// The result file, the reducer count and the partition index.
constexpr int kMaxArguments = 3;

// The reducer count or partition index, read like atoi: leading blanks,
// optional sign, digits up to the first other character, 0 when there are
// none. A value beyond int is invalid for both rather than wrapped into
// some other number; -1 stands for it. Leaves ERANGE in errno when the text
// overflows long.
int parse_number(const char *text) {
  long value = strtol(text, nullptr, 10);
  if (value > INT_MAX || value < INT_MIN) return -1;
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
    nreducers = parse_number(argv[2]);
    if (nreducers < 1) Error("[QuoventReduce] Invalid number of reducers");
  }
  bool indexed = argc > 3;
  int index = indexed ? parse_number(argv[3]) : 0;
  if (index < 0 || index >= nreducers) Error("[QuoventReduce] Invalid reducer index");

  setlocale(LC_ALL, "");
  if (indexed) {
    // Without a token from a driver, reducers run by hand share the empty one.
    const char *run_token = getenv(REDUCE_RUN_TOKEN_VARIABLE);
    quovent_reducer_part(output_file, nreducers, index, run_token != nullptr ? run_token : "");
  } else {
    quovent_reducer(output_file, nreducers);
  }
  return 0;
}
