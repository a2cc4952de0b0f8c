/* Where the words of a UTF-8 text lie under the Unicode word rule (QuoventMR_v3 --words unicode):
 * the segments between the word boundaries that ICU's word break iterator finds under the root
 * locale (UAX #29, with ICU's dictionaries for Chinese, Japanese, Thai, Lao, Khmer and Burmese)
 * whose rule status is letter, kana or ideograph. Numbers, punctuation and spaces are no words;
 * invalid UTF-8 reads as U+FFFD, which separates words.
 *
 * The text is taken a stretch at a time. A stretch is a run of bytes between plain separators:
 * the ASCII bytes that are no letter, digit, ' " . , ; _ or @, and the characters U+0080 to U+00FF
 * that Unicode classes with them (no letter, no format character, neither (c) nor (R)). Each
 * such separator has a word boundary on both sides of it whatever surrounds it, so that a
 * stretch has the same words alone as in UAX #29 over its text. A line (up to a line feed) whose
 * stretches hold only ASCII and U+00C0 to U+00FF letters, with full stops and apostrophes
 * between letters, is segmented here (the fast path); any other line goes through ICU whole,
 * since ICU's dictionaries segment a run of kana or Thai in view of the text around it, across
 * separators (ICU 72 keeps the kana of "\u30FC\u3072\u00AA" whole and splits those of
 * "\u00F7\u30FC\u3072\u00AA"). A line feed ends a line, for ICU too. */
#ifndef QUOVENT_MAP_UNICODESEGMENTS_H
#define QUOVENT_MAP_UNICODESEGMENTS_H

#include <memory>

/* Bytes of the longest stretch taken whole. A longer one (a megabyte of text without a single
 * separator) is segmented in pieces of this size, where a word across a piece's end may be
 * counted as two. */
constexpr int kLongestStretch = 1 << 20;

struct LineWords;

class SegmentReceiver {
 public:
  /* A word: the `length` bytes (1 or more) at `word`, in the text given to segment(). `plain`
   * when it holds only ASCII letters, U+00C0 to U+00FF letters and the full stops and
   * apostrophes between them. */
  virtual void take_segment(const unsigned char *word, int length, bool plain) = 0;

 protected:
  ~SegmentReceiver() = default;
};

class UnicodeSegmenter {
 public:
  /* Opens ICU's word break iterator; a failure (ICU's data missing) stops the process through
   * Fail with EX_UNAVAILABLE. */
  UnicodeSegmenter();
  ~UnicodeSegmenter();
  UnicodeSegmenter(const UnicodeSegmenter &) = delete;
  UnicodeSegmenter &operator=(const UnicodeSegmenter &) = delete;

  /* Hands every word of text[0, end) to receiver, in order, and returns the bytes segmented.
   * With `last` the text ends at `end` and all of it is segmented; otherwise the stretch that
   * reaches `end` may go on after it and is left, to be given again at the start of the next
   * call with what follows it. Reads no byte at or past `end`. */
  int segment(const unsigned char *text, int end, bool last, SegmentReceiver &receiver);

 private:
  bool read_line(const unsigned char *text, int &i, int end);
  void segment_by_icu(const unsigned char *text, int length, SegmentReceiver &receiver);

  std::unique_ptr<LineWords> line_;  // the words of the line being read
  struct Icu;
  std::unique_ptr<Icu> icu_;
};

#endif
