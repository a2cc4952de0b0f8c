// Shuffle stage: partition by key hash, sorted batch spills, k-way merge per reducer.
#include "shuffle/Suffle.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "common/Clock.h"
#include "common/Collation.h"
#include "common/Errors.h"
#include "common/RawIO.h"
#include "common/Repeats.h"
#include "common/WorkFiles.h"

char *buffer[MAX_REDUCERS][BATCH_LINES];
int nlines[MAX_REDUCERS];
int batch_count[MAX_REDUCERS];
int num_reducers;

// Per reducer, room for BATCH_LINES lines of LINE_SLOT bytes; the distinct lines of the
// current batch are packed one after another, each zero-terminated, so that a short line
// touches only its own bytes and a repeated one none. 1 GiB of address space, of which only the bytes used are ever touched.
static char line_pool[MAX_REDUCERS][size_t{BATCH_LINES} * LINE_SLOT];

// Per reducer, where the next line goes in its pool. Meaningful only while nlines[r] > 0: an
// empty table starts again at the beginning of its pool.
static char *pool_end[MAX_REDUCERS];

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

// A file system may report a lost write only when the file is closed; it stops the stage like
// the failed write it is.
void close_written_file(int fd) {
  if (close_output_file(fd) != 0) Error(kWriteError);
}

// Appends a line of `length` bytes (at most MAX_LINE_BYTES) and its newline to outbuf, first
// writing out what waits when the line might not fit.
void append_line(int fd, const char *line, int length) {
  if (outpos > 0 && outpos + length > kOutFillLimit) write_out(fd);
  memcpy(outbuf + outpos, line, length);
  outbuf[outpos + length] = '\n';
  outpos += length + 1;
}

// Appends `size` bytes that are whole lines (each at most MAX_LINE_BYTES and its newline) to
// outbuf, writing out what waits whenever the buffer fills, in the same bytes append_line
// would give them line by line.
void append_lines(int fd, const char *bytes, size_t size) {
  while (size > 0) {
    if (outpos >= kOutFillLimit) write_out(fd);
    size_t room = static_cast<size_t>(kOutFillLimit - outpos);
    size_t take = size < room ? size : room;
    memcpy(outbuf + outpos, bytes, take);
    outpos += static_cast<int>(take);
    bytes += take;
    size -= take;
  }
}

// The whole lines at the reader's position that repeat `line` (its bytes and newline, `size`
// bytes in all) exactly, as one byte count.
size_t repeated_line_bytes(const BatchFile &bf, const char *line, size_t size) {
  const char *at = bf.buf + bf.pos;
  size_t available = static_cast<size_t>(bf.end - bf.pos);
  if (available < size || memcmp(at, line, size) != 0) return 0;
  return size + repeats_after_line(at, available, size);
}

// Appends `count` copies of a line of `length` bytes (at most MAX_LINE_BYTES) and its newline
// to outbuf, in the bytes and with the writes append_line would make line by line; the copies
// that fit are made from the ones already in the buffer, doubling each time.
void append_repeated_line(int fd, const char *line, int length, uint32_t count) {
  const int unit = length + 1;
  while (count > 0) {
    if (outpos > 0 && outpos + length > kOutFillLimit) write_out(fd);
    char *first = outbuf + outpos;
    memcpy(first, line, static_cast<size_t>(length));
    first[length] = '\n';
    // Copies after the first that pass append_line's fill test: each starts at most at
    // kOutFillLimit - length.
    uint32_t fit = 1 + static_cast<uint32_t>((kOutFillLimit - length - outpos) / unit);
    uint32_t made = 1;
    uint32_t wanted = count < fit ? count : fit;
    while (made < wanted) {
      uint32_t more = made < wanted - made ? made : wanted - made;
      memcpy(first + size_t{made} * unit, first, size_t{more} * unit);
      made += more;
    }
    outpos += static_cast<int>(made) * unit;
    count -= made;
  }
}

// `count` (at most 8) bytes at text as one number.
uint64_t load_bytes(const char *text, size_t count) {
  uint64_t value = 0;
  memcpy(&value, text, count);
  return value;
}

