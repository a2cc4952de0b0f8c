// The fast stages write the very bytes of the straightforward ones: every map, batch and
// shuffle file and the result of QuoventMR equal those of the reference pipeline kept in
// reference/, in byte-ordered and in collating locales, for texts that stress the word
// rules and for inputs large enough that several batches of a reducer are merged.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "reference/ReferencePipeline.h"
#include "support/TestSupport.h"

using quovent_test::hex;
using quovent_test::read_file;
using quovent_test::RunResult;
using quovent_test::ScratchDir;

namespace {

// Sets the test process's locale for the reference and puts it back afterwards.
class LocaleScope {
 public:
  explicit LocaleScope(const std::string &name) {
    setenv("LOCPATH", quovent_test::generated_locale_dir().c_str(), 1);
    ok_ = setlocale(LC_ALL, name.c_str()) != nullptr;
  }
  ~LocaleScope() { setlocale(LC_ALL, "C"); }
  bool ok() const { return ok_; }

 private:
  bool ok_;
};

bool locale_available(const std::string &name) {
  return name == "C" || name == "C.UTF-8" || quovent_test::generated_locale_available(name);
}

std::map<std::string, std::string> work_files(const ScratchDir &dir) {
  std::map<std::string, std::string> files;
  for (const char *sub : {"tmp", "Result"}) {
    for (const auto &entry : std::filesystem::directory_iterator(dir / sub)) {
      files[std::string(sub) + "/" + entry.path().filename().string()] = read_file(entry.path());
    }
  }
  return files;
}

// Runs QuoventMR on the text and demands the reference's files, name for name and byte for
// byte. (Lines that collate equal but differ in bytes could stand in either order; the words
// of these texts have no such pairs in the locales used, so equality is exact.)
void expect_reference_files(const std::string &text, const std::string &locale, int reducers,
                            const std::string &what) {
  ScratchDir dir;
  quovent_test::write_file(dir / "input.txt", text);
  RunResult run = quovent_test::run_program(quovent_test::program_path("QuoventMR"),
                                            {"-r", std::to_string(reducers), "input.txt"},
                                            dir.path(), {"LC_ALL=" + locale});
  ASSERT_EQ(run.exit_status, 0) << what << ": " << run.err;
  std::map<std::string, std::string> expected;
  {
    LocaleScope scope(locale);
    ASSERT_TRUE(scope.ok()) << locale;
    expected = quovent_reference::run_pipeline(text, reducers);
  }
  std::map<std::string, std::string> actual = work_files(dir);
  for (const auto &[name, bytes] : expected) {
    auto found = actual.find(name);
    ASSERT_NE(found, actual.end())
        << what << ", " << locale << ", -r " << reducers << ": no " << name;
    if (found->second == bytes) continue;
    size_t at = 0;
    while (at < bytes.size() && at < found->second.size() && bytes[at] == found->second[at]) ++at;
    ADD_FAILURE() << what << ", " << locale << ", -r " << reducers << ": " << name
                  << " differs at byte " << at << " of " << bytes.size() << "; expected "
                  << hex(bytes.substr(at, 24)) << ", got " << hex(found->second.substr(at, 24));
  }
  for (const auto &entry : actual) {
    EXPECT_TRUE(expected.count(entry.first)) << what << ": unexpected " << entry.first;
  }
}

// Deterministic pseudo-random numbers, the same on every machine.
struct Lcg {
  uint64_t state;
  uint32_t next() {
    state = state * 6364136223846793005u + 1442695040888963407u;
    return static_cast<uint32_t>(state >> 33);
  }
  uint32_t below(uint32_t n) { return next() % n; }
};

// Pieces of words: ASCII, capitals to be lowered, every kind of two-byte letter (capital and
// small accented letters, ß, ÿ, × and ÷), so that the lower-casing table meets them all.
const char *const kPieces[] = {"th",       "er",       "an",       "Qu",       "ST",
                               "\xC3\xA9", "\xC3\x89", "\xC3\x9F", "\xC3\xB1", "\xC3\x91",
                               "\xC3\xA4", "\xC3\x84", "\xC3\xB6", "\xC3\x96", "\xC3\xBF",
                               "\xC3\x97", "\xC3\xB7", "\xC3\x80", "\xC3\xA7", "ou",
                               "ing",      "z",        "a",        "Ae",       "\xC3\x9E"};
// Separators, among them characters outside U+00C0 to U+00FF.
const char *const kSeparators[] = {" ",    " ",         ", ",         ". ",       "\n",
                                   " 42 ", "'",         "\xC2\xBF",   "\xC2\xAB", "-",
                                   "_",    "\xCE\xB1 ", "\xD0\xB6\n", "\xC5\x82", "\t"};

std::string made_word(Lcg &random) {
  std::string word;
  int pieces = 1 + static_cast<int>(random.below(4));
  for (int k = 0; k < pieces; ++k) word += kPieces[random.below(std::size(kPieces))];
  return word;
}

// A text of `occurrences` words from a skewed vocabulary (heavy repeats), `unique` words that
// occur once each (so that there are more distinct lines than the stages keep sort keys for),
// and words at and beyond the 255-byte limit.
std::string generated_text(uint32_t seed, int occurrences, int unique) {
  Lcg random{seed};
  std::vector<std::string> vocabulary;
  for (int k = 0; k < 3000; ++k) vocabulary.push_back(made_word(random));
  vocabulary.push_back(std::string(254, 'l'));                // its line keeps the blank only
  vocabulary.push_back(std::string(255, 'L'));                // its line loses blank and count
  vocabulary.push_back(std::string(300, 'm'));                // cut to 255 letters
  vocabulary.push_back(std::string(254, 'n') + "\xC3\xA9z");  // é dropped, z still fits
  std::string text;
  for (int k = 0; k < occurrences; ++k) {
    uint32_t roll = random.below(1u << 16);
    // Squaring skews the choice towards the first words: a few words make most of the text.
    size_t index = static_cast<size_t>(uint64_t{roll} * roll * vocabulary.size() >> 32);
    text += vocabulary[index];
    text += kSeparators[random.below(std::size(kSeparators))];
  }
  for (int k = 0; k < unique; ++k) {
    std::string word = "u";
    for (int v = k; v > 0; v /= 20) word += kPieces[v % 20];
    text += word + " ";
  }
  return text;
}

TEST(SameBytes, EdgeTextsInEveryLocale) {
  const std::string every_letter = [] {
    std::string text;
    for (int c = 'A'; c <= 'z'; ++c) text += static_cast<char>(c);
    text += " ";
    for (int c = 0x80; c <= 0xBF; ++c) text += std::string("\xC3") + static_cast<char>(c) + " ";
    return text;
  }();
  const std::string texts[] = {
      every_letter,
      "Hello, World! HELLO hello \xC3\x80\xC3\x89\xC3\x8E\xC3\x95\xC3\x9C Stra\xC3\x9F"
      "e",
      "IRMAK \xC4\xB0"
      "stanbul Iyi \xC3\x87I\xC3\x87"
      "EK",  // Turkish: I lowers to a longer letter
      "\xC3\x28 ab\xE2"
      "ab \xC2\xC3 x",  // malformed units
      generated_text(7, 3000, 50),
      // More tuples than one output block, with words the table cannot lower (the Turkish
      // capital I) scattered among those it can, and over-long ones among them.
      [] {
        std::string text = generated_text(11, 12000, 0);
        for (size_t at = 0; at < text.size(); at += 997) text.insert(at, " IRMAK Iyi ");
        text += std::string(300, 'I') + " " + std::string(260, 'z') + "I end";
        return text;
      }(),
  };
  for (const char *locale : {"C.UTF-8", "en_US.UTF-8", "es_ES.UTF-8", "tr_TR.UTF-8", "C"}) {
    if (!locale_available(locale)) continue;
    for (const std::string &text : texts) {
      for (int reducers : {1, 3})
        expect_reference_files(text, locale, reducers, hex(text.substr(0, 12)));
    }
  }
}

TEST(SameBytes, SeveralBatchesOfAReducerMergeAsTheyWouldUnsorted) {
  // 290,000 lines: two batches for one reducer, and more distinct lines than the sort keys
  // kept for a run.
  const std::string text = generated_text(2024, 150000, 140000);
  for (const char *locale : {"C.UTF-8", "en_US.UTF-8"}) {
    if (!locale_available(locale)) {
      ADD_FAILURE() << locale << " could not be generated";
      continue;
    }
    expect_reference_files(text, locale, 1, "generated");
  }
}

TEST(SameBytes, MapFilesReadInTurnGiveTheReferenceBatches) {
  // Three map files of uneven lengths, read one line from each in turn: lines cross the read
  // blocks at every kind of place, some are longer than the short-line scan takes or than a
  // line may be, and the last file ends inside a line, which is dropped. 600,000 lines give
  // each of two reducers two batches.
  Lcg random{99};
  std::vector<std::string> vocabulary;
  for (int k = 0; k < 5000; ++k) vocabulary.push_back(made_word(random));
  vocabulary.push_back(std::string(70, 'w'));
  vocabulary.push_back(std::string(300, 'x'));
  std::vector<std::string> map_files(3);
  const int lines_per_file[] = {420000, 179990, 10};
  for (size_t m = 0; m < map_files.size(); ++m) {
    for (int k = 0; k < lines_per_file[m]; ++k) {
      uint32_t roll = random.below(1u << 16);
      map_files[m] += vocabulary[uint64_t{roll} * roll * vocabulary.size() >> 32] + " 1\n";
    }
  }
  map_files[2] += "unterminated 1";

  ScratchDir dir;
  for (size_t m = 0; m < map_files.size(); ++m) {
    quovent_test::write_file(dir / ("tmp/_map_" + std::to_string(m) + ".tmp"), map_files[m]);
  }
  RunResult run = quovent_test::run_program(quovent_test::program_path("QuoventSuffle"), {"3", "2"},
                                            dir.path(), {"LC_ALL=C.UTF-8"});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  std::map<std::string, std::string> expected;
  {
    LocaleScope scope("C.UTF-8");
    quovent_reference::shuffle_stage(map_files, 2, expected);
  }
  ASSERT_EQ(expected.count("tmp/_batch_r1_1.tmp"), 1u);
  std::map<std::string, std::string> actual = work_files(dir);
  for (const auto &[name, bytes] : expected) {
    EXPECT_TRUE(actual[name] == bytes) << name << " differs from the reference";
  }
}

}  // namespace
