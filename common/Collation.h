/* Which comparison the collation of the current locale comes down to. */
#ifndef QUOVENT_COMMON_COLLATION_H
#define QUOVENT_COMMON_COLLATION_H

#include <stdbool.h>

#ifdef __cplusplus
extern "C" {
#endif

/* True when strcoll in the current LC_COLLATE is plain byte order (strcmp):
 * the C and POSIX locales, and C.UTF-8, whose collation is code point order,
 * which UTF-8 bytes keep. Decided by the locale's name: the locale data of
 * these locales does not reliably carry a rule count to ask for. */
bool collation_is_byte_order(void);

#ifdef __cplusplus
}
#endif

#endif
