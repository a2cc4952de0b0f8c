/* The command line of the three drivers. The rules they share: options stand before the
 * input files and only the character after the "-" decides (-mfoo is -m, -out is -o); the
 * argument after -o or -r is always its value, whatever it looks like; the last -o and the
 * last -r win; the reducer count is read like atoi and must lie within 1 to MAX_REDUCERS; the
 * first argument that does not begin with "-" starts the input files. A DriverCommandLine
 * says what one driver accepts beyond that and how it refuses the rest. */
#ifndef QUOVENT_DRIVERS_DRIVEROPTIONS_H
#define QUOVENT_DRIVERS_DRIVEROPTIONS_H

#include <stdbool.h>

#ifdef __cplusplus
extern "C" {
#endif

/* How a driver refuses a command line that it cannot use. */
enum CommandLineRefusal {
  /* No argument: "Error number of arguments (%d arguments passed, at least 1 required).\n",
   * the help and a line end, in red on standard output, status 1. An unrecognised option or
   * a missing value: through Error (status errno's, 1 when 0), naming the option's position
   * and text, or the letter of the option that lacks its value, followed by the help. */
  REFUSE_THROUGH_ERROR,
  /* A short line ("Error number of arguments.\n", "Error optional argument is
   * incorrect.\n", "Error missing value for -o.\n") and then the help, each in red on
   * standard output, status 1. */
  REFUSE_WITH_USAGE,
};

/* shown_option_bytes that shows an unrecognised option whole. */
enum { SHOW_WHOLE_OPTION = -1 };

/* What one driver's command line accepts and how it refuses the rest. */
struct DriverCommandLine {
  const char *help;              /* pgm_help, shown with every refusal */
  bool accepts_multiple_mappers; /* -m is an option; otherwise it is refused */
  enum CommandLineRefusal refusal;
  /* REFUSE_THROUGH_ERROR: the bytes of an unrecognised option that its message shows. */
  int shown_option_bytes;
  const char *invalid_reducers; /* Error text for a reducer count outside 1 to MAX_REDUCERS */
  const char *no_input_files;   /* Error text when no input file follows; NULL: a run over none */
};

/* A command line that the driver accepted. */
struct DriverOptions {
  bool multiple_mappers;   /* -m was given */
  int nreducers;           /* the last -r's value, 1 without -r; within 1 to MAX_REDUCERS */
  const char *output_file; /* the last -o's value (in argv) or the default */
  int ninputfiles;         /* at least 1 where the driver has a no_input_files text */
  char **input_files;      /* argv from the first input file on */
};

/* Reads argv (argc entries, argv[0] the program) by the shared rules and `line`. Returns only
 * a command line that both accept; any other ends the process as line->refusal says, or
 * through Error with line->invalid_reducers or line->no_input_files, in this order of checks:
 * arguments, options, reducer count, input files. errno changes only where the conversion of
 * a -r value changes it (ERANGE when its digits overflow long), and Error reports that. */
struct DriverOptions read_driver_options(int argc, char **argv,
                                         const struct DriverCommandLine *line);

#ifdef __cplusplus
}
#endif

#endif
