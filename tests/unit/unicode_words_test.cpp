// The Unicode word rule against ICU itself: the fast path, the stretches handed to ICU and the
// reads that cut a text anywhere give the words that ICU's word break iterator gives over the
// whole text, lowered by ICU for the locale's language; and the words are segments of the
// Unicode Consortium's conformance data for UAX #29.
#include <gtest/gtest.h>
#include <unicode/ustring.h>
#include <unicode/utf8.h>

#include <clocale>
#include <cstdlib>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "map/PlainChunks.h"
#include "map/UnicodeSegments.h"
#include "map/UnicodeWords.h"
#include "support/IcuWords.h"
#include "support/TestSupport.h"

using quovent_test::hex;
using quovent_test::icu_words;

namespace {

// A text read in pieces of the given sizes, round and round.
class PiecewiseText final : public ByteSource {
 public:
  PiecewiseText(const std::string &text, std::vector<size_t> sizes)
      : text_(text), sizes_(std::move(sizes)) {}
  size_t read(unsigned char *buf, size_t room) override {
    size_t n = std::min({room, sizes_[next_++ % sizes_.size()], text_.size() - at_});
    text_.copy(reinterpret_cast<char *>(buf), n, at_);
    at_ += n;
    return n;
  }

 private:
  const std::string &text_;
  std::vector<size_t> sizes_;
  size_t at_ = 0;
  size_t next_ = 0;
};

class WordList final : public WordReceiver {
 public:
  void take_words(const char *text, const WordSpan *spans, int count) override {
    for (int k = 0; k < count; ++k) words.emplace_back(text + spans[k].offset, spans[k].length);
  }
  std::vector<std::string> words;
};

std::vector<std::string> rule_words(const std::string &text, std::vector<size_t> read_sizes) {
  PiecewiseText source(text, std::move(read_sizes));
  WordList list;
  long long count = map_rule_words(WordRule::kUnicode, source, list);
  EXPECT_EQ(count, static_cast<long long>(list.words.size()));
  return list.words;
}

// Random texts of characters that each rule of the fast path turns on: letters of every kind
// beside the separators, joiners, digits and marks that decide whether they are words.
std::vector<std::string> mixed_texts(int count) {
  // The first pieces are those of plain text, which the fast path takes 64 bytes at a time.
  const size_t plain_pieces = 20;
  const std::vector<std::string> pieces = {
      // clang-format off
      "a", "Z", "I", "i", "é", "É", "ß", "ÿ", "Ì", "'", ".", ",", ";", ":", "\"", " ", "  ",
      "\n", "Word", "DON'T",
      "7", "_", "\r\n", "\t", "-", "(", "×", "÷", "\u00A0", "©", "®", "\u00AD", "·", "ª", "µ",
      "«", "¿", "\u0301", "\u0307", "\u200D", "👍", "🇫🇷", "中", "文", "カ", "ー", "ひ", "ก",
      "า", "א", "ד", "д", "Σ", "İ", "\xFF", "\xC3", "\x80", "e.g", "x1", "ʼ", "@"};
  // clang-format on
  std::mt19937 random(25);
  std::vector<std::string> texts;
  for (int t = 0; t < count; ++t) {
    std::string text;
    size_t kinds = t % 2 == 0 ? plain_pieces : pieces.size();
    for (int k = 0; k < 120; ++k) text += pieces[random() % kinds];
    texts.push_back(text);
  }
  // Words past the longest length, cut between characters of one, two and four bytes.
  texts.push_back(std::string(300, 'A'));
  texts.push_back(std::string(253, 'a') + "éé" + "b" + "c");
  texts.push_back(std::string(252, 'a') + "😀é" + "x");
  std::string cyrillic;
  for (int k = 0; k < 140; ++k) cyrillic += "Ж";
  texts.push_back(cyrillic + "Q" + "1" + " " + cyrillic + "q");
  return texts;
}

class UnicodeWords : public ::testing::TestWithParam<const char *> {
 protected:
  void SetUp() override {
    setenv("LOCPATH", quovent_test::generated_locale_dir().c_str(), 1);
    if (setlocale(LC_ALL, GetParam()) == nullptr) GTEST_SKIP() << GetParam() << " not generated";
  }
  void TearDown() override {
    setlocale(LC_ALL, "C");
    unsetenv("LOCPATH");
  }
};

TEST_P(UnicodeWords, AreTheWordsOfIcuOverTheWholeTextWhereverReadsEnd) {
  const char *language = std::string(GetParam()).starts_with("tr") ? "tr" : "";
  for (const std::string &text : mixed_texts(400)) {
    std::vector<std::string> expected = icu_words(text, language);
    ASSERT_EQ(rule_words(text, {1 << 20}), expected) << hex(text);
    ASSERT_EQ(rule_words(text, {1, 3, 2, 7}), expected) << hex(text);
  }
}

INSTANTIATE_TEST_SUITE_P(Locales, UnicodeWords, ::testing::Values("C.UTF-8", "tr_TR.UTF-8"));

#ifdef __SSE2__
TEST(PlainChunks, BothFormsGiveTheSameMasks) {
  const std::string bytes = "aZ'.\",;:_@09 \n-\xC3\x80\xC3\x97\xC3\xBF\xC2\xA0\xC3\xE2\xFF\x80";
  std::mt19937 random(7);
  unsigned char chunk[kPlainChunkBytes + 1];
  for (int round = 0; round < 20000; ++round) {
    for (unsigned char &byte : chunk) byte = bytes[random() % bytes.size()];
    ASSERT_EQ(classify_plain_chunk_sse2(chunk), classify_plain_chunk_bytewise(chunk))
        << hex(std::string(reinterpret_cast<char *>(chunk), sizeof chunk));
  }
}
#endif

// One test of WordBreakTest.txt: the text and the offsets of its boundaries.
struct BoundaryCase {
  std::string text;
  std::set<int> boundaries;
  std::string line;
};

std::vector<BoundaryCase> read_boundary_cases(const char *file) {
  std::vector<BoundaryCase> cases;
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) {
    line = line.substr(0, line.find('#'));
    if (line.empty()) continue;
    BoundaryCase c{"", {}, line};
    std::istringstream fields(line);
    for (std::string field; fields >> field;) {
      if (field == "\xC3\xB7") {  // ÷
        c.boundaries.insert(static_cast<int>(c.text.size()));
      } else if (field != "\xC3\x97") {  // ×
        char bytes[4];
        int32_t size = 0;
        U8_APPEND_UNSAFE(bytes, size, std::stoi(field, nullptr, 16));
        c.text.append(bytes, size);
      }
    }
    cases.push_back(c);
  }
  return cases;
}

