// The shuffle stage: every map file read line by line (the map files' line reader), each line
// filed under its reducer, then every reducer spilled and merged.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <string_view>

#include "common/Clock.h"
#include "common/Errors.h"
#include "common/WorkFiles.h"
#include "shuffle/BatchSpill.h"
#include "shuffle/LineReading.h"
#include "shuffle/Suffle.h"

using suffle_internal::file_located_line;
using suffle_internal::LineRead;
using suffle_internal::LineToFile;
using suffle_internal::locate_line;
using suffle_internal::next_line;
using suffle_internal::take_line_in_block;

// Readers of the map files of the running stage; record i reads map file i. Kept here rather
// than on the stack: 32 readers of 64 KiB are 2 MiB.
static MapFile maps[MAX_MAP_FILES];

namespace {

static_assert(MAX_LINE_BYTES == 255 && LINE_SLOT == MAX_LINE_BYTES + 1);
static_assert(BATCH_LINES == 262144 && MAX_BATCH_FILES == 128);
static_assert(MAX_REDUCERS == 16 && MAX_MAP_FILES == 32);
// Every line of a run that the merges can take fits the int line counters.
static_assert(static_cast<long long>(MAX_BATCH_FILES) * BATCH_LINES * MAX_REDUCERS <= INT_MAX);

// The map files, the readers and the per-reducer tables have room for these counts only.
void require_counts(int maps_count, int reducers, const char *maps_error,
                    const char *reducers_error) {
  if (maps_count < 0 || maps_count > MAX_MAP_FILES) {
    errno = EINVAL;
    Error(maps_error);
  }
  if (reducers < 1 || reducers > MAX_REDUCERS) {
    errno = EINVAL;
    Error(reducers_error);
  }
}

}  // namespace

int read_line_map(MapFile *mf, char *line) {
  LineRead result = next_line(mf->fd, mf->buf, mf->pos, mf->end, line);
  // Ending the file quietly here would lose its remaining tuples and report success.
  if (result == LineRead::kFailed) Error("[Suffle:read_line_map] Error reading map file.\n");
  return result == LineRead::kLine ? 1 : 0;
}

int suffle_process_files(int num_maps, char **map_files, int nreducers) {
  require_counts(num_maps, nreducers, "[Suffle:suffle_process_files] Invalid number of map files",
                 "[Suffle:suffle_process_files] Invalid number of reducers");
  num_reducers = nreducers;
  for (int r = 0; r < nreducers; ++r) {
    nlines[r] = 0;
    batch_count[r] = 0;
  }

  // Every file is opened before the first line is read, so that a missing one stops the
  // stage before any work file is written.
  for (int i = 0; i < num_maps; ++i) {
    MapFile &mf = maps[i];
    mf.fd = open(map_files[i], O_RDONLY);
    if (mf.fd < 0) {
      int open_errno = errno;
      snprintf(MsgError, sizeof MsgError,
               "[Suffle:suffle_process_files] Error opening suffle input file %s.\n", map_files[i]);
      errno = open_errno;
      Error(MsgError);
    }
    mf.mapfile = i;
    mf.pos = 0;
    mf.end = 0;
    mf.active = 1;
    mf.tuples = 0;
  }

  // Lines are filed one behind the order they are read in, so that each line's table memory
  // is fetched while the line before is filed; the order of filing is the order of reading.
  char line[LINE_SLOT];
  LineToFile waiting{};
  bool one_waits = false;
  int active = num_maps;
  int total_tuples = 0;
  while (active > 0) {
    for (int i = 0; i < num_maps; ++i) {
      MapFile &mf = maps[i];
      if (!mf.active) continue;
      // Most lines are taken where they lie in the read block, without a copy; the line
      // reader takes the rest, refilling the block.
      std::string_view text;
      if (take_line_in_block(mf.buf, mf.pos, mf.end, text)) {
        LineToFile next = locate_line(text);
        if (one_waits) file_located_line(waiting);
        waiting = next;
        one_waits = true;
        mf.tuples++;
        continue;
      }
      // The waiting line may lie in the block about to be refilled.
      if (one_waits) file_located_line(waiting);
      one_waits = false;
      if (read_line_map(&mf, line)) {
        add_line(line);
        mf.tuples++;
        continue;
      }
      mf.active = 0;
      --active;
      total_tuples += mf.tuples;
      snprintf(Msg, sizeof Msg, "\t\tSuflle processed %d tuples from %s file.\n", mf.tuples,
               map_files[mf.mapfile]);
      printMessage(Msg, COLOR_GREEN_L);
    }
  }

  if (one_waits) file_located_line(waiting);
  // All spills finish before the first merge; a merge reads every batch of its reducer.
  for (int r = 0; r < num_reducers; ++r) flush_batch(r);
  for (int r = 0; r < num_reducers; ++r) merge_batchs(r);
  for (int i = 0; i < num_maps; ++i) close(maps[i].fd);
  return total_tuples;
}

void quovent_suffle(int nmappers, int nreducers) {
  require_counts(nmappers, nreducers, "[Suffle:quovent_suffle] Invalid number of mappers",
                 "[Suffle:quovent_suffle] Invalid number of reducers");
  snprintf(Msg, sizeof Msg,
           "[Suffle Stage]\tStart Suffle to process %d input files and generate %d output "
           "files.\n",
           nmappers, nreducers);
  print(Msg);
  timespec start = monotonic_now();

  // One mapper writes the unnumbered file; several write numbered ones.
  char names[MAX_MAP_FILES][WORK_NAME_SIZE];
  char *maps_files_names[MAX_MAP_FILES];
  for (int i = 0; i < nmappers; ++i) {
    if (nmappers == 1) {
      snprintf(names[i], sizeof names[i], "%s", SINGLE_MAP_FILE);
    } else {
      map_file_name(names[i], i);
    }
    maps_files_names[i] = names[i];
  }
  int tuples = suffle_process_files(nmappers, maps_files_names, nreducers);

  float time = seconds_since(start);
  snprintf(Msg, sizeof Msg, "[Suffle Stage]\tEnd Suffle: Processed %d tupples in %.3f secs.\n",
           tuples, time);
  print(Msg);
}
