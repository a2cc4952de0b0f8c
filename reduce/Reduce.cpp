// Reduce stage: one total per run of equal words in the sorted shuffle output.
#include "reduce/Reduce.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "common/Clock.h"
#include "common/Collation.h"
#include "common/Errors.h"
#include "common/RawIO.h"
#include "common/Repeats.h"
#include "common/WorkFiles.h"
#include "reduce/ResultLine.h"
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

// A result line: word, blank, total and line end.
constexpr int kResultLineBytes = REDUCE_MAX_WORD_BYTES + 1 + kMaxCountChars + 1;

// Result lines wait in a buffer of this size; one write takes many of them.
constexpr int kResultBufferSize = REDUCE_BLOCK_SIZE;
static_assert(kResultLineBytes <= kResultBufferSize && kMaxResultLineBytes < kResultLineBytes);

constexpr char kWriteFailed[] = "[Reduce::reduce_process_file] Error writting reduce result.\n";
constexpr char kFinalWriteFailed[] =
    "[Reduce::reduce_process_file] Error writting reduce result (final).\n";

// A word is cut back to the first byte of the character that crosses the
// limit; UTF-8 characters have at most 4 bytes.
constexpr int kMaxUtf8Continuations = 3;

constexpr bool is_white(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }

constexpr long long saturating_add(long long a, long long b) {
  long long sum = 0;
  if (__builtin_add_overflow(a, b, &sum)) return b > 0 ? LLONG_MAX : LLONG_MIN;
  return sum;
}

// The sum after adding count `times` times, each addition kept at the 64-bit limits. The
// steps all go one way, so the limit reached first is where the sum stays.
constexpr long long add_repeated(long long sum, long long count, size_t times) {
  __int128 exact = static_cast<__int128>(sum) + static_cast<__int128>(count) * times;
  if (exact > LLONG_MAX) return LLONG_MAX;
  if (exact < LLONG_MIN) return LLONG_MIN;
  return static_cast<long long>(exact);
}
static_assert(add_repeated(1, 2, 3) == 7 && add_repeated(LLONG_MAX - 1, 1, 5) == LLONG_MAX);
static_assert(add_repeated(LLONG_MIN, -1, 2) == LLONG_MIN && add_repeated(5, -1, 10) == -5);

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

// Bytes of a line remembered for the repeat test below: a tuple of the longest word and the
// widest count, and some blanks to spare. A longer line is never taken for a repeat.
constexpr int kRepeatLineCapacity = 320;
static_assert(kRepeatLineCapacity >= REDUCE_MAX_WORD_BYTES + 1 + kMaxCountChars);
static_assert(kRepeatLineCapacity <= kLineCapacity);

// The line taken last and what it parsed to. A line byte-identical to it parses alike and,
// coming right after it, continues the same group: the sorted shuffle files hold long runs of
// identical lines ("the 1"), which are added up without being parsed or compared again.
struct LastLine {
  char bytes[kRepeatLineCapacity];
  int length = -1;  // -1: no line remembered
  bool has_word = false;
  long long count = 0;
};

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
  LastLine last;
  char result[kResultBufferSize];
  int result_used = 0;
};

// Writes the `size` result bytes at the start of the buffer and moves the rest forward.
void write_result_bytes(ReduceState &state, int size, const char *failure_message) {
  if (size == 0) return;
  if (write_fully(state.fd_out, state.result, static_cast<size_t>(size)) < 0) {
    Error(failure_message);
  }
  state.result_used -= size;
  memmove(state.result, state.result + size, static_cast<size_t>(state.result_used));
}

// Adds the current run's line "word total" unless its total is not above 0. Lines wait in
// the buffer; a line that would not fit first sends the ones before it, which are never the
// file's last, so a failure there is reported as for a line before the last. The first line
// goes out at once with failure_message, so that an output that takes no byte stops the
// stage where writing line by line stopped it, before any more input is read.
void write_group(ReduceState &state, const char *failure_message) {
  if (!state.has_group || state.sum <= 0) return;
  if (state.result_used + kResultLineBytes > kResultBufferSize) {
    write_result_bytes(state, state.result_used, kWriteFailed);
  }
  state.result_used += format_result_line(std::string_view(state.prev, state.prev_length),
                                          state.sum, state.result + state.result_used);
  state.total_words++;
  if (state.total_words == 1) write_result_bytes(state, state.result_used, failure_message);
}

