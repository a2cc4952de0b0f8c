/* Shuffle stage: sends every map tuple line to its reducer by a hash of its key, spills each
 * reducer's lines as sorted batch files and merges them into one sorted file per reducer. */
#ifndef QUOVENT_SHUFFLE_SUFFLE_H
#define QUOVENT_SHUFFLE_SUFFLE_H

#include <stdint.h>

#include "common/WorkFiles.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Most reducers of a run: the first index of every per-reducer table. */
enum { MAX_REDUCERS = 16 };

/* Most map files one run reads: the size of the reader table. */
enum { MAX_MAP_FILES = 32 };

/* Lines a reducer holds in memory; a full table is spilled as one batch file. */
enum { BATCH_LINES = 262144 };

/* Most batch files one reducer's merge opens at once. */
enum { MAX_BATCH_FILES = 128 };

/* Bytes of one line slot: the longest line (255 bytes) and its terminating zero. */
enum { LINE_SLOT = MAX_WORK_TEXT_BYTES + 1 };
enum { MAX_LINE_BYTES = LINE_SLOT - 1 };

/* Bytes read from a map or batch file at a time, and size of the output buffer. */
enum { SUFFLE_BLOCK_SIZE = 65536 };

/* Per reducer r, the order of its current batch: entry n points to line n, zero-terminated, in
 * reducer r's line pool, where the distinct lines of the batch are packed one after another;
 * equal lines share one copy. The lines never move; a spill leaves the entries in sorted
 * order. Entries below nlines[r] always point into reducer r's own pool. */
extern char *buffer[MAX_REDUCERS][BATCH_LINES];

/* Per reducer, the lines held now: 0 to BATCH_LINES - 1 between calls of add_line (a table
 * that reaches BATCH_LINES is spilled at once). */
extern int nlines[MAX_REDUCERS];

/* Per reducer, the batch files written in this run, which is also the number of the next
 * one. The merge reads files 0 to batch_count[r] - 1. */
extern int batch_count[MAX_REDUCERS];

/* Reducers of the current run, 1 to MAX_REDUCERS; the divisor of the partition rule. Set by
 * suffle_process_files before the first line is added. */
extern int num_reducers;

/* Reader of one open map output file. */
typedef struct MapFile {
  int fd;                      /* opened read-only */
  char buf[SUFFLE_BLOCK_SIZE]; /* the block read last */
  int pos;                     /* index in buf of the next byte not yet consumed */
  int end;                     /* valid bytes in buf */
  int active;                  /* 1 until the end of the file has been seen */
  int mapfile;                 /* index of the file in the caller's list of names */
  int tuples;                  /* lines read from the file so far */
} MapFile;

/* Reader of one open batch file during a merge. */
typedef struct BatchFile {
  int fd;                      /* opened read-only */
  char buf[SUFFLE_BLOCK_SIZE]; /* the block read last */
  int pos;                     /* index in buf of the next byte not yet consumed */
  int end;                     /* valid bytes in buf */
  char line[LINE_SLOT];        /* the batch's current line, zero-terminated */
  int active;                  /* 1 when the file had a first line when opened, else 0 */
} BatchFile;

/* One entry of the merge heap: the index of a BatchFile in the merge's reader array. */
typedef struct HeapNode {
  int idx;
} HeapNode;

/* Takes a reader whose fd is open and whose pos and end start at 0, and a buffer `line` of
 * LINE_SLOT bytes. Stores the next line without its newline and returns 1, or returns 0 at
 * the end of the file. Only 0x0A ends a line; a line is cut to its first 255 bytes and the
 * rest up to the newline is dropped. A last line without a newline is dropped. A directory
 * reads as an empty file; any other failed read stops the process through Error. */
int read_line_map(MapFile *mf, char *line);

/* Copies the key of `line` (its bytes before the first blank, 0x20, or the whole line) into
 * `word`, a buffer of LINE_SLOT bytes, zero-terminated. A tab does not end a key; a line that
 * starts with a blank has the empty key. A key longer than 255 bytes is cut. */
