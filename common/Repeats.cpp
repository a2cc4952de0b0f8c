#include "common/Repeats.h"

#include <climits>
#include <cstdint>
#include <cstring>

// The first differing byte is found from the lowest differing bit of two loads.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__);

size_t equal_prefix(const char *a, const char *b, size_t n) {
  size_t k = 0;
  for (; k + sizeof(uint64_t) <= n; k += sizeof(uint64_t)) {
    uint64_t x;
    uint64_t y;
    memcpy(&x, a + k, sizeof x);
    memcpy(&y, b + k, sizeof y);
    if (x != y) return k + static_cast<size_t>(__builtin_ctzll(x ^ y)) / CHAR_BIT;
  }
  while (k < n && a[k] == b[k]) ++k;
  return k;
}

size_t repeats_after_line(const char *at, size_t available, size_t line_size) {
  // A run of identical lines is periodic: each byte after the first line equals the byte one
  // line before it, up to the first byte of a line that differs.
  size_t periodic = equal_prefix(at + line_size, at, available - line_size);
  return periodic / line_size * line_size;
}
