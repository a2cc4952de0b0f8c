// The words of a UTF-8 text under the Unicode word rule: plain stretches segmented here, the
// others by ICU's word break iterator.
#include "map/UnicodeSegments.h"

#include <sysexits.h>
#include <unicode/ubrk.h>
#include <unicode/utext.h>

#include <array>
#include <cstdint>
#include <cstring>

#include "common/Errors.h"
#include "map/PlainChunks.h"

// The words a line has if it is plain, found before it is known to be.
struct LineWords {
  // Words kept; a line with more goes through ICU, whose words are the line's words anyway.
  static constexpr int kWords = 4096;
  bool needs_icu = false;
  int count = 0;
  int begin[kWords];
  int end[kWords];

  void add(int word_begin, int word_end) {
    if (count == kWords) {
      needs_icu = true;
      return;
    }
    begin[count] = word_begin;
    end[count++] = word_end;
  }
};

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

// A word of each script that ICU segments by a dictionary: Chinese, Japanese (hiragana and
// katakana), Thai, Lao, Khmer and Burmese.
constexpr unsigned char kEveryDictionaryScript[] =
    "\u4E2D\u6587 \u3072\u3089 \u30AB\u30BF \u0E44\u0E17\u0E22 \u0EA5\u0EB2\u0EA7 "
    "\u1781\u17D2\u1798\u17C2\u179A \u1019\u103C\u1014\u103A\u1019\u102C";

// ':' separates: ICU's root rules take it out of MidLetter, so that "a:b" is two words.
constexpr std::array<uint8_t, 256> kByteClass = [] {
  std::array<uint8_t, 256> classes{};
  for (int c = 0x80; c < 0x100; ++c) classes[c] = kOther;
  for (int c = 'A'; c <= 'Z'; ++c) classes[c] = classes[c + 'a' - 'A'] = kLetter;
  for (int c = '0'; c <= '9'; ++c) classes[c] = kDigit;
  classes['\''] = classes['.'] = kLetterJoin;
  classes['"'] = classes[','] = classes[';'] = kInner;
  // ICU's rules take '@' into words ("a@b", "@a"), as mail addresses: ICU decides.
  classes['_'] = classes['@'] = kOther;
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

// Reads the stretch that starts at text[i] up to the separator after it or `end`, leaving i
// there, and adds its words to `line` as if it were plain: runs of letters, joined by a single '
// or . between two letters. Returns whether the stretch needs ICU: a character the fast path does
// not know, or letters with digits, which ICU marks as a number or a word by which comes last
// ("abc123" is a number, "123abc" a word).
inline bool read_stretch(const unsigned char *text, int &i, int end, LineWords &line) {
  unsigned kinds = 0;
  bool letters = false;
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
    kinds |= unit.kind;
    if (word >= 0) {
      if (unit.kind == kLetterJoin && i + 1 < end && unit_at(text, i + 1, end).kind == kLetter) {
        ++i;
        continue;
      }
      line.add(word, i);
      letters = true;
      word = -1;
    }
    i += unit.length;
  }
  if (word >= 0) {
    line.add(word, i);
    letters = true;
  }
  return (kinds & kOther) != 0 || (letters && (kinds & kDigit) != 0);
}

// Consecutive set bits of `mask` from bit 0.
constexpr int leading_ones(uint64_t mask) {
  return ~mask == 0 ? kPlainChunkBytes : __builtin_ctzll(~mask);
}