void extract_word(const char *line, char *word);

/* The hash of a zero-terminated string: h = 5381, then h = h * 33 + c for each byte c taken
 * as a signed 8-bit value, modulo 2^32. "" gives 5381, "a" 177670, "\xC3\xA9" 5857809. */
uint32_t hash_word(const char *str);

/* Files `line` under reducer hash_word(key) % num_reducers and, when that reducer's table has
 * become full, spills it as a batch file at once. A line longer than 255 bytes is cut.
 * Requires num_reducers to be 1 to MAX_REDUCERS. */
void add_line(const char *line);

/* qsort comparison over an array of pointers to lines: strcoll of the two lines, so that the
 * order follows the collation of the current locale. */
int cmp_lines(const void *a, const void *b);

/* Sorts the lines held for reducer r (0 to MAX_REDUCERS - 1) and writes them as its next
 * batch file, tmp/_batch_r<r>_<b>.tmp, then empties the table. Does nothing when the reducer
 * holds no lines. A file that cannot be created stops the process through Error with a
 * message naming it and the error of the open; a failed write or close stops it with the
 * line writer's message. */
void flush_batch(int r);

/* Appends `line` (cut to 255 bytes) and a newline to the module's output buffer, first
 * writing the buffered bytes to fd when the line would not fit. Stops the process through
 * Error when a write fails; a short write is completed, never dropped. */
void write_line(int fd, const char *line);

/* Writes whatever the output buffer holds to fd and empties it; a write failure stops the
 * process through Error. Does nothing when the buffer is empty. */
void flush_batch_out(int fd);

/* Takes a batch reader whose fd is open; stores its next line in bf->line and returns 1, or
 * returns 0 at the end of the file. Lines are read as read_line_map reads them; a failed read
 * stops the process through Error. */
int read_line_batch(BatchFile *bf);

/* strcoll of the current line of batch a against that of batch c in the readers `b`. */
int heap_cmp(const BatchFile *b, int a, int c);

/* Exchanges entries i and j of the heap h. */
void heap_swap(HeapNode *h, int i, int j);

/* Restores the order of the min-heap h of `size` entries below entry i, by the current lines
 * of the readers `b`. A child moves up only when its line collates strictly before; of two
 * equal children the left one moves up. */
void heapify_down(HeapNode *h, int size, int i, const BatchFile *b);

/* Merges the batch files 0 to batch_count[r] - 1 of reducer r (0 to MAX_REDUCERS - 1) into
 * tmp/_suffle_<r>.tmp in collation order, every line kept. A reducer without batch files gets
 * an empty file. Stops the process through Error when the memory for the readers cannot be
 * obtained, when there are more than MAX_BATCH_FILES (before any is opened), or when a file
 * cannot be opened, read or written; a close of the output that reports a lost write stops it
 * as a failed write. */
void merge_batchs(int r);

/* Reads the num_maps (0 to MAX_MAP_FILES) map files named in map_files, one line of each file
 * per pass, sends every line to one of nreducers (1 to MAX_REDUCERS) reducers, spills every
 * reducer and then merges every reducer. Prints one message per file as it runs out. Returns
 * the number of lines read. All files are opened before the first line is read, so a file
 * that cannot be opened stops the process through Error before any work file is written.
 * Counts out of range also stop it through Error. */
int suffle_process_files(int num_maps, char **map_files, int nreducers);

/* The shuffle stage: reads "./tmp/_map.tmp" when nmappers is 1, else tmp/_map_0.tmp to
 * tmp/_map_<nmappers - 1>.tmp, and writes tmp/_suffle_0.tmp to tmp/_suffle_<nreducers - 1>.tmp,
 * printing start, per-file and end messages with the elapsed time. The caller sets the locale
 * first: it decides the sort order. Counts out of range stop the process through Error. */
void quovent_suffle(int nmappers, int nreducers);

#ifdef __cplusplus
}
#endif

#endif
