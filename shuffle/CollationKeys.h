/* How the shuffle orders lines under the current locale, with the product's cache of collation
 * keys (common/CollationKeys.h) that makes it fast. Where the locale has no collation rules,
 * glibc's strcoll is strcmp itself, and bytes decide; elsewhere a line's strxfrm key compared with
 * strcmp gives the sign strcoll gives, and strcoll decides when a line has no key. The sort and
 * the merge ask for every line, so the look-ups are inline. Internal to the object module
 * Suffle: every name in suffle_internal is local to lib/Suffle.o (see shuffle/CMakeLists.txt). */
#ifndef QUOVENT_SHUFFLE_COLLATIONKEYS_H
#define QUOVENT_SHUFFLE_COLLATIONKEYS_H

#include <cstdint>

#include "common/Collation.h"
#include "common/CollationKeys.h"
#include "shuffle/LineBytes.h"

namespace suffle_internal {

struct Collation {
  bool by_bytes;
};

// The collation of the current locale. Empties the key cache when the collation locale is not
// the one its keys were made for.
Collation current_collation();

// The keys of the lines met in this process, made at the first use and kept for the whole
// process, as the shuffle's other tables are.
CollationKeyCache &key_cache();

// The strxfrm key of the zero-terminated line of `length` bytes, made once and kept in the
// cache, or nullptr when it has none (the cache is full, or the key is too long). Call only
// after current_collation() has found a collating locale.
inline const char *sort_key(const char *line, uint32_t length) {
  return key_cache().find_or_make(line_hash(line, length), line, length);
}

// The sign of strcoll(a, b), from the keys key_a and key_b (each nullptr when its line has
// none) where both lines have one.
inline int collate(Collation collation, const char *a, const char *key_a, const char *b,
                   const char *key_b) {
  return collate_lines(collation.by_bytes, a, key_a, b, key_b);
}

}  // namespace suffle_internal

#endif
