// The Unicode word rule's words as ICU alone gives them, through its UTF-16 interfaces.
#include "support/IcuWords.h"

#include <gtest/gtest.h>
#include <unicode/ubrk.h>
#include <unicode/unorm2.h>
#include <unicode/ustring.h>

#include <algorithm>

namespace quovent_test {

namespace {

constexpr int kLongestWord = 255;

}  // namespace

namespace {

std::vector<std::string> line_words(const std::string &text, const char *language) {
  UErrorCode status = U_ZERO_ERROR;
  std::vector<UChar> units(text.size() + 1);
  int32_t length = 0;
  u_strFromUTF8WithSub(units.data(), static_cast<int32_t>(units.size()), &length, text.data(),
                       static_cast<int32_t>(text.size()), 0xFFFD, nullptr, &status);
  UBreakIterator *words = ubrk_open(UBRK_WORD, "", units.data(), length, &status);
  const UNormalizer2 *nfc = unorm2_getNFCInstance(&status);
  EXPECT_TRUE(U_SUCCESS(status)) << u_errorName(status);
  std::vector<std::string> found;
  int32_t begin = ubrk_first(words);
  for (int32_t end = ubrk_next(words); end != UBRK_DONE; begin = end, end = ubrk_next(words)) {
    int32_t rule = ubrk_getRuleStatus(words);
    if (rule < UBRK_WORD_LETTER || rule >= UBRK_WORD_IDEO_LIMIT) continue;
    UChar lowered[4096], normalized[4096];
    int32_t n = u_strToLower(lowered, 4096, units.data() + begin, end - begin, language, &status);
    n = unorm2_normalize(nfc, lowered, n, normalized, 4096, &status);
    char bytes[16384];
    int32_t size = 0;
    u_strToUTF8(bytes, sizeof bytes, &size, normalized, n, &status);
    std::string word;
    for (int32_t i = 0; i < size;) {
      int32_t next = i;
      UChar32 c;
      U8_NEXT(bytes, next, size, c);
      if (word.size() + (next - i) <= kLongestWord) word.append(bytes + i, next - i);
      i = next;
    }
    found.push_back(word);
  }
  EXPECT_TRUE(U_SUCCESS(status)) << u_errorName(status);
  ubrk_close(words);
  return found;
}

}  // namespace

std::vector<std::string> icu_words(const std::string &text, const char *language) {
  // ICU segments the first text after it loads a dictionary otherwise than later ones: every
  // dictionary is loaded first, as the program does.
  static const bool loaded = !line_words(
                                  "\u4E2D\u6587 \u3072\u3089 \u30AB\u30BF \u0E44\u0E17\u0E22 "
                                  "\u0EA5\u0EB2\u0EA7 \u1781\u17D2\u1798\u17C2\u179A "
                                  "\u1019\u103C\u1014\u103A\u1019\u102C",
                                  "")
                                  .empty();
  EXPECT_TRUE(loaded);
  std::vector<std::string> words;
  for (size_t begin = 0; begin < text.size();) {
    size_t end = std::min(text.find('\n', begin), text.size() - 1) + 1;
    for (std::string &word : line_words(text.substr(begin, end - begin), language)) {
      words.push_back(std::move(word));
    }
    begin = end;
  }
  return words;
}

}  // namespace quovent_test