// Equal words are adjacent because the shuffle output is sorted by the same
// collation; equality is the locale's, not the bytes'.
bool continues_group(ReduceState &state, std::string_view word) {
  if (!state.has_group) return false;
  memcpy(state.word, word.data(), word.size());
  state.word[word.size()] = '\0';
  return words_collate_equal(state.prev, state.prev_length, state.word, word.size(),
                             state.collation_by_bytes);
}

void remember_line(LastLine &last, std::string_view line, bool has_word, long long count) {
  if (line.size() > kRepeatLineCapacity) {
    last.length = -1;
    return;
  }
  memcpy(last.bytes, line.data(), line.size());
  last.length = static_cast<int>(line.size());
  last.has_word = has_word;
  last.count = count;
}

bool repeats_last_line(const LastLine &last, const char *line, size_t length) {
  return static_cast<int>(length) == last.length && memcmp(line, last.bytes, length) == 0;
}

void take_line(ReduceState &state, std::string_view line) {
  Tuple tuple;
  bool has_word = parse_tuple(line, tuple);
  remember_line(state.last, line, has_word, tuple.count);
  if (!has_word) return;
  if (continues_group(state, tuple.word)) {
    state.sum = saturating_add(state.sum, tuple.count);
    return;
  }
  write_group(state, kWriteFailed);
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

// Stops through Error with "<what> <name>\n", keeping the errno of the failed
// open for the message and the exit status.
[[noreturn]] void stop_on_open_failure(const char *what, const char *name) {
  int open_errno = errno;
  snprintf(MsgError, sizeof MsgError, "%s %s\n", what, name);
  errno = open_errno;
  Error(MsgError);
}

// Reduces shuffle output file r into fd_out and reports it; returns its
// number of result lines.
int reduce_partition(int r, int fd_out) {
  char outname[REDUCE_NAME_SIZE];
  suffle_file_name(outname, r);
  int fd_in = open(outname, O_RDONLY);
  if (fd_in < 0) {
    stop_on_open_failure("[Reduce::quovent_reducer] Error opening reducer input file", outname);
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
  state.collation_by_bytes = collation_is_byte_order();
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
        size_t length = static_cast<size_t>(line_end - next);
        if (repeats_last_line(state.last, next, length)) {
          // This line and the copies of it that follow in the chunk, all at once.
          size_t run = length + 1 + repeats_after_line(next, end - next, length + 1);
          if (state.last.has_word) {
            state.sum = add_repeated(state.sum, state.last.count, run / (length + 1));
          }
          next += run;
          continue;
        }
        take_line(state, std::string_view(next, length).substr(0, kLineCapacity));
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
  // The last line goes out by a write of its own, so that a failure is reported as the
  // failure of the final line exactly when that line is the one that could not be written.
  // Room for the last line first: write_group would otherwise send the lines before it on its
  // own, and before_last would count bytes that are no longer in the buffer.
  if (state.result_used + kResultLineBytes > kResultBufferSize) {
    write_result_bytes(state, state.result_used, kWriteFailed);
  }
  int before_last = state.result_used;
  int written_words = state.total_words;
  write_group(state, kFinalWriteFailed);
  if (state.total_words == written_words) before_last = state.result_used;
  write_result_bytes(state, before_last, kWriteFailed);
  write_result_bytes(state, state.result_used, kFinalWriteFailed);
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
    stop_on_open_failure("[Reduce::quovent_reducer] Error opening reducer output file",
                         output_file);
  }
  int words = 0;
  for (int r = 0; r < n_reducers; ++r) words += reduce_partition(r, fd_out);
  // A file system may report a lost write only at close: the result's end is then lost.
  if (close_output_file(fd_out) != 0) Error(kFinalWriteFailed);

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
