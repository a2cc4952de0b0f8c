// The reducer on arbitrary shuffle files: reduce_process_file, fed in read
// sizes chosen by the input, must write what a restatement of the grouping
// rules gives. Runs in C.UTF-8; equal words are those strcoll calls equal.
#include <unistd.h>

#include <climits>
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "FuzzSupport.h"
#include "reduce/Reduce.h"

namespace {

constexpr size_t kLongestWord = 255;
constexpr size_t kKeptLineBytes = 65536;

bool white(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

long long add_saturating(long long a, long long b) {
  long long sum;
  if (__builtin_add_overflow(a, b, &sum)) return b > 0 ? LLONG_MAX : LLONG_MIN;
  return sum;
}

// The count after the word, as "%d" would read it but kept at the 64-bit
// limits; a line without one counts 1.
long long count_of(std::string_view rest) {
  size_t i = 0;
  while (i < rest.size() && white(rest[i])) ++i;
  bool negative = i < rest.size() && rest[i] == '-';
  if (i < rest.size() && (rest[i] == '-' || rest[i] == '+')) ++i;
  if (i == rest.size() || rest[i] < '0' || rest[i] > '9') return 1;
  long long value = 0;
  for (; i < rest.size() && rest[i] >= '0' && rest[i] <= '9'; ++i) {
    int digit = rest[i] - '0';
    value = value > (LLONG_MAX - digit) / 10 ? LLONG_MAX : value * 10 + digit;
  }
  return negative ? -value : value;
}

std::string expected_result(std::string_view in, int &groups) {
  std::string out;
  std::string prev;
  long long sum = 0;
  bool has_group = false;
  auto end_group = [&] {
    if (!has_group || sum <= 0) return;
    out += prev + " " + std::to_string(sum) + "\n";
    ++groups;
  };
  for (std::string_view line : quovent_fuzz::terminated_lines(in)) {
    line = line.substr(0, std::min(line.size(), kKeptLineBytes));
    line = line.substr(0, line.find('\0'));
    size_t begin = 0;
    while (begin < line.size() && white(line[begin])) ++begin;
    if (begin == line.size()) continue;
    size_t end = begin;
    while (end < line.size() && !white(line[end])) ++end;
    std::string word(line.substr(begin, end - begin));
    if (word.size() > kLongestWord) {
      size_t cut = kLongestWord;
      for (int k = 0; k < 3 && (word[cut] & 0xC0) == 0x80; ++k) --cut;
      word.resize(cut);
    }
    long long count = count_of(line.substr(end));
    if (has_group && strcoll(prev.c_str(), word.c_str()) == 0) {
      sum = add_saturating(sum, count);
      continue;
    }
    end_group();
    prev = word;
    sum = count;
    has_group = true;
  }
  end_group();
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  if (setlocale(LC_ALL, "C.UTF-8") == nullptr) abort();
  quovent_fuzz::silence_stdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  std::string_view text(reinterpret_cast<const char *>(data) + 1, size - 1);
  int expected_groups = 0;
  std::string expected = expected_result(text, expected_groups);

  int out = quovent_fuzz::new_memory_file();
  int groups = -1;
  quovent_fuzz::feed_in_chunks(text, data[0],
                               [&](int in) { groups = reduce_process_file(in, out); });
  std::string written = quovent_fuzz::memory_file_contents(out);
  close(out);
  if (groups != expected_groups || written != expected) {
    fprintf(stderr, "reduce_process_file: %d lines, expected %d\nwrote    [%s]\nexpected [%s]\n",
            groups, expected_groups, written.c_str(), expected.c_str());
    abort();
  }
  return 0;
}