// Hash of a line's bytes for the look-up tables below (not the partition hash, which must
// stay as it is).
uint32_t line_hash(const char *text, size_t length) {
  // Eight bytes a step, the last step overlapping the one before; a short line is read in
  // two overlapping halves or three single bytes. Lines are short, and every line of a batch
  // is hashed once. The length enters first, so overlapping reads cannot make two lines of
  // different lengths alike.
  constexpr uint64_t kMultiplier = 0x9E3779B97F4A7C15u;
  uint64_t h = (length + 1) * kMultiplier;
  auto mix = [&h](uint64_t chunk) {
    h = (h ^ chunk) * kMultiplier;
    h ^= h >> 29;
  };
  if (length >= sizeof(uint64_t)) {
    size_t k = 0;
    for (; k + sizeof(uint64_t) < length; k += sizeof(uint64_t)) {
      mix(load_bytes(text + k, sizeof(uint64_t)));
    }
    mix(load_bytes(text + length - sizeof(uint64_t), sizeof(uint64_t)));
  } else if (length >= 4) {
    mix(load_bytes(text, 4) << 32 | load_bytes(text + length - 4, 4));
  } else if (length > 0) {
    mix(uint64_t{static_cast<unsigned char>(text[0])} << 16 |
        uint64_t{static_cast<unsigned char>(text[length / 2])} << 8 |
        static_cast<unsigned char>(text[length - 1]));
  }
  return static_cast<uint32_t>(h ^ (h >> 32));
}

// How lines are ordered under the current locale. Where the locale has no collation rules,
// glibc's strcoll is strcmp itself, and bytes decide; elsewhere a line's strxfrm key compared
// with strcmp gives the sign strcoll gives, and strcoll decides when a line has no key.
struct Collation {
  bool by_bytes;
};

// Sort keys of the lines met in this process, each computed once: words repeat across
// batches and across the merge, and strxfrm is the costly part of collation. Bounded: when
// the table or its bytes are used up, further lines go without a key and are compared by
// strcoll. Emptied when the collation locale changes.
constexpr int kKeySlots = 1 << 18;
constexpr int kMaxKeys = 1 << 17;
constexpr size_t kKeyCacheBytes = size_t{24} << 20;
// A key longer than this is not kept; its line is compared by strcoll.
constexpr size_t kMaxKeyBytes = 4096;
constexpr size_t kLocaleNameSize = 256;
static_assert((kKeySlots & (kKeySlots - 1)) == 0 && kKeySlots >= 2 * kMaxKeys);

struct CachedKey {
  uint32_t hash;
  uint32_t length;  // of the line; the line's bytes, a zero, the key and a zero follow
  size_t offset;    // in key_bytes
};

uint32_t key_slots[kKeySlots];  // entry index + 1; 0 is a free slot
CachedKey cached_keys[kMaxKeys];
int cached_key_count;
char key_bytes[kKeyCacheBytes];
size_t key_bytes_used;
char key_locale[kLocaleNameSize];  // the LC_COLLATE name the keys were made for
bool key_cache_usable;

void follow_collation_locale() {
  const char *name = setlocale(LC_COLLATE, nullptr);
  if (name != nullptr && strcmp(name, key_locale) == 0 && key_cache_usable) return;
  memset(key_slots, 0, sizeof key_slots);
  cached_key_count = 0;
  key_bytes_used = 0;
  // A name too long to be remembered could not tell two locales apart: no cache then.
  key_cache_usable = name != nullptr && strlen(name) < kLocaleNameSize;
  snprintf(key_locale, sizeof key_locale, "%s", key_cache_usable ? name : "");
}

