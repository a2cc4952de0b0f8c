// The letters of the current locale and their lower case: the tables the scan looks up, and the
// conversion through wide characters for what the tables cannot give.
#include "map/LowerCase.h"

#include <langinfo.h>

#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>

#include "map/Map.h"
#include "map/Units.h"

namespace {

// Word buffer size: the longest word and its terminating zero.
constexpr int kWordBufferSize = MAX_WORD_BYTES + 1;

constexpr wchar_t kFirstLatin1Letter = 0xC0;

// The bytes wcstombs would give for the lower case of the character wc, as normalize_utf8
// makes them; 0 bytes when the locale cannot encode it.
size_t lowered_bytes(wchar_t wc, char (&out)[MB_LEN_MAX]) {
  mbstate_t state{};
  size_t n = wcrtomb(out, static_cast<wchar_t>(towlower(static_cast<wint_t>(wc))), &state);
  return n == static_cast<size_t>(-1) ? 0 : n;
}

// The ASCII lowering table, and whether the locale's one-byte letters are A-Z and a-z lowered
// as in ASCII.
bool build_ascii_lower(LowerCase &lower) {
  char out[MB_LEN_MAX];
  for (int c = 0; c < 128; ++c) {
    if (!lower.single_letter[c]) continue;
    if (lowered_bytes(static_cast<wchar_t>(c), out) == 1 && (out[0] & 0x80) == 0) {
      lower.ascii_lower[c] = static_cast<unsigned char>(out[0]);
    }
  }
  bool plain = true;
  for (int c = 0; c < 128; ++c) {
    bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    if ((lower.single_letter[c] != 0) != letter || (letter && lower.ascii_lower[c] != (c | 0x20))) {
      plain = false;
    }
  }
  return plain;
}

// The lowering table of U+00C0 to U+00FF, and whether it lowers them as Unicode does.
bool build_latin1_lower(LowerCase &lower) {
  char out[MB_LEN_MAX];
  for (int k = 0; k < 64; ++k) {
    if (lowered_bytes(kFirstLatin1Letter + k, out) == 2 &&
        static_cast<unsigned char>(out[0]) == kLatin1Lead &&
        is_latin1_letter(kLatin1Lead, static_cast<unsigned char>(out[1]))) {
      lower.latin1_lower[k] = static_cast<unsigned char>(out[1]);
    }
  }
  bool plain = true;
  for (int k = 0; k < 64; ++k) {
    if (lower.latin1_lower[k] != plain_latin1_lower(kContinuationBase + k)) plain = false;
  }
  return plain;
}

}  // namespace

void build_lower_case(LowerCase &lower) {
  for (int c = 0; c < 256; ++c) {
    lower.single_letter[c] = unit_length(static_cast<unsigned char>(c)) == 1 && isalpha(c) != 0;
  }
  memset(lower.ascii_lower, 0, sizeof lower.ascii_lower);
  memset(lower.latin1_lower, 0, sizeof lower.latin1_lower);
  lower.plain_ascii = false;
  lower.plain_latin1 = false;
  lower.by_table = strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
  for (int c = 0x80; c < 256; ++c) {
    if (lower.single_letter[c]) lower.by_table = false;
  }
  if (!lower.by_table) return;
  lower.plain_ascii = build_ascii_lower(lower);
  bool plain_latin1 = build_latin1_lower(lower);
  lower.plain_latin1 = lower.plain_ascii && plain_latin1;
}

int convert_word(char *word, int wlen, char *out) {
  word[wlen] = '\0';
  normalize_utf8(word);
  int length = static_cast<int>(strlen(word));
  memcpy(out, word, static_cast<size_t>(length));
  return length;
}

int utf8_char_len(unsigned char c) { return unit_length(c); }

int is_utf8_letter(const unsigned char *s, int *len) {
  *len = unit_length(s[0]);
  if (*len == 1) return isalpha(s[0]);
  if (*len == 2) return is_latin1_letter(s[0], s[1]);
  return 0;
}

void normalize_utf8(char *word) {
  wchar_t wbuf[kWordBufferSize];
  size_t characters = mbstowcs(wbuf, word, kWordBufferSize);
  if (characters == static_cast<size_t>(-1) || characters >= kWordBufferSize) return;
  for (size_t k = 0; k < characters; ++k) wbuf[k] = static_cast<wchar_t>(towlower(wbuf[k]));
  char lowered[kWordBufferSize];
  size_t bytes = wcstombs(lowered, wbuf, sizeof lowered);
  if (bytes == static_cast<size_t>(-1) || bytes > MAX_WORD_BYTES) return;
  memcpy(word, lowered, bytes + 1);
}
