// Map stage: words out of UTF-8 text, lower-cased, one tuple line each.
#include "map/Map.h"

#include <fcntl.h>
#include <langinfo.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>

#include "common/Clock.h"
#include "common/Errors.h"
#include "common/RawIO.h"
#include "common/WorkFiles.h"
#include "map/ChunkClasses.h"
#include "map/WordScan.h"

namespace {

// Word buffer size: the longest word and its terminating zero.
constexpr int kWordBufferSize = MAX_WORD_BYTES + 1;

// Bytes a tuple adds after its word: blank, the count 1, line feed.
constexpr char kTupleTail[] = TUPLE_TAIL "\n";
constexpr int kTupleTailBytes = sizeof kTupleTail - 1;

// A tuple is flushed before it is appended when it might not fit; the
// longest tuple must fit an empty buffer.
static_assert(MAX_WORD_BYTES + kTupleTailBytes <= MAP_BLOCK_SIZE);

// Bytes a unit can have beyond what one block may end with; a unit cut by
// the block end is carried into the next block, so that the words of a file
// never depend on where the blocks end.
constexpr int kMaxUnitBytes = 4;

// A file system that reports a lost write only at close has lost map output as surely as a
// failed write, so the close stops with the text of the last write.
void close_map_output(int fd_out) {
  if (close_output_file(fd_out) != 0) {
    Error("[Map:flush_out] Error writting map result (final).\n");
  }
}

constexpr int unit_length(unsigned char c) {
  if ((c & 0x80) == 0) return 1;
  if ((c & 0xE0) == 0xC0) return 2;
  if ((c & 0xF0) == 0xE0) return 3;
  if ((c & 0xF8) == 0xF0) return 4;
  return 1;  // a stray continuation byte, or 0xF8-0xFF
}
static_assert(unit_length('a') == 1 && unit_length(0xC3) == 2 && unit_length(0xE2) == 3);
static_assert(unit_length(0xF0) == 4 && unit_length(0x80) == 1 && unit_length(0xFF) == 1);

// U+00C0 to U+00FF, the two-byte letters. 0xC2 never starts a letter, also
// when its second byte is a first byte itself (invalid UTF-8).
constexpr bool is_latin1_letter(unsigned char first, unsigned char second) {
  return first == 0xC3 && second >= 0x80 && second <= 0xBF;
}
static_assert(is_latin1_letter(0xC3, 0x80) && is_latin1_letter(0xC3, 0xBF));
static_assert(!is_latin1_letter(0xC2, 0xBF) && !is_latin1_letter(0xC2, 0xC3));

// How the current locale lower-cases each letter, worked out once per input from the
// locale's own towlower, so that a word costs a table look-up per letter instead of two
// wide-character conversions. The table holds only letters whose lower case keeps the byte
// length, which every UTF-8 locale gives for all of them but a few (the Turkish capital I
// lowers into the two-byte dotless i); a word holding another letter, or any word of a
// locale that is not UTF-8, goes through normalize_utf8 as before.
struct LowerCase {
  bool by_table = false;  // the locale is UTF-8 and only ASCII bytes are single-byte letters
  // The one-byte letters are A-Z and a-z, lowered as in ASCII: the text is then classified a
  // chunk at a time (scan_chunks).
  bool plain_ascii = false;
  // With plain_ascii, U+00C0 to U+00FF are lowered as Unicode lowers them (plain_latin1_lower):
  // scan_chunks then lowers whole runs of letters at once.
  bool plain_latin1 = false;
  // One-byte units: non-zero for a letter of the locale (the class test of is_utf8_letter).
  unsigned char single_letter[256];
  // Per ASCII letter its lower case, or 0 when the table cannot give it.
  unsigned char ascii_lower[128];
  // Per second byte 0x80-0xBF of U+00C0 to U+00FF the second byte of its lower case, which
  // stays in U+00C0 to U+00FF, or 0 when the table cannot give it.
  unsigned char latin1_lower[64];
};

constexpr unsigned char kLatin1Lead = 0xC3;
constexpr wchar_t kFirstLatin1Letter = 0xC0;
constexpr unsigned char kContinuationBase = 0x80;

// The bytes wcstombs would give for the lower case of the character wc, as the slow path
// makes them; 0 bytes when the locale cannot encode it.
size_t lowered_bytes(wchar_t wc, char (&out)[MB_LEN_MAX]) {
  mbstate_t state{};
  size_t n = wcrtomb(out, static_cast<wchar_t>(towlower(static_cast<wint_t>(wc))), &state);
  return n == static_cast<size_t>(-1) ? 0 : n;
}

void build_lower_case(LowerCase &lower) {
  for (int c = 0; c < 256; ++c) {
    lower.single_letter[c] = unit_length(static_cast<unsigned char>(c)) == 1 && isalpha(c) != 0;
  }
  memset(lower.ascii_lower, 0, sizeof lower.ascii_lower);
  memset(lower.latin1_lower, 0, sizeof lower.latin1_lower);
  const char *codeset = nl_langinfo(CODESET);
  lower.by_table = strcmp(codeset, "UTF-8") == 0;
  for (int c = 0x80; c < 256; ++c) {
    if (lower.single_letter[c]) lower.by_table = false;
  }
  if (!lower.by_table) return;
  char out[MB_LEN_MAX];
  for (int c = 0; c < 128; ++c) {
    if (!lower.single_letter[c]) continue;
    if (lowered_bytes(static_cast<wchar_t>(c), out) == 1 && (out[0] & 0x80) == 0) {
      lower.ascii_lower[c] = static_cast<unsigned char>(out[0]);
    }
  }
  lower.plain_ascii = true;
  for (int c = 0; c < 128; ++c) {
    bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    if ((lower.single_letter[c] != 0) != letter || (letter && lower.ascii_lower[c] != (c | 0x20))) {
      lower.plain_ascii = false;
    }
  }
  for (int k = 0; k < 64; ++k) {
    if (lowered_bytes(kFirstLatin1Letter + k, out) == 2 &&
        static_cast<unsigned char>(out[0]) == kLatin1Lead &&
        is_latin1_letter(kLatin1Lead, static_cast<unsigned char>(out[1]))) {
      lower.latin1_lower[k] = static_cast<unsigned char>(out[1]);
    }
  }
  lower.plain_latin1 = lower.plain_ascii;
  for (int k = 0; k < 64; ++k) {
    if (lower.latin1_lower[k] != plain_latin1_lower(kContinuationBase + k)) {
      lower.plain_latin1 = false;
    }
  }
}

// Where the words of an input go: tuple lines into a map output file, or, for the programs that
// count words themselves, batches of words handed to a receiver.
struct TupleOutput {
  int fd_out;
};
struct WordListOutput {
  WordReceiver *receiver;
  WordSpan spans[MAP_WORD_BATCH];
  int count = 0;
};

// The word being built and what it becomes, for one input. While a word is read, its bytes go
// to `word` as they stand and, lower-cased through the table, straight to its place in outbuf,
// so that a word the table can lower needs no copy: a tuple is finished by appending its tail,
// a listed word by noting where it lies.
template <typename Output>
struct MapState {
  Output output;
  char word[kWordBufferSize + kCopyStep];  // room for copy_letters' last step
  int wlen = 0;
  // Set when a letter of the current word is not in the table (or the locale has no table):
  // the word then leaves through normalize_utf8.
  bool needs_conversion = false;
  char outbuf[MAP_BLOCK_SIZE + MAP_WORD_SLACK];
  int outpos = 0;
  long long words = 0;
  LowerCase lower;
};

// Room that is always free at outpos between words: the longest word and its tail, where the
// word being read is lowered.
constexpr int kTupleRoom = MAX_WORD_BYTES + kTupleTailBytes;
static_assert(kTupleRoom <= MAP_BLOCK_SIZE);

// Writes out the tuples waiting when the next word and its tail might not fit.
void keep_tuple_room(MapState<TupleOutput> &state) {
  if (state.outpos > MAP_BLOCK_SIZE - kTupleRoom) {
    flush_out(state.output.fd_out, state.outbuf, &state.outpos);
  }
}

// Hands the words listed so far to the receiver; outbuf is then free again.
void deliver_words(MapState<WordListOutput> &state) {
  WordListOutput &list = state.output;
  if (list.count > 0) list.receiver->take_words(state.outbuf, list.spans, list.count);
  list.count = 0;
  state.outpos = 0;
}

// The word of `length` bytes at outpos is complete.
void finish_word(MapState<TupleOutput> &state, int length) {
  memcpy(state.outbuf + state.outpos + length, kTupleTail, kTupleTailBytes);
  state.outpos += length + kTupleTailBytes;
  keep_tuple_room(state);
}

void finish_word(MapState<WordListOutput> &state, int length) {
  WordListOutput &list = state.output;
  list.spans[list.count++] =
      WordSpan{static_cast<uint32_t>(state.outpos), static_cast<uint32_t>(length)};
  state.outpos += length;
  if (list.count == MAP_WORD_BATCH || state.outpos > MAP_BLOCK_SIZE - kTupleRoom) {
    deliver_words(state);
  }
}

// Lowers the word through the locale and puts it at outpos; returns its length. A locale may
// lower a letter into another byte length; the word that leaves is what normalize_utf8 made of
// it, which still has at most 255 bytes.
[[gnu::noinline]] int convert_word(char *word, int wlen, char *out) {
  word[wlen] = '\0';
  normalize_utf8(word);
  int length = static_cast<int>(strlen(word));
  memcpy(out, word, static_cast<size_t>(length));
  return length;
}

// Inline in the scanning loop, which ends a word every few bytes; the rare word the table
// cannot lower leaves through convert_word.
template <typename Output>
[[gnu::always_inline]] inline void emit_word(MapState<Output> &state) {
  int length = state.wlen;
  if (state.needs_conversion) {
    length = convert_word(state.word, state.wlen, state.outbuf + state.outpos);
  }
  state.words++;
  state.wlen = 0;
  state.needs_conversion = false;
  finish_word(state, length);
}

// The word's progress, kept in locals while bytes are stored: stores through char pointers
// could alias the state, and would make every letter reload it.
struct WordCursor {
  char *word;
  char *out;  // where the lowered word goes: outbuf at outpos
  int wlen;
  bool needs_conversion;
};

template <typename Output>
WordCursor load_cursor(MapState<Output> &state) {
  return {state.word, state.outbuf + state.outpos, state.wlen, state.needs_conversion};
}

template <typename Output>
void store_cursor(MapState<Output> &state, const WordCursor &cursor) {
  state.wlen = cursor.wlen;
  state.needs_conversion = cursor.needs_conversion;
}

// The word of the cursor is complete; the cursor then starts the next one.
template <typename Output>
[[gnu::always_inline]] inline void end_word(MapState<Output> &state, WordCursor &cursor) {
  store_cursor(state, cursor);
  emit_word(state);
  cursor = load_cursor(state);
}

// Appends the one-byte letter c, if the word has room. An over-long word drops the letters that
// do not fit but stays open: it is never split, and a later letter that fits is still appended.
[[gnu::always_inline]] inline void append_single(const LowerCase &lower, WordCursor &cursor,
                                                 unsigned char c) {
  if (cursor.wlen >= MAX_WORD_BYTES) return;
  // A single-byte letter is ASCII whenever the table is used; otherwise the word is converted
  // anyway and its lowered bytes here are never written.
  unsigned char lowered = lower.ascii_lower[c & 0x7F];
  cursor.word[cursor.wlen] = static_cast<char>(c);
  cursor.out[cursor.wlen] = static_cast<char>(lowered);
  cursor.needs_conversion |= lowered == 0;
  ++cursor.wlen;
}

// Appends the two-byte letter at unit, if the word has room for both bytes.
[[gnu::always_inline]] inline void append_latin1(const LowerCase &lower, WordCursor &cursor,
                                                 const unsigned char *unit) {
  if (cursor.wlen + 2 > MAX_WORD_BYTES) return;
  unsigned char lowered = lower.latin1_lower[unit[1] - kContinuationBase];
  cursor.word[cursor.wlen] = static_cast<char>(unit[0]);
  cursor.word[cursor.wlen + 1] = static_cast<char>(unit[1]);
  cursor.out[cursor.wlen] = static_cast<char>(unit[0]);
  cursor.out[cursor.wlen + 1] = static_cast<char>(lowered);
  cursor.needs_conversion |= lowered == 0;
  cursor.wlen += 2;
}

// copy_letters may store a step's worth past the longest word: the word buffer has that room
// after its zero, and outbuf after the tuple room it always keeps free.
static_assert(kCopyStep - 1 <= kTupleTailBytes + MAP_WORD_SLACK);

// Appends the `count` bytes at run, letters that start at a unit's start, of which those marked
// in `leads` (bit k for byte k; bits past the run are ignored) start a two-byte letter. Where
// the whole run fits, it is copied and lowered in steps, the two-byte letters one by one unless
// the locale lowers them as Unicode does; a run that would pass the longest word goes letter by
// letter, for which letters fit.
[[gnu::always_inline]] inline void append_run(const LowerCase &lower, WordCursor &cursor,
                                              const unsigned char *run, int count, uint64_t leads) {
  if (cursor.wlen + count > MAX_WORD_BYTES) {
    for (int k = 0; k < count;) {
      if (leads >> k & 1) {
        append_latin1(lower, cursor, run + k);
        k += 2;
      } else {
        append_single(lower, cursor, run[k]);
        k += 1;
      }
    }
    return;
  }
  copy_letters(run, count, cursor.word + cursor.wlen, cursor.out + cursor.wlen, lower.plain_latin1);
  if (lower.plain_latin1) {
    cursor.wlen += count;
    return;
  }
  if (count < kChunkBytes) leads &= (uint64_t{1} << count) - 1;
  for (; leads != 0; leads &= leads - 1) {
    int k = __builtin_ctzll(leads);
    unsigned char lowered = lower.latin1_lower[run[k + 1] - kContinuationBase];
    cursor.out[cursor.wlen + k + 1] = static_cast<char>(lowered);
    cursor.needs_conversion |= lowered == 0;
  }
  cursor.wlen += count;
}

// The bits of `mask` from bit k on, shifted down to bit 0 (k below 64).
constexpr uint64_t bits_from(uint64_t mask, int k) { return mask >> k; }

// Consecutive set bits of `mask` from bit 0.
constexpr int leading_ones(uint64_t mask) {
  return ~mask == 0 ? kChunkBytes : __builtin_ctzll(~mask);
}
static_assert(leading_ones(0) == 0 && leading_ones(0b1011) == 2 &&
              leading_ones(~uint64_t{0}) == 64);

// Applies the word rules to whole chunks of block[0, end) while a chunk and what its scan reads
// lie within; returns where it stopped, at the start of a unit. For a locale whose one-byte
// letters are A-Z and a-z only. Each chunk is classified at once; the walk then goes from unit
// start to unit start, jumping over runs of separators and appending runs of letters whole:
// - ASCII bytes are units; letters continue or start a word, the other bytes end it;
// - 0xC3 with a continuation byte after it is a two-byte letter;
// - any other unit that is not ASCII ends the word and is skipped whole, its length taken from
//   its first byte, whatever the bytes it takes in. The unit may end past the chunk, which the
//   next chunk then starts after.
template <typename Output>
int scan_chunks(MapState<Output> &state, const unsigned char *block, int end) {
  const LowerCase &lower = state.lower;
  WordCursor cursor = load_cursor(state);
  int i = 0;
  while (end - i >= kChunkReach) {
    const ChunkClasses classes = classify_chunk(block + i);
    const uint64_t leads = classes.latin1_leads;
    // A lead at the last byte has its second byte in the next chunk's first byte; as a letter,
    // the pair is appended whole and the next chunk starts after it.
    uint64_t letters = classes.ascii_letters | leads | leads << 1;
    uint64_t other_units = classes.non_ascii & ~letters;
    int k = 0;
    while (k < kChunkBytes) {
      if (cursor.wlen == 0) {
        uint64_t stops = bits_from(letters | other_units, k);
        if (stops == 0) {
          k = kChunkBytes;
          break;
        }
        k += __builtin_ctzll(stops);
      }
      if (bits_from(letters, k) & 1) {
        int run = leading_ones(bits_from(letters, k));
        // Without a test: whether a run reaches the chunk's end follows no pattern.
        int count = run + static_cast<int>((k + run) / kChunkBytes & leads >> (kChunkBytes - 1));
        append_run(lower, cursor, block + i + k, count, bits_from(leads, k));
        k += count;
        if (k >= kChunkBytes) break;  // the word may go on in the next chunk
      }
      // Byte k is no letter: it ends the word, if any.
      if (cursor.wlen > 0) end_word(state, cursor);
      if ((bits_from(other_units, k) & 1) == 0) {
        ++k;
        continue;
      }
      k += unit_length(block[i + k]);
      // The unit may have taken in the lead of a two-byte letter: the second byte after it is
      // then a stray continuation byte, a unit of its own and no letter.
      if (k < kChunkBytes && (bits_from(leads << 1, k) & 1)) {
        letters &= ~(uint64_t{1} << k);
        other_units |= uint64_t{1} << k;
      }
    }
    i += k;
  }
  store_cursor(state, cursor);
  return i;
}

// Applies the word rules unit by unit to the whole units in block[begin, end), which starts at
// a unit's start. Returns where it stopped: at end, or at a unit cut by the block end (at most
// three bytes), which belongs to the next block.
template <typename Output>
int scan_units(MapState<Output> &state, const unsigned char *block, int begin, int end) {
  const LowerCase &lower = state.lower;
  WordCursor cursor = load_cursor(state);
  int i = begin;
  while (i < end) {
    unsigned char c = block[i];
    if (lower.single_letter[c]) {
      append_single(lower, cursor, c);
      ++i;
      continue;
    }
    int len = unit_length(c);
    if (i + len > end) break;
    if (len == 2 && is_latin1_letter(c, block[i + 1])) {
      append_latin1(lower, cursor, block + i);
    } else if (cursor.wlen > 0) {
      end_word(state, cursor);
    }
    i += len;
  }
  store_cursor(state, cursor);
  return i;
}

// Applies the word rules to the whole units in block[0, end). Returns the number of bytes
// scanned; the rest (at most three bytes, a unit cut by the block end) belongs to the next
// block.
template <typename Output>
int scan_block(MapState<Output> &state, const unsigned char *block, int end) {
  int i = state.lower.plain_ascii ? scan_chunks(state, block, end) : 0;
  return scan_units(state, block, i, end);
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

int utf8_char_len(unsigned char c) { return unit_length(c); }

int is_utf8_letter(const unsigned char *s, int *len) {
  *len = unit_length(s[0]);
  if (*len == 1) return isalpha(s[0]);
  if (*len == 2) return is_latin1_letter(s[0], s[1]);
  return 0;
}

void normalize_utf8(char *word) {
  wchar_t wbuf[kWordBufferSize];
  size_t characters = mbstowcs(wbuf, word, kWordBufferSize);
  if (characters == static_cast<size_t>(-1) || characters >= kWordBufferSize) return;
  for (size_t k = 0; k < characters; ++k) wbuf[k] = static_cast<wchar_t>(towlower(wbuf[k]));
  char lowered[kWordBufferSize];
  size_t bytes = wcstombs(lowered, wbuf, sizeof lowered);
  if (bytes == static_cast<size_t>(-1) || bytes > MAX_WORD_BYTES) return;
  memcpy(word, lowered, bytes + 1);
}

void flush_out(int fd_out, char *buf, int *pos) {
  if (*pos <= 0) return;
  if (write_fully(fd_out, buf, static_cast<size_t>(*pos)) < 0) {
    Error("[Map:flush_out] Error writting map result (final).\n");
  }
  *pos = 0;
}

int map_process_file(int fd_in, int fd_out) { return map_process_range(fd_in, -1, fd_out); }

namespace {

// Applies the word rules to the bytes that read_more (a function taking a buffer and its room
// and returning the bytes it stored, 0 at the end) gives, every word going to the state's
// output, the last one included.
template <typename Output, typename ReadMore>
void scan_input(ReadMore read_more, MapState<Output> &state) {
  // Without by_table the lowering tables stay empty, so every word is converted.
  build_lower_case(state.lower);
  unsigned char inbuf[MAP_BLOCK_SIZE];
  static_assert(MAP_BLOCK_SIZE > kMaxUnitBytes);
  int carried = 0;
  for (;;) {
    size_t n = read_more(inbuf + carried, sizeof inbuf - carried);
    if (n == 0) break;
    int end = carried + static_cast<int>(n);
    int scanned = scan_block(state, inbuf, end);
    carried = end - scanned;
    memmove(inbuf, inbuf + scanned, carried);
  }
  // Bytes of a unit that the input cut short are no letter: they only end the
  // word before them, as the end of the input does anyway.
  if (state.wlen > 0) emit_word(state);
}

// The `length` bytes of fd_in from its offset (to its end when `length` is negative), as
// scan_input reads them; a failed read stops the process through Error.
auto range_reader(int fd_in, long long length) {
  return [fd_in, left = length](unsigned char *buf, size_t room) mutable -> size_t {
    if (left == 0) return 0;
    if (left > 0 && static_cast<unsigned long long>(left) < room) room = static_cast<size_t>(left);
    ssize_t n = read_block(fd_in, buf, room);
    if (n < 0) Error("[Map:map_process_file] Error reading mapper input file.\n");
    if (left > 0) left -= n;
    return static_cast<size_t>(n);
  };
}

}  // namespace

bool is_safe_cut_after(const unsigned char *bytes, long long i) {
  int length = 0;
  if ((bytes[i] & 0x80) != 0 || is_utf8_letter(bytes + i, &length)) return false;
  for (int back = 1; back < kMaxUnitBytes && i - back >= 0; ++back) {
    if (unit_length(bytes[i - back]) > back) return false;
  }
  return true;
}

int map_process_range(int fd_in, long long length, int fd_out) {
  MapState<TupleOutput> state;
  state.output.fd_out = fd_out;
  scan_input(range_reader(fd_in, length), state);
  flush_out(fd_out, state.outbuf, &state.outpos);
  return static_cast<int>(state.words);
}

long long map_words(int fd_in, long long length, WordReceiver &receiver) {
  MapState<WordListOutput> state;
  state.output.receiver = &receiver;
  scan_input(range_reader(fd_in, length), state);
  deliver_words(state);
  return state.words;
}

long long map_words(ByteSource &source, WordReceiver &receiver) {
  MapState<WordListOutput> state;
  state.output.receiver = &receiver;
  scan_input([&source](unsigned char *buf, size_t room) { return source.read(buf, room); }, state);
  deliver_words(state);
  return state.words;
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
