// Result files read in the order of a result and merged, each within its range of bytes; and the
// failures of a merge, which remove its temporaries before they stop the process.
#include "reduce/MergeRead.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <sysexits.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "common/Errors.h"
#include "common/PartitionHash.h"
#include "common/RawIO.h"
#include "reduce/ResultLine.h"

static_assert(kMaxResultLineBytes < REDUCE_BLOCK_SIZE);

namespace {

// A malformed input is the data's fault, not the system's: its own exit status.
constexpr int kMalformedInputStatus = EX_DATAERR;

// Temporary files this process has created and not yet renamed or removed: a failure removes
// them, so that it leaves nothing behind but what was there before.
std::vector<std::string> g_temporaries;

// The processes that merge parts of this merge and have not yet been waited for.
std::vector<int> g_workers;

// Most inputs merged without keys when their order is not checked: a line then meets about one
// comparison with another input's word, and most are settled by equal bytes (the same word in
// both). Checking the order compares every word with the one before it, where keys pay.
constexpr size_t kFanInWithoutKeys = 4;

void place_entry(WordOrder &order, bool keyed, MergeEntry &entry) {
  const uint32_t hash = partition_hash(std::string_view(entry.word, entry.length));
  entry.section = order.section_of(hash);
  entry.key = nullptr;
  if (order.by_bytes()) {
    entry.line[0] = '\0';  // byte order compares the words themselves
    return;
  }
  int length = WordOrder::tuple_line_of(entry.word, entry.length, entry.line);
  if (keyed) {
    entry.key = order.key_of(hash, entry.line, static_cast<size_t>(length), entry.key_made);
  }
}

// The word of a group of equal words, as the output line shows it, and its order key.
struct GroupWord {
  char word[REDUCE_MAX_WORD_BYTES + 1];
  int length = 0;
  unsigned section = 0;
  char line[kTupleLineSize];
  const char *key = nullptr;
  char key_made[kMaxSortKeyBytes];
  unsigned long long first = 0;

  OrderedWordView view() const { return {word, length, section, line, key}; }
};

void start_group(GroupWord &group, const MergeEntry &entry) {
  memcpy(group.word, entry.word, static_cast<size_t>(entry.length) + 1);
  group.length = entry.length;
  group.section = entry.section;
  strcpy(group.line, entry.line);
  group.key = entry.key;
  group.first = entry.first;
  // A key made into the entry's own buffer goes when the entry is read over.
  if (entry.key == entry.key_made) group.key = strcpy(group.key_made, entry.key);
}

// One input result file being read within its range: its current word, and the word before it,
// against which the order of the file is checked.
struct Reader {
  const char *name = nullptr;
  int fd = -1;
  FileRange range;
  char buf[REDUCE_BLOCK_SIZE];
  long long buf_offset = 0;  // the file offset of buf[0]
  int pos = 0;
  int end = 0;
  long long line_number = 0;  // lines read from the range's beginning on
  MergeEntry entries[2];
  int current = 0;
  bool has_entry = false;
  bool keyed = false;       // its words carry collation keys
  bool check_order = true;  // each word is checked against the one before it
  bool with_first = false;  // its lines carry first appearances
  int longest_line = kMaxResultLineBytes;
  long long group = -1;  // the last group of equal words it gave a word to

