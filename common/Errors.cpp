// Console messages and fatal errors. Every message leaves the process in one
// write, so that lines of processes sharing a terminal never mix.
#include "Errors.h"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

char Msg[MESSAGE_BUFFER_SIZE];
char MsgDebug[MESSAGE_BUFFER_SIZE];
char MsgError[MESSAGE_BUFFER_SIZE];

const char *const COLOR_BLACK = "\033[0;30m";
const char *const COLOR_RED = "\033[0;31m";
const char *const COLOR_RED_B = "\033[1;31m";
const char *const COLOR_GREEN = "\033[0;32m";
const char *const COLOR_GREEN_B = "\033[1;32m";
const char *const COLOR_GREEN_D = "\033[0;42m";
const char *const COLOR_GREEN_L = "\033[0;92m";
const char *const COLOR_YELLOW = "\033[0;33m";
const char *const COLOR_YELLOW_B = "\033[1;33m";
const char *const COLOR_BLUE = "\033[0;34m";
const char *const COLOR_BLUE_B = "\033[1;34m";
const char *const COLOR_MAGENTA = "\033[0;35m";
const char *const COLOR_CYAN = "\033[0;36m";
const char *const COLOR_CYAN_B = "\033[1;36m";
const char *const COLOR_RESET = "\033[0m";

namespace {

// The length that snprintf actually stored: its result is the length the
// whole text would have had, which is more when the text was cut.
size_t stored_length(int formatted, size_t size) {
  if (formatted < 0) return 0;
  return static_cast<size_t>(formatted) < size ? static_cast<size_t>(formatted) : size - 1;
}

// The program's name in tagged messages; empty until set_program_tag names it.
char program_tag[PROGRAM_TAG_SIZE];

const char *program_name() {
  return program_tag[0] != '\0' ? program_tag : program_invocation_short_name;
}

int vtag_message(char *buf, size_t size, const char *where, const char *format, va_list args) {
  int tagged = where != nullptr && *where != '\0'
                   ? snprintf(buf, size, "[%s:%s] ", program_name(), where)
                   : snprintf(buf, size, "[%s] ", program_name());
  size_t used = stored_length(tagged, size);
  int text = vsnprintf(buf + used, size - used, format, args);
  return static_cast<int>(used + stored_length(text, size - used));
}

}  // namespace

void printMessage(const char *msg, const char *color) {
  char line[COMPOSED_LINE_SIZE];
  int formatted = snprintf(line, sizeof line, "%s%s%s", color, msg, COLOR_RESET);
  // A lost message is not worth stopping the program for.
  (void)!write(1, line, stored_length(formatted, sizeof line));
  fsync(1);
}

void print(const char *msg) {
  printMessage(msg, COLOR_GREEN);
  fsync(1);
}

void printDebug(const char *msg) {
  printMessage(msg, COLOR_YELLOW_B);
  fsync(1);
}

void Error(const char *msg) {
  // Taken before the write, which may fail itself: the status must name the
  // failure the caller reports, not a failure to report it.
  int error_number = errno;
  char line[COMPOSED_LINE_SIZE];
  int formatted = snprintf(line, sizeof line, "%s%s: %s%s\n", COLOR_RED_B, msg,
                           strerror(error_number), COLOR_RESET);
  (void)!write(2, line, stored_length(formatted, sizeof line));
  exit(error_number != 0 ? error_number : 1);
}

void Errorf(const char *format, ...) {
  int error_number = errno;
  va_list args;
  va_start(args, format);
  vsnprintf(MsgError, sizeof MsgError, format, args);
  va_end(args);
  errno = error_number;
  Error(MsgError);
}

void Fail(const char *msg, int status) {
  char line[COMPOSED_LINE_SIZE];
  int formatted = snprintf(line, sizeof line, "%s%s%s\n", COLOR_RED_B, msg, COLOR_RESET);
  (void)!write(2, line, stored_length(formatted, sizeof line));
  exit(status != 0 ? status : 1);
}

void set_program_tag(const char *name) { snprintf(program_tag, sizeof program_tag, "%s", name); }

int tag_message(char *buf, size_t size, const char *where, const char *format, ...) {
  int error_number = errno;
  va_list args;
  va_start(args, format);
  int length = vtag_message(buf, size, where, format, args);
  va_end(args);
  errno = error_number;
  return length;
}

void error_at(const char *where, const char *format, ...) {
  int error_number = errno;
  va_list args;
  va_start(args, format);
  vtag_message(MsgError, sizeof MsgError, where, format, args);
  va_end(args);
  errno = error_number;
  Error(MsgError);
}

void fail_at(const char *where, int status, const char *format, ...) {
  char line[COMPOSED_LINE_SIZE];
  va_list args;
  va_start(args, format);
  vtag_message(line, sizeof line, where, format, args);
  va_end(args);
  Fail(line, status);
}