// Adds to `line` the words of the plain stretches of the 64 bytes at text + i (65 readable) that
// end before the last separator ahead of the first byte that is not plain, the first line feed
// included at most. Returns the bytes taken, or, when there are none, minus the offset of the
// first byte that is not plain (-64 when there is none).
inline int segment_plain_chunk(const unsigned char *text, int i, LineWords &line) {
  const PlainChunk chunk = classify_plain_chunk(text + i);
  const uint64_t stops = chunk.unplain | chunk.line_ends << 1;
  const int first_stop = stops == 0 ? kPlainChunkBytes : __builtin_ctzll(stops);
  const uint64_t ahead =
      first_stop == kPlainChunkBytes ? ~uint64_t{0} : (uint64_t{1} << first_stop) - 1;
  const uint64_t separators = chunk.separators & ahead;
  if (separators == 0) {
    return chunk.unplain == 0 ? -kPlainChunkBytes : -__builtin_ctzll(chunk.unplain);
  }
  const int taken = kPlainChunkBytes - __builtin_clzll(separators);
  const uint64_t within = taken == kPlainChunkBytes ? ~uint64_t{0} : (uint64_t{1} << taken) - 1;
  const uint64_t letters = chunk.letters;
  uint64_t words = (letters | (chunk.joiners & letters << 1 & letters >> 1)) & within;
  while (words != 0) {
    int start = __builtin_ctzll(words);
    int length = leading_ones(words >> start);
    line.add(i + start, i + start + length);
    words &= length + start == kPlainChunkBytes ? 0 : ~uint64_t{0} << (start + length);
  }
  return taken;
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

UnicodeSegmenter::UnicodeSegmenter()
    : line_(std::make_unique<LineWords>()), icu_(std::make_unique<Icu>()) {
  UErrorCode status = U_ZERO_ERROR;
  // The root locale: the words of a text do not depend on the user's language.
  icu_->words = ubrk_open(UBRK_WORD, "", nullptr, 0, &status);
  if (U_FAILURE(status)) {
    fail_at(nullptr, EX_UNAVAILABLE, "ICU cannot open its word break rules: %s",
            u_errorName(status));
  }
  // ICU loads the engine of a dictionary script when it first meets the script, and the first
  // text after that is segmented otherwise than later ones (ICU 72 keeps the kana of
  // "\u30FC\u3072" whole once, then splits them): every engine is loaded before the first text,
  // so that a text has the same words whatever a process read before it.
  class Nothing final : public SegmentReceiver {
    void take_segment(const unsigned char *, int, bool) override {}
  } nothing;
  segment_by_icu(kEveryDictionaryScript, sizeof kEveryDictionaryScript - 1, nothing);
}

UnicodeSegmenter::~UnicodeSegmenter() = default;

int UnicodeSegmenter::segment(const unsigned char *text, int end, bool last,
                              SegmentReceiver &receiver) {
  int i = 0;
  while (i < end) {
    int line = i;
    if (!read_line(text, i, end) && !last) return line;
    if (line_->needs_icu) {
      segment_by_icu(text + line, i - line, receiver);
      continue;
    }
    for (int k = 0; k < line_->count; ++k) {
      receiver.take_segment(text + line_->begin[k], line_->end[k] - line_->begin[k], true);
    }
  }
  return end;
}

bool UnicodeSegmenter::read_line(const unsigned char *text, int &i, int end) {
  LineWords &line = *line_;
  line.count = 0;
  line.needs_icu = false;
  int chunks_from = i;  // where a plain chunk may start: not before the last one that was not
  while (i < end) {
    if (line.needs_icu) {
      const void *line_end = memchr(text + i, '\n', static_cast<size_t>(end - i));
      if (line_end == nullptr) break;
      i = static_cast<int>(static_cast<const unsigned char *>(line_end) - text) + 1;
      return true;
    }
    if (i >= chunks_from && end - i > kPlainChunkBytes) {
      int taken = segment_plain_chunk(text, i, line);
      if (taken > 0) {
        i += taken;
        if (text[i - 1] == '\n') return true;
        continue;
      }
      chunks_from = i - taken + 1;
    }
    Unit unit = unit_at(text, i, end);
    if (unit.kind == kSeparator) {
      i += unit.length;
      if (text[i - 1] == '\n') return true;
      continue;
    }
    if (read_stretch(text, i, end, line)) line.needs_icu = true;
  }
  i = end;
  return false;
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