// The strxfrm key of the zero-terminated line of `length` bytes, or nullptr when it has none
// (the cache is full, or the key is too long).
const char *sort_key(const char *line, uint32_t length) {
  if (!key_cache_usable) return nullptr;
  uint32_t hash = line_hash(line, length);
  uint32_t slot = hash & (kKeySlots - 1);
  for (; key_slots[slot] != 0; slot = (slot + 1) & (kKeySlots - 1)) {
    const CachedKey &entry = cached_keys[key_slots[slot] - 1];
    const char *text = key_bytes + entry.offset;
    if (entry.hash == hash && entry.length == length && memcmp(text, line, length) == 0) {
      return text + length + 1;
    }
  }
  if (cached_key_count == kMaxKeys) return nullptr;
  size_t room = kKeyCacheBytes - key_bytes_used;
  if (room < length + 2) return nullptr;
  char *text = key_bytes + key_bytes_used;
  size_t key_room = room - length - 1 < kMaxKeyBytes ? room - length - 1 : kMaxKeyBytes;
  int saved_errno = errno;
  size_t key_length = strxfrm(text + length + 1, line, key_room);
  errno = saved_errno;
  if (key_length >= key_room) return nullptr;
  memcpy(text, line, length);
  text[length] = '\0';
  cached_keys[cached_key_count] = CachedKey{hash, length, key_bytes_used};
  key_slots[slot] = static_cast<uint32_t>(++cached_key_count);
  key_bytes_used += length + 1 + key_length + 1;
  return text + length + 1;
}

Collation current_collation() {
  Collation collation{collation_is_byte_order()};
  if (!collation.by_bytes) follow_collation_locale();
  return collation;
}

// The sign of strcoll(a, b), from the keys where both lines have one.
int collate(Collation collation, const char *a, const char *key_a, const char *b,
            const char *key_b) {
  if (collation.by_bytes) return strcmp(a, b);
  if (key_a != nullptr && key_b != nullptr) return strcmp(key_a, key_b);
  return strcoll(a, b);
}

// The distinct lines of a reducer's current batch, with how often each came: word data
// repeats heavily, so a batch is sorted as its distinct lines and each is written as often as
// it came. Identical lines are indistinguishable in the file, so this is the sorted batch.
struct DistinctLine {
  const char *text;  // the one copy in the reducer's pool
  uint64_t head;     // head_bytes of the line, which decides most look-ups without the text
  uint32_t length;
  uint32_t count;
};

// The first eight bytes of the `length` bytes at text (all of them when fewer, zeros after) as
// one number; no byte past the line is read.
uint64_t head_bytes(const char *text, size_t length) {
  if (length >= sizeof(uint64_t)) return load_bytes(text, sizeof(uint64_t));
  if (length >= 4) {
    // Two overlapping halves; the bytes they share are the same bytes.
    return load_bytes(text, 4) | load_bytes(text + length - 4, 4) << (CHAR_BIT * (length - 4));
  }
  uint64_t head = 0;
  for (size_t k = 0; k < length; ++k) {
    head |= uint64_t{static_cast<unsigned char>(text[k])} << (CHAR_BIT * k);
  }
  return head;
}

// Whether the distinct line holds the `length` bytes at text, whose head_bytes are `head`.
bool holds_line(const DistinctLine &line, const char *text, uint32_t length, uint64_t head) {
  if (line.length != length || line.head != head) return false;
  if (length <= sizeof(uint64_t)) return true;
  if (length <= 2 * sizeof(uint64_t)) {
    size_t last = length - sizeof(uint64_t);
    return load_bytes(line.text + last, sizeof(uint64_t)) == load_bytes(text + last, sizeof(uint64_t));
  }
  return memcmp(line.text + sizeof(uint64_t), text + sizeof(uint64_t), length - sizeof(uint64_t)) == 0;
}

// Per reducer, an open-addressing table of its distinct lines, filled as lines are filed. A
// slot holds the line's hash in its high half and its index + 1 in the low half; 0 is free.
// The table starts small and doubles at half full, so that a batch of few distinct lines keeps
// its slots in the cache; it keeps its size from batch to batch.
constexpr uint32_t kMinDistinctSlots = 1 << 13;
constexpr uint32_t kMaxDistinctSlots = 2 * BATCH_LINES;
static_assert((kMinDistinctSlots & (kMinDistinctSlots - 1)) == 0);
static_assert((kMaxDistinctSlots & (kMaxDistinctSlots - 1)) == 0);

struct DistinctTable {
  uint32_t slot_count;  // a power of two from kMinDistinctSlots on; 0 before first use
  uint32_t line_count;  // distinct lines of the batch
};
DistinctTable distinct_tables[MAX_REDUCERS];
uint64_t distinct_slots[MAX_REDUCERS][kMaxDistinctSlots];
DistinctLine distinct_lines[MAX_REDUCERS][BATCH_LINES];
uint32_t sorted_distinct[BATCH_LINES];
// The sort keys of the distinct lines of the batch being sorted (nullptr for a line without
// one); apart from the table, whose lines are looked up for every line filed.
const char *distinct_keys[BATCH_LINES];

