/* The map stage's words for programs that count them themselves: every word of an input, cut
 * and lower-cased exactly as the map stage writes it into its tuple lines, handed over in
 * batches instead of being written. */
#ifndef QUOVENT_MAP_WORDSCAN_H
#define QUOVENT_MAP_WORDSCAN_H

#include <cstdint>

/* Most words handed over at once. */
constexpr int MAP_WORD_BATCH = 4096;

/* Bytes after every word of a batch that may be read, whatever they hold: a word can be loaded
 * in whole 8-byte steps. */
constexpr int MAP_WORD_SLACK = 16;

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

#endif
