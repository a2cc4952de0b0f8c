/* What a word becomes under the Unicode word rule: lower-cased by Unicode's full case mapping
 * for the language of the locale's LC_CTYPE (Turkish and Azeri lower I into dotless i,
 * Lithuanian keeps the dot of i under accents; the root language under C.UTF-8 and POSIX), put
 * in normalization form C, then cut to MAX_WORD_BYTES as the default rule cuts a word: each
 * character in turn is kept when it still fits whole, so that a long word keeps its first
 * characters and never ends in part of one. */
#ifndef QUOVENT_MAP_UNICODELOWERCASE_H
#define QUOVENT_MAP_UNICODELOWERCASE_H

#include <memory>
#include <string>

class UnicodeLowerCase {
 public:
  /* For the current locale's LC_CTYPE. A failure (ICU's data missing) stops the process
   * through Fail with EX_UNAVAILABLE. */
  UnicodeLowerCase();
  ~UnicodeLowerCase();
  UnicodeLowerCase(const UnicodeLowerCase &) = delete;
  UnicodeLowerCase &operator=(const UnicodeLowerCase &) = delete;

  /* Writes what the `length` bytes at word (a word as UnicodeSegmenter hands it, `plain` as it
   * says) become to out and returns its length (1 to MAX_WORD_BYTES). A plain word is copied in
   * steps of kCopyStep bytes (ChunkClasses.h): kCopyStep - 1 bytes after it must be readable,
   * and out must have room for MAX_WORD_BYTES + kCopyStep - 1. */
  int lower(const unsigned char *word, int length, bool plain, char *out);

  /* The ICU language of the case mapping: "tr" for tr_TR.UTF-8, "" (root) for C.UTF-8. */
  static std::string case_language();

 private:
  int lower_by_icu(const unsigned char *word, int length, char *out);

  // A plain word's letters lowered one by one, worked out by ICU for the language: per ASCII
  // byte its lower case, per second byte of U+00C0 to U+00FF the second byte of its lower case;
  // 0 where the lower case is not one character of the same length (Turkish I).
  unsigned char ascii_lower_[128];
  unsigned char latin1_lower_[64];
  // The tables lower as copy_letters does (every language but Turkish, Azeri and Lithuanian).
  bool lowers_as_copy_ = false;

  struct Icu;
  std::unique_ptr<Icu> icu_;
};

#endif
