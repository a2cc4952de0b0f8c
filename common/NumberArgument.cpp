// Numbers on command lines. strtol is atoi's own conversion: the same white space, sign and
// digits, the same ERANGE for digits beyond long, and the value atoi then cuts to int.
#include "common/NumberArgument.h"

#include <climits>
#include <cstdlib>

int number_argument(const char *text) { return static_cast<int>(strtol(text, nullptr, 10)); }

int count_argument(const char *text) {
  long value = strtol(text, nullptr, 10);
  if (value > INT_MAX || value < INT_MIN) return -1;
  return static_cast<int>(value);
}
