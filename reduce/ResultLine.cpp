// Result lines: written by the reducer, the merge and the shard counter; read by the merge.
#include "reduce/ResultLine.h"

#include <cstring>

int format_result_line(std::string_view word, long long total, char *out) {
  memcpy(out, word.data(), word.size());
  int length = static_cast<int>(word.size());
  out[length++] = ' ';
  char digits[kMaxCountDigits];
  int n = 0;
  for (unsigned long long v = static_cast<unsigned long long>(total); v > 0; v /= 10) {
    digits[n++] = static_cast<char>('0' + v % 10);
  }
  while (n > 0) out[length++] = digits[--n];
  out[length++] = '\n';
  return length;
}

namespace {

bool is_white(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

}  // namespace

bool parse_result_line(std::string_view line, std::string_view &word, long long &count) {
  size_t blank = line.find(' ');
  if (blank == std::string_view::npos || blank == 0 || blank > MAX_WORK_TEXT_BYTES) return false;
  for (size_t i = 0; i < blank; ++i) {
    if (is_white(line[i]) || line[i] == '\0') return false;
  }
  std::string_view digits = line.substr(blank + 1);
  if (digits.empty() || digits.size() > kMaxCountDigits || digits[0] == '0') return false;
  long long value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    if (__builtin_mul_overflow(value, 10, &value) ||
        __builtin_add_overflow(value, c - '0', &value)) {
      return false;
    }
  }
  word = line.substr(0, blank);
  count = value;
  return true;
}
