// The merge of a reducer's batch files into its shuffle output file: the batch files' line
// reader, and a tournament of losers over the batches' current lines, which are compared by
// order prefix where that decides.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "common/Errors.h"
#include "common/OrderPrefix.h"
#include "common/RawIO.h"
#include "common/Repeats.h"
#include "common/WorkFiles.h"
#include "shuffle/CollationKeys.h"
#include "shuffle/LineReading.h"
#include "shuffle/LineWriting.h"
#include "shuffle/Suffle.h"

using suffle_internal::append_line;
using suffle_internal::append_lines;
using suffle_internal::close_written_file;
using suffle_internal::collate;
using suffle_internal::Collation;
using suffle_internal::current_collation;
using suffle_internal::LineRead;
using suffle_internal::next_line;
using suffle_internal::sort_key;

namespace {

// The current line of a batch reader as the merge compares it: the order prefix of what
// decides its place, so that most comparisons are one or two integer comparisons.
struct MergeHead {
  OrderPrefix prefix;
  const char *key;  // sort key, or nullptr
  int length;
  bool has_prefix;  // false for a line without a sort key in a collating locale
};

MergeHead merge_head(Collation collation, const char *line) {
  uint32_t length = static_cast<uint32_t>(strlen(line));
  const char *key = collation.by_bytes ? nullptr : sort_key(line, length);
  const char *decides = collation.by_bytes ? line : key;
  if (decides == nullptr) return MergeHead{{0, 0}, key, static_cast<int>(length), false};
  return MergeHead{order_prefix(decides), key, static_cast<int>(length), true};
}

// The sign of strcoll of the two readers' current lines.
int compare_heads(Collation collation, const BatchFile *b, const MergeHead *heads, int p, int q) {
  const MergeHead &x = heads[p];
  const MergeHead &y = heads[q];
  if (x.has_prefix && y.has_prefix) {
    if (x.prefix.first != y.prefix.first) return x.prefix.first < y.prefix.first ? -1 : 1;
    // Equal numbers that hold the end of the texts hold the whole of both, which are equal.
    if (holds_text_end(x.prefix.first)) return 0;
    if (x.prefix.second != y.prefix.second) return x.prefix.second < y.prefix.second ? -1 : 1;
    if (holds_text_end(x.prefix.second)) return 0;
  }
  // One line's key, found in the key cache, serves every reader that holds the line.
  if (x.key != nullptr && x.key == y.key) return 0;
  return collate(collation, b[p].line, x.key, b[q].line, y.key);
}

// The merge picks the smallest current line with a tournament (a tree of losers) over the
// readers that had lines: the next line of the winner replays only the matches on its path to
// the root, one comparison a level, half what a heap's sift-down makes. Ties go either way:
// tied lines collate equal, and such lines may stand in any order.
struct Tournament {
  int leaves;                    // readers that had lines at the start
  int winner;                    // reader with the smallest line, or -1 when all are done
  int leaf_of[MAX_BATCH_FILES];  // per reader, its leaf
  int losers[MAX_BATCH_FILES];   // per match 1 to leaves - 1, the reader that lost it
  const BatchFile *readers;
  const MergeHead *heads;
  Collation collation;
};

// Whether reader a's line goes before reader b's; a reader that is done (-1) goes last.
bool plays_first(const Tournament &t, int a, int b) {
  if (a < 0) return false;
  if (b < 0) return true;
  return compare_heads(t.collation, t.readers, t.heads, a, b) < 0;
}

// Plays every match among the readers entrants[0, count).
void start_tournament(Tournament &t, const HeapNode *entrants, int count) {
  t.leaves = count;
  // Match m is between the winners of positions 2m and 2m + 1; leaf i is position count + i.
  int winners[2 * MAX_BATCH_FILES];
  for (int i = 0; i < count; ++i) {
    t.leaf_of[entrants[i].idx] = i;
    winners[count + i] = entrants[i].idx;
  }
  for (int m = count - 1; m >= 1; --m) {
    int a = winners[2 * m];
    int b = winners[2 * m + 1];
    bool b_first = plays_first(t, b, a);
    winners[m] = b_first ? b : a;
    t.losers[m] = b_first ? a : b;
  }
  t.winner = count > 0 ? winners[1] : -1;
}

// Replays the matches of the winner's leaf after its line changed or it is done.
void replay_winner(Tournament &t, bool done) {
  int candidate = done ? -1 : t.winner;
  for (int m = (t.leaves + t.leaf_of[t.winner]) / 2; m >= 1; m /= 2) {
    if (plays_first(t, t.losers[m], candidate)) std::swap(t.losers[m], candidate);
  }
  t.winner = candidate;
}

// The whole lines at the reader's position that repeat `line` (its bytes and newline, `size`
// bytes in all) exactly, as one byte count.
size_t repeated_line_bytes(const BatchFile &bf, const char *line, size_t size) {
  const char *at = bf.buf + bf.pos;
  size_t available = static_cast<size_t>(bf.end - bf.pos);
  if (available < size || memcmp(at, line, size) != 0) return 0;
  return size + repeats_after_line(at, available, size);
}

}  // namespace

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
    batch_file_name(name, r, i);
    BatchFile &bf = batchs[i];
    bf.fd = open(name, O_RDONLY);
    if (bf.fd < 0) Error("[Suffle:merge_batchs] Error opening input batch file.\n");
    bf.pos = 0;
    bf.end = 0;
    // An empty file stays open but never enters the merge.
    bf.active = read_line_batch(&bf);
    if (bf.active) heap[heap_size++].idx = i;
  }
  const Collation collation = current_collation();
  MergeHead heads[MAX_BATCH_FILES];
  for (int n = 0; n < heap_size; ++n) {
    heads[heap[n].idx] = merge_head(collation, batchs[heap[n].idx].line);
  }
  Tournament tournament;
  tournament.readers = batchs;
  tournament.heads = heads;
  tournament.collation = collation;
  start_tournament(tournament, heap, heap_size);

  // Opened only now, so that a failure above leaves an earlier run's output untouched.
  char outname[WORK_NAME_SIZE];
  suffle_file_name(outname, r);
  int fd_out = create_output_file(outname);
  if (fd_out < 0) Error("[Suffle:merge_batchs] Error opening output batch file.\n");

  char previous[LINE_SLOT];
  while (tournament.winner >= 0) {
    int t = tournament.winner;
    BatchFile &top = batchs[t];
    int length = heads[t].length;
    memcpy(previous, top.line, length + 1);
    append_line(fd_out, previous, length);
    // A batch is sorted, so equal lines come in runs; a run of identical lines keeps its
    // place as the winner and needs no comparison.
    // The repeats that lie whole in the reader's block are copied as they stand; a repeat
    // that crosses the block end, or was cut to MAX_LINE_BYTES, goes through the reader.
    previous[length] = '\n';
    bool more;
    for (;;) {
      size_t repeats = repeated_line_bytes(top, previous, static_cast<size_t>(length) + 1);
      append_lines(fd_out, top.buf + top.pos, repeats);
      top.pos += static_cast<int>(repeats);
      more = read_line_batch(&top);
      if (!more || strncmp(top.line, previous, static_cast<size_t>(length)) != 0 ||
          top.line[length] != '\0') {
        break;
      }
      append_line(fd_out, top.line, length);
    }
    if (more) heads[t] = merge_head(collation, top.line);
    replay_winner(tournament, !more);
  }
  flush_batch_out(fd_out);
  close_written_file(fd_out);
  for (int i = 0; i < k; ++i) close(batchs[i].fd);
  free(heap);
  free(batchs);
}
