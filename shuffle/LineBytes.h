/* A line's bytes read as numbers, for the shuffle's tables and comparisons: the look-up hash,
 * the head that settles most look-ups and the order prefix that settles most comparisons.
 * Internal to the object module Suffle (see Suffle.cpp). */
#ifndef QUOVENT_SHUFFLE_LINEBYTES_H
#define QUOVENT_SHUFFLE_LINEBYTES_H

#include <cstddef>
#include <cstdint>

namespace {

// `count` (at most 8) bytes at text as one number.
uint64_t load_bytes(const char *text, size_t count);

// Hash of a line's bytes for the look-up tables of the shuffle (the key cache, the distinct
// lines); not the partition hash, which must stay as it is.
uint32_t line_hash(const char *text, size_t length);

// The first eight bytes of the `length` bytes at text (all of them when fewer, zeros after) as
// one number; no byte past the line is read.
uint64_t head_bytes(const char *text, size_t length);

// Bytes of a line's order prefix: one 64-bit number, and one radix pass each.
constexpr int kPrefixBytes = sizeof(uint64_t);

// The first kPrefixBytes bytes of the zero-terminated text, zeros after its end, the first
// byte most significant: two prefixes that differ order their texts as strcmp would.
uint64_t order_prefix(const char *text);

}  // namespace

#endif