// Empties reducer r's table for a new batch.
void clear_distinct_lines(uint32_t r) {
  DistinctTable &table = distinct_tables[r];
  if (table.slot_count == 0) table.slot_count = kMinDistinctSlots;
  memset(distinct_slots[r], 0, sizeof(uint64_t) * table.slot_count);
  table.line_count = 0;
}

// Puts line `index` of reducer r's table in a free slot found from its hash.
void place_distinct_line(uint32_t r, uint32_t hash, uint32_t index) {
  const uint32_t mask = distinct_tables[r].slot_count - 1;
  uint64_t *slots = distinct_slots[r];
  uint32_t s = hash & mask;
  while (slots[s] != 0) s = (s + 1) & mask;
  slots[s] = uint64_t{hash} << 32 | (index + 1);
}

// Doubles reducer r's slots and places its lines again.
void grow_distinct_table(uint32_t r) {
  DistinctTable &table = distinct_tables[r];
  table.slot_count *= 2;
  memset(distinct_slots[r], 0, sizeof(uint64_t) * table.slot_count);
  for (uint32_t d = 0; d < table.line_count; ++d) {
    const DistinctLine &line = distinct_lines[r][d];
    place_distinct_line(r, line_hash(line.text, line.length), d);
  }
}

// The copy of the `length` bytes at text in reducer r's pool, made there (zero-terminated, at
// pool_end[r]) when the line is new to the batch; either way the line is counted once more.
// `hash` and `head` are the line's line_hash and head_bytes.
const char *intern_line(uint32_t r, const char *text, uint32_t length, uint32_t hash,
                        uint64_t head) {
  DistinctTable &table = distinct_tables[r];
  const uint32_t mask = table.slot_count - 1;
  uint64_t *slots = distinct_slots[r];
  const uint64_t tag = uint64_t{hash} << 32;
  for (uint32_t s = hash & mask; slots[s] != 0; s = (s + 1) & mask) {
    if ((slots[s] & ~uint64_t{UINT32_MAX}) != tag) continue;
    DistinctLine &line = distinct_lines[r][static_cast<uint32_t>(slots[s]) - 1];
    if (holds_line(line, text, length, head)) {
      line.count++;
      return line.text;
    }
  }
  char *copy = pool_end[r];
  memcpy(copy, text, length);
  copy[length] = '\0';
  pool_end[r] = copy + length + 1;
  uint32_t index = table.line_count++;
  distinct_lines[r][index] = DistinctLine{copy, head, length, 1};
  if (2 * table.line_count > table.slot_count && table.slot_count < kMaxDistinctSlots) {
    grow_distinct_table(r);
  } else {
    place_distinct_line(r, hash, index);
  }
  return copy;
}

// Bytes of a line's order prefix: one 64-bit number, and one radix pass each.
constexpr int kPrefixBytes = sizeof(uint64_t);
constexpr int kRadixBuckets = 1 << CHAR_BIT;
static_assert(kRadixBuckets == 256);

// A distinct line as the sort moves it: the first bytes of what decides its place (the line
// itself when bytes decide, else its sort key) as a big-endian number, so that most
// comparisons are one integer comparison. Two prefixes that differ order their lines as strcmp
// of the whole texts would; equal prefixes leave it to the full comparison.
struct SortEntry {
  uint64_t prefix;
  uint32_t index;       // in distinct_lines
  uint32_t has_prefix;  // 0 for a line without a sort key in a collating locale
};
SortEntry sort_entries[BATCH_LINES];
SortEntry radix_scratch[BATCH_LINES];

// The first kPrefixBytes bytes of the zero-terminated text, zeros after its end, the first
// byte most significant.
uint64_t order_prefix(const char *text) {
  uint64_t prefix = 0;
  for (int k = 0; k < kPrefixBytes; ++k) {
    unsigned char c = static_cast<unsigned char>(text[k]);
    if (c == 0) break;
    prefix |= uint64_t{c} << (CHAR_BIT * (kPrefixBytes - 1 - k));
  }
  return prefix;
}

