// QuoventMR: the whole word count in one process. The map, shuffle and reduce
// stages run one after the other as plain functions and hand over their work
// through the files in tmp/.
#include <clocale>
#include <cstdio>
#include <cstdlib>

#include "common/Clock.h"
#include "common/Errors.h"
#include "common/WorkFiles.h"
#include "map/Map.h"
#include "reduce/Reduce.h"
#include "shuffle/Suffle.h"

namespace {

const char pgm_help[] =
    "   Sintax: \tQuoventMR [-m 'enable_multiple_mappers''] [-r <nreducers=1>] [-o "
    "<output_file>] <input_files>\n"
    "   Example: \tQuoventMR -m -r 1 -o " DEFAULT_RESULT_FILE
    " ./Input/README.txt ./Input/LEEME.txt "
    "./Input/LLEGEIXME.txt \n";

constexpr int kCommandLineMessageSize = 512;
constexpr char kDefaultResultFile[] = DEFAULT_RESULT_FILE;

// Runs the three stages in order and prints the closing line. With one input
// file the mapper always writes the single map file, which is the one the
// shuffle reads when told of one mapper.
void quovent(int ninputfiles, char **input_files, const char *output_file, bool multiple_mappers,
             int nreducers) {
  timespec start = monotonic_now();
  int words;
  if (ninputfiles == 1) {
    words = quovent_mapper(1, input_files, false);
    quovent_suffle(1, nreducers);
  } else {
    words = quovent_mapper(ninputfiles, input_files, multiple_mappers);
    quovent_suffle(multiple_mappers ? ninputfiles : 1, nreducers);
  }
  quovent_reducer(output_file, nreducers);
  float time = seconds_since(start);
  snprintf(MsgDebug, sizeof MsgDebug,
           "[QuoventApp]  Quovent completed procesing %d files and %d words in %.3f secs.\n",
           ninputfiles, words, time);
  printMessage(MsgDebug, COLOR_GREEN_D);
}

}  // namespace

int main(int argc, char **argv) {
  char MsgError[kCommandLineMessageSize];
  if (argc < 2) {
    snprintf(MsgError, sizeof MsgError,
             "Error number of arguments (%d arguments passed, at least 1 required).\n%s\n",
             argc - 1, pgm_help);
    printMessage(MsgError, COLOR_RED);
    exit(1);
  }

  bool MultipleMappers = false;
  int NReducers = 1;
  const char *OutputFileName = nullptr;
  int par = 1;
  // Only the character after the "-" decides: -mappers is -m, -out is -o. The
  // first argument that does not begin with "-" is the first input file.
  while (par < argc && argv[par][0] == '-') {
    char option = argv[par][1];
    if (option != 'o' && option != 'r' && option != 'm') {
      snprintf(MsgError, sizeof MsgError, "Error optional argument %d is incorrect (%s).\n%s", par,
               argv[par], pgm_help);
      Error(MsgError);
    }
    if (option == 'm') {
      MultipleMappers = true;
      par += 1;
      continue;
    }
    if (par + 1 >= argc) {
      snprintf(MsgError, sizeof MsgError, "Error missing value for -%c.\n%s", option, pgm_help);
      Error(MsgError);
    }
    if (option == 'o') {
      OutputFileName = argv[par + 1];
    } else {
      NReducers = atoi(argv[par + 1]);
    }
    par += 2;
  }
  if (OutputFileName == nullptr) OutputFileName = kDefaultResultFile;
  int ninputfiles = argc - par;

  // The shuffle's tables hold MAX_REDUCERS partitions and MAX_MAP_FILES map
  // files; refuse more before any stage has written a file.
  if (NReducers < 1 || NReducers > MAX_REDUCERS) Error("[QuoventMR] Invalid number of reducers");
  if (MultipleMappers && ninputfiles > MAX_MAP_FILES) {
    Error("[QuoventMR] Invalid number of mappers");
  }

  setlocale(LC_ALL, "");
  quovent(ninputfiles, argv + par, OutputFileName, MultipleMappers, NReducers);
  return 0;
}
