/* The word rules of QuoventMR_v3 (--words): the default rule of the map stage, or the Unicode
 * rule, whose words are the letter, kana and ideograph segments between ICU's word boundaries
 * (UnicodeSegments.h), lowered, normalized and cut as UnicodeLowerCase.h says; and, per rule,
 * how its words are handed over and where a text may be cut with every word whole. The seven
 * programs do not link this library: ICU is QuoventMR_v3's alone. */
#ifndef QUOVENT_MAP_UNICODEWORDS_H
#define QUOVENT_MAP_UNICODEWORDS_H

#include <string>

#include "map/WordScan.h"

enum class WordRule {
  kLatin1,   // the map stage's: runs of ASCII letters and U+00C0 to U+00FF
  kUnicode,  // Unicode word boundaries by ICU
};

/* The rule's name on the command line and in a run's plan: "latin1" or "unicode". */
const char *word_rule_name(WordRule rule);

/* The rule named `name`; false when no rule has that name. */
bool read_word_rule(const std::string &name, WordRule &rule);

/* map_words (WordScan.h) under `rule`: the words of the `length` bytes of fd_in from its
 * offset (to its end when `length` is negative), or of the whole of `source`, in batches to
 * `receiver`; returns the number of words. Under the Unicode rule a failed read stops the
 * process through Error as map_words does. Call setlocale first: the locale lowers the words. */
long long map_rule_words(WordRule rule, int fd_in, long long length, WordReceiver &receiver);
long long map_rule_words(WordRule rule, ByteSource &source, WordReceiver &receiver);

/* Whether text may be cut right after byte i of `bytes` under `rule` with every word whole on
 * both sides; reads at most bytes[i - MAP_CUT_CONTEXT_BYTES] to bytes[i], as far as they exist.
 * Under the default rule is_safe_cut_after says. Under the Unicode rule the one safe byte is
 * the line feed: UAX #29 breaks after it whatever follows and before it whatever precedes
 * (WB3a, WB3b), no rule looks across it (the ones that look ahead or back, WB6, WB7, WB11,
 * WB12 and the regional indicators of WB15 and WB16, stop at it), and it ends every run of
 * characters that ICU's dictionaries segment, which runs over Chinese, Japanese, Thai, Lao,
 * Khmer and Burmese letters only. A text without line feeds is not cut. */
bool is_safe_cut_after(WordRule rule, const unsigned char *bytes, long long i);

#endif
