/* The map stage's scan of a locale whose one-byte letters are A-Z and a-z: the classes of 64
 * bytes of text at once as bit masks, so that the scan walks from word to word instead of from
 * byte to byte, and the copy of a word's letters in whole steps. Each has a byte-by-byte form
 * that every compiler builds and an SSE2 form where the compiler offers it; the scan takes the
 * SSE2 form there, and both give the same result for every byte (the tests compare them). */
#ifndef QUOVENT_MAP_CHUNKCLASSES_H
#define QUOVENT_MAP_CHUNKCLASSES_H

#include <cstdint>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "map/Units.h"

/* Bytes classified at once: one bit of a mask each. */
constexpr int kChunkBytes = 64;

/* Bytes copy_letters stores at once: it may store up to kCopyStep - 1 bytes past the letters. */
constexpr int kCopyStep = 16;

/* Bytes a chunk's scan may read from its start: the chunk, the byte after it (a two-byte letter
 * that starts at its last byte ends there), and the last step of a copy that starts in it. */
constexpr int kChunkReach = kChunkBytes + kCopyStep;

/* Bit k of each mask stands for byte k of the chunk. The masks say what each byte is on its own
 * or with the byte after it; which bytes start a unit only a walk from a unit's start can tell. */
struct ChunkClasses {
  uint64_t ascii_letters;  // A-Z, a-z
  uint64_t non_ascii;      // 0x80-0xFF
  uint64_t latin1_leads;   // 0xC3 followed by 0x80-0xBF: the start of U+00C0 to U+00FF

  friend bool operator==(const ChunkClasses &, const ChunkClasses &) = default;
};

/* The classes of the kChunkBytes bytes at p, byte by byte; reads kChunkBytes + 1 bytes. */
inline ChunkClasses classify_chunk_bytewise(const unsigned char *p) {
  ChunkClasses classes{0, 0, 0};
  for (int k = 0; k < kChunkBytes; ++k) {
    const uint64_t bit = uint64_t{1} << k;
    if ((p[k] >= 'A' && p[k] <= 'Z') || (p[k] >= 'a' && p[k] <= 'z')) classes.ascii_letters |= bit;
    if (p[k] >= 0x80) classes.non_ascii |= bit;
    if (is_latin1_letter(p[k], p[k + 1])) classes.latin1_leads |= bit;
  }
  return classes;
}

/* Stores the `count` bytes at from, all letters (ASCII, or both bytes of U+00C0 to U+00FF), as
 * they stand at word and lowered at out: the ASCII letters, and with lower_latin1 the two-byte
 * letters by plain_latin1_lower; without it their bytes are stored as they stand, for the caller
 * to lower. Byte by byte, in whole steps of kCopyStep bytes: the bytes past `count` that it
 * reads must be readable, those it stores are of no meaning. */
inline void copy_letters_bytewise(const unsigned char *from, int count, char *word, char *out,
                                  bool lower_latin1) {
  for (int k = 0; k < count; k += kCopyStep) {
    for (int b = k; b < k + kCopyStep; ++b) {
      unsigned char c = from[b];
      word[b] = static_cast<char>(c);
      unsigned char lowered = c < 0x80 ? c | 0x20 : lower_latin1 ? plain_latin1_lower(c) : c;
      out[b] = static_cast<char>(lowered);
    }
  }
}

#ifdef __SSE2__

namespace chunk_detail {

// The three classes of the 16 bytes at p (reading 17), as 16-bit masks.
inline void classify16(const unsigned char *p, uint32_t &letters, uint32_t &high, uint32_t &leads) {
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
  const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 1));
  // Folded onto a-z, a letter lies 0 to 25 above 'a'; the unsigned minimum tells.
  const __m128i from_a = _mm_sub_epi8(_mm_or_si128(bytes, _mm_set1_epi8(0x20)), _mm_set1_epi8('a'));
  const __m128i letter = _mm_cmpeq_epi8(_mm_min_epu8(from_a, _mm_set1_epi8(25)), from_a);
  // As signed bytes, 0x80-0xBF are those below 0xC0.
  const __m128i next_continues = _mm_cmplt_epi8(next, _mm_set1_epi8(static_cast<char>(0xC0)));
  const __m128i lead = _mm_and_si128(
      _mm_cmpeq_epi8(bytes, _mm_set1_epi8(static_cast<char>(kLatin1Lead))), next_continues);
  letters = static_cast<uint32_t>(_mm_movemask_epi8(letter));
  high = static_cast<uint32_t>(_mm_movemask_epi8(bytes));
  leads = static_cast<uint32_t>(_mm_movemask_epi8(lead));
}

}  // namespace chunk_detail

/* classify_chunk_bytewise, 16 bytes at a time. */
inline ChunkClasses classify_chunk_sse2(const unsigned char *p) {
  ChunkClasses classes{0, 0, 0};
  for (int part = 0; part < kChunkBytes / 16; ++part) {
    uint32_t letters, high, leads;
    chunk_detail::classify16(p + 16 * part, letters, high, leads);
    classes.ascii_letters |= uint64_t{letters} << 16 * part;
    classes.non_ascii |= uint64_t{high} << 16 * part;
    classes.latin1_leads |= uint64_t{leads} << 16 * part;
  }
  return classes;
}

/* copy_letters_bytewise, a step at a time. */
inline void copy_letters_sse2(const unsigned char *from, int count, char *word, char *out,
                              bool lower_latin1) {
  for (int k = 0; k < count; k += kCopyStep) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(from + k));
    // Among letters, the bytes 0x80-0x9E are second bytes, 0xC3 being the only first byte; as
    // signed bytes they are those below -0x61.
    const __m128i ascii = _mm_cmpgt_epi8(bytes, _mm_set1_epi8(-1));
    const __m128i capital_latin1 =
        _mm_andnot_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(static_cast<char>(0x97))),
                         _mm_cmplt_epi8(bytes, _mm_set1_epi8(static_cast<char>(0x9F))));
    const __m128i latin1_bit = _mm_set1_epi8(lower_latin1 ? 0x20 : 0);
    const __m128i bit = _mm_or_si128(_mm_and_si128(ascii, _mm_set1_epi8(0x20)),
                                     _mm_and_si128(capital_latin1, latin1_bit));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(word + k), bytes);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out + k), _mm_or_si128(bytes, bit));
  }
}

#endif

/* The classes of the kChunkBytes bytes at p, as the scan takes them; reads kChunkBytes + 1
 * bytes. */
inline ChunkClasses classify_chunk(const unsigned char *p) {
#ifdef __SSE2__
  return classify_chunk_sse2(p);
#else
  return classify_chunk_bytewise(p);
#endif
}

/* The copy of letters as the scan makes it (copy_letters_bytewise says what it stores). */
inline void copy_letters(const unsigned char *from, int count, char *word, char *out,
                         bool lower_latin1) {
#ifdef __SSE2__
  copy_letters_sse2(from, count, word, out, lower_latin1);
#else
  copy_letters_bytewise(from, count, word, out, lower_latin1);
#endif
}

#endif
