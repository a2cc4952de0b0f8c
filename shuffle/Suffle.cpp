// Shuffle stage: partition by key hash, sorted batch spills, k-way merge per reducer.
#include "shuffle/Suffle.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "common/Clock.h"
#include "common/Errors.h"
#include "common/RawIO.h"

char *buffer[MAX_REDUCERS][BATCH_LINES];
int nlines[MAX_REDUCERS];
int batch_count[MAX_REDUCERS];
int num_reducers;

// Per reducer, BATCH_LINES slots; slot n holds line n of the current batch, zero-terminated.
// 1 GiB of address space, of which only the slots used are ever touched.
static char line_pool[MAX_REDUCERS][BATCH_LINES][LINE_SLOT];

// The one output buffer, shared by the batch writer and the merge; never both at once.
static char outbuf[SUFFLE_BLOCK_SIZE];

// Bytes waiting in outbuf; 0 whenever no file is being written, so that no byte of one file
// ever reaches another.
static int outpos;

// Readers of the map files of the running stage; record i reads map file i. Kept here rather
// than on the stack: 32 readers of 64 KiB are 2 MiB.
static MapFile maps[MAX_MAP_FILES];

namespace {

// The buffer is written out before a line that would take it past this many bytes, so with
// its newline it never holds more than kOutFillLimit + 1 bytes.
constexpr int kOutFillLimit = SUFFLE_BLOCK_SIZE - 2;

// A line that passes the fill test, and its newline, fit; so does the longest line with its
// newline in an emptied buffer.
static_assert(kOutFillLimit + 1 < SUFFLE_BLOCK_SIZE);
static_assert(MAX_LINE_BYTES + 1 <= kOutFillLimit);
static_assert(MAX_LINE_BYTES == 255 && LINE_SLOT == MAX_LINE_BYTES + 1);
static_assert(BATCH_LINES == 262144 && MAX_BATCH_FILES == 128);
static_assert(MAX_REDUCERS == 16 && MAX_MAP_FILES == 32);
// Every line of a run that the merges can take fits the int line counters.
static_assert(static_cast<long long>(MAX_BATCH_FILES) * BATCH_LINES * MAX_REDUCERS <= INT_MAX);

constexpr char kWorkDir[] = "tmp/";
constexpr char kSingleMapFile[] = "./tmp/_map.tmp";

// The longest work file name, with both numbers at their widest ("-2147483648"), fits.
static_assert(sizeof kWorkDir - 1 + sizeof "_batch_r" - 1 + 11 + 1 + 11 + sizeof ".tmp" <=
              WORK_NAME_SIZE);
static_assert(sizeof kSingleMapFile <= WORK_NAME_SIZE);

constexpr char kWriteError[] = "[Suffle:write_line] Error writting suffle result (1).\n";

// The partition hash. Bytes count as signed 8-bit values, so every byte of a non-ASCII
// letter subtracts; reducers of existing runs depend on it.
constexpr uint32_t hash_bytes(std::string_view s) {
  uint32_t h = 5381;
  for (char c : s) {
    h = h * 33 + static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(c)));
  }
  return h;
}
static_assert(hash_bytes("") == 5381 && hash_bytes("a") == 177670);
static_assert(hash_bytes("the") == 193506854 && hash_bytes("casa") == 2090140893u);
static_assert(hash_bytes("\xC3\xA9") == 5857809);
static_assert(hash_bytes("a") % 4 == 2 && hash_bytes("the") % 4 == 2);
static_assert(hash_bytes("casa") % 4 == 1 && hash_bytes("casa") % 16 == 13);
static_assert(hash_bytes("\xC3\xA9") % 3 == 0 && hash_bytes("") % 4 == 1);

enum class LineRead { kLine, kEnd, kFailed };

// The line reader shared by map and batch files: each reports kFailed in its own words.
// Bytes after the 255th of a line are dropped up to its newline; an unterminated last
// line is dropped, since it is not a whole line.
LineRead next_line(int fd, char *buf, int &pos, int &end, char *line) {
  int len = 0;
  for (;;) {
    if (pos >= end) {
      ssize_t n = read_block(fd, buf, SUFFLE_BLOCK_SIZE);
      if (n < 0) return LineRead::kFailed;
      if (n == 0) {
        line[0] = '\0';  // never leave the caller a cut-off, unterminated line
        return LineRead::kEnd;
      }
      pos = 0;
      end = static_cast<int>(n);
    }
    const char *start = buf + pos;
    int available = end - pos;
    const char *newline = static_cast<const char *>(memchr(start, '\n', available));
    int span = newline != nullptr ? static_cast<int>(newline - start) : available;
    int keep = span < MAX_LINE_BYTES - len ? span : MAX_LINE_BYTES - len;
    memcpy(line + len, start, keep);
    len += keep;
    if (newline != nullptr) {
      pos += span + 1;
      line[len] = '\0';
      return LineRead::kLine;
    }
    pos = end;
  }
}

void write_out(int fd) {
  if (write_fully(fd, outbuf, outpos) < 0) Error(kWriteError);
  outpos = 0;
}

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

void extract_word(const char *line, char *word) {
  int n = 0;
  while (n < MAX_LINE_BYTES && line[n] != '\0' && line[n] != ' ') {
    word[n] = line[n];
    ++n;
  }
  word[n] = '\0';
}

uint32_t hash_word(const char *str) { return hash_bytes(str); }

void add_line(const char *line) {
  char word[LINE_SLOT];
  extract_word(line, word);
  // Depends on the key alone, so every occurrence of a word meets in one reducer.
  uint32_t r = hash_word(word) % static_cast<uint32_t>(num_reducers);
  int n = nlines[r];
  size_t length = strnlen(line, MAX_LINE_BYTES);
  char *slot = line_pool[r][n];
  memcpy(slot, line, length);
  slot[length] = '\0';
  buffer[r][n] = slot;
  nlines[r] = n + 1;
  if (nlines[r] == BATCH_LINES) flush_batch(static_cast<int>(r));
}