// The byte of the prefix that radix pass b sorts by, the least significant first.
unsigned radix_digit(uint64_t prefix, int b) {
  return static_cast<unsigned>(prefix >> (CHAR_BIT * b)) & (kRadixBuckets - 1);
}

// Orders the entries by prefix, stably, one byte a pass from the least significant; a pass
// whose byte is the same in every entry is skipped.
void radix_sort_by_prefix(SortEntry *entries, int count) {
  uint32_t counts[kPrefixBytes][kRadixBuckets] = {};
  for (int n = 0; n < count; ++n) {
    for (int b = 0; b < kPrefixBytes; ++b) counts[b][radix_digit(entries[n].prefix, b)]++;
  }
  SortEntry *from = entries;
  SortEntry *to = radix_scratch;
  for (int b = 0; b < kPrefixBytes; ++b) {
    if (counts[b][radix_digit(from[0].prefix, b)] == static_cast<uint32_t>(count)) continue;
    uint32_t next[kRadixBuckets];
    uint32_t sum = 0;
    for (int digit = 0; digit < kRadixBuckets; ++digit) {
      next[digit] = sum;
      sum += counts[b][digit];
    }
    for (int n = 0; n < count; ++n) to[next[radix_digit(from[n].prefix, b)]++] = from[n];
    std::swap(from, to);
  }
  if (from != entries) memcpy(entries, from, sizeof(SortEntry) * static_cast<size_t>(count));
}

void sort_distinct_lines(Collation collation, DistinctLine *lines, int distinct) {
  bool all_have_prefix = true;
  for (int d = 0; d < distinct; ++d) {
    DistinctLine &line = lines[d];
    const char *key = collation.by_bytes ? nullptr : sort_key(line.text, line.length);
    distinct_keys[d] = key;
    const char *decides = collation.by_bytes ? line.text : key;
    sort_entries[d] = SortEntry{decides != nullptr ? order_prefix(decides) : 0,
                                static_cast<uint32_t>(d), decides != nullptr};
    all_have_prefix = all_have_prefix && decides != nullptr;
  }
  auto before = [collation, lines](const SortEntry &a, const SortEntry &b) {
    if (a.has_prefix && b.has_prefix && a.prefix != b.prefix) return a.prefix < b.prefix;
    const DistinctLine &x = lines[a.index];
    const DistinctLine &y = lines[b.index];
    return collate(collation, x.text, distinct_keys[a.index], y.text, distinct_keys[b.index]) < 0;
  };
  if (all_have_prefix && distinct > 0) {
    // The prefixes put most lines in place; lines that share one are ordered among themselves.
    radix_sort_by_prefix(sort_entries, distinct);
    for (int first = 0; first < distinct;) {
      int last = first + 1;
      while (last < distinct && sort_entries[last].prefix == sort_entries[first].prefix) ++last;
      if (last - first > 1) std::sort(sort_entries + first, sort_entries + last, before);
      first = last;
    }
  } else {
    std::sort(sort_entries, sort_entries + distinct, before);
  }
  for (int d = 0; d < distinct; ++d) sorted_distinct[d] = sort_entries[d].index;
}

// The current line of a batch reader as the merge compares it: the order prefix of what
// decides its place, as the batch sort uses it, so that most comparisons are one integer
// comparison.
struct MergeHead {
  uint64_t prefix;       // of the first kPrefixBytes bytes
  uint64_t next_prefix;  // of the kPrefixBytes after them; 0 when the text ends before
  const char *key;       // sort key, or nullptr
  int length;
  bool has_prefix;  // false for a line without a sort key in a collating locale
};

// Whether a prefix holds the end of its text (its last byte is the zero after the text).
bool ends_within(uint64_t prefix) { return (prefix & 0xFF) == 0; }

