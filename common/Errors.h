/* Console messages and fatal errors: the only way the programs talk to the user. */
#ifndef QUOVENT_COMMON_ERRORS_H
#define QUOVENT_COMMON_ERRORS_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Size of each message buffer, terminating zero included. */
enum { MESSAGE_BUFFER_SIZE = 256 };

/* Size of the buffer in which printMessage and Error compose a whole line; a
 * longer line is cut at this size. */
enum { COMPOSED_LINE_SIZE = 300 };

/* Shared scratch buffers into which callers format a message before printing
 * it: progress and timing (Msg), the driver's closing summary (MsgDebug) and
 * error texts with a variable part (MsgError). Format with
 * snprintf(buf, sizeof buf, ...), so that a long text is cut, not overflowed. */
extern char Msg[MESSAGE_BUFFER_SIZE];
extern char MsgDebug[MESSAGE_BUFFER_SIZE];
extern char MsgError[MESSAGE_BUFFER_SIZE];

/* Select Graphic Rendition escapes, written also when the output is not a
 * terminal. Each is 7 bytes long but COLOR_RESET, which is 4. */
extern const char *const COLOR_BLACK;
extern const char *const COLOR_RED;
extern const char *const COLOR_RED_B;
extern const char *const COLOR_GREEN;
extern const char *const COLOR_GREEN_B;
extern const char *const COLOR_GREEN_D;
extern const char *const COLOR_GREEN_L;
extern const char *const COLOR_YELLOW;
extern const char *const COLOR_YELLOW_B;
extern const char *const COLOR_BLUE;
extern const char *const COLOR_BLUE_B;
extern const char *const COLOR_MAGENTA;
extern const char *const COLOR_CYAN;
extern const char *const COLOR_CYAN_B;
extern const char *const COLOR_RESET;

/* Writes color, msg and COLOR_RESET to standard output in one write, then
 * fsyncs it. Adds no line end. Write and fsync failures are ignored (an fsync
 * on a terminal or pipe leaves EINVAL in errno). */
void printMessage(const char *msg, const char *color);

/* printMessage in COLOR_GREEN, then one more fsync: a stage's progress line. */
void print(const char *msg);

/* printMessage in COLOR_YELLOW_B, then one more fsync. */
void printDebug(const char *msg);

/* Writes msg, ": " and strerror(errno) in bold red, then a line end, to
 * standard error in one write, and ends the process with errno as its exit
 * status, or 1 when errno is 0, so that a fatal error never looks like
 * success. Never returns. */
__attribute__((noreturn)) void Error(const char *msg);

/* Error with a message composed as snprintf composes it into MsgError (a long one is cut),
 * for failures that name what failed: the errno of the failed call is kept for the message and
 * the exit status, whatever composing it does. Never returns. */
__attribute__((noreturn, format(printf, 1, 2))) void Errorf(const char *format, ...);

/* Writes msg in bold red and a line end to standard error in one write and
 * ends the process with `status` (1 when it is 0): for failures that no
 * system call reported, such as a malformed input line, where Error's errno
 * text would say nothing. Never returns. */
__attribute__((noreturn)) void Fail(const char *msg, int status);

/* Size of the buffer that keeps the program's name for tagged messages, terminating zero
 * included; a longer name is cut. */
enum { PROGRAM_TAG_SIZE = 64 };

/* Names the program in the tagged messages below, as setprogname names it for the C library:
 * call it once, first thing in main. Until it is called, the name the program was started by
 * stands in. */
void set_program_tag(const char *name);

/* Composes "[<name>] <text>", or with a `where` (the part of the program that speaks, such as
 * "count_shard") "[<name>:<where>] <text>", the text formatted from `format` as snprintf
 * formats it, into buf of size bytes (size above 0; a long text is cut). `where` is NULL or
 * empty for the program as a whole. Returns the length stored. Leaves errno as it was. */
__attribute__((format(printf, 4, 5))) int tag_message(char *buf, size_t size, const char *where,
                                                      const char *format, ...);

/* Errorf with the tagged text (tag_message into MsgError): the errno of the failed call is kept
 * for the message and the exit status. Never returns. */
__attribute__((noreturn, format(printf, 2, 3))) void error_at(const char *where, const char *format,
                                                              ...);

/* Fail with the tagged text, cut at COMPOSED_LINE_SIZE bytes. Never returns. */
__attribute__((noreturn, format(printf, 3, 4))) void fail_at(const char *where, int status,
                                                             const char *format, ...);

#ifdef __cplusplus
}
#endif

#endif
