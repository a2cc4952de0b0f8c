// Result merge: the result files of runs over parts of a text, merged into the result file of
// one run over the whole text. A result file is the reducers' sections one after another, each
// in the order of the shuffle's sort; merging them section by section in that same order and
// adding up the counts of equal words is what one reducer over all the tuples would have done.
#include "reduce/ResultMerge.h"

#include <fcntl.h>
#include <sysexits.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/DurableFile.h"
#include "common/Errors.h"
#include "common/PartitionHash.h"
#include "common/RawIO.h"
#include "reduce/Reduce.h"
#include "reduce/ResultLine.h"
#include "reduce/ResultWriter.h"
#include "reduce/WordOrder.h"

namespace {

static_assert(kMaxResultLineBytes < REDUCE_BLOCK_SIZE);

// A malformed input is the data's fault, not the system's: its own exit status.
constexpr int kMalformedInputStatus = EX_DATAERR;

constexpr char kTag[] = "[Merge:merge_result_files]";

// A write to the merged output failed, or a close or fsync that reports a lost one.
constexpr char kWriteFailed[] = "%s Error writting merge result %s\n";

// Temporary files this process has created and not yet renamed or removed: a failure removes
// them, so that it leaves nothing behind but what was there before.
std::vector<std::string> g_temporaries;

// Leaves errno as it was: it runs between a failed call and the error that reports it.
void remove_temporaries() {
  int failed_errno = errno;
  for (const std::string &name : g_temporaries) unlink(name.c_str());
  g_temporaries.clear();
  errno = failed_errno;
}

// Error, after removing the temporaries; errno is the failed call's.
[[noreturn]] void stop(const char *format, const char *name) {
  remove_temporaries();
  Errorf(format, kTag, name);
}

// One word of a result file, with what orders it: its section and the shuffle's sort key.
struct Entry {
  char word[REDUCE_MAX_WORD_BYTES + 1];
  int length = 0;
  long long count = 0;
  unsigned section = 0;
  char line[kTupleLineSize];
  const char *key = nullptr;
  char key_made[kMaxSortKeyBytes];  // the key when the order's cache could not keep it

  OrderedWordView view() const { return {word, length, section, line, key}; }
};

// Most inputs merged without keys when their order is not checked: a line then meets about one
// comparison with another input's word, and most are settled by equal bytes (the same word in
// both). Checking the order compares every word with the one before it, where keys pay.
constexpr size_t kFanInWithoutKeys = 4;

void place_entry(WordOrder &order, bool keyed, Entry &entry) {
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

  OrderedWordView view() const { return {word, length, section, line, key}; }
};

void start_group(GroupWord &group, const Entry &entry) {
  memcpy(group.word, entry.word, static_cast<size_t>(entry.length) + 1);
  group.length = entry.length;
  group.section = entry.section;
  strcpy(group.line, entry.line);
  group.key = entry.key;
  // A key made into the entry's own buffer goes when the entry is read over.
  if (entry.key == entry.key_made) group.key = strcpy(group.key_made, entry.key);
}

// One input result file being read: its current word, and the word before it, against which
// the order of the file is checked.
struct Reader {
  const char *name = nullptr;
  int fd = -1;
  char buf[REDUCE_BLOCK_SIZE];
  int pos = 0;
  int end = 0;
  long long line_number = 0;
  Entry entries[2];
  int current = 0;
  bool has_entry = false;
  bool keyed = false;       // its words carry collation keys
  bool check_order = true;  // each word is checked against the one before it
  long long group = -1;     // the last group of equal words it gave a word to