MergeHead merge_head(Collation collation, const char *line) {
  uint32_t length = static_cast<uint32_t>(strlen(line));
  const char *key = collation.by_bytes ? nullptr : sort_key(line, length);
  const char *decides = collation.by_bytes ? line : key;
  if (decides == nullptr) return MergeHead{0, 0, key, static_cast<int>(length), false};
  uint64_t prefix = order_prefix(decides);
  uint64_t next_prefix = ends_within(prefix) ? 0 : order_prefix(decides + kPrefixBytes);
  return MergeHead{prefix, next_prefix, key, static_cast<int>(length), true};
}

// The sign of strcoll of the two readers' current lines.
int compare_heads(Collation collation, const BatchFile *b, const MergeHead *heads, int p, int q) {
  const MergeHead &x = heads[p];
  const MergeHead &y = heads[q];
  if (x.has_prefix && y.has_prefix) {
    if (x.prefix != y.prefix) return x.prefix < y.prefix ? -1 : 1;
    // Equal prefixes that hold the end of the texts hold the whole of both, which are equal.
    if (ends_within(x.prefix)) return 0;
    if (x.next_prefix != y.next_prefix) return x.next_prefix < y.next_prefix ? -1 : 1;
    if (ends_within(x.next_prefix)) return 0;
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
  int leaves;                         // readers that had lines at the start
  int winner;                         // reader with the smallest line, or -1 when all are done
  int leaf_of[MAX_BATCH_FILES];       // per reader, its leaf
  int losers[MAX_BATCH_FILES];        // per match 1 to leaves - 1, the reader that lost it
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

namespace {

// h % num_reducers, without a division for every line: with m = 2^64 / d rounded up, the
// remainder is the high half of (m * h mod 2^64) * d, exact for every 32-bit h and d.
uint32_t remainder_by_reducers(uint32_t h) {
  static uint32_t divisor;
  static uint64_t magic;
  const uint32_t d = static_cast<uint32_t>(num_reducers);
  if (d != divisor) {
    divisor = d;
    magic = UINT64_MAX / d + 1;
  }
  return static_cast<uint32_t>((static_cast<unsigned __int128>(magic * h) * d) >> 64);
}

// A line on its way into its reducer's table, with what its look-up needs worked out first.
struct LineToFile {
  const char *text;
  uint32_t length;
  uint32_t reducer;
  uint32_t hash;  // line_hash
  uint64_t head;  // head_bytes
};

// Works out where the `length` bytes at text, a whole line of at most MAX_LINE_BYTES bytes with
// no zero byte among them, are to be filed, and starts fetching the table slot that filing it
// will read first: most of a batch's slots are not in the cache, and the fetch can proceed
// while the line before is filed.
LineToFile locate_line(const char *text, size_t length) {
  // Depends on the key alone, so every occurrence of a word meets in one reducer; with one
  // reducer there is nothing to choose.
  uint32_t r = 0;
  if (num_reducers > 1) {
    uint32_t h = 5381;
    for (size_t k = 0; k < length && text[k] != ' '; ++k) {
      h = h * 33 + static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(text[k])));
    }
    r = remainder_by_reducers(h);
  }
  const LineToFile line{text, static_cast<uint32_t>(length), r, line_hash(text, length),
                        head_bytes(text, length)};
  const uint32_t slot_count = distinct_tables[r].slot_count;
  if (slot_count != 0) __builtin_prefetch(&distinct_slots[r][line.hash & (slot_count - 1)]);
  return line;
}

// Files a located line as add_line files it.
void file_located_line(const LineToFile &line) {
  const uint32_t r = line.reducer;
  int n = nlines[r];
  if (n == 0) {
    pool_end[r] = line_pool[r];
    clear_distinct_lines(r);
  }
  buffer[r][n] =
      const_cast<char *>(intern_line(r, line.text, line.length, line.hash, line.head));
  nlines[r] = n + 1;
  if (nlines[r] == BATCH_LINES) flush_batch(static_cast<int>(r));
}

// Lines up to this many bytes, newline included, are looked for eight bytes a step; map lines
// are words with " 1", and most are far shorter.
constexpr int kShortLineBytes = 64;
static_assert(kShortLineBytes % sizeof(uint64_t) == 0 && kShortLineBytes <= MAX_LINE_BYTES);
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__);

