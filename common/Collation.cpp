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
