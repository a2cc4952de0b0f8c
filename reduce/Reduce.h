/* Reduce stage: adds up the counts of adjacent equal words in each reducer's
 * sorted shuffle output file (tmp/_suffle_<r>.tmp, lines "word count\n") and
 * writes one line "word total\n" per group into the result file. */
#ifndef QUOVENT_REDUCE_REDUCE_H
#define QUOVENT_REDUCE_REDUCE_H

#include "common/WorkFiles.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Size of the chunks in which a shuffle output file is read. */
enum { REDUCE_BLOCK_SIZE = 65536 };

/* Longest word held whole, the longest word the map stage writes. */
enum { REDUCE_MAX_WORD_BYTES = MAX_WORK_TEXT_BYTES };

/* Size of the buffer holding a shuffle output file's name, terminating zero
 * included; tmp/_suffle_<r>.tmp fits it for every int r. */
enum { REDUCE_NAME_SIZE = WORK_NAME_SIZE };

/* Compares two zero-terminated words under the collation of the current
 * locale: the strcoll result, negative, zero or positive. */
int cmp_words(const char *a, const char *b);

/* Reads the shuffle output file fd_in to its end and appends to fd_out one
 * line "word total\n" per run of adjacent lines whose words collate equal;
 * the line carries the word as the run's first line has it. Returns the
 * number of lines written. Opens and closes nothing.
 * A line is a word, blanks and a decimal count (optional sign; further text
 * ignored), read like "%s %d"; its text ends at its first zero byte.
 * - A line with a word but no count counts as one occurrence: the shuffle
 *   keeps 255 bytes of a line, so a 254- or 255-byte word loses its count.
 * - An empty line, or one of white space only, is skipped.
 * - Bytes after the last line end (an incomplete tuple) count for nothing.
 * - A word of more than 255 bytes is cut to its first 255 bytes, at a UTF-8
 *   character boundary. A line longer than REDUCE_BLOCK_SIZE bytes is read
 *   as its first REDUCE_BLOCK_SIZE bytes.
 * - A count beyond the 64-bit range, or a total beyond it, stays at the
 *   nearest limit. A run whose total is not above 0 writes no line.
 * A directory as input reads as empty. Any other failed read, or a failed
 * write, stops the process through Error. */
int reduce_process_file(int fd_in, int fd_out);

/* The reduce stage: creates output_file (its directory must exist), then
 * reduces tmp/_suffle_0.tmp to tmp/_suffle_<n_reducers - 1>.tmp, in that
 * order, into it, printing progress and timing. Call setlocale(LC_ALL, "")
 * first: grouping follows the locale's collation. A count below 1 leaves an
 * empty result file. Stops through Error when the result file cannot be
 * created, before any input is opened, and when an input cannot be opened,
 * leaving in the result file the lines of the inputs before it. */
void quovent_reducer(const char *output_file, int n_reducers);

/* Environment variable that carries the run token of the reducers started
 * together by one driver run (see quovent_reducer_part). */
#define REDUCE_RUN_TOKEN_VARIABLE "QUOVENT_RUN_TOKEN"

/* The reduce stage of one partition, for the n_reducers reducers of a run
 * that run at the same time and share output_file: reduces only
 * tmp/_suffle_<index>.tmp (0 <= index < n_reducers), printing progress and
 * timing as quovent_reducer does for one file. output_file is emptied at the
 * start and holds the whole result, sections in index order, once every
 * reducer of the run has returned; parts written by reducers with another
 * run_token are never used (reduce/ResultParts.h). run_token is the same
 * text for all reducers of one run and differs between runs. Stops through
 * Error like quovent_reducer, leaving output_file empty. */
void quovent_reducer_part(const char *output_file, int n_reducers, int index,
                          const char *run_token);

#ifdef __cplusplus
}
#endif

#endif
