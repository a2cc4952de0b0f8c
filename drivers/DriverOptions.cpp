// The drivers' command line: the shared option rules, and each driver's refusals.
#include "drivers/DriverOptions.h"

#include <cstdio>
#include <cstdlib>

#include "common/Errors.h"
#include "common/NumberArgument.h"
#include "common/WorkFiles.h"
#include "shuffle/Suffle.h"

namespace {

// Holds the longest refusal with its help text whole; Error and printMessage cut what does
// not fit their composed line.
constexpr int kRefusalSize = 512;

[[noreturn]] void refuse_with_usage(const char *text, const DriverCommandLine &line) {
  printMessage(text, COLOR_RED);
  printMessage(line.help, COLOR_RED);
  exit(1);
}

[[noreturn]] void refuse_no_arguments(int argc, const DriverCommandLine &line) {
  if (line.refusal == REFUSE_WITH_USAGE) refuse_with_usage("Error number of arguments.\n", line);
  char message[kRefusalSize];
  snprintf(message, sizeof message,
           "Error number of arguments (%d arguments passed, at least 1 required).\n%s\n", argc - 1,
           line.help);
  printMessage(message, COLOR_RED);
  exit(1);
}

// `position` is the option's index in argv, the program being 0.
[[noreturn]] void refuse_option(int position, const char *option, const DriverCommandLine &line) {
  if (line.refusal == REFUSE_WITH_USAGE) {
    refuse_with_usage("Error optional argument is incorrect.\n", line);
  }
  char message[kRefusalSize];
  snprintf(message, sizeof message, "Error optional argument %d is incorrect (%.*s).\n%s", position,
           line.shown_option_bytes, option, line.help);
  Error(message);
}

[[noreturn]] void refuse_missing_value(char letter, const DriverCommandLine &line) {
  char message[kRefusalSize];
  if (line.refusal == REFUSE_WITH_USAGE) {
    snprintf(message, sizeof message, "Error missing value for -%c.\n", letter);
    refuse_with_usage(message, line);
  }
  snprintf(message, sizeof message, "Error missing value for -%c.\n%s", letter, line.help);
  Error(message);
}

}  // namespace

DriverOptions read_driver_options(int argc, char **argv, const DriverCommandLine *line) {
  if (argc < 2) refuse_no_arguments(argc, *line);
  DriverOptions options{false, 1, DEFAULT_RESULT_FILE, 0, nullptr};
  int par = 1;
  while (par < argc && argv[par][0] == '-') {
    char letter = argv[par][1];  // the terminating zero for a lone "-"
    bool known =
        letter == 'o' || letter == 'r' || (letter == 'm' && line->accepts_multiple_mappers);
    if (!known) refuse_option(par, argv[par], *line);
    if (letter == 'm') {
      options.multiple_mappers = true;
      par += 1;
      continue;
    }
    if (par + 1 >= argc) refuse_missing_value(letter, *line);
    if (letter == 'o') {
      options.output_file = argv[par + 1];
    } else {
      options.nreducers = number_argument(argv[par + 1]);
    }
    par += 2;
  }
  // The shuffle's tables hold MAX_REDUCERS partitions; refuse more before any stage runs.
  if (options.nreducers < 1 || options.nreducers > MAX_REDUCERS) Error(line->invalid_reducers);
  options.ninputfiles = argc - par;
  options.input_files = argv + par;
  if (options.ninputfiles < 1 && line->no_input_files != nullptr) Error(line->no_input_files);
  return options;
}
