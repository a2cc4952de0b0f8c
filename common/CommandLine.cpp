#include "common/CommandLine.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr long long kLargestByteSize = 1LL << 40;

}  // namespace

bool read_whole_number(const char *text, long long min, long long max, long long &value) {
  if (*text == '\0') return false;
  long long number = 0;
  for (const char *c = text; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9') return false;
    if (__builtin_mul_overflow(number, 10, &number) ||
        __builtin_add_overflow(number, *c - '0', &number)) {
      return false;
    }
  }
  if (number < min || number > max) return false;
  value = number;
  return true;
}

bool read_byte_size(const char *text, long long &bytes) {
  char digits[32];
  size_t length = strlen(text);
  if (length == 0 || length >= sizeof digits) return false;
  memcpy(digits, text, length + 1);
  int shift = 0;
  switch (digits[length - 1]) {
    case 'K':
    case 'k':
      shift = 10;
      break;
    case 'M':
    case 'm':
      shift = 20;
      break;
    case 'G':
    case 'g':
      shift = 30;
      break;
    default:
      break;
  }
  if (shift != 0) digits[length - 1] = '\0';
  long long number = 0;
  if (!read_whole_number(digits, 1, kLargestByteSize >> shift, number)) return false;
  bytes = number << shift;
  return true;
}

void refuse_command_line(const char *program, const char *problem, const char *usage) {
  char message[1024];
  int length = snprintf(message, sizeof message, "%s: %s\n%s", program, problem, usage);
  if (length > static_cast<int>(sizeof message) - 1) length = sizeof message - 1;
  (void)!write(2, message, static_cast<size_t>(length));
  exit(kUsageStatus);
}
