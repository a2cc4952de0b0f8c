// The words of a UTF-8 text under the Unicode word rule: plain stretches segmented here, the
// others by ICU's word break iterator.
#include "map/UnicodeSegments.h"

#include <sysexits.h>
#include <unicode/ubrk.h>
#include <unicode/utext.h>

#include <array>
#include <cstdint>

#include "common/Errors.h"

namespace {

// What a unit is to the fast path: bits that the units of a stretch add up.
enum : uint8_t {
  kSeparator = 0,    // ends a stretch: a word boundary on both sides whatever surrounds it
  kLetter = 1,       // A-Z, a-z, U+00C0 to U+00FF but the signs U+00D7 and U+00F7
  kLetterJoin = 2,   // ' and .: inside a word between two letters (UAX #29 WB6, WB7)
  kInner = 4,        // " , ;: join digits (WB11, WB12) or Hebrew letters (WB7b, WB7c)
  kDigit = 8,        // joins letters (WB9, WB10) under statuses the fast path leaves to ICU
  kOther = 16,       // _ and every other character: the stretch goes through ICU
  kTwoByteLead = 32  // 0xC2 and 0xC3, whose class is the second byte's
};

// ':' separates: ICU's root rules take it out of MidLetter, so that "a:b" is two words.
constexpr std::array<uint8_t, 256> kByteClass = [] {
  std::array<uint8_t, 256> classes{};
  for (int c = 0x80; c < 0x100; ++c) classes[c] = kOther;
  for (int c = 'A'; c <= 'Z'; ++c) classes[c] = classes[c + 'a' - 'A'] = kLetter;
  for (int c = '0'; c <= '9'; ++c) classes[c] = kDigit;
  classes['\''] = classes['.'] = kLetterJoin;
  classes['"'] = classes[','] = classes[';'] = kInner;
  classes['_'] = kOther;
  classes[0xC2] = classes[0xC3] = kTwoByteLead;
  return classes;
}();

// U+0080 to U+00BF by their second byte: letters (U+00AA, U+00B5, U+00BA), the middle dot that
// joins letters (U+00B7), the soft hyphen that words take in (U+00AD) and the emoji that a
// zero-width joiner binds (U+00A9, U+00AE) go through ICU; the rest separate.
constexpr uint8_t c2_class(unsigned char second) {
  switch (second) {
    case 0xA9:
    case 0xAA:
    case 0xAD:
    case 0xAE:
    case 0xB5:
    case 0xB7:
    case 0xBA:
      return kOther;
    default:
      return kSeparator;
  }
}

// U+00C0 to U+00FF by their second byte: letters but the multiplication and division signs.
constexpr uint8_t c3_class(unsigned char second) {
  return second == 0x97 || second == 0xB7 ? kSeparator : kLetter;
}

struct Unit {
  uint8_t kind;
  int length;
};

// The unit at text[i], i below end. A two-byte unit cut by end is kOther: it cannot end a
// stretch, whose end the next call then sees.
inline Unit unit_at(const unsigned char *text, int i, int end) {
  uint8_t kind = kByteClass[text[i]];
  if (kind != kTwoByteLead) return {kind, 1};
  if (i + 1 >= end || text[i + 1] < 0x80 || text[i + 1] > 0xBF) return {kOther, 1};
  return {text[i] == 0xC3 ? c3_class(text[i + 1]) : c2_class(text[i + 1]), 2};
}

// The words of a plain stretch text[begin, end): runs of letters, joined by a single ' or .
// between two letters.
void segment_plain(const unsigned char *text, int begin, int end, SegmentReceiver &receiver) {
  int i = begin;
  while (i < end) {
    Unit unit = unit_at(text, i, end);
    if (unit.kind != kLetter) {
      i += unit.length;
      continue;
    }
    int word = i;
    for (;;) {
      while (i < end && (unit = unit_at(text, i, end)).kind == kLetter) i += unit.length;
      if (i + 1 < end && kByteClass[text[i]] == kLetterJoin &&
          unit_at(text, i + 1, end).kind == kLetter) {
        ++i;
        continue;
      }
      break;
    }
    receiver.take_segment(text + word, i - word, true);
  }
}

// A stretch read in one pass: what it holds, and the words it has if the fast path may take it.
struct PlainStretch {
  // Words a stretch keeps for the fast path; a stretch with more is segmented again.
  static constexpr int kWords = 32;
  unsigned kinds = 0;  // of the units outside its words
  bool letters = false;
  bool overflow = false;
  int count = 0;
  int begin[kWords];
  int end[kWords];

