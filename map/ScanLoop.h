/* The word scanner's loop: applies the word rules to the bytes of one input and hands every
 * word, cut to whole units and lowered, to an output that decides what becomes of it (tuple
 * lines for the map stage, lists of words for map_words). The hottest loop of the product: the
 * whole of it is inline, so that each output gets a loop of its own with its finish_word in it. */
#ifndef QUOVENT_MAP_SCANLOOP_H
#define QUOVENT_MAP_SCANLOOP_H

#include <cstdint>
#include <cstring>

#include "common/Errors.h"
#include "common/RawIO.h"
#include "map/ChunkClasses.h"
#include "map/LowerCase.h"
#include "map/Map.h"
#include "map/Units.h"
#include "map/WordScan.h"

namespace word_scan {

/* Room that an output keeps free at outpos between words, where the next word is lowered. */
constexpr int kWordRoom = MAX_WORD_BYTES;

// copy_letters may store a step's worth past the longest word: the word buffer has that room
// after its zero, and outbuf has MAP_WORD_SLACK bytes after its MAP_BLOCK_SIZE.
static_assert(kCopyStep - 1 <= MAP_WORD_SLACK);
static_assert(kWordRoom <= MAP_BLOCK_SIZE);

/* The word being built and what it becomes, for one input. While a word is read, its bytes go
 * to `word` as they stand and, lower-cased through the table, straight to its place in outbuf,
 * so that a word the table can lower needs no copy.
 * Output is where the words go. It provides
 *   static void finish_word(MapState<Output> &state, int length);
 * called when the word of `length` bytes at outbuf + outpos is complete; it must leave outpos
 * where at least kWordRoom bytes of the MAP_BLOCK_SIZE are free. */
template <typename Output>
struct MapState {
  Output output;
  char word[MAX_WORD_BYTES + 1 + kCopyStep];  // room for the zero and copy_letters' last step
  int wlen = 0;
  // Set when a letter of the current word is not in the table (or the locale has no table):
  // the word then leaves through convert_word.
  bool needs_conversion = false;
  char outbuf[MAP_BLOCK_SIZE + MAP_WORD_SLACK];
  int outpos = 0;
  long long words = 0;
  LowerCase lower;
};

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
  Output::finish_word(state, length);
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
// a unit's start. Returns where it stopped: at end, or at a unit cut by the block end (fewer
// than MAP_MAX_UNIT_BYTES bytes), which belongs to the next block.
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
// scanned; the rest (a unit cut by the block end) belongs to the next block.
template <typename Output>
int scan_block(MapState<Output> &state, const unsigned char *block, int end) {
  int i = state.lower.plain_ascii ? scan_chunks(state, block, end) : 0;
  return scan_units(state, block, i, end);
}

/* Applies the word rules to the bytes that read_more (a function taking a buffer and its room
 * and returning the bytes it stored, 0 at the end) gives, every word going to the state's
 * output, the last one included. A unit cut by the end of a read is carried into the next one,
 * so that the words of an input never depend on where its reads end. */
template <typename Output, typename ReadMore>
void scan_input(ReadMore read_more, MapState<Output> &state) {
  build_lower_case(state.lower);
  unsigned char inbuf[MAP_BLOCK_SIZE];
  static_assert(MAP_BLOCK_SIZE > MAP_MAX_UNIT_BYTES);
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

/* The `length` bytes of fd_in from its offset (to its end when `length` is negative), as
 * scan_input reads them; a failed read stops the process through Error. */
inline auto range_reader(int fd_in, long long length) {
  return [fd_in, left = length](unsigned char *buf, size_t room) mutable -> size_t {
    if (left == 0) return 0;
    if (left > 0 && static_cast<unsigned long long>(left) < room) room = static_cast<size_t>(left);
    ssize_t n = read_block(fd_in, buf, room);
    if (n < 0) Error("[Map:map_process_file] Error reading mapper input file.\n");
    if (left > 0) left -= n;
    return static_cast<size_t>(n);
  };
}

}  // namespace word_scan

#endif
