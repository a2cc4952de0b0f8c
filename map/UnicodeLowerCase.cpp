// Words lowered, normalized and cut under the Unicode word rule: plain words through tables
// that ICU filled, the others through ICU itself.
#include "map/UnicodeLowerCase.h"

#include <sysexits.h>
#include <unicode/bytestream.h>
#include <unicode/normalizer2.h>
#include <unicode/ucasemap.h>

#include <clocale>

#include "common/Errors.h"
#include "map/ChunkClasses.h"
#include "map/Map.h"
#include "map/Units.h"

namespace {

[[noreturn]] void icu_failed(const char *what, UErrorCode status) {
  fail_at(nullptr, EX_UNAVAILABLE, "ICU cannot %s: %s", what, u_errorName(status));
}

// Appends each character of text[0, size) to out while it fits whole in MAX_WORD_BYTES, as the
// default rule appends its letters; returns the length of out.
int cut_to_whole_characters(const char *text, int size, char *out) {
  int kept = 0;
  for (int i = 0; i < size;) {
    int length = unit_length(static_cast<unsigned char>(text[i]));
    if (i + length > size) break;
    if (kept + length <= MAX_WORD_BYTES) {
      for (int b = 0; b < length; ++b) out[kept + b] = text[i + b];
      kept += length;
    }
    i += length;
  }
  return kept;
}

}  // namespace

struct UnicodeLowerCase::Icu {
  UCaseMap *case_map = nullptr;
  const icu::Normalizer2 *nfc = nullptr;
  // The word lowered and, when it is not in form C, normalized: kept from word to word, so that
  // only a word longer than all before it allocates.
  std::string lowered;
  std::string normalized;
  char copy[MAX_WORD_BYTES + kCopyStep];  // where copy_letters leaves the word as it stands

  ~Icu() { ucasemap_close(case_map); }

  // The `length` bytes at word lowered into `lowered`.
  void lower(const unsigned char *word, int length) {
    const char *from = reinterpret_cast<const char *>(word);
    UErrorCode status = U_ZERO_ERROR;
    if (lowered.size() < static_cast<size_t>(length)) lowered.resize(length);
    int32_t size = ucasemap_utf8ToLower(
        case_map, lowered.data(), static_cast<int32_t>(lowered.size()), from, length, &status);
    if (status == U_BUFFER_OVERFLOW_ERROR) {
      status = U_ZERO_ERROR;
      lowered.resize(size);
      size = ucasemap_utf8ToLower(case_map, lowered.data(), size, from, length, &status);
    }
    if (U_FAILURE(status)) icu_failed("lower-case a word", status);
    lowered.resize(size);
  }
};

std::string UnicodeLowerCase::case_language() {
  const char *ctype = setlocale(LC_CTYPE, nullptr);
  std::string name = ctype != nullptr ? ctype : "C";
  std::string language = name.substr(0, name.find_first_of("_.@"));
  return language == "C" || language == "POSIX" ? "" : language;
}

UnicodeLowerCase::UnicodeLowerCase() : icu_(std::make_unique<Icu>()) {
  UErrorCode status = U_ZERO_ERROR;
  icu_->case_map = ucasemap_open(case_language().c_str(), 0, &status);
  if (U_FAILURE(status)) icu_failed("open its case mapping", status);
  icu_->nfc = icu::Normalizer2::getNFCInstance(status);
  if (U_FAILURE(status)) icu_failed("open its normalization form C", status);
  // A plain word lowers character by character: no language lowers these by their context.
  for (int c = 0; c < 0x80; ++c) {
    unsigned char unit = static_cast<unsigned char>(c);
    icu_->lower(&unit, 1);
    ascii_lower_[c] = icu_->lowered.size() == 1 ? icu_->lowered[0] : 0;
  }
  for (int second = 0x80; second < 0xC0; ++second) {
    unsigned char unit[2] = {kLatin1Lead, static_cast<unsigned char>(second)};
    icu_->lower(unit, 2);
    bool same_length = icu_->lowered.size() == 2 && icu_->lowered[0] == char(kLatin1Lead);
    latin1_lower_[second - kContinuationBase] = same_length ? icu_->lowered[1] : 0;
  }
  lowers_as_copy_ = true;
  for (int c = 'A'; c <= 'z'; ++c) {
    bool letter = (c <= 'Z' || c >= 'a');
    if (letter && ascii_lower_[c] != (c | 0x20)) lowers_as_copy_ = false;
  }
  for (int second = 0x80; second < 0xC0; ++second) {
    if (second == 0x97 || second == 0xB7) continue;  // signs, never in a word
    unsigned char lowered = latin1_lower_[second - kContinuationBase];
    if (lowered != plain_latin1_lower(static_cast<unsigned char>(second))) lowers_as_copy_ = false;
  }
}

UnicodeLowerCase::~UnicodeLowerCase() = default;

int UnicodeLowerCase::lower(const unsigned char *word, int length, bool plain, char *out) {
  if (!plain) return lower_by_icu(word, length, out);
  if (lowers_as_copy_ && length <= MAX_WORD_BYTES) {
    // ' and . keep their bytes under copy_letters' lowering of ASCII, as letters do theirs.
    copy_letters(word, length, icu_->copy, out, true);
    return length;
  }
  // Every character of a plain word is one or two bytes: a cut keeps whole ones as they come.
  int kept = 0;
  for (int i = 0; i < length;) {
    if (word[i] < 0x80) {
      unsigned char lowered = ascii_lower_[word[i]];
      if (lowered == 0) return lower_by_icu(word, length, out);
      if (kept < MAX_WORD_BYTES) out[kept++] = static_cast<char>(lowered);
      i += 1;
      continue;
    }
    unsigned char lowered = latin1_lower_[word[i + 1] - kContinuationBase];
    if (lowered == 0) return lower_by_icu(word, length, out);
    if (kept + 2 <= MAX_WORD_BYTES) {
      out[kept] = static_cast<char>(word[i]);
      out[kept + 1] = static_cast<char>(lowered);
      kept += 2;
    }
    i += 2;
  }
  return kept;
}

int UnicodeLowerCase::lower_by_icu(const unsigned char *word, int length, char *out) {
  icu_->lower(word, length);
  const std::string *text = &icu_->lowered;
  UErrorCode status = U_ZERO_ERROR;
  icu::StringPiece lowered(icu_->lowered.data(), static_cast<int32_t>(icu_->lowered.size()));
  if (!icu_->nfc->isNormalizedUTF8(lowered, status)) {
    icu_->normalized.clear();
    icu::StringByteSink<std::string> sink(&icu_->normalized);
    icu_->nfc->normalizeUTF8(0, lowered, sink, nullptr, status);
    text = &icu_->normalized;
  }
  if (U_FAILURE(status)) icu_failed("normalize a word", status);
  return cut_to_whole_characters(text->data(), static_cast<int>(text->size()), out);
}
