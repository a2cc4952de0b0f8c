// The map stage: the word scanner's words written as tuple lines, the stage's files and its
// messages.
#include "map/Map.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "common/Clock.h"
#include "common/Errors.h"
#include "common/RawIO.h"
#include "common/WorkFiles.h"
#include "map/ScanLoop.h"

namespace {

using word_scan::MapState;

// Bytes a tuple adds after its word: blank, the count 1, line feed.
constexpr char kTupleTail[] = TUPLE_TAIL "\n";
constexpr int kTupleTailBytes = sizeof kTupleTail - 1;

// Room that is always free at outpos between words: the word being read, lowered there, and the
// tail that makes it a tuple. The longest tuple must fit an empty buffer.
constexpr int kTupleRoom = word_scan::kWordRoom + kTupleTailBytes;
static_assert(kTupleRoom <= MAP_BLOCK_SIZE);

// Tuple lines into a map output file, written a block at a time.
struct TupleOutput {
  int fd_out;

  // The word at outpos becomes a tuple; the tuples waiting are written out when the next word
  // and its tail might not fit.
  static void finish_word(MapState<TupleOutput> &state, int length) {
    memcpy(state.outbuf + state.outpos + length, kTupleTail, kTupleTailBytes);
    state.outpos += length + kTupleTailBytes;
    if (state.outpos > MAP_BLOCK_SIZE - kTupleRoom) {
      flush_out(state.output.fd_out, state.outbuf, &state.outpos);
    }
  }
};

// A file system that reports a lost write only at close has lost map output as surely as a
// failed write, so the close stops with the text of the last write.
void close_map_output(int fd_out) {
  if (close_output_file(fd_out) != 0) {
    Error("[Map:flush_out] Error writting map result (final).\n");
  }
}

void print_stage_start(int ninputfiles) {
  snprintf(Msg, sizeof Msg, "[Map Stage]\tStart Mapper to process %d input files.\n", ninputfiles);
  print(Msg);
}

void print_file_mapped(int words, const char *input_file) {
  snprintf(Msg, sizeof Msg, "\t\tMapper processed %d words from %s file.\n", words, input_file);
  printMessage(Msg, COLOR_GREEN_L);
}

void print_stage_done(int totalwords, int ninputfiles, float time) {
  snprintf(Msg, sizeof Msg,
           "[Map Stage]\tMapper Done. Processed %d words from %d input files in %.3f secs.\n",
           totalwords, ninputfiles, time);
  print(Msg);
}

int open_map_input(const char *input_file) {
  int fd_in = open(input_file, O_RDONLY);
  if (fd_in < 0) {
    snprintf(MsgError, sizeof MsgError, "[Map:quovent_map] Error opening mapper input file %s\n",
             input_file);
    Error(MsgError);
  }
  return fd_in;
}

int open_map_output(const char *map_file) {
  int fd_out = create_output_file(map_file);
  if (fd_out < 0) {
    snprintf(MsgError, sizeof MsgError, "[Map:quovent_map] Error opening mapper output file %s\n",
             map_file);
    Error(MsgError);
  }
  return fd_out;
}

}  // namespace

void flush_out(int fd_out, char *buf, int *pos) {
  if (*pos <= 0) return;
  if (write_fully(fd_out, buf, static_cast<size_t>(*pos)) < 0) {
    Error("[Map:flush_out] Error writting map result (final).\n");
  }
  *pos = 0;
}

int map_process_file(int fd_in, int fd_out) { return map_process_range(fd_in, -1, fd_out); }

int map_process_range(int fd_in, long long length, int fd_out) {
  MapState<TupleOutput> state;
  state.output.fd_out = fd_out;
  word_scan::scan_input(word_scan::range_reader(fd_in, length), state);
  flush_out(fd_out, state.outbuf, &state.outpos);
  return static_cast<int>(state.words);
}

int quovent_mapper(int ninputfiles, char **input_files, bool multiple_mappers) {
  print_stage_start(ninputfiles);
  timespec start = monotonic_now();

  int fd_out = -1;
  if (!multiple_mappers) fd_out = open_map_output(SINGLE_MAP_FILE);

  int totalwords = 0;
  for (int i = 0; i < ninputfiles; ++i) {
    int fd_in = open_map_input(input_files[i]);
    // The input is opened before its numbered output: a missing input leaves
    // that file as it was.
    if (multiple_mappers) {
      char map_file[WORK_NAME_SIZE];
      map_file_name(map_file, i);
      fd_out = open_map_output(map_file);
    }
    int words = map_process_file(fd_in, fd_out);
    totalwords += words;
    print_file_mapped(words, input_files[i]);
    if (multiple_mappers) close_map_output(fd_out);
    close(fd_in);
  }
  if (!multiple_mappers) close_map_output(fd_out);

  print_stage_done(totalwords, ninputfiles, seconds_since(start));
  return totalwords;
}
