// QuoventMR_v2b: the word count through the three stage programs in three
// phases that never overlap: the mappers (with -m one per input file, all at
// once), the shuffle alone, then one reducer per partition, all at once. Each
// phase's processes are waited for in start order.
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "common/Clock.h"
#include "common/Errors.h"
#include "common/WorkFiles.h"
#include "drivers/ChildProcess.h"
#include "drivers/DriverOptions.h"
#include "reduce/Reduce.h"

namespace {

constexpr char pgm_help[] =
    "   Sintax: \tQuoventMR_v2b [-m] [-r <nreducers=1>] [-o <output_file>] <input_files>\n"
    "   Example: \tQuoventMR_v2b -m -r 2 -o " DEFAULT_RESULT_FILE
    " ./Input/README.txt "
    "./Input/LEEME.txt\n";

// Its own command-line errors are usage errors, status 1; a bad count or no input still
// stops through Error.
constexpr DriverCommandLine kCommandLine = {
    .help = pgm_help,
    .accepts_multiple_mappers = true,
    .refusal = REFUSE_WITH_USAGE,
    .shown_option_bytes = 0,  // not shown: the refusal names no option
    .invalid_reducers = "[QuoventMR_v2b] Invalid number of reducers",
    .no_input_files = "[QuoventMR_v2b] No input files provided",
};

// "-2147483648" and its terminating zero: a mapper's or reducer's index, a count.
constexpr int kNumberTextSize = 16;

// A run token: process id and wall-clock nanoseconds.
constexpr int kRunTokenSize = 64;

// Program, "-i", index, input file / program, result file, count, index; null.
constexpr int kStageArgs = 5;

constexpr DriverTexts kTexts = {
    "[QuoventMR_v2b] malloc failed",
    "[QuoventMR_v2b] Started %s process %d.\n",
    "[QuoventMR_v2b] Error creating process",
    "[QuoventMR_v2b] Error executing process",
    "[QuoventMR_v2b] Error waiting for process",
    "[QuoventMR_v2b] Process did not finish normally",
    "[QuoventMR_v2b] %s process failed",
};

// One process per entry, all started before any is waited for. Each entry
// owns its argument vector and the decimal text of its index.
struct Phase {
  int count;
  Child *children;
  char **args;  // count vectors of kStageArgs pointers
  char *ids;    // count texts of kNumberTextSize bytes
};

Phase new_phase(int count) {
  Phase phase;
  phase.count = count;
  phase.children = static_cast<Child *>(driver_alloc(count * sizeof(Child), &kTexts));
  phase.args = static_cast<char **>(driver_alloc(count * kStageArgs * sizeof(char *), &kTexts));
  phase.ids = static_cast<char *>(driver_alloc(count * kNumberTextSize, &kTexts));
  for (int i = 0; i < count; ++i)
    snprintf(phase.ids + i * kNumberTextSize, kNumberTextSize, "%d", i);
  return phase;
}

char **stage_args(const Phase &phase, int i) { return phase.args + i * kStageArgs; }
char *stage_id(const Phase &phase, int i) { return phase.ids + i * kNumberTextSize; }

// Starts every process of the phase, then collects them in start order; a
// process that ends early is collected only when its turn comes. Returns the
// sum of the exit statuses (the mappers' word counts).
int run_phase(const Phase &phase, const char *stage, bool status_is_counter) {
  for (int i = 0; i < phase.count; ++i) {
    phase.children[i] = start_child(stage_args(phase, i), stage, status_is_counter, &kTexts);
  }
  int total = 0;
  for (int i = 0; i < phase.count; ++i) total += wait_child(&phase.children[i], stage, &kTexts);
  return total;
}

void free_phase(Phase &phase) {
  free(phase.children);
  free(phase.args);
  free(phase.ids);
}

int run_single_map(char *map_exec, int ninputfiles, char **input_files) {
  char **map_argv = build_map_argv(map_exec, ninputfiles, input_files, &kTexts);
  Child child = start_child(map_argv, "QuoventMap", true, &kTexts);
  int words = wait_child(&child, "QuoventMap", &kTexts);
  free(map_argv);
  return words;
}

// The sum of the mappers' word counts, each taken modulo 256 on its own.
int run_multiple_maps(char *map_exec, int ninputfiles, char **input_files) {
  Phase phase = new_phase(ninputfiles);
  char map_id_option[] = "-i";
  for (int i = 0; i < ninputfiles; ++i) {
    char **args = stage_args(phase, i);
    args[0] = map_exec;
    args[1] = map_id_option;
    args[2] = stage_id(phase, i);
    args[3] = input_files[i];
    args[4] = nullptr;
  }
  int totalwords = run_phase(phase, "QuoventMap", true);
  free_phase(phase);
  return totalwords;
}

void run_suffle(char *suffle_exec, int nmappers, int nreducers) {
  char nmappers_str[kNumberTextSize];
  char nreducers_str[kNumberTextSize];
  snprintf(nmappers_str, sizeof nmappers_str, "%d", nmappers);
  snprintf(nreducers_str, sizeof nreducers_str, "%d", nreducers);
  char *suffle_argv[] = {suffle_exec, nmappers_str, nreducers_str, nullptr};
  Child child = start_child(suffle_argv, "QuoventSuffle", false, &kTexts);
  wait_child(&child, "QuoventSuffle", &kTexts);
}

// The reducers assemble the result file from their parts only when every
// part carries this run's token, so that parts left by an earlier run never
// enter it. Process id and wall-clock time make it unique to this run.
void hand_out_run_token() {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  char token[kRunTokenSize];
  snprintf(token, sizeof token, "%d-%lld-%ld", static_cast<int>(getpid()),
           static_cast<long long>(now.tv_sec), now.tv_nsec);
  if (setenv(REDUCE_RUN_TOKEN_VARIABLE, token, 1) != 0) Error(kTexts.malloc_failed);
}

void run_reducers(char *reduce_exec, const char *output_file, int nreducers) {
  Phase phase = new_phase(nreducers);
  char nreducers_str[kNumberTextSize];
  snprintf(nreducers_str, sizeof nreducers_str, "%d", nreducers);
  for (int i = 0; i < nreducers; ++i) {
    char **args = stage_args(phase, i);
    args[0] = reduce_exec;
    args[1] = const_cast<char *>(output_file);
    args[2] = nreducers_str;
    args[3] = stage_id(phase, i);
    args[4] = nullptr;
  }
  hand_out_run_token();
  run_phase(phase, "QuoventReduce", false);
  free_phase(phase);
}

}  // namespace

int main(int argc, char **argv) {
  DriverOptions options = read_driver_options(argc, argv, &kCommandLine);
  int ninputfiles = options.ninputfiles;
  // One input file goes to one mapper without -i, whose map file is the one
  // the shuffle reads when told of one mapper.
  bool multiple_mappers = options.multiple_mappers && ninputfiles != 1;
  int nmappers = multiple_mappers ? ninputfiles : 1;

  setlocale(LC_ALL, "");
  timespec start = monotonic_now();

  StagePrograms programs = locate_stage_programs(argv[0], &kTexts);
  int words = multiple_mappers
                  ? run_multiple_maps(programs.map_exec, ninputfiles, options.input_files)
                  : run_single_map(programs.map_exec, ninputfiles, options.input_files);
  run_suffle(programs.suffle_exec, nmappers, options.nreducers);
  run_reducers(programs.reduce_exec, options.output_file, options.nreducers);
  free_stage_programs(&programs);

  float time = seconds_since(start);
  snprintf(Msg, sizeof Msg,
           "[QuoventMR_v2b] Quovent completed processing %d files and %d words in %.3f secs.\n",
           ninputfiles, words, time);
  printMessage(Msg, COLOR_GREEN_D);
  return 0;
}
