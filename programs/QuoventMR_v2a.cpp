// QuoventMR_v2a: the word count through the three stage programs, run as
// child processes strictly one after the other. The stage programs lie
// beside the driver; they pass their data through tmp/ and the result file,
// and the driver reads no file itself.
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/Clock.h"
#include "common/Errors.h"
#include "common/WorkFiles.h"
#include "drivers/ChildProcess.h"
#include "drivers/DriverOptions.h"

namespace {

constexpr char pgm_help[] =
    "   Sintax: \tQuoventMR_v2a [-r <nreducers=1>] [-o <output_file>] <input_files>\n"
    "   Example: \tQuoventMR_v2a -r 1 -o " DEFAULT_RESULT_FILE
    " ./Input/README.txt ./Input/LEEME.txt\n";

constexpr DriverCommandLine kCommandLine = {
    .help = pgm_help,
    .accepts_multiple_mappers = false,
    .refusal = REFUSE_THROUGH_ERROR,
    // Short enough that the help text after it always stays whole.
    .shown_option_bytes = 32,
    .invalid_reducers = "[QuoventMR_v2a] Invalid number of reducers",
    .no_input_files = "[QuoventMR_v2a] No input files provided",
};

// "-2147483648" and its terminating zero.
constexpr int kNumberTextSize = 16;

constexpr DriverTexts kTexts = {
    "[QuoventMR_v2a] malloc failed",
    "[QuoventMR_v2a] Started %s process %d.\n",
    "[QuoventMR_v2a] Error creating %s process",
    "[QuoventMR_v2a] Error executing %s",
    "[QuoventMR_v2a] Error waiting for %s process",
    "[QuoventMR_v2a] %s process did not finish normally",
    "[QuoventMR_v2a] %s process failed",
};

// Runs one stage program to its end. Returns its exit status, which only for
// the mapper is a number (its word count); any other failed end stops the
// driver.
int run_child(char *const child_argv[], const char *stage) {
  bool status_is_counter = strcmp(stage, "QuoventMap") == 0;
  Child child = start_child(child_argv, stage, status_is_counter, &kTexts);
  return wait_child(&child, stage, &kTexts);
}

}  // namespace

int main(int argc, char **argv) {
  DriverOptions options = read_driver_options(argc, argv, &kCommandLine);

  setlocale(LC_ALL, "");
  timespec start = monotonic_now();

  StagePrograms programs = locate_stage_programs(argv[0], &kTexts);
  char **map_argv =
      build_map_argv(programs.map_exec, options.ninputfiles, options.input_files, &kTexts);
  char reducers_str[kNumberTextSize];
  snprintf(reducers_str, sizeof reducers_str, "%d", options.nreducers);
  char one_map_file[] = "1";
  char *suffle_argv[] = {programs.suffle_exec, one_map_file, reducers_str, nullptr};
  char *reduce_argv[] = {programs.reduce_exec, const_cast<char *>(options.output_file),
                         reducers_str, nullptr};

  int words = run_child(map_argv, "QuoventMap");
  run_child(suffle_argv, "QuoventSuffle");
  run_child(reduce_argv, "QuoventReduce");

  free(map_argv);
  free_stage_programs(&programs);

  float time = seconds_since(start);
  snprintf(Msg, sizeof Msg,
           "[QuoventMR_v2a] Quovent completed processing %d files and %d words in %.3f secs.\n",
           options.ninputfiles, words, time);
  printMessage(Msg, COLOR_GREEN_D);
  return 0;
}
