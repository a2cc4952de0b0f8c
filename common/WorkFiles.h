/* The files through which the stages hand over their data, and the result file: how each is
 * named, and the limits of what they hold that every stage keeps to. Names are relative to the
 * working directory; no program creates their directories. */
#ifndef QUOVENT_COMMON_WORKFILES_H
#define QUOVENT_COMMON_WORKFILES_H

#ifdef __cplusplus
extern "C" {
#endif

/* Longest word, and longest line of a work file, in bytes: the map stage cuts words to it, the
 * shuffle cuts lines to it and the reducer holds words of this length whole. One limit, so
 * that what one stage writes the next takes whole; longer text is cut, never rejected. */
enum { MAX_WORK_TEXT_BYTES = 255 };

/* What follows the word in a tuple line, the map stage's record of one occurrence: a blank and
 * the count 1. The shuffle sorts whole tuple lines, cut to MAX_WORK_TEXT_BYTES, so this tail is
 * part of every word's place in the order. */
#define TUPLE_TAIL " 1"

/* Size of the buffers that hold a work file name, terminating zero included. The longest
 * name, tmp/_batch_r<r>_<b>.tmp with both numbers at their widest ("-2147483648"), takes 40
 * bytes, so no name is ever cut. */
enum { WORK_NAME_SIZE = 64 };

/* The directory of the work files. */
#define WORK_DIR_NAME "tmp"

/* The map output file of a run with one mapper: "./tmp/_map.tmp". */
#define SINGLE_MAP_FILE "./" WORK_DIR_NAME "/_map.tmp"

/* The result file when the command line names none. */
#define DEFAULT_RESULT_FILE "./Result/qv.txt"

/* Stores in `name` tmp/_map_<mapper>.tmp, the map output file of mapper `mapper` when each
 * mapper writes its own. */
void map_file_name(char name[WORK_NAME_SIZE], int mapper);

/* Stores in `name` tmp/_batch_r<reducer>_<batch>.tmp, the batch file `batch` that the shuffle
 * spilled for reducer `reducer`. */
void batch_file_name(char name[WORK_NAME_SIZE], int reducer, int batch);

/* Stores in `name` tmp/_suffle_<reducer>.tmp, the sorted shuffle output file of reducer
 * `reducer`, which is that reducer's input. */
void suffle_file_name(char name[WORK_NAME_SIZE], int reducer);

#ifdef __cplusplus
}
#endif

#endif
