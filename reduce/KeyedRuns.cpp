// Keyed runs: the words of a byte range put in the collation's order chunk by chunk, and the
// buckets of every chunk merged by their keys.
#include "reduce/KeyedRuns.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <span>

#include "common/OrderPrefix.h"
#include "common/RawIO.h"

namespace {

// A word as a keyed file keeps it: this head, then its key and its word, each with a zero after.
struct RecordHead {
  uint32_t section;
  uint16_t key_length;
  uint8_t word_length;
  uint8_t unused;
  long long total;
  unsigned long long first;
};
static_assert(sizeof(RecordHead) == 24);

// The longest key a word is given: strxfrm's keys of a 255-byte line stay far below it, and a
// record then fits one block of a reader.
constexpr size_t kMaxKeyBytes = INT16_MAX;
constexpr size_t kMaxRecordBytes =
    sizeof(RecordHead) + kMaxKeyBytes + 1 + REDUCE_MAX_WORD_BYTES + 1 + alignof(RecordHead);
constexpr size_t kBlockBytes = size_t{1} << 16;
static_assert(kMaxRecordBytes <= kBlockBytes);

// The end of a keyed file: its chunk count and bucket count, and a mark that it is complete.
struct Trailer {
  uint64_t chunks;
  uint64_t buckets;
  uint64_t mark;
};
constexpr uint64_t kTrailerMark = 0x4B6579656452756EULL;  // "KeyedRun"

const char *key_of_record(const char *record) { return record + sizeof(RecordHead); }

const char *word_of_record(const char *record) {
  const auto *head = reinterpret_cast<const RecordHead *>(record);
  return record + sizeof(RecordHead) + head->key_length + 1;
}

// Records are padded to the alignment of their heads, which are read in place.
size_t record_bytes(const RecordHead &head) {
  constexpr size_t kAlign = alignof(RecordHead);
  return (sizeof head + head.key_length + 1 + head.word_length + 1 + kAlign - 1) / kAlign * kAlign;
}

// Records in the collation's order as result lines: the words that are one word for the
// reducer added up, under the first of them to appear.
class GroupedLines {
 public:
  GroupedLines(WordOrder &order, ResultWriter &writer, const char *name)
      : order_(order), writer_(writer), name_(name) {}

  void add(const char *record) {
    const auto &head = *reinterpret_cast<const RecordHead *>(record);
    const char *word = word_of_record(record);
    OrderedWordView view{word, head.word_length, head.section, "", key_of_record(record)};
    if (group_.key != nullptr && order_.same_word(group_, view)) {
      if (__builtin_add_overflow(total_, head.total, &total_)) {
        errno = EOVERFLOW;
        stop_merge("%s The total of a word of %s does not fit 64 bits\n", name_);
      }
      return;
    }
    finish();
    memcpy(word_, word, head.word_length + 1u);
    key_.assign(view.key, view.key + head.key_length + 1);
    group_ = OrderedWordView{word_, head.word_length, head.section, "", key_.data()};
    total_ = head.total;
  }

  // Writes the group in hand.
  void finish() {
    if (group_.key == nullptr) return;
    if (!writer_.add(std::string_view(word_, static_cast<size_t>(group_.length)), total_)) {
      stop_merge(kMergeWriteFailed, name_);
    }
    group_.key = nullptr;
  }

 private:
  WordOrder &order_;
  ResultWriter &writer_;
  const char *name_;
  char word_[REDUCE_MAX_WORD_BYTES + 1];
  std::vector<char> key_;
  OrderedWordView group_{word_, 0, 0, "", nullptr};
  long long total_ = 0;
};

}  // namespace

// A word of the chunk as its sort sees it: the order prefix of its key settles most comparisons.
struct KeyedRunWriter::Item {
  uint64_t prefix[2];
  uint32_t section;
  uint32_t offset;  // of its record in the arena
};

