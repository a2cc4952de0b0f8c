/* Which comparison the collation of the current locale comes down to. */
#ifndef QUOVENT_COMMON_COLLATION_H
#define QUOVENT_COMMON_COLLATION_H

#include <stdbool.h>
#include <stddef.h>
#include <string.h>

#ifdef __cplusplus
extern "C" {
#endif

/* True when strcoll in the current LC_COLLATE is plain byte order (strcmp):
 * the C and POSIX locales, and C.UTF-8, whose collation is code point order,
 * which UTF-8 bytes keep. Decided by the locale's name: the locale data of
 * these locales does not reliably carry a rule count to ask for. */
bool collation_is_byte_order(void);

/* The sign of strcoll(a, b) for the zero-terminated lines a and b: strcmp when by_bytes
 * (collation_is_byte_order), else strcmp of their collation keys key_a and key_b where both
 * have one (NULL for none), else strcoll itself. Inline: sorts and merges call it for every
 * comparison. */
static inline int collate_lines(bool by_bytes, const char *a, const char *key_a, const char *b,
                                const char *key_b) {
  if (by_bytes) return strcmp(a, b);
  if (key_a != NULL && key_b != NULL) return strcmp(key_a, key_b);
  return strcoll(a, b);
}

/* Whether the zero-terminated words a and b, of a_length and b_length bytes, are one word for
 * the reducer, which adds up the counts of words that collate equal: the same bytes, or, unless
 * by_bytes (collation_is_byte_order), strcoll finds them equal. */
bool words_collate_equal(const char *a, size_t a_length, const char *b, size_t b_length,
                         bool by_bytes);

#ifdef __cplusplus
}
#endif

#endif