  const MergeEntry &entry() const { return entries[current]; }
};

// The lines of the reader's file before its range: counted only for a message, so that a part
// that begins in the middle of a file names the line as the whole merge would.
long long lines_before_range(const Reader &reader) {
  long long lines = 0;
  char block[REDUCE_BLOCK_SIZE];
  for (long long at = 0; at < reader.range.begin;) {
    size_t wanted = static_cast<size_t>(std::min<long long>(sizeof block, reader.range.begin - at));
    ssize_t n = pread(reader.fd, block, wanted, at);
    if (n <= 0) break;  // the file changed under the merge: the line number is the least of it
    lines += std::count(block, block + n, '\n');
    at += n;
  }
  return lines;
}

[[noreturn]] void refuse(const Reader &reader, long long line_number, const char *what) {
  long long line = line_number + (reader.range.begin > 0 ? lines_before_range(reader) : 0);
  remove_merge_temporaries();
  char message[COMPOSED_LINE_SIZE];
  snprintf(message, sizeof message, "%s %s, line %lld: %s", kMergeTag, reader.name, line, what);
  Fail(message, kMalformedInputStatus);
}

// The next line of the reader's file, without its line end, and the offset where it begins;
// false at the end of the file.
bool next_line(Reader &reader, std::string_view &line, long long &line_offset) {
  for (;;) {
    const char *start = reader.buf + reader.pos;
    int waiting = reader.end - reader.pos;
    const char *line_end = static_cast<const char *>(memchr(start, '\n', waiting));
    if (line_end != nullptr) {
      line = std::string_view(start, static_cast<size_t>(line_end - start));
      line_offset = reader.buf_offset + reader.pos;
      reader.pos = static_cast<int>(line_end - reader.buf) + 1;
      ++reader.line_number;
      return true;
    }
    if (waiting > reader.longest_line) {
      refuse(reader, reader.line_number + 1, "too long for a result line");
    }
    memmove(reader.buf, start, static_cast<size_t>(waiting));
    reader.buf_offset += reader.pos;
    reader.pos = 0;
    reader.end = waiting;
    ssize_t n = read_block(reader.fd, reader.buf + waiting, sizeof reader.buf - waiting);
    if (n < 0) stop_merge("%s Error reading result file %s\n", reader.name);
    if (n == 0) {
      if (waiting > 0) refuse(reader, reader.line_number + 1, "the last line has no line end");
      return false;
    }
    reader.end += static_cast<int>(n);
  }
}

// Moves the reader to its next word, checking that it may follow the one before. False at the
// end of the file or of its range: the line that begins at the range's end is read and checked,
// but not given.
bool advance(WordOrder &order, Reader &reader) {
  std::string_view line;
  long long line_offset = 0;
  if (!next_line(reader, line, line_offset)) {
    reader.has_entry = false;
    return false;
  }
  MergeEntry &next = reader.entries[1 - reader.current];
  if (!entry_of_line(order, reader.keyed, line, next, reader.with_first)) {
    refuse(reader, reader.line_number,
           reader.with_first ? "not a line of a shard's result in byte order (a word, a blank, a "
                               "count above 0, a blank and a first appearance)"
                             : "not a result line (a word, a blank and a count above 0)");
  }
  next.first += reader.range.first_base;
  if (reader.has_entry && reader.check_order) {
    const MergeEntry &before = reader.entry();
    if (next.section < before.section) {
      refuse(reader, reader.line_number,
             "its word belongs to an earlier section than the word before it: sections out of "
             "order, or a file written with another reducer count");
    }
    if (!order.follows(before.view(), next.view())) {
      refuse(reader, reader.line_number,
             "its word does not follow the word before it in this locale's collation: a file "
             "written under another locale or with another reducer count");
    }
  }
  if (line_offset >= reader.range.end) {
    reader.has_entry = false;
    return false;
  }
  reader.current = 1 - reader.current;
  reader.has_entry = true;
  return true;
}

void put_group(MergedWords &out, const GroupWord &group, long long total) {
  out.add(std::string_view(group.word, static_cast<size_t>(group.length)), group.section, total,
          group.first);
}

// A min-heap of reader indexes by their current words; ties go to the earlier file.
struct ReaderHeap {
  const WordOrder &order;
  std::vector<Reader> &readers;
  std::vector<int> heap;

