/* The word rules that need no locale: how long a unit is, which two-byte units are letters and
 * how Unicode lowers them. Every part of the word scanner takes these from here. */
#ifndef QUOVENT_MAP_UNITS_H
#define QUOVENT_MAP_UNITS_H

#include "map/WordScan.h"

/* The first byte of every two-byte letter, U+00C0 to U+00FF. */
constexpr unsigned char kLatin1Lead = 0xC3;

/* The lowest continuation byte: the second byte of U+00C0 is kContinuationBase. */
constexpr unsigned char kContinuationBase = 0x80;

/* Length in bytes (1 to MAP_MAX_UNIT_BYTES) of the unit whose first byte is c, as that byte
 * alone says: a stray continuation byte and 0xF8-0xFF are units of one byte. */
constexpr int unit_length(unsigned char c) {
  if ((c & 0x80) == 0) return 1;
  if ((c & 0xE0) == 0xC0) return 2;
  if ((c & 0xF0) == 0xE0) return 3;
  if ((c & 0xF8) == 0xF0) return 4;
  return 1;
}
static_assert(unit_length('a') == 1 && unit_length(0xC3) == 2 && unit_length(0xE2) == 3);
static_assert(unit_length(0xF0) == MAP_MAX_UNIT_BYTES);
static_assert(unit_length(0x80) == 1 && unit_length(0xFF) == 1);

/* Whether the unit of the two bytes is a letter: U+00C0 to U+00FF. 0xC2 never starts a letter,
 * also when its second byte is a first byte itself (invalid UTF-8). */
constexpr bool is_latin1_letter(unsigned char first, unsigned char second) {
  return first == kLatin1Lead && second >= 0x80 && second <= 0xBF;
}
static_assert(is_latin1_letter(0xC3, 0x80) && is_latin1_letter(0xC3, 0xBF));
static_assert(!is_latin1_letter(0xC2, 0xBF) && !is_latin1_letter(0xC2, 0xC3));

/* The lower case of U+00C0 to U+00FF as Unicode gives it, by the second byte of the letter:
 * U+00C0 to U+00DE move by 0x20, all but U+00D7 (the multiplication sign); the rest stay. */
constexpr unsigned char plain_latin1_lower(unsigned char second) {
  return second >= 0x80 && second <= 0x9E && second != 0x97 ? second | 0x20 : second;
}
static_assert(plain_latin1_lower(0x89) == 0xA9 && plain_latin1_lower(0x97) == 0x97);
static_assert(plain_latin1_lower(0x9F) == 0x9F && plain_latin1_lower(0xA9) == 0xA9);

#endif
