/* Map stage: what a word is, how it is lower-cased, and the tuple lines
 * ("word 1\n") written for every occurrence into the map output files. */
#ifndef QUOVENT_MAP_MAP_H
#define QUOVENT_MAP_MAP_H

#ifndef __cplusplus
#include <stdbool.h>
#endif

#include "common/WorkFiles.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Size of the blocks in which inputs are read and tuples written. */
enum { MAP_BLOCK_SIZE = 65536 };

/* Longest word in bytes, the limit of every work file; longer runs of letters are cut to
 * whole units. */
enum { MAX_WORD_BYTES = MAX_WORK_TEXT_BYTES };

/* Length in bytes (1 to 4) of the unit whose first byte is c, as the first
 * byte alone says: stray continuation bytes and 0xF8-0xFF are 1. */
int utf8_char_len(unsigned char c);

/* Non-zero when the unit at s is a letter: an alphabetic byte of the locale,
 * or U+00C0 to U+00FF (0xC3 with a second byte 0x80-0xBF). Stores the unit
 * length in *len in every case. Reads s[0] and, for a two-byte unit, s[1]. */
int is_utf8_letter(const unsigned char *s, int *len);

/* Lower-cases the zero-terminated word (at most 255 bytes) in place through
 * the locale's towlower. A word the locale cannot convert, or whose lower
 * case would not fit 255 bytes, is left unchanged. */
void normalize_utf8(char *word);

/* Writes the *pos bytes of buf to fd_out, completing short writes, and sets
 * *pos to 0; does nothing when *pos is 0 or less. Stops the process through
 * Error when a write fails. */
void flush_out(int fd_out, char *buf, int *pos);

/* Reads fd_in to its end and appends one tuple line per word occurrence to
 * fd_out. Returns the number of tuples written. A directory as input counts
 * as empty; any other failed read, or a failed write, stops the process
 * through Error. Closes neither descriptor. */
int map_process_file(int fd_in, int fd_out);

/* map_process_file for the `length` bytes of fd_in from its current offset
 * (fewer when the input ends first; a negative length reads to the end). A
 * unit cut short by the end of the range ends the word before it, as the end
 * of a file does, so a range must end where no unit is cut: after a line end
 * that no multi-byte unit before it reaches. */
int map_process_range(int fd_in, long long length, int fd_out);

/* The map stage: maps the ninputfiles paths into "./tmp/_map.tmp", or with
 * multiple_mappers into tmp/_map_<i>.tmp for input i, printing progress and
 * timing. Returns the total number of tuples. Stops through Error when a file
 * cannot be opened, read or written. */
int quovent_mapper(int ninputfiles, char **input_files, bool multiple_mappers);

#ifdef __cplusplus
}
#endif

#endif
