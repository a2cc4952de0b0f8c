/* Command-line values of the programs that count and merge shards: whole numbers read
 * strictly, so that a typing error is refused instead of read as some other number. */
#ifndef QUOVENT_COMMON_COMMANDLINE_H
#define QUOVENT_COMMON_COMMANDLINE_H

#include <sysexits.h>

/* Exit status of a command line that cannot be used. */
constexpr int kUsageStatus = EX_USAGE;

/* The decimal number that is the whole of text (no sign, blank or other character), when it
 * lies in [min, max]; false otherwise. */
bool read_whole_number(const char *text, long long min, long long max, long long &value);

/* A size in bytes: a whole number optionally followed by K, M or G (binary multiples, either
 * case), at least 1 and at most 1 TiB; false otherwise. "64M" is 67108864. */
bool read_byte_size(const char *text, long long &bytes);

/* Writes "<program>: <problem>" and the usage text to standard error and exits with
 * kUsageStatus. */
[[noreturn]] void refuse_command_line(const char *program, const char *problem, const char *usage);

#endif