  const Entry &entry() const { return entries[current]; }
};

[[noreturn]] void refuse(const Reader &reader, long long line_number, const char *what) {
  remove_temporaries();
  char message[COMPOSED_LINE_SIZE];
  snprintf(message, sizeof message, "%s %s, line %lld: %s", kTag, reader.name, line_number, what);
  Fail(message, kMalformedInputStatus);
}

// The next line of the reader's file, without its line end; false at the end of the file.
bool next_line(Reader &reader, std::string_view &line) {
  for (;;) {
    const char *start = reader.buf + reader.pos;
    int waiting = reader.end - reader.pos;
    const char *line_end = static_cast<const char *>(memchr(start, '\n', waiting));
    if (line_end != nullptr) {
      line = std::string_view(start, static_cast<size_t>(line_end - start));
      reader.pos = static_cast<int>(line_end - reader.buf) + 1;
      ++reader.line_number;
      return true;
    }
    if (waiting > kMaxResultLineBytes) {
      refuse(reader, reader.line_number + 1, "too long for a result line");
    }
    memmove(reader.buf, start, static_cast<size_t>(waiting));
    reader.pos = 0;
    reader.end = waiting;
    ssize_t n = read_block(reader.fd, reader.buf + waiting, sizeof reader.buf - waiting);
    if (n < 0) stop("%s Error reading result file %s\n", reader.name);
    if (n == 0) {
      if (waiting > 0) refuse(reader, reader.line_number + 1, "the last line has no line end");
      return false;
    }
    reader.end += static_cast<int>(n);
  }
}

// Moves the reader to its next word, checking that it may follow the one before. False at the
// end of the file.
bool advance(WordOrder &order, Reader &reader) {
  std::string_view line;
  if (!next_line(reader, line)) {
    reader.has_entry = false;
    return false;
  }
  Entry &next = reader.entries[1 - reader.current];
  std::string_view word;
  if (!parse_result_line(line, word, next.count)) {
    refuse(reader, reader.line_number, "not a result line (a word, a blank and a count above 0)");
  }
  memcpy(next.word, word.data(), word.size());
  next.word[word.size()] = '\0';
  next.length = static_cast<int>(word.size());
  place_entry(order, reader.keyed, next);
  if (reader.has_entry && reader.check_order) {
    const Entry &before = reader.entry();
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
  reader.current = 1 - reader.current;
  reader.has_entry = true;
  return true;
}

// The result line of a group into the merged output `name`.
void write_result_line(ResultWriter &writer, const char *name, const GroupWord &word,
                       long long total) {
  if (!writer.add(std::string_view(word.word, static_cast<size_t>(word.length)), total)) {
    stop(kWriteFailed, name);
  }
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

// Merges the files, at most MERGE_FAN_IN of them, into the writer of the output `name`.
void merge_into(WordOrder &order, const std::vector<const char *> &files, bool check_order,
                ResultWriter &writer, const char *name) {
  std::vector<Reader> readers(files.size());
  ReaderHeap heap{order, readers, {}};
  for (size_t i = 0; i < files.size(); ++i) {
    Reader &reader = readers[i];
    reader.name = files[i];
    reader.check_order = check_order;
    reader.keyed = check_order || files.size() > kFanInWithoutKeys;
    reader.fd = open(files[i], O_RDONLY);
    if (reader.fd < 0) stop("%s Error opening result file %s\n", files[i]);
    if (advance(order, reader)) heap.heap.push_back(static_cast<int>(i));
  }
  for (size_t n = heap.heap.size() / 2; n-- > 0;) heap.sift_down(n);

  GroupWord group;
  long long group_number = 0;
  long long total = 0;
  bool has_group = false;
  while (!heap.heap.empty()) {
    Reader &top = readers[heap.heap[0]];
    const Entry &entry = top.entry();
    // A file holds each word once, its words in turn being other words (checked where its order
    // is): a file that gave the group a word gives the next word of another group, and saves the
    // collation of the words of the two.
    if (has_group && top.group != group_number && order.same_word(group.view(), entry.view())) {
      if (__builtin_add_overflow(total, entry.count, &total)) {
        errno = EOVERFLOW;
        stop("%s The total of a word of %s does not fit 64 bits\n", top.name);
      }
    } else {
      if (has_group) write_result_line(writer, name, group, total);
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
  if (has_group) write_result_line(writer, name, group, total);
  for (Reader &reader : readers) close(reader.fd);
}

// Merges the files into a temporary beside `target`, then renames it onto `target`.
long long merge_to_file(WordOrder &order, const std::vector<const char *> &files, bool check_order,
                        const std::string &target) {
  std::string temporary = target + ".merging." + std::to_string(getpid());
  // O_EXCL: the temporary is this process's own, never a file that was there before.
  int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL, CREATED_FILE_MODE);
  if (fd < 0) stop("%s Error opening merge output file %s\n", temporary.c_str());
  g_temporaries.push_back(temporary);
  auto writer = std::make_unique<ResultWriter>(fd);
  merge_into(order, files, check_order, *writer, temporary.c_str());
  if (!writer->flush()) stop(kWriteFailed, temporary.c_str());
  // A lost write shows at fsync or close on some file systems; the rename must not hide it.
  if (fsync(fd) < 0 && errno != EINVAL) stop(kWriteFailed, temporary.c_str());
  if (close_output_file(fd) != 0) stop(kWriteFailed, temporary.c_str());
  if (rename(temporary.c_str(), target.c_str()) < 0) {
    stop("%s Error renaming the merge result onto %s\n", target.c_str());
  }
  g_temporaries.pop_back();
  return writer->lines();
}

}  // namespace

namespace {

long long merge_files(int nfiles, const char *const *files, int nreducers, const char *output_file,
                      bool check_order) {
  WordOrder order(nreducers);
  std::vector<const char *> inputs(files, files + (nfiles > 0 ? nfiles : 0));
  // More inputs than one round reads: merge them in groups into intermediate result files,
  // which are themselves result files of the same reducer count, until one round is left.
  std::vector<std::string> intermediates;
  int round = 0;
  while (inputs.size() > MERGE_FAN_IN) {
    std::vector<std::string> made;
    for (size_t first = 0; first < inputs.size(); first += MERGE_FAN_IN) {
      size_t last = std::min(inputs.size(), first + MERGE_FAN_IN);
      std::vector<const char *> group(inputs.begin() + first, inputs.begin() + last);
      std::string name = std::string(output_file) + ".round" + std::to_string(round) + "_" +
                         std::to_string(made.size()) + "." + std::to_string(getpid());
      merge_to_file(order, group, check_order, name);
      g_temporaries.push_back(name);
      made.push_back(name);
    }
    // The inputs of this round that were intermediates themselves are no longer needed.
    for (const std::string &name : intermediates) unlink(name.c_str());
    intermediates = made;
    inputs.clear();
    for (const std::string &name : intermediates) inputs.push_back(name.c_str());
    ++round;
  }
  long long lines = merge_to_file(order, inputs, check_order, output_file);
  // The result's new name is durable only once its directory is flushed: the caller may remove
  // what it was made from as soon as this returns.
  if (!sync_directory_of(output_file)) {
    stop("%s Error renaming the merge result onto %s\n", output_file);
  }
  for (const std::string &name : intermediates) unlink(name.c_str());
  g_temporaries.clear();
  return lines;
}

}  // namespace

void remove_merge_leftovers(const char *output_file, long pid) {
  // Every temporary of a merge is named after the output with the merging process's id last:
  // "<output>.merging.<pid>", "<output>.round<r>_<n>.<pid>" and its own ".merging.<pid>".
  const std::filesystem::path output(output_file);
  const std::string prefix = output.filename().string() + ".";
  std::string suffix(1, '.');
  suffix += std::to_string(pid);
  std::filesystem::path dir = output.parent_path();
  std::error_code ignored;
  for (const auto &entry : std::filesystem::directory_iterator(dir.empty() ? "." : dir, ignored)) {
    std::string name = entry.path().filename().string();
    if (name.starts_with(prefix) && name.ends_with(suffix)) unlink(entry.path().c_str());
  }
}

long long merge_result_files(int nfiles, const char *const *files, int nreducers,
                             const char *output_file) {
  return merge_files(nfiles, files, nreducers, output_file, true);
}

long long merge_own_result_files(int nfiles, const char *const *files, int nreducers,
                                 const char *output_file) {
  return merge_files(nfiles, files, nreducers, output_file, false);
}
