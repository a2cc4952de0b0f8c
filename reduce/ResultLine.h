/* The lines of a result file: a word, one blank, its total and a line end. The reducer writes
 * them; the merge and the shard counter write and read them. */
#ifndef QUOVENT_REDUCE_RESULTLINE_H
#define QUOVENT_REDUCE_RESULTLINE_H

#include <string_view>

#include "common/WorkFiles.h"

/* A result line without its line end: the longest word, a blank and the 19 digits of the
 * largest 64-bit count. */
constexpr int kMaxCountDigits = 19;
constexpr int kMaxResultLineBytes = MAX_WORK_TEXT_BYTES + 1 + kMaxCountDigits;

/* The result line of a word and its total (above 0): "word total\n", into `out`, which has room
 * for kMaxResultLineBytes + 1 bytes. Returns its length. */
int format_result_line(std::string_view word, long long total, char *out);

/* Splits a result line without its line end into its word and count. False when it is not a
 * word (1 to 255 bytes, no white space or zero byte), one blank and a count above 0 without
 * sign or leading zero that fits 64 bits. */
bool parse_result_line(std::string_view line, std::string_view &word, long long &count);

/* The lines of a shard's result that the run's merge puts in the collation's order itself (see
 * WordOrder's ResultForm): a result line whose word carries, after one more blank, its first
 * appearance, a number that orders the first occurrences of words in the run's text. It names a
 * group of words that collate equal, as the first of them names it in the reducer. */
constexpr int kMaxFirstDigits = 20;
constexpr int kMaxLineWithFirstBytes = kMaxResultLineBytes + 1 + kMaxFirstDigits;

/* "word total first\n", into `out`, which has room for kMaxLineWithFirstBytes + 1 bytes. Returns
 * its length. */
int format_result_line(std::string_view word, long long total, unsigned long long first, char *out);

/* parse_result_line for a line that also carries a first appearance (digits without sign or
 * leading zero, or 0, that fit 64 bits). */
bool parse_result_line(std::string_view line, std::string_view &word, long long &count,
                       unsigned long long &first);

#endif
