// Result lines: written by the reducer, the merge and the shard counter; read by the merge.
#include "reduce/ResultLine.h"

#include <cstring>

namespace {

// The decimal digits of value (0 for 0) at out; returns how many.
int put_digits(unsigned long long value, char *out) {
  char digits[kMaxFirstDigits];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value > 0);
  for (int k = 0; k < n; ++k) out[k] = digits[n - 1 - k];
  return n;
}

int put_word_and_total(std::string_view word, long long total, char *out) {
  memcpy(out, word.data(), word.size());
  int length = static_cast<int>(word.size());
  out[length++] = ' ';
  return length + put_digits(static_cast<unsigned long long>(total), out + length);
}

}  // namespace

int format_result_line(std::string_view word, long long total, char *out) {
  int length = put_word_and_total(word, total, out);
  out[length++] = '\n';
  return length;
}

int format_result_line(std::string_view word, long long total, unsigned long long first,
                       char *out) {
  int length = put_word_and_total(word, total, out);
  out[length++] = ' ';
  length += put_digits(first, out + length);
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

bool parse_result_line(std::string_view line, std::string_view &word, long long &count,
                       unsigned long long &first) {
  size_t blank = line.rfind(' ');
  if (blank == std::string_view::npos) return false;
  std::string_view digits = line.substr(blank + 1);
  if (digits.empty() || digits.size() > kMaxFirstDigits ||
      (digits[0] == '0' && digits.size() > 1)) {
    return false;
  }
  unsigned long long value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    if (__builtin_mul_overflow(value, 10u, &value) ||
        __builtin_add_overflow(value, static_cast<unsigned>(c - '0'), &value)) {
      return false;
    }
  }
  if (!parse_result_line(line.substr(0, blank), word, count)) return false;
  first = value;
  return true;
}