// Reserved whole: growing would copy the chunk again and again. Pages are touched as used.
KeyedRunWriter::KeyedRunWriter(WordOrder &order,
                               const std::vector<std::unique_ptr<PlacedWord>> &cuts, int fd,
                               std::string name, KeyedChunkLimits limits)
    : order_(order),
      cuts_(cuts),
      fd_(fd),
      name_(std::move(name)),
      limits_(limits),
      arena_(limits.max_bytes, "merge", "the merge's keyed words"),
      items_(limits.max_words * sizeof(Item), "merge", "the merge's keyed words"),
      key_(kMaxSortKeyBytes) {
  block_.reserve(kBlockBytes);
}

KeyedRunWriter::~KeyedRunWriter() = default;

void KeyedRunWriter::add(std::string_view word, unsigned section, long long total,
                         unsigned long long first) {
  char line[kTupleLineSize];
  WordOrder::tuple_line_of(word.data(), static_cast<int>(word.size()), line);
  // The key the shuffle's sort compares the word's tuple line by, made whole however long.
  int saved_errno = errno;
  size_t key_length = strxfrm(key_.data(), line, key_.size());
  if (key_length >= key_.size()) {
    if (key_length >= kMaxKeyBytes) {
      errno = E2BIG;
      stop_merge("%s A collation key too long for the merge into %s\n", name_.c_str());
    }
    key_.resize(key_length + 1);
    strxfrm(key_.data(), line, key_.size());
  }
  errno = saved_errno;
  RecordHead head{
      section, static_cast<uint16_t>(key_length), static_cast<uint8_t>(word.size()), 0, total,
      first};
  const size_t size = record_bytes(head);
  if (item_count_ >= limits_.max_words || arena_used_ + size > limits_.max_bytes) write_chunk();
  char *record = arena_.as<char>() + arena_used_;
  memcpy(record, &head, sizeof head);
  memcpy(record + sizeof head, key_.data(), key_length + 1);
  char *copy = record + sizeof head + key_length + 1;
  memcpy(copy, word.data(), word.size());
  memset(copy + word.size(), 0, static_cast<size_t>(record + size - copy) - word.size());
  const OrderPrefix prefix = order_prefix(key_.data());
  items_.as<Item>()[item_count_++] =
      Item{{prefix.first, prefix.second}, section, static_cast<uint32_t>(arena_used_)};
  arena_used_ += size;
}

void KeyedRunWriter::write_out(const void *bytes, size_t size) {
  if (block_.size() + size > kBlockBytes) {
    if (write_fully(fd_, block_.data(), block_.size()) < 0) {
      stop_merge(kMergeWriteFailed, name_.c_str());
    }
    block_.clear();
  }
  const char *from = static_cast<const char *>(bytes);
  block_.insert(block_.end(), from, from + size);
  written_ += size;
}

// The chunk in its order: by section, key and first appearance.
void KeyedRunWriter::sort_chunk() {
  const char *arena = arena_.as<char>();
  auto first_of = [arena](const Item &item) {
    return reinterpret_cast<const RecordHead *>(arena + item.offset)->first;
  };
  Item *items = items_.as<Item>();
  std::sort(items, items + item_count_, [&](const Item &a, const Item &b) {
    if (a.section != b.section) return a.section < b.section;
    if (a.prefix[0] != b.prefix[0]) return a.prefix[0] < b.prefix[0];
    if (a.prefix[1] != b.prefix[1]) return a.prefix[1] < b.prefix[1];
    int c = strcmp(key_of_record(arena + a.offset), key_of_record(arena + b.offset));
    return c != 0 ? c < 0 : first_of(a) < first_of(b);
  });
}

