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
  // The one-byte letters are A-Z and a-z, lowered as in ASCII: runs of them are then scanned
  // eight bytes at a time.
  bool plain_ascii = false;
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
  char word[kWordBufferSize];
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
  list.spans[list.count++] = WordSpan{static_cast<uint32_t>(state.outpos),
                                      static_cast<uint32_t>(length)};
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

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__);  // the first byte read is the lowest
constexpr uint64_t kEveryByte = 0x0101010101010101u;
constexpr uint64_t kHighBits = kEveryByte * 0x80;

// Of the eight bytes in `bytes` (the first in the lowest byte), the high bit of each that is an
// ASCII letter. Each byte's sums stay within the byte, so no byte disturbs another.
constexpr uint64_t ascii_letter_bits(uint64_t bytes) {
  uint64_t folded = (bytes | kEveryByte * 0x20) & ~kHighBits;  // 'A'-'Z' onto 'a'-'z'
  uint64_t from_a = folded + kEveryByte * (0x80 - 'a');        // high bit: at least 'a'
  uint64_t past_z = folded + kEveryByte * (0x80 - 'z' - 1);    // high bit: beyond 'z'
  return from_a & ~past_z & ~bytes & kHighBits;
}
static_assert(ascii_letter_bits(0x417A5A615B40607B) == 0x8080808000000000);
static_assert(ascii_letter_bits(0xC1E1DAFA00202E61) == 0x0000000000000080);

// Applies the word rules to the whole units in block[0, end). Returns the number of bytes
// scanned; the rest (at most three bytes, a unit cut by the block end) belongs to the next
// block.
template <typename Output>
int scan_block(MapState<Output> &state, const unsigned char *block, int end) {
  const LowerCase &lower = state.lower;
  // The word's progress is kept in locals while bytes are stored: stores through char
  // pointers could alias the state, and would make every letter reload it.
  char *word = state.word;
  char *out = state.outbuf + state.outpos;
  int wlen = state.wlen;
  bool needs_conversion = state.needs_conversion;
  const bool plain_ascii = lower.plain_ascii;
  int i = 0;
  while (i < end) {
    unsigned char c = block[i];
    if (plain_ascii && lower.single_letter[c] && wlen + 8 <= MAX_WORD_BYTES && end - i >= 8) {
      // The letters that start the next eight bytes, lowered by setting bit 0x20; all eight
      // bytes are stored, and those past the letters are overwritten or never used.
      uint64_t bytes;
      memcpy(&bytes, block + i, sizeof bytes);
      uint64_t letters = ascii_letter_bits(bytes);
      uint64_t lowered = bytes | letters >> 2;
      memcpy(word + wlen, &bytes, sizeof bytes);
      memcpy(out + wlen, &lowered, sizeof lowered);
      uint64_t others = ~letters & kHighBits;
      int run = others == 0 ? 8 : __builtin_ctzll(others) / CHAR_BIT;
      wlen += run;
      i += run;
      continue;
    }
    if (lower.single_letter[c]) {
      // An over-long word drops the letters that do not fit but stays open: it is never
      // split, and a later letter that fits is still appended.
      if (wlen < MAX_WORD_BYTES) {
        // A single-byte letter is ASCII whenever the table is used; otherwise the word is
        // converted anyway and its lowered bytes here are never written.
        unsigned char lowered = lower.ascii_lower[c & 0x7F];
        word[wlen] = static_cast<char>(c);
        out[wlen] = static_cast<char>(lowered);
        needs_conversion |= lowered == 0;
        ++wlen;
      }
      ++i;
      continue;
    }
    int len = unit_length(c);
    if (i + len > end) break;
    if (len == 2 && is_latin1_letter(c, block[i + 1])) {
      if (wlen + len <= MAX_WORD_BYTES) {
        unsigned char lowered = lower.latin1_lower[block[i + 1] - kContinuationBase];
        word[wlen] = static_cast<char>(c);
        word[wlen + 1] = static_cast<char>(block[i + 1]);
        out[wlen] = static_cast<char>(c);
        out[wlen + 1] = static_cast<char>(lowered);
        needs_conversion |= lowered == 0;
        wlen += len;
      }
    } else if (wlen > 0) {
      state.wlen = wlen;
      state.needs_conversion = needs_conversion;
      emit_word(state);
      out = state.outbuf + state.outpos;
      wlen = 0;
      needs_conversion = false;
    }
    i += len;
    if (plain_ascii && len == 1 && end - i >= 8) {
      // Separators come in runs (", ", ".\n\n"): the ASCII bytes before the next letter or
      // the next byte of a longer unit are skipped eight at a time.
      uint64_t bytes;
      memcpy(&bytes, block + i, sizeof bytes);
      uint64_t stops = ascii_letter_bits(bytes) | (bytes & kHighBits);
      i += stops == 0 ? 8 : __builtin_ctzll(stops) / CHAR_BIT;
    }
  }
  state.wlen = wlen;
  state.needs_conversion = needs_conversion;
  return i;
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
  scan_input([&source](unsigned char *buf, size_t room) { return source.read(buf, room); },
             state);
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
