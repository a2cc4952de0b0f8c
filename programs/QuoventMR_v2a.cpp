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
#include "programs/drivers/ChildProcess.h"
#include "shuffle/Suffle.h"

namespace {

constexpr char pgm_help[] =
    "   Sintax: \tQuoventMR_v2a [-r <nreducers=1>] [-o <output_file>] <input_files>\n"
    "   Example: \tQuoventMR_v2a -r 1 -o " DEFAULT_RESULT_FILE
    " ./Input/README.txt ./Input/LEEME.txt\n";

constexpr char kDefaultResultFile[] = DEFAULT_RESULT_FILE;

// Bytes of an unrecognised option that its message shows: MsgError must
// still hold the whole help text after it.
constexpr int kShownOptionBytes = 32;

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
  if (argc < 2) {
    snprintf(MsgError, sizeof MsgError,
             "Error number of arguments (%d arguments passed, at least 1 required).\n%s\n",
             argc - 1, pgm_help);
    printMessage(MsgError, COLOR_RED);
    exit(1);
  }

  int nreducers = 1;
  const char *output_file = nullptr;
  int par = 1;
  // Only the character after '-' decides (-rx is -r, -output is -o); each
  // takes the next argument as its value, whatever it looks like.
  while (par < argc && argv[par][0] == '-') {
    char option = argv[par][1];
    if (option != 'o' && option != 'r') {
      snprintf(MsgError, sizeof MsgError, "Error optional argument %d is incorrect (%.*s).\n%s",
               par, kShownOptionBytes, argv[par], pgm_help);
      Error(MsgError);
    }
    if (par + 1 >= argc) {
      snprintf(MsgError, sizeof MsgError, "Error missing value for -%c.\n%s", option, pgm_help);
      Error(MsgError);
    }
    if (option == 'o') {
      output_file = argv[par + 1];
    } else {
      nreducers = atoi(argv[par + 1]);
    }
    par += 2;
  }
  if (output_file == nullptr) output_file = kDefaultResultFile;
  if (nreducers < 1 || nreducers > MAX_REDUCERS)
    Error("[QuoventMR_v2a] Invalid number of reducers");
  int ninputfiles = argc - par;
  if (ninputfiles < 1) Error("[QuoventMR_v2a] No input files provided");

  setlocale(LC_ALL, "");
  timespec start = monotonic_now();

  StagePrograms programs = locate_stage_programs(argv[0], &kTexts);
  char **map_argv = build_map_argv(programs.map_exec, ninputfiles, argv + par, &kTexts);
  char reducers_str[kNumberTextSize];
  snprintf(reducers_str, sizeof reducers_str, "%d", nreducers);
  char one_map_file[] = "1";
  char *suffle_argv[] = {programs.suffle_exec, one_map_file, reducers_str, nullptr};
  char *reduce_argv[] = {programs.reduce_exec, const_cast<char *>(output_file), reducers_str,
                         nullptr};

  int words = run_child(map_argv, "QuoventMap");
  run_child(suffle_argv, "QuoventSuffle");
  run_child(reduce_argv, "QuoventReduce");

  free(map_argv);
  free_stage_programs(&programs);

  float time = seconds_since(start);
  snprintf(Msg, sizeof Msg,
           "[QuoventMR_v2a] Quovent completed processing %d files and %d words in %.3f secs.\n",
           ninputfiles, words, time);
  printMessage(Msg, COLOR_GREEN_D);
  return 0;
}
