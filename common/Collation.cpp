#include "Collation.h"

#include <clocale>
#include <cstring>
#include <initializer_list>

bool collation_is_byte_order(void) {
  const char *name = setlocale(LC_COLLATE, nullptr);
  if (name == nullptr) return false;
  for (const char *byte_order : {"C", "POSIX", "C.UTF-8", "C.utf8"}) {
    if (strcmp(name, byte_order) == 0) return true;
  }
  return false;
}

bool words_collate_equal(const char *a, size_t a_length, const char *b, size_t b_length,
                         bool by_bytes) {
  // Identical bytes always collate equal; under byte order nothing else does.
  if (a_length == b_length && memcmp(a, b, a_length) == 0) return true;
  if (by_bytes) return false;
  return strcoll(a, b) == 0;
}
