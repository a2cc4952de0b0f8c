/* The map stage's words for programs that count them themselves: every word of an input, cut
 * and lower-cased exactly as the map stage writes it into its tuple lines, handed over in
 * batches instead of being written; and the one rule for where text may be cut so that every
 * word stays whole. */
#ifndef QUOVENT_MAP_WORDSCAN_H
#define QUOVENT_MAP_WORDSCAN_H

#include <cstddef>
#include <cstdint>

/* Most words handed over at once. */
constexpr int MAP_WORD_BATCH = 4096;

/* Bytes after every word of a batch that may be read, whatever they hold: a word can be loaded
 * in whole 8-byte steps. */
constexpr int MAP_WORD_SLACK = 16;

/* Longest unit in bytes: the map stage takes a unit's length from its first byte alone, which
 * gives at most four. */
constexpr int MAP_MAX_UNIT_BYTES = 4;

/* Bytes before a byte that decide whether text may be cut after it (is_safe_cut_after): only a
 * unit that starts in them can reach it. A search for a cut keeps them before its candidates. */
constexpr int MAP_CUT_CONTEXT_BYTES = MAP_MAX_UNIT_BYTES - 1;

/* Where one word lies in the text of a batch: `length` bytes (1 to 255) from `offset`. */
struct WordSpan {
  uint32_t offset;
  uint32_t length;
};

class WordReceiver {
 public:
  /* `count` words (1 to MAP_WORD_BATCH) in the order of the input, each at its span of `text`,
   * which is not zero-terminated, has MAP_WORD_SLACK readable bytes after each word and is
   * reused once the call returns. */
  virtual void take_words(const char *text, const WordSpan *words, int count) = 0;

 protected:
  ~WordReceiver() = default;
};

/* The words of the `length` bytes of fd_in from its current offset (to its end when `length`
 * is negative), in batches to `receiver`, as map_process_range finds them: a range must end
 * where that function says. Returns the number of words. A directory as input has none; any
 * other failed read stops the process through Error. */
long long map_words(int fd_in, long long length, WordReceiver &receiver);

/* A text that is not a range of a file, such as a decompressed file or a member of an archive. */
class ByteSource {
 public:
  /* Stores up to `room` (at least 1) next bytes of the text at buf and returns how many, 0 at
   * its end. A failure stops the process, naming the text. */
  virtual size_t read(unsigned char *buf, size_t room) = 0;

 protected:
  ~ByteSource() = default;
};

/* The words of the whole of `source`, as map_words finds them in a file. */
long long map_words(ByteSource &source, WordReceiver &receiver);

/* Whether text may be cut right after byte i of `bytes` (whose bytes before bytes[0], if any,
 * do not count) with every word whole on both sides: the byte is an ASCII byte that is no letter
 * of the locale, and no unit that starts in the MAP_CUT_CONTEXT_BYTES bytes before it reaches it
 * (a stray first byte of a longer character takes in the bytes after it, whatever they are).
 * Reads bytes[i - MAP_CUT_CONTEXT_BYTES] to bytes[i], as far as they exist. */
bool is_safe_cut_after(const unsigned char *bytes, long long i);

#endif