  void add_word(int word_begin, int word_end) {
    letters = true;
    if (count == kWords) {
      overflow = true;
      return;
    }
    begin[count] = word_begin;
    end[count++] = word_end;
  }

  // A character the fast path does not know, or letters with digits, which ICU marks as a
  // number or a word by which comes last ("abc123" is a number, "123abc" a word).
  bool needs_icu() const { return (kinds & kOther) != 0 || (letters && (kinds & kDigit) != 0); }
};

// Reads the stretch that starts at text[i] up to the separator after it or `end`, leaving i
// there, and finds its words as segment_plain does, in the same pass: runs of letters, joined by
// a single ' or . between two letters.
inline PlainStretch read_stretch(const unsigned char *text, int &i, int end) {
  PlainStretch stretch;
  int word = -1;
  while (i < end) {
    uint8_t kind = kByteClass[text[i]];
    if (kind == kLetter) {
      if (word < 0) word = i;
      ++i;
      continue;
    }
    Unit unit = kind == kTwoByteLead ? unit_at(text, i, end) : Unit{kind, 1};
    if (unit.kind == kLetter) {
      if (word < 0) word = i;
      i += unit.length;
      continue;
    }
    if (unit.kind == kSeparator) break;
    stretch.kinds |= unit.kind;
    if (word >= 0) {
      if (unit.kind == kLetterJoin && i + 1 < end && unit_at(text, i + 1, end).kind == kLetter) {
        ++i;
        continue;
      }
      stretch.add_word(word, i);
      word = -1;
    }
    i += unit.length;
  }
  if (word >= 0) stretch.add_word(word, i);
  return stretch;
}

}  // namespace

struct UnicodeSegmenter::Icu {
  UBreakIterator *words = nullptr;
  UText text = UTEXT_INITIALIZER;

  ~Icu() {
    ubrk_close(words);
    utext_close(&text);
  }
};

UnicodeSegmenter::UnicodeSegmenter() : icu_(std::make_unique<Icu>()) {
  UErrorCode status = U_ZERO_ERROR;
  // The root locale: the words of a text do not depend on the user's language.
  icu_->words = ubrk_open(UBRK_WORD, "", nullptr, 0, &status);
  if (U_FAILURE(status)) {
    fail_at(nullptr, EX_UNAVAILABLE, "ICU cannot open its word break rules: %s",
            u_errorName(status));
  }
}

UnicodeSegmenter::~UnicodeSegmenter() = default;

int UnicodeSegmenter::segment(const unsigned char *text, int end, bool last,
                              SegmentReceiver &receiver) {
  // Consecutive stretches for ICU go to it at once: text in other scripts is mostly such.
  int icu_begin = -1;
  int icu_end = -1;
  auto flush_icu = [&] {
    if (icu_begin >= 0) segment_by_icu(text + icu_begin, icu_end - icu_begin, receiver);
    icu_begin = -1;
  };
  int i = 0;
  while (i < end) {
    Unit unit = unit_at(text, i, end);
    if (unit.kind == kSeparator) {
      i += unit.length;
      continue;
    }
    int begin = i;
    PlainStretch stretch = read_stretch(text, i, end);
    if (i == end && !last) {
      flush_icu();
      return begin;
    }
    if (stretch.needs_icu()) {
      if (icu_begin < 0) icu_begin = begin;
      icu_end = i;
      continue;
    }
    flush_icu();
    if (stretch.overflow) {
      segment_plain(text, begin, i, receiver);
      continue;
    }
    for (int k = 0; k < stretch.count; ++k) {
      receiver.take_segment(text + stretch.begin[k], stretch.end[k] - stretch.begin[k], true);
    }
  }
  flush_icu();
  return end;
}

void UnicodeSegmenter::segment_by_icu(const unsigned char *text, int length,
                                      SegmentReceiver &receiver) {
  UErrorCode status = U_ZERO_ERROR;
  utext_openUTF8(&icu_->text, reinterpret_cast<const char *>(text), length, &status);
  ubrk_setUText(icu_->words, &icu_->text, &status);
  if (U_FAILURE(status)) {
    fail_at(nullptr, EX_SOFTWARE, "ICU cannot segment a text: %s", u_errorName(status));
  }
  int32_t begin = ubrk_first(icu_->words);
  for (int32_t end = ubrk_next(icu_->words); end != UBRK_DONE;
       begin = end, end = ubrk_next(icu_->words)) {
    int32_t rule = ubrk_getRuleStatus(icu_->words);
    if (rule >= UBRK_WORD_LETTER && rule < UBRK_WORD_IDEO_LIMIT) {
      receiver.take_segment(text + begin, end - begin, false);
    }
  }
}