  bool before(int a, int b) const {
    int c = order.compare(readers[a].entry().view(), readers[b].entry().view());
    return c < 0 || (c == 0 && a < b);
  }
  void sift_down(size_t i) {
    for (;;) {
      size_t smallest = i;
      for (size_t child = 2 * i + 1; child <= 2 * i + 2 && child < heap.size(); ++child) {
        if (before(heap[child], heap[smallest])) smallest = child;
      }
      if (smallest == i) return;
      std::swap(heap[i], heap[smallest]);
      i = smallest;
    }
  }
};

void open_readers(WordOrder &order, const std::vector<const char *> &files,
                  const std::vector<FileRange> &ranges, bool check_order, ReaderHeap &heap) {
  for (size_t i = 0; i < files.size(); ++i) {
    Reader &reader = heap.readers[i];
    reader.name = files[i];
    reader.range = ranges[i];
    reader.check_order = check_order;
    reader.with_first = order.carries_first();
    reader.longest_line = reader.with_first ? kMaxLineWithFirstBytes : kMaxResultLineBytes;
    reader.keyed = check_order || files.size() > kFanInWithoutKeys;
    reader.fd = open(files[i], O_RDONLY);
    if (reader.fd < 0) stop_merge("%s Error opening result file %s\n", files[i]);
    if (reader.range.begin > 0 && lseek(reader.fd, reader.range.begin, SEEK_SET) < 0) {
      stop_merge("%s Error reading result file %s\n", files[i]);
    }
    reader.buf_offset = reader.range.begin;
    if (advance(order, reader)) heap.heap.push_back(static_cast<int>(i));
  }
  for (size_t n = heap.heap.size() / 2; n-- > 0;) heap.sift_down(n);
}

}  // namespace

bool entry_of_line(WordOrder &order, bool keyed, std::string_view line, MergeEntry &entry,
                   bool with_first) {
  std::string_view word;
  bool parsed = with_first ? parse_result_line(line, word, entry.count, entry.first)
                           : parse_result_line(line, word, entry.count);
  if (!parsed) return false;
  memcpy(entry.word, word.data(), word.size());
  entry.word[word.size()] = '\0';
  entry.length = static_cast<int>(word.size());
  place_entry(order, keyed, entry);
  return true;
}

void merge_ranges_into(WordOrder &order, const std::vector<const char *> &files,
                       const std::vector<FileRange> &ranges, bool check_order, MergedWords &out) {
  std::vector<Reader> readers(files.size());
  ReaderHeap heap{order, readers, {}};
  open_readers(order, files, ranges, check_order, heap);

  GroupWord group;
  long long group_number = 0;
  long long total = 0;
  bool has_group = false;
  while (!heap.heap.empty()) {
    Reader &top = readers[heap.heap[0]];
    const MergeEntry &entry = top.entry();
    // A file holds each word once, its words in turn being other words (checked where its order
    // is): a file that gave the group a word gives the next word of another group, and saves the
    // collation of the words of the two.
    if (has_group && top.group != group_number && order.same_word(group.view(), entry.view())) {
      if (__builtin_add_overflow(total, entry.count, &total)) {
        errno = EOVERFLOW;
        stop_merge("%s The total of a word of %s does not fit 64 bits\n", top.name);
      }
      group.first = std::min(group.first, entry.first);
    } else {
      if (has_group) put_group(out, group, total);
      start_group(group, entry);
      total = entry.count;
      has_group = true;
      ++group_number;
    }
    top.group = group_number;
    if (!advance(order, top)) {
      heap.heap[0] = heap.heap.back();
      heap.heap.pop_back();
    }
    if (!heap.heap.empty()) heap.sift_down(0);
  }
  if (has_group) put_group(out, group, total);
  for (Reader &reader : readers) close(reader.fd);
}

void MergedLines::add(std::string_view word, unsigned, long long total, unsigned long long first) {
  bool written = with_first_ ? writer_.add(word, total, first) : writer_.add(word, total);
  if (!written) stop_merge(kMergeWriteFailed, name_);
}

void keep_merge_temporary(const std::string &name) { g_temporaries.push_back(name); }

void forget_merge_temporary(const std::string &name) { std::erase(g_temporaries, name); }

void forget_merge_temporaries() { g_temporaries.clear(); }

void keep_merge_worker(int pid) { g_workers.push_back(pid); }

void forget_merge_worker(int pid) { std::erase(g_workers, pid); }

void forget_merge_workers() { g_workers.clear(); }

void remove_merge_temporaries() {
  int failed_errno = errno;
  for (int pid : g_workers) kill(pid, SIGKILL);
  for (int pid : g_workers) {
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  g_workers.clear();
  for (const std::string &name : g_temporaries) unlink(name.c_str());
  g_temporaries.clear();
  errno = failed_errno;
}

void stop_merge(const char *format, const char *name) {
  remove_merge_temporaries();
  Errorf(format, kMergeTag, name);
}
