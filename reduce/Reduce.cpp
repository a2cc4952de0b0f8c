// Reduce stage: one total per run of equal words in the sorted shuffle output.
#include "reduce/Reduce.h"

#include <fcntl.h>
#include <langinfo.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "common/Clock.h"
#include "common/Errors.h"
#include "common/RawIO.h"
#include "reduce/ResultParts.h"

namespace {

// Characters of the widest count: a sign and the 19 digits of a 64-bit value.
constexpr int kMaxCountChars = 20;

// Bytes of a line that are kept. Far more than a tuple of the longest word
// needs, so that the count after an over-long word or after extra blanks of
// a hand-made file is still read; a line beyond a whole block is no tuple.
constexpr int kLineCapacity = REDUCE_BLOCK_SIZE;
static_assert(kLineCapacity >= REDUCE_MAX_WORD_BYTES + 1 + kMaxCountChars);

// A word and its terminating zero, as strcoll needs it.
constexpr int kWordBufferSize = REDUCE_MAX_WORD_BYTES + 1;

// A result line: word, blank, total, line end and the zero snprintf adds.
constexpr int kOutSize = REDUCE_MAX_WORD_BYTES + 1 + kMaxCountChars + 1 + 1;

// A word is cut back to the first byte of the character that crosses the
// limit; UTF-8 characters have at most 4 bytes.
constexpr int kMaxUtf8Continuations = 3;

// Parts of the shuffle output file names, "%s%s_%d%s": tmp/_suffle_0.tmp.
constexpr char kWorkDir[] = "tmp/";
constexpr char kShufflePrefix[] = "_suffle";
constexpr char kShuffleSuffix[] = ".tmp";
constexpr int kMaxIntChars = 11;  // "-2147483648"
static_assert(sizeof kWorkDir - 1 + sizeof kShufflePrefix - 1 + 1 + kMaxIntChars +
                  sizeof kShuffleSuffix <=
              REDUCE_NAME_SIZE);

constexpr bool is_white(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }

constexpr long long saturating_add(long long a, long long b) {
  long long sum = 0;
  if (__builtin_add_overflow(a, b, &sum)) return b > 0 ? LLONG_MAX : LLONG_MIN;
  return sum;
}

// The decimal integer after optional white space and sign at the start of
// text, as "%d" reads it, kept at the 64-bit limits. False when no digit
// follows: the line has no count.
constexpr bool parse_count(std::string_view text, long long &count) {
  size_t i = 0;
  while (i < text.size() && is_white(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i == text.size() || !is_digit(text[i])) return false;
  long long value = 0;
  for (; i < text.size() && is_digit(text[i]); ++i) {
    int digit = text[i] - '0';
    value = value > (LLONG_MAX - digit) / 10 ? LLONG_MAX : value * 10 + digit;
  }
  count = negative ? -value : value;
  return true;
}

// Bytes of word that are kept: all up to the limit, else the limit cut back
// to a character boundary, so that no half character reaches the result.
constexpr size_t kept_word_length(std::string_view word) {
  if (word.size() <= REDUCE_MAX_WORD_BYTES) return word.size();
  size_t cut = REDUCE_MAX_WORD_BYTES;
  for (int k = 0; k < kMaxUtf8Continuations && (word[cut] & 0xC0) == 0x80; ++k) --cut;
  return cut;
}

struct Tuple {
  std::string_view word;
  long long count = 0;
};

// Splits a line (without its line end) into word and count. False for a line
// without a word. A word without a count is one occurrence.
constexpr bool parse_tuple(std::string_view line, Tuple &tuple) {
  line = line.substr(0, line.find('\0'));
  size_t begin = 0;
  while (begin < line.size() && is_white(line[begin])) ++begin;
  if (begin == line.size()) return false;
  size_t end = begin;
  while (end < line.size() && !is_white(line[end])) ++end;
  tuple.word = line.substr(begin, kept_word_length(line.substr(begin, end - begin)));
  if (!parse_count(line.substr(end), tuple.count)) tuple.count = 1;
  return true;
}

constexpr bool parses_to(std::string_view line, std::string_view word, long long count) {
  Tuple tuple;
  return parse_tuple(line, tuple) && tuple.word == word && tuple.count == count;
}
static_assert(parses_to("a 1", "a", 1) && parses_to(" a\t7x", "a", 7) &&
              parses_to("a -2", "a", -2));
static_assert(parses_to("a", "a", 1) && parses_to("a ", "a", 1) && parses_to("a b", "a", 1));
static_assert(parses_to(std::string_view("a\0 7", 4), "a", 1));
static_assert(parses_to("a 99999999999999999999", "a", LLONG_MAX));
static_assert(!parses_to("", "", 1) && !parses_to(" \t\r", "", 1));
static_assert(kept_word_length(std::string_view("\xC3\xA9", 2)) == 2);

// Where one shuffle output file's reading stands. `prev` and `sum` describe
// the current run of equal words; `has_group` is false until the first word.
struct ReduceState {
  int fd_out;
  char line[kLineCapacity];
  int pos = 0;  // bytes of the current line kept in `line`
  char word[kWordBufferSize];
  char prev[kWordBufferSize];
  size_t prev_length = 0;
  bool has_group = false;
  // strcoll is strcmp under the locale (glibc, no collation rules): words
  // whose bytes differ never collate equal.
  bool collation_by_bytes = false;
  long long sum = 0;
  int total_words = 0;
};

// Writes the current run's total unless it is not above 0.
void write_group(ReduceState &state, const char *failure_message) {
  if (!state.has_group || state.sum <= 0) return;
  char out[kOutSize];
  int length = snprintf(out, sizeof out, "%s %lld\n", state.prev, state.sum);
  if (write_fully(state.fd_out, out, static_cast<size_t>(length)) < 0) Error(failure_message);
  state.total_words++;
}

// Equal words are adjacent because the shuffle output is sorted by the same
// collation; equality is the locale's, not the bytes'. Identical bytes always
// collate equal, so only a word that differs from the group's needs strcoll.
bool continues_group(ReduceState &state, std::string_view word) {
  if (!state.has_group) return false;
  if (word.size() == state.prev_length && memcmp(word.data(), state.prev, word.size()) == 0) {
    return true;
  }
  if (state.collation_by_bytes) return false;
  memcpy(state.word, word.data(), word.size());
  state.word[word.size()] = '\0';
  return strcoll(state.prev, state.word) == 0;
}

void take_line(ReduceState &state, std::string_view line) {
  Tuple tuple;
  if (!parse_tuple(line, tuple)) return;
  if (continues_group(state, tuple.word)) {
    state.sum = saturating_add(state.sum, tuple.count);
    return;
  }
  write_group(state, "[Reduce::reduce_process_file] Error writting reduce result.\n");
  memcpy(state.prev, tuple.word.data(), tuple.word.size());
  state.prev[tuple.word.size()] = '\0';
  state.prev_length = tuple.word.size();
  state.sum = tuple.count;
  state.has_group = true;
}

void append_to_line(ReduceState &state, const char *bytes, int size) {
  int kept = size < kLineCapacity - state.pos ? size : kLineCapacity - state.pos;
  memcpy(state.line + state.pos, bytes, kept);
  state.pos += kept;
}

// Reduces shuffle output file r into fd_out and reports it; returns its
// number of result lines.
int reduce_partition(int r, int fd_out) {
  char outname[REDUCE_NAME_SIZE];
  snprintf(outname, sizeof outname, "%s%s_%d%s", kWorkDir, kShufflePrefix, r, kShuffleSuffix);
  int fd_in = open(outname, O_RDONLY);
  if (fd_in < 0) {
    int open_errno = errno;
    snprintf(MsgError, sizeof MsgError,
             "[Reduce::quovent_reducer] Error opening reducer input file %s\n", outname);
    errno = open_errno;
    Error(MsgError);
  }
  int res = reduce_process_file(fd_in, fd_out);
  snprintf(Msg, sizeof Msg, "\t\tReducer processed %d words from %s file.\n", res, outname);
  printMessage(Msg, COLOR_GREEN_L);
  close(fd_in);
  return res;
}

}  // namespace

int cmp_words(const char *a, const char *b) { return strcoll(a, b); }

int reduce_process_file(int fd_in, int fd_out) {
  ReduceState state;
  state.fd_out = fd_out;
  state.collation_by_bytes = reinterpret_cast<uintptr_t>(nl_langinfo(_NL_COLLATE_NRULES)) == 0;
  char buffer[REDUCE_BLOCK_SIZE];
  for (;;) {
    ssize_t n = read_block(fd_in, buffer, sizeof buffer);
    // Ending quietly here would drop the rest of the file's words and still
    // report success.
    if (n < 0) Error("[Reduce::reduce_process_file] Error reading reduce input file.\n");
    if (n == 0) break;
    const char *next = buffer;
    const char *end = buffer + n;
    while (next < end) {
      const char *line_end = static_cast<const char *>(memchr(next, '\n', end - next));
      const char *stop = line_end != nullptr ? line_end : end;
      if (line_end != nullptr && state.pos == 0) {
        // A whole line inside the chunk is parsed where it lies.
        take_line(state, std::string_view(next, line_end - next).substr(0, kLineCapacity));
      } else {
        // A line split between two chunks is joined here.
        append_to_line(state, next, static_cast<int>(stop - next));
        if (line_end == nullptr) break;
        take_line(state, std::string_view(state.line, state.pos));
        state.pos = 0;
      }
      next = line_end + 1;
    }
  }
  // The shuffle ends every line; bytes after the last line end are an
  // incomplete tuple, whose count cannot be trusted, and count for nothing.
  write_group(state, "[Reduce::reduce_process_file] Error writting reduce result (final).\n");
  return state.total_words;
}

void quovent_reducer(const char *output_file, int n_reducers) {
  snprintf(Msg, sizeof Msg, "[Reduce Stage\tStart Reduceer to process %d input files.\n",
           n_reducers);
  print(Msg);
  timespec start = monotonic_now();

  // One result file for all reducers, opened before any input: a result
  // path that cannot be written stops the stage before it reads anything.
  int fd_out = create_output_file(output_file);
  if (fd_out < 0) {
    int open_errno = errno;
    snprintf(MsgError, sizeof MsgError,
             "[Reduce::quovent_reducer] Error opening reducer output file %s\n", output_file);
    errno = open_errno;
    Error(MsgError);
  }
  int words = 0;
  for (int r = 0; r < n_reducers; ++r) words += reduce_partition(r, fd_out);
  close(fd_out);

  float time = seconds_since(start);
  snprintf(Msg, sizeof Msg,
           "[Reduce Stage]\tReducer Done. Processed %d diferent words with %d reducers in %.3f "
           "secs.\n",
           words, n_reducers, time);
  print(Msg);
}

void quovent_reducer_part(const char *output_file, int n_reducers, int index,
                          const char *run_token) {
  snprintf(Msg, sizeof Msg, "[Reduce Stage\tStart Reduceer to process %d input files.\n", 1);
  print(Msg);
  timespec start = monotonic_now();

  ResultPart part;
  begin_result_part(&part, output_file, n_reducers, index, run_token);
  int words = reduce_partition(index, part.fd);
  finish_result_part(&part);

  float time = seconds_since(start);
  snprintf(Msg, sizeof Msg,
           "[Reduce Stage]\tReducer Done. Processed %d diferent words with %d reducers in %.3f "
           "secs.\n",
           words, 1, time);
  print(Msg);
}