// The length of the line at `start` when its newline lies before `end` (the end of the valid
// bytes), within kShortLineBytes, with no zero byte before it; otherwise -1, and the general
// path takes the line. Reads never go past `limit`, the end of the buffer; bytes between end
// and limit are read but never decide.
int short_line_length(const char *start, const char *end, const char *limit) {
  constexpr uint64_t kOnes = 0x0101010101010101u;
  constexpr uint64_t kHighBits = kOnes << (CHAR_BIT - 1);
  constexpr uint64_t kNewlines = kOnes * '\n';
  for (int k = 0; k < kShortLineBytes; k += sizeof(uint64_t)) {
    if (limit - (start + k) < static_cast<ptrdiff_t>(sizeof(uint64_t))) return -1;
    uint64_t bytes = load_bytes(start + k, sizeof(uint64_t));
    uint64_t not_newline = bytes ^ kNewlines;
    // High bit of each byte that is zero or a newline; exact up to the first such byte, which
    // is all that is used (the loads are little-endian).
    uint64_t found =
        ((not_newline - kOnes) & ~not_newline & kHighBits) | ((bytes - kOnes) & ~bytes & kHighBits);
    if (found != 0) {
      int at = k + __builtin_ctzll(found) / CHAR_BIT;
      if (at >= end - start || start[at] != '\n') return -1;
      return at;
    }
  }
  return -1;
}

// Locates the next line of the map file where it lies in the read block, without copying it,
// and returns true; false, with nothing read, when no whole line is left in the block, so that
// the reader, which refills the block, takes it. The line stays valid until the block is
// refilled.
bool locate_line_in_block(MapFile &mf, LineToFile &line) {
  if (mf.pos >= mf.end) return false;
  const char *start = mf.buf + mf.pos;
  int short_length = short_line_length(start, mf.buf + mf.end, mf.buf + SUFFLE_BLOCK_SIZE);
  if (short_length >= 0) {
    line = locate_line(start, static_cast<size_t>(short_length));
    mf.pos += short_length + 1;
    return true;
  }
  size_t available = static_cast<size_t>(mf.end - mf.pos);
  const char *newline = static_cast<const char *>(memchr(start, '\n', available));
  if (newline == nullptr) return false;
  size_t span = static_cast<size_t>(newline - start);
  // As read_line_map keeps it: cut to MAX_LINE_BYTES, and ended by a zero byte inside it.
  size_t kept = std::min(span, size_t{MAX_LINE_BYTES});
  const char *zero = static_cast<const char *>(memchr(start, '\0', kept));
  line = locate_line(start, zero != nullptr ? static_cast<size_t>(zero - start) : kept);
  mf.pos += static_cast<int>(span) + 1;
  return true;
}

}  // namespace

void add_line(const char *line) {
  file_located_line(locate_line(line, strnlen(line, MAX_LINE_BYTES)));
}

int cmp_lines(const void *a, const void *b) {
  return strcoll(*static_cast<char *const *>(a), *static_cast<char *const *>(b));
}

void flush_batch(int r) {
  if (nlines[r] == 0) return;
  const Collation collation = current_collation();
  DistinctLine *lines = distinct_lines[r];
  int distinct = static_cast<int>(distinct_tables[r].line_count);
  sort_distinct_lines(collation, lines, distinct);
  int b = batch_count[r]++;
  char name[WORK_NAME_SIZE];
  batch_file_name(name, r, b);
  int fd = create_output_file(name);
  if (fd < 0) {
    int open_errno = errno;
    snprintf(MsgError, sizeof MsgError, "[Suffle:flush_batch] Error opening batch file %s.\n",
             name);
    errno = open_errno;
    Error(MsgError);
  }
  int n = 0;
  for (int d = 0; d < distinct; ++d) {
    const DistinctLine &line = lines[sorted_distinct[d]];
    append_repeated_line(fd, line.text, static_cast<int>(line.length), line.count);
    for (uint32_t k = 0; k < line.count; ++k) buffer[r][n++] = const_cast<char *>(line.text);
  }
  flush_batch_out(fd);
  close_written_file(fd);
  nlines[r] = 0;
}

void write_line(int fd, const char *line) {
  append_line(fd, line, static_cast<int>(strnlen(line, MAX_LINE_BYTES)));
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
      LineToFile next;
      if (locate_line_in_block(mf, next)) {
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