class SegmentList final : public SegmentReceiver {
 public:
  explicit SegmentList(const unsigned char *text) : text_(text) {}
  void take_segment(const unsigned char *word, int length, bool) override {
    segments.emplace_back(static_cast<int>(word - text_), static_cast<int>(word - text_) + length);
  }
  std::vector<std::pair<int, int>> segments;

 private:
  const unsigned char *text_;
};

// Every word lies between two boundaries of the conformance data with none inside. ICU departs
// from the data by design in one way: its root rules take ':' out of MidLetter (CLDR), so that
// "a:b" is two words where UAX #29 makes one.
TEST(UnicodeSegments, EveryWordIsASegmentOfTheConformanceData) {
  const char *file = "/usr/share/unicode/auxiliary/WordBreakTest.txt";
  std::vector<BoundaryCase> cases = read_boundary_cases(file);
  if (cases.empty()) GTEST_SKIP() << file << " missing: apt-get install unicode-data";
  UnicodeSegmenter segmenter;
  int words = 0;
  int colons = 0;
  for (const BoundaryCase &c : cases) {
    const auto *text = reinterpret_cast<const unsigned char *>(c.text.data());
    SegmentList list(text);
    segmenter.segment(text, static_cast<int>(c.text.size()), true, list);
    for (auto [begin, end] : list.segments) {
      ++words;
      bool inside = c.boundaries.upper_bound(begin) != c.boundaries.lower_bound(end);
      if (c.boundaries.contains(begin) && c.boundaries.contains(end) && !inside) continue;
      bool colon_joins = c.line.find(" 003A ") != std::string::npos;
      if (colon_joins) {
        ++colons;
        continue;
      }
      ADD_FAILURE() << c.line << ": a word from " << begin << " to " << end;
    }
  }
  EXPECT_GT(words, 900);
  RecordProperty("words_checked", words);
  RecordProperty("colon_cases", colons);
}

}  // namespace
