/* Runs of identical lines in a buffer: the sorted work files hold a word's occurrences as one
 * line repeated many times, which the shuffle's merge and the reducer take as a whole. */
#ifndef QUOVENT_COMMON_REPEATS_H
#define QUOVENT_COMMON_REPEATS_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* How many leading bytes of a and b, n bytes each, are equal (n when all are). */
size_t equal_prefix(const char *a, const char *b, size_t n);

/* Given the `available` bytes at `at`, whose first `line_size` bytes (0 < line_size <=
 * available) are a whole line with its newline, returns the bytes of the whole copies of that
 * line that follow it directly, a multiple of line_size. A copy cut by the end of the bytes
 * does not count. */
size_t repeats_after_line(const char *at, size_t available, size_t line_size);

#ifdef __cplusplus
}
#endif

#endif
