// QuoventMR: the whole word count in one process. The map, shuffle and reduce
// stages run one after the other as plain functions and hand over their work
// through the files in tmp/.
#include <clocale>
#include <cstdio>

#include "common/Clock.h"
#include "common/Errors.h"
#include "common/WorkFiles.h"
#include "drivers/DriverOptions.h"
#include "map/Map.h"
#include "reduce/Reduce.h"
#include "shuffle/Suffle.h"

namespace {

constexpr char pgm_help[] =
    "   Sintax: \tQuoventMR [-m 'enable_multiple_mappers''] [-r <nreducers=1>] [-o "
    "<output_file>] <input_files>\n"
    "   Example: \tQuoventMR -m -r 1 -o " DEFAULT_RESULT_FILE
    " ./Input/README.txt ./Input/LEEME.txt "
    "./Input/LLEGEIXME.txt \n";

// Zero input files are a run over nothing: every stage runs and the result is empty.
constexpr DriverCommandLine kCommandLine = {
    .help = pgm_help,
    .accepts_multiple_mappers = true,
    .refusal = REFUSE_THROUGH_ERROR,
    .shown_option_bytes = SHOW_WHOLE_OPTION,
    .invalid_reducers = "[QuoventMR] Invalid number of reducers",
    .no_input_files = nullptr,
};

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
  DriverOptions options = read_driver_options(argc, argv, &kCommandLine);
  // The shuffle's tables hold MAX_MAP_FILES map files; refuse more before any stage has
  // written a file.
  if (options.multiple_mappers && options.ninputfiles > MAX_MAP_FILES) {
    Error("[QuoventMR] Invalid number of mappers");
  }

  setlocale(LC_ALL, "");
  quovent(options.ninputfiles, options.input_files, options.output_file, options.multiple_mappers,
          options.nreducers);
  return 0;
}
