// Map stage: words out of UTF-8 text, lower-cased, one tuple line each.
#include "map/Map.h"

#include <fcntl.h>
#include <langinfo.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>

#include "common/Clock.h"
#include "common/Errors.h"
#include "common/RawIO.h"

namespace {

// Word buffer size: the longest word and its terminating zero.
constexpr int kWordBufferSize = MAX_WORD_BYTES + 1;

// Bytes a tuple adds after its word: blank, the count 1, line feed.
constexpr char kTupleTail[] = " 1\n";
constexpr int kTupleTailBytes = sizeof kTupleTail - 1;

// A tuple is flushed before it is appended when it might not fit; the
// longest tuple must fit an empty buffer.
static_assert(MAX_WORD_BYTES + kTupleTailBytes <= MAP_BLOCK_SIZE);

// Bytes a unit can have beyond what one block may end with; a unit cut by
// the block end is carried into the next block, so that the words of a file
// never depend on where the blocks end.
constexpr int kMaxUnitBytes = 4;

constexpr char kSingleMapFile[] = "./tmp/_map.tmp";
constexpr int kMapNameSize = 128;

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
  for (int k = 0; k < 64; ++k) {
    if (lowered_bytes(kFirstLatin1Letter + k, out) == 2 &&
        static_cast<unsigned char>(out[0]) == kLatin1Lead &&
        is_latin1_letter(kLatin1Lead, static_cast<unsigned char>(out[1]))) {
      lower.latin1_lower[k] = static_cast<unsigned char>(out[1]);
    }
  }
}

// The word being built and the tuples not yet written, for one input.
struct MapState {
  int fd_out;
  char word[kWordBufferSize];
  int wlen = 0;
  char outbuf[MAP_BLOCK_SIZE];
  int outpos = 0;
  int words = 0;
  LowerCase lower;
};

// Appends the word lower-cased through the table to outbuf at outpos; false, with nothing
// kept, when a letter of it is not in the table.
bool append_lowered(const LowerCase &lower, const char *word, int wlen, char *out) {
  const unsigned char *bytes = reinterpret_cast<const unsigned char *>(word);
  for (int k = 0; k < wlen; ++k) {
    unsigned char c = bytes[k];
    unsigned char lowered;
    if (c < 0x80) {
      lowered = lower.ascii_lower[c];
    } else {
      // With by_table every letter of 0x80 and above is U+00C0 to U+00FF: lead byte and one
      // continuation byte.
      out[k] = static_cast<char>(c);
      ++k;
      lowered = lower.latin1_lower[bytes[k] - kContinuationBase];
    }
    if (lowered == 0) return false;
    out[k] = static_cast<char>(lowered);
  }
  return true;
}

// Writes out the tuples waiting when `length` more word bytes and the tail might not fit.
void make_room(MapState &state, int length) {
  if (state.outpos + length > MAP_BLOCK_SIZE - kTupleTailBytes - 1 && state.outpos > 0) {
    flush_out(state.fd_out, state.outbuf, &state.outpos);
  }
}

void emit_word(MapState &state) {
  int length = state.wlen;
  make_room(state, length);
  if (!state.lower.by_table ||
      !append_lowered(state.lower, state.word, state.wlen, state.outbuf + state.outpos)) {
    state.word[state.wlen] = '\0';
    normalize_utf8(state.word);
    // A locale may lower a letter into another byte length; the word that leaves is what
    // normalize_utf8 made of it, which still has at most 255 bytes.
    length = static_cast<int>(strlen(state.word));
    make_room(state, length);
    memcpy(state.outbuf + state.outpos, state.word, length);
  }
  memcpy(state.outbuf + state.outpos + length, kTupleTail, kTupleTailBytes);
  state.outpos += length + kTupleTailBytes;
  state.words++;
  state.wlen = 0;
}