// The chunk sorted, then written with its buckets' offsets.
void KeyedRunWriter::write_chunk() {
  if (item_count_ == 0) return;
  sort_chunk();
  const char *arena = arena_.as<char>();
  size_t bucket = 0;
  char line[kTupleLineSize];
  for (const Item &item : std::span(items_.as<Item>(), item_count_)) {
    const char *record = arena + item.offset;
    const auto *head = reinterpret_cast<const RecordHead *>(record);
    const char *word = word_of_record(record);
    OrderedWordView view{word, head->word_length, head->section, "", key_of_record(record)};
    while (bucket < cuts_.size()) {
      // A cut whose word has no key of its own is compared by the tuple lines.
      if (cuts_[bucket]->entry.key == nullptr) {
        WordOrder::tuple_line_of(word, head->word_length, line);
        view.line = line;
      }
      if (compare_with_cut(order_, view, *cuts_[bucket]) < 0) break;
      index_.push_back(written_);  // where bucket + 1 begins
      ++bucket;
    }
    write_out(record, record_bytes(*head));
  }
  for (; bucket < cuts_.size(); ++bucket) index_.push_back(written_);
  index_.push_back(written_);  // the chunk's end
  item_count_ = 0;
  arena_used_ = 0;
}

void KeyedRunWriter::write_result(ResultWriter &writer, const char *name) {
  sort_chunk();
  GroupedLines lines(order_, writer, name);
  for (const Item &item : std::span(items_.as<Item>(), item_count_)) {
    lines.add(arena_.as<char>() + item.offset);
  }
  lines.finish();
  item_count_ = 0;
  arena_used_ = 0;
}

void KeyedRunWriter::complete() {
  write_chunk();
  // The index: per chunk, where each bucket but the first begins, and where the chunk ends.
  const uint64_t per_chunk = cuts_.size() + 1;
  Trailer trailer{index_.size() / per_chunk, per_chunk, kTrailerMark};
  write_out(index_.data(), index_.size() * sizeof(uint64_t));
  write_out(&trailer, sizeof trailer);
  if (write_fully(fd_, block_.data(), block_.size()) < 0) {
    stop_merge(kMergeWriteFailed, name_.c_str());
  }
  block_.clear();
}

namespace {

// One bucket range of one chunk of a keyed file, read in blocks.
struct KeyedReader {
  int fd = -1;
  const char *name = nullptr;
  uint64_t at = 0;   // the next byte to read from the file
  uint64_t end = 0;  // of the range
  std::vector<char> buf = std::vector<char>(kBlockBytes + kMaxRecordBytes);
  size_t pos = 0;
  size_t filled = 0;
  const char *record = nullptr;  // the current word's record in buf
  uint64_t prefix[2] = {0, 0};

