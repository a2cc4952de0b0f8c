/* Which comparison the collation of the current locale comes down to. */
#ifndef QUOVENT_COMMON_COLLATION_H
#define QUOVENT_COMMON_COLLATION_H

#include <stdbool.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* True when strcoll in the current LC_COLLATE is plain byte order (strcmp):
 * the C and POSIX locales, and C.UTF-8, whose collation is code point order,
 * which UTF-8 bytes keep. Decided by the locale's name: the locale data of
 * these locales does not reliably carry a rule count to ask for. */
bool collation_is_byte_order(void);

/* Whether the zero-terminated words a and b, of a_length and b_length bytes, are one word for
 * the reducer, which adds up the counts of words that collate equal: the same bytes, or, unless
 * by_bytes (collation_is_byte_order), strcoll finds them equal. */
bool words_collate_equal(const char *a, size_t a_length, const char *b, size_t b_length,
                         bool by_bytes);

#ifdef __cplusplus
}
#endif

#endif