// Applies the word rules to the whole units in block[0, end). Returns the number of bytes
// scanned; the rest (at most three bytes, a unit cut by the block end) belongs to the next
// block.
int scan_block(MapState &state, const unsigned char *block, int end) {
  const unsigned char *single_letter = state.lower.single_letter;
  int i = 0;
  while (i < end) {
    unsigned char c = block[i];
    if (single_letter[c]) {
      // An over-long word drops the letters that do not fit but stays open: it is never
      // split, and a later letter that fits is still appended.
      if (state.wlen < MAX_WORD_BYTES) state.word[state.wlen++] = static_cast<char>(c);
      ++i;
      continue;
    }
    int len = unit_length(c);
    if (i + len > end) break;
    if (len == 2 && is_latin1_letter(c, block[i + 1])) {
      if (state.wlen + len <= MAX_WORD_BYTES) {
        state.word[state.wlen] = static_cast<char>(c);
        state.word[state.wlen + 1] = static_cast<char>(block[i + 1]);
        state.wlen += len;
      }
    } else if (state.wlen > 0) {
      emit_word(state);
    }
    i += len;
  }
  return i;
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

int map_process_file(int fd_in, int fd_out) {
  MapState state;
  state.fd_out = fd_out;
  build_lower_case(state.lower);
  unsigned char inbuf[MAP_BLOCK_SIZE];
  static_assert(MAP_BLOCK_SIZE > kMaxUnitBytes);
  int carried = 0;
  for (;;) {
    ssize_t n = read_block(fd_in, inbuf + carried, sizeof inbuf - carried);
    if (n < 0) Error("[Map:map_process_file] Error reading mapper input file.\n");
    if (n == 0) break;
    int end = carried + static_cast<int>(n);
    int scanned = scan_block(state, inbuf, end);
    carried = end - scanned;
    memmove(inbuf, inbuf + scanned, carried);
  }
  // Bytes of a unit that the input cut short are no letter: they only end the
  // word before them, as the end of the input does anyway.
  if (state.wlen > 0) emit_word(state);
  flush_out(fd_out, state.outbuf, &state.outpos);
  return state.words;
}

int quovent_mapper(int ninputfiles, char **input_files, bool multiple_mappers) {
  snprintf(Msg, sizeof Msg, "[Map Stage]\tStart Mapper to process %d input files.\n", ninputfiles);
  print(Msg);
  timespec start = monotonic_now();

  int fd_out = -1;
  if (!multiple_mappers) {
    fd_out = create_output_file(kSingleMapFile);
    if (fd_out < 0) {
      snprintf(MsgError, sizeof MsgError, "[Map:quovent_map] Error opening mapper output file %s\n",
               kSingleMapFile);
      Error(MsgError);
    }
  }

  int totalwords = 0;
  for (int i = 0; i < ninputfiles; ++i) {
    int fd_in = open(input_files[i], O_RDONLY);
    if (fd_in < 0) {
      snprintf(MsgError, sizeof MsgError, "[Map:quovent_map] Error opening mapper input file %s\n",
               input_files[i]);
      Error(MsgError);
    }
    // The input is opened before its numbered output: a missing input leaves
    // that file as it was.
    if (multiple_mappers) {
      char map_file[kMapNameSize];
      snprintf(map_file, sizeof map_file, "%s%s_%d%s", "tmp/", "_map", i, ".tmp");
      fd_out = create_output_file(map_file);
      if (fd_out < 0) {
        snprintf(MsgError, sizeof MsgError,
                 "[Map:quovent_map] Error opening mapper output file %s\n", map_file);
        Error(MsgError);
      }
    }
    int words = map_process_file(fd_in, fd_out);
    totalwords += words;
    snprintf(Msg, sizeof Msg, "\t\tMapper processed %d words from %s file.\n", words,
             input_files[i]);
    printMessage(Msg, COLOR_GREEN_L);
    if (multiple_mappers) close(fd_out);
    close(fd_in);
  }
  if (!multiple_mappers) close(fd_out);

  float time = seconds_since(start);
  snprintf(Msg, sizeof Msg,
           "[Map Stage]\tMapper Done. Processed %d words from %d input files in %.3f secs.\n",
           totalwords, ninputfiles, time);
  print(Msg);
  return totalwords;
}
