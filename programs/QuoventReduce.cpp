// QuoventReduce: the reduce stage as a program of its own, started by the
// multi-process drivers after the shuffle, either once for all partitions
// or, with a partition index, once per partition, all at the same time.
// Exits with 0 when its work is complete; any failure ends it through Error
// with a non-zero status.
#include <cerrno>
#include <clocale>
#include <cstdlib>

#include "common/Errors.h"
#include "common/NumberArgument.h"
#include "common/WorkFiles.h"
#include "reduce/Reduce.h"

namespace {

constexpr char kDefaultResultFile[] = DEFAULT_RESULT_FILE;

// The result file, the reducer count and the partition index.
constexpr int kMaxArguments = 3;

}  // namespace

int main(int argc, char **argv) {
  // Nothing has failed yet: an argument error exits with status 1, or with ERANGE's number
  // when the digits of a count overflowed their conversion.
  errno = 0;
  if (argc - 1 > kMaxArguments) {
    Error("[QuoventReduce] Usage: QuoventReduce [output_file] [nreducers]");
  }
  const char *output_file = argc > 1 ? argv[1] : kDefaultResultFile;
  int nreducers = 1;
  if (argc > 2) {
    nreducers = count_argument(argv[2]);
    if (nreducers < 1) Error("[QuoventReduce] Invalid number of reducers");
  }
  bool indexed = argc > 3;
  int index = indexed ? count_argument(argv[3]) : 0;
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