  const RecordHead &head() const { return *reinterpret_cast<const RecordHead *>(record); }
};

[[noreturn]] void not_keyed(const char *name) {
  errno = EINVAL;
  stop_merge("%s Error reading the merge's keyed file %s\n", name);
}

// Moves the reader to its next record; false at the end of its range.
bool next_record(KeyedReader &reader) {
  if (reader.filled - reader.pos < sizeof(RecordHead) ||
      reader.filled - reader.pos <
          record_bytes(*reinterpret_cast<const RecordHead *>(reader.buf.data() + reader.pos))) {
    size_t waiting = reader.filled - reader.pos;
    memmove(reader.buf.data(), reader.buf.data() + reader.pos, waiting);
    reader.pos = 0;
    reader.filled = waiting;
    uint64_t wanted = std::min<uint64_t>(kBlockBytes, reader.end - reader.at);
    if (wanted > 0) {
      ssize_t n =
          pread(reader.fd, reader.buf.data() + waiting, wanted, static_cast<off_t>(reader.at));
      if (n < 0) stop_merge("%s Error reading the merge's keyed file %s\n", reader.name);
      if (static_cast<uint64_t>(n) != wanted) not_keyed(reader.name);
      reader.at += wanted;
      reader.filled += wanted;
    }
    if (reader.filled == 0) return false;
    if (reader.filled < sizeof(RecordHead) ||
        reader.filled < record_bytes(*reinterpret_cast<const RecordHead *>(reader.buf.data()))) {
      not_keyed(reader.name);
    }
  }
  reader.record = reader.buf.data() + reader.pos;
  reader.pos += record_bytes(reader.head());
  const OrderPrefix prefix = order_prefix(key_of_record(reader.record));
  reader.prefix[0] = prefix.first;
  reader.prefix[1] = prefix.second;
  return true;
}

// The readers of buckets first_bucket to end_bucket - 1 of every chunk of the file fd.
void open_chunks(int fd, const char *name, int first_bucket, int end_bucket,
                 std::vector<KeyedReader> &readers) {
  off_t size = lseek(fd, 0, SEEK_END);
  Trailer trailer;
  if (size < static_cast<off_t>(sizeof trailer) ||
      pread(fd, &trailer, sizeof trailer, size - static_cast<off_t>(sizeof trailer)) !=
          static_cast<ssize_t>(sizeof trailer) ||
      trailer.mark != kTrailerMark || trailer.buckets < static_cast<uint64_t>(end_bucket)) {
    not_keyed(name);
  }
  std::vector<uint64_t> index(trailer.chunks * trailer.buckets);
  off_t index_at = size - static_cast<off_t>(sizeof trailer + index.size() * sizeof(uint64_t));
  if (index_at < 0 || pread(fd, index.data(), index.size() * sizeof(uint64_t), index_at) !=
                          static_cast<ssize_t>(index.size() * sizeof(uint64_t))) {
    not_keyed(name);
  }
  uint64_t chunk_begin = 0;
  for (uint64_t c = 0; c < trailer.chunks; ++c) {
    const uint64_t *ends = index.data() + c * trailer.buckets;  // bucket b ends at ends[b]
    KeyedReader reader;
    reader.fd = fd;
    reader.name = name;
    reader.at = first_bucket == 0 ? chunk_begin : ends[first_bucket - 1];
    reader.end = ends[end_bucket - 1];
    chunk_begin = ends[trailer.buckets - 1];
    if (reader.at > reader.end || reader.end > static_cast<uint64_t>(index_at)) not_keyed(name);
    if (next_record(reader)) readers.push_back(std::move(reader));
  }
}

}  // namespace

void merge_keyed_buckets(WordOrder &order, const std::vector<std::string> &keyed_files,
                         int first_bucket, int end_bucket, ResultWriter &writer, const char *name) {
  std::vector<int> fds;
  std::vector<KeyedReader> readers;
  for (const std::string &file : keyed_files) {
    int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) stop_merge("%s Error opening the merge's keyed file %s\n", file.c_str());
    fds.push_back(fd);
    open_chunks(fd, file.c_str(), first_bucket, end_bucket, readers);
  }
  // A min-heap of readers by section, key and first appearance.
  auto after = [&readers](int a, int b) {
    const KeyedReader &x = readers[a];
    const KeyedReader &y = readers[b];
    if (x.head().section != y.head().section) return x.head().section > y.head().section;
    if (x.prefix[0] != y.prefix[0]) return x.prefix[0] > y.prefix[0];
    if (x.prefix[1] != y.prefix[1]) return x.prefix[1] > y.prefix[1];
    int c = strcmp(key_of_record(x.record), key_of_record(y.record));
    return c != 0 ? c > 0 : x.head().first > y.head().first;
  };
  std::vector<int> heap;
  for (size_t i = 0; i < readers.size(); ++i) heap.push_back(static_cast<int>(i));
  std::make_heap(heap.begin(), heap.end(), after);

  GroupedLines lines(order, writer, name);
  while (!heap.empty()) {
    std::pop_heap(heap.begin(), heap.end(), after);
    KeyedReader &top = readers[heap.back()];
    lines.add(top.record);
    if (next_record(top)) {
      std::push_heap(heap.begin(), heap.end(), after);
    } else {
      heap.pop_back();
    }
  }
  lines.finish();
  for (int fd : fds) close(fd);
}
