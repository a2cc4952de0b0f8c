/* The Unicode rule's fast path 64 bytes at a time: which bytes of a chunk are letters, plain
 * separators, or the ' and . that join two letters, as bit masks, so that the common text of
 * ASCII and U+00C0 to U+00FF letters between spaces and punctuation is segmented from word to
 * word instead of from byte to byte. A byte-by-byte form that every compiler builds and an SSE2
 * form where the compiler offers it give the same masks. */
#ifndef QUOVENT_MAP_PLAINCHUNKS_H
#define QUOVENT_MAP_PLAINCHUNKS_H

#include <cstdint>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

/* Bytes classified at once: one bit of a mask each. */
constexpr int kPlainChunkBytes = 64;

/* Bit k of each mask stands for byte k of the chunk. A plain byte is in one of the first three
 * masks or is one of " , ; (which end a word and never join one); any other byte (a digit, _, @, a
 * byte outside ASCII that is no part of a U+00C0 to U+00FF letter) is in `unplain`. */
struct PlainChunk {
  uint64_t letters;     // A-Z, a-z, and both bytes of U+00C0 to U+00FF but U+00D7 and U+00F7
  uint64_t separators;  // ASCII bytes that are no letter, digit, ' " . , ; _ or @
  uint64_t joiners;     // ' and .
  uint64_t line_ends;   // line feeds, among the separators
  uint64_t unplain;

  friend bool operator==(const PlainChunk &, const PlainChunk &) = default;
};

/* The masks of the 64 bytes at p, byte by byte; reads 65 bytes. */
inline PlainChunk classify_plain_chunk_bytewise(const unsigned char *p) {
  PlainChunk chunk{0, 0, 0, 0, 0};
  for (int k = 0; k < kPlainChunkBytes; ++k) {
    const uint64_t bit = uint64_t{1} << k;
    unsigned char c = p[k];
    bool letter_lead =
        c == 0xC3 && p[k + 1] >= 0x80 && p[k + 1] <= 0xBF && p[k + 1] != 0x97 && p[k + 1] != 0xB7;
    bool letter_second = (chunk.letters & (bit >> 1)) != 0 && p[k - 1] == 0xC3;
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || letter_lead || letter_second) {
      chunk.letters |= bit;
    } else if (c == '\'' || c == '.') {
      chunk.joiners |= bit;
    } else if (c == '"' || c == ',' || c == ';') {
    } else if (c < 0x80 && !(c >= '0' && c <= '9') && c != '_' && c != '@') {
      chunk.separators |= bit;
      if (c == '\n') chunk.line_ends |= bit;
    } else {
      chunk.unplain |= bit;
    }
  }
  return chunk;
}

#ifdef __SSE2__

namespace plain_detail {

inline uint32_t equal_mask(__m128i bytes, char c) {
  return static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(c))));
}

// Bytes in [low, low + span], as unsigned bytes.
inline uint32_t range_mask(__m128i bytes, unsigned char low, unsigned char span) {
  const __m128i from_low = _mm_sub_epi8(bytes, _mm_set1_epi8(static_cast<char>(low)));
  const __m128i limit = _mm_set1_epi8(static_cast<char>(span));
  return static_cast<uint32_t>(
      _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(from_low, limit), from_low)));
}

}  // namespace plain_detail

/* classify_plain_chunk_bytewise, 16 bytes at a time. */
inline PlainChunk classify_plain_chunk_sse2(const unsigned char *p) {
  using namespace plain_detail;
  PlainChunk chunk{0, 0, 0, 0, 0};
  uint64_t high = 0, known = 0, leads = 0, digits_mask = 0;
  for (int part = 0; part < kPlainChunkBytes / 16; ++part) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16 * part));
    const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16 * part + 1));
    uint32_t ascii_letters = range_mask(_mm_or_si128(bytes, _mm_set1_epi8(0x20)), 'a', 25);
    uint32_t lead = equal_mask(bytes, static_cast<char>(0xC3)) & range_mask(next, 0x80, 0x3F) &
                    ~equal_mask(next, static_cast<char>(0x97)) &
                    ~equal_mask(next, static_cast<char>(0xB7));
    uint32_t joiners = equal_mask(bytes, '\'') | equal_mask(bytes, '.');
    uint32_t inner = equal_mask(bytes, '"') | equal_mask(bytes, ',') | equal_mask(bytes, ';');
    uint32_t digits = range_mask(bytes, '0', 9) | equal_mask(bytes, '_') | equal_mask(bytes, '@');
    const int shift = 16 * part;
    chunk.letters |= uint64_t{ascii_letters} << shift;
    chunk.joiners |= uint64_t{joiners} << shift;
    chunk.line_ends |= uint64_t{equal_mask(bytes, '\n')} << shift;
    leads |= uint64_t{lead} << shift;
    high |= uint64_t{static_cast<uint32_t>(_mm_movemask_epi8(bytes))} << shift;
    known |= uint64_t{ascii_letters | joiners | inner | digits} << shift;
    digits_mask |= uint64_t{digits} << shift;
  }
  const uint64_t latin1 = leads | leads << 1;
  chunk.letters |= latin1;
  chunk.separators = ~high & ~known;
  chunk.unplain = (high & ~latin1) | digits_mask;
  return chunk;
}

#endif

/* The masks as the fast path takes them; reads kPlainChunkBytes + 1 bytes. */
inline PlainChunk classify_plain_chunk(const unsigned char *p) {
#ifdef __SSE2__
  return classify_plain_chunk_sse2(p);
#else
  return classify_plain_chunk_bytewise(p);
#endif
}

#endif