int cmp_lines(const void *a, const void *b) {
  return strcoll(*static_cast<char *const *>(a), *static_cast<char *const *>(b));
}

void flush_batch(int r) {
  if (nlines[r] == 0) return;
  qsort(buffer[r], static_cast<size_t>(nlines[r]), sizeof buffer[r][0], cmp_lines);
  int b = batch_count[r]++;
  char name[WORK_NAME_SIZE];
  snprintf(name, sizeof name, "%s%s_r%d_%d.tmp", kWorkDir, "_batch", r, b);
  // Not checked here: a file that cannot be created makes the first write fail, which
  // reports it, since a batch always holds at least one line.
  int fd = create_output_file(name);
  for (int n = 0; n < nlines[r]; ++n) write_line(fd, buffer[r][n]);
  flush_batch_out(fd);
  close(fd);
  nlines[r] = 0;
}

void write_line(int fd, const char *line) {
  int length = static_cast<int>(strnlen(line, MAX_LINE_BYTES));
  if (outpos > 0 && outpos + length > kOutFillLimit) write_out(fd);
  memcpy(outbuf + outpos, line, length);
  outbuf[outpos + length] = '\n';
  outpos += length + 1;
}

void flush_batch_out(int fd) {
  if (outpos > 0) write_out(fd);
  outpos = 0;
}

int read_line_batch(BatchFile *bf) {
  LineRead result = next_line(bf->fd, bf->buf, bf->pos, bf->end, bf->line);
  if (result == LineRead::kFailed) Error("[Suffle:read_line_batch] Error reading batch file.\n");
  return result == LineRead::kLine ? 1 : 0;
}

int heap_cmp(const BatchFile *b, int a, int c) { return strcoll(b[a].line, b[c].line); }

void heap_swap(HeapNode *h, int i, int j) {
  HeapNode t = h[i];
  h[i] = h[j];
  h[j] = t;
}

void heapify_down(HeapNode *h, int size, int i, const BatchFile *b) {
  for (;;) {
    int left = 2 * i + 1;
    int right = 2 * i + 2;
    int smallest = i;
    if (left < size && heap_cmp(b, h[left].idx, h[i].idx) < 0) smallest = left;
    if (right < size && heap_cmp(b, h[right].idx, h[smallest].idx) < 0) smallest = right;
    if (smallest == i) return;
    heap_swap(h, i, smallest);
    i = smallest;
  }
}

void merge_batchs(int r) {
  BatchFile *batchs = static_cast<BatchFile *>(malloc(MAX_BATCH_FILES * sizeof(BatchFile)));
  HeapNode *heap = static_cast<HeapNode *>(malloc(MAX_BATCH_FILES * sizeof(HeapNode)));
  if (batchs == nullptr || heap == nullptr) {
    Error("[Suffle:merge_batchs] Out of memory in merge_batchs");
  }
  int k = batch_count[r];
  if (k > MAX_BATCH_FILES) {
    // No call failed; the count names the limit that was hit: files open at once.
    errno = EMFILE;
    Error("[Suffle:merge_batchs] Too many batch files");
  }

  char name[WORK_NAME_SIZE];
  int heap_size = 0;
  for (int i = 0; i < k; ++i) {
    snprintf(name, sizeof name, "%s%s_r%d_%d.tmp", kWorkDir, "_batch", r, i);
    BatchFile &bf = batchs[i];
    bf.fd = open(name, O_RDONLY);
    if (bf.fd < 0) Error("[Suffle:merge_batchs] Error opening input batch file.\n");
    bf.pos = 0;
    bf.end = 0;
    // An empty file stays open but never enters the heap.
    bf.active = read_line_batch(&bf);
    if (bf.active) heap[heap_size++].idx = i;
  }
  for (int n = heap_size / 2 - 1; n >= 0; --n) heapify_down(heap, heap_size, n, batchs);

  // Opened only now, so that a failure above leaves an earlier run's output untouched.
  char outname[WORK_NAME_SIZE];
  snprintf(outname, sizeof outname, "%s%s_%d%s", kWorkDir, "_suffle", r, ".tmp");
  int fd_out = create_output_file(outname);
  if (fd_out < 0) Error("[Suffle:merge_batchs] Error opening output batch file.\n");

  while (heap_size > 0) {
    int t = heap[0].idx;
    write_line(fd_out, batchs[t].line);
    if (!read_line_batch(&batchs[t])) {
      heap[0] = heap[heap_size - 1];
      --heap_size;
    }
    heapify_down(heap, heap_size, 0, batchs);
  }
  flush_batch_out(fd_out);
  close(fd_out);
  for (int i = 0; i < k; ++i) close(batchs[i].fd);
  free(heap);
  free(batchs);
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

  char line[LINE_SLOT];
  int active = num_maps;
  int total_tuples = 0;
  while (active > 0) {
    for (int i = 0; i < num_maps; ++i) {
      MapFile &mf = maps[i];
      if (!mf.active) continue;
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
      snprintf(names[i], sizeof names[i], "%s", kSingleMapFile);
    } else {
      snprintf(names[i], sizeof names[i], "%s%s_%d%s", kWorkDir, "_map", i, ".tmp");
    }
    maps_files_names[i] = names[i];
  }
  int tuples = suffle_process_files(nmappers, maps_files_names, nreducers);

  float time = seconds_since(start);
  snprintf(Msg, sizeof Msg, "[Suffle Stage]\tEnd Suffle: Processed %d tupples in %.3f secs.\n",
           tuples, time);
  print(Msg);
}
