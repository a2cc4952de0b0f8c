// QuoventMap: the map stage as a program of its own, started by the
// multi-process drivers. Its exit status is the number of tuples written
// (the system keeps the low 8 bits), never a failure; a driver learns of a
// failure through the channel of common/StatusChannel.h.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/Clock.h"
#include "common/Errors.h"
#include "common/NumberArgument.h"
#include "common/RawIO.h"
#include "common/StatusChannel.h"
#include "common/WorkFiles.h"
#include "map/Map.h"

namespace {

constexpr char pgm_help[] =
    "   Sintax: \tQuoventMap [-i <map_id>] <input_files>\n"
    "   Example: \tQuoventMap -i 0 ./Input/README.txt\n";

[[noreturn]] void usage_error(const char *text) {
  printMessage(text, COLOR_RED);
  printMessage(pgm_help, COLOR_RED);
  exit(1);
}

// SINGLE_MAP_FILE for a negative id: a mapper without -i writes the file
// that the shuffle reads when told of one mapper.
void build_map_output_name(char (&out)[WORK_NAME_SIZE], int map_id) {
  if (map_id < 0) {
    snprintf(out, sizeof out, "%s", SINGLE_MAP_FILE);
  } else {
    map_file_name(out, map_id);
  }
}

}  // namespace

int main(int argc, char **argv) {
  // Every way out but the return below is a failure the driver must hear of.
  report_failure_at_fatal_exit();
  if (argc < 2) usage_error("Error number of arguments.\n");

  int map_id = -1;
  int par = 1;
  if (strcmp(argv[1], "-i") == 0) {
    if (argc < 4) usage_error("Error missing map id or input file.\n");
    map_id = number_argument(argv[2]);
    par = 3;
  }
  int ninputfiles = argc - par;

  setlocale(LC_ALL, "");
  timespec start = monotonic_now();
  snprintf(Msg, sizeof Msg, "[Map Stage]\tStart Mapper to process %d input files.\n", ninputfiles);
  print(Msg);

  char map_file[WORK_NAME_SIZE];
  build_map_output_name(map_file, map_id);
  int fd_out = create_output_file(map_file);
  if (fd_out < 0) Error("[QuoventMap] Error opening mapper output file");

  int totalwords = 0;
  for (int i = 1; i <= ninputfiles; ++i) {
    int fd_in = open(argv[par + i - 1], O_RDONLY);
    if (fd_in < 0) {
      int open_errno = errno;
      close(fd_out);
      errno = open_errno;
      Error("[QuoventMap] Error opening mapper input file");
    }
    int words = map_process_file(fd_in, fd_out);
    totalwords += words;
    close(fd_in);
    snprintf(Msg, sizeof Msg, "\t\tMapper processed %d words from input file %d.\n", words, i);
    printMessage(Msg, COLOR_GREEN_L);
  }
  // A lost write reported at close is a failed write of the map output.
  if (close_output_file(fd_out) != 0) Error("[Map:flush_out] Error writting map result (final).\n");

  float time = seconds_since(start);
  snprintf(Msg, sizeof Msg,
           "[Map Stage]\tMapper Done. Processed %d words from %d input files in %.3f secs.\n",
           totalwords, ninputfiles, time);
  print(Msg);
  mark_normal_end();
  return totalwords;
}
