/* The order prefix of a text: its first 16 bytes, zeros after its end, as two big-endian
 * numbers. Where the prefixes of two texts differ, comparing them as numbers orders the texts
 * as strcmp does, so a sort or a merge compares prefixes first and whole texts only on a tie.
 * The shuffle's batch sort and merge and the shard counter's spills order by it. */
#ifndef QUOVENT_COMMON_ORDERPREFIX_H
#define QUOVENT_COMMON_ORDERPREFIX_H

#include <climits>
#include <cstdint>

/* Bytes of one number of the prefix. */
constexpr int kPrefixNumberBytes = sizeof(uint64_t);

/* The first kPrefixNumberBytes bytes of the zero-terminated text, zeros after its end, the
 * first byte most significant. Reads no byte past the text's terminating zero. */
constexpr uint64_t prefix_number(const char *text) {
  uint64_t number = 0;
  for (int k = 0; k < kPrefixNumberBytes; ++k) {
    unsigned char c = static_cast<unsigned char>(text[k]);
    if (c == 0) break;
    number |= uint64_t{c} << (CHAR_BIT * (kPrefixNumberBytes - 1 - k));
  }
  return number;
}

/* Whether a prefix number holds the end of its text: its last byte is then the zero after the
 * text, which holds no zero byte before its end. Equal numbers that hold the end are equal
 * texts. */
constexpr bool holds_text_end(uint64_t number) { return (number & UCHAR_MAX) == 0; }

struct OrderPrefix {
  uint64_t first;  /* bytes 0 to 7 */
  uint64_t second; /* bytes 8 to 15; 0 when the text ends before byte 8 */
};

/* The order prefix of the zero-terminated text. Reads no byte past its terminating zero. */
constexpr OrderPrefix order_prefix(const char *text) {
  const uint64_t first = prefix_number(text);
  return {first, holds_text_end(first) ? 0 : prefix_number(text + kPrefixNumberBytes)};
}

static_assert(prefix_number("") == 0 && prefix_number("a") == 0x6100000000000000u);
static_assert(prefix_number("abcdefghij") == 0x6162636465666768u);
static_assert(order_prefix("abcdefghij").second == 0x696A000000000000u);
static_assert(order_prefix("abcdefg").second == 0 && holds_text_end(prefix_number("abcdefg")));
// Bytes count unsigned, as strcmp counts them: a non-ASCII letter goes after every ASCII one.
static_assert(prefix_number("\xC3\xA9") > prefix_number("zz"));

#endif
