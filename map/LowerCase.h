/* The letters of the current locale and how it lower-cases them, worked out once per input
 * from the locale's own isalpha and towlower, so that the scan costs a table look-up per letter
 * instead of two wide-character conversions per word. */
#ifndef QUOVENT_MAP_LOWERCASE_H
#define QUOVENT_MAP_LOWERCASE_H

/* The table holds only letters whose lower case keeps the byte length, which every UTF-8 locale
 * gives for all of them but a few (the Turkish capital I lowers into the two-byte dotless i); a
 * word holding another letter, or any word of a locale that is not UTF-8, goes through
 * normalize_utf8 (convert_word). */
struct LowerCase {
  bool by_table = false;  // the locale is UTF-8 and only ASCII bytes are single-byte letters
  // The one-byte letters are A-Z and a-z, lowered as in ASCII: the text is then classified a
  // chunk at a time (scan_chunks).
  bool plain_ascii = false;
  // With plain_ascii, U+00C0 to U+00FF are lowered as Unicode lowers them (plain_latin1_lower):
  // scan_chunks then lowers whole runs of letters at once.
  bool plain_latin1 = false;
  // One-byte units: non-zero for a letter of the locale (the class test of is_utf8_letter).
  unsigned char single_letter[256];
  // Per ASCII letter its lower case, or 0 when the table cannot give it.
  unsigned char ascii_lower[128];
  // Per second byte 0x80-0xBF of U+00C0 to U+00FF the second byte of its lower case, which
  // stays in U+00C0 to U+00FF, or 0 when the table cannot give it.
  unsigned char latin1_lower[64];
};

/* Fills `lower` for the current locale. Without by_table the lowering tables stay empty (all
 * 0), so that every word is converted. */
void build_lower_case(LowerCase &lower);

/* Lowers the `wlen` bytes of word (which has room for a zero after them) through the locale and
 * stores the result at out; returns its length. A locale may lower a letter into another byte
 * length: what leaves is what normalize_utf8 made of the word, which still has at most
 * MAX_WORD_BYTES bytes. Out of line: the scan calls it only for the rare word the table cannot
 * lower. */
[[gnu::noinline]] int convert_word(char *word, int wlen, char *out);

#endif
