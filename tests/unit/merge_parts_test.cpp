// The merge cut into parts: whatever the number of parts, their outputs joined are the bytes of
// the merge in one process, in byte order and under a collating locale, with words that collate
// equal in several files, words of 254 and 255 bytes and a section empty in every file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/PartitionHash.h"
#include "reduce/KeyedRuns.h"
#include "reduce/ResultMerge.h"
#include "reduce/WordOrder.h"
#include "support/TestSupport.h"

using namespace quovent_test;

namespace {

// Code points that en_US.UTF-8 collates alike (unassigned ones, and CJK ideographs of extension
// A): words that differ only in them are one word for the reducer, and the merge keeps the first.
const char *const kAlike[] = {"\xCD\xB8", "\xCD\xB9", "\xE3\x90\x80", "\xE3\x90\x81"};

// prefix and the digits of n, without the operator+ of a literal and a temporary, which GCC 12
// warns of wrongly.
std::string numbered(std::string prefix, int n) {
  prefix += std::to_string(n);
  return prefix;
}

// The words of one result file, in the order of a result under the current locale, each once.
std::string result_file(int nreducers, std::vector<std::string> words, unsigned long long seed) {
  WordOrder order(nreducers);
  struct Placed {
    std::string word, line, key;
    unsigned section;
  };
  std::vector<Placed> placed;
  for (const std::string &word : words) {
    Placed p{word, std::string(kTupleLineSize, '\0'), "", 0};
    uint32_t hash = partition_hash(word);
    p.section = order.section_of(hash);
    p.line.resize(static_cast<size_t>(
        WordOrder::tuple_line_of(word.data(), static_cast<int>(word.size()), p.line.data())));
    char scratch[kMaxSortKeyBytes];
    const char *key = order.key_of(hash, p.line.c_str(), p.line.size(), scratch);
    p.key = key != nullptr ? key : "";
    placed.push_back(p);
  }
  auto view = [&order](const Placed &p) {
    return OrderedWordView{p.word.c_str(), static_cast<int>(p.word.size()), p.section,
                           p.line.c_str(), order.by_bytes() ? nullptr : p.key.c_str()};
  };
  std::stable_sort(placed.begin(), placed.end(), [&](const Placed &a, const Placed &b) {
    return order.compare(view(a), view(b)) < 0;
  });
  std::string text;
  const Placed *before = nullptr;
  for (const Placed &p : placed) {
    if (before != nullptr && !order.follows(view(*before), view(p))) continue;
    text += p.word + " " + std::to_string(1 + (seed++ * 7919) % 1000) + "\n";
    before = &p;
  }
  return text;
}

// Words of every section but `empty_section`, among them words that collate alike across files,
// and words of 254 and 255 bytes (whose tuple lines the shuffle cuts) that do too.
std::vector<std::string> words_of_file(int file, int nreducers, unsigned empty_section) {
  std::vector<std::string> words;
  for (int i = 0; i < 300; ++i) {
    words.push_back(numbered("w", (i * 37 + file * 11) % 400));
    words.push_back(numbered(std::string("al") + kAlike[(i + file) % 4], i % 50));
  }
  std::string long_stem(252, 'x');
  words.push_back(long_stem + kAlike[file % 2]);      // 254 bytes
  words.push_back(long_stem + kAlike[2 + file % 2]);  // 255 bytes
  words.push_back(std::string(255, 'a' + file % 3));  // the longest word
  std::erase_if(words, [&](const std::string &word) {
    return nreducers > 1 && partition_hash(word) % nreducers == empty_section;
  });
  return words;
}

TEST(MergeParts, AnyCutGivesTheBytesOfOneMerge) {
  setenv("LOCPATH", generated_locale_dir().c_str(), 1);
  for (const char *locale : {"C.UTF-8", "en_US.UTF-8"}) {
    if (setlocale(LC_ALL, locale) == nullptr) {
      ADD_FAILURE() << locale << " was not generated";
      continue;
    }
    for (int nreducers : {1, 4, 16}) {
      SCOPED_TRACE(std::string(locale) + " -r " + std::to_string(nreducers));
      ScratchDir dir;
      std::vector<std::string> files;
      for (int file = 0; file < 3; ++file) {
        files.push_back((dir / ("in" + std::to_string(file))).string());
        write_file(files.back(), result_file(nreducers, words_of_file(file, nreducers, 3), file));
      }
      std::vector<const char *> names;
      for (const std::string &file : files) names.push_back(file.c_str());
      std::string one = (dir / "one").string();
      merge_result_files(3, names.data(), nreducers, one.c_str());
      const std::string expected = read_file(one);
      for (int parts = 2; parts <= 12; ++parts) {
        std::vector<std::string> part_files;
        std::vector<const char *> part_names;
        for (int k = 0; k < parts; ++k) {
          part_files.push_back((dir / ("part" + std::to_string(k))).string());
          merge_result_part(3, names.data(), nreducers, 1, k, parts, part_files.back().c_str());
        }
        for (const std::string &part : part_files) part_names.push_back(part.c_str());
        std::string joined = (dir / "joined").string();
        long long lines = join_result_parts(3, names.data(), nreducers, 1, parts, part_names.data(),
                                            joined.c_str());
        EXPECT_EQ(read_file(joined), expected) << parts << " parts";
        EXPECT_EQ(lines, std::count(expected.begin(), expected.end(), '\n')) << parts << " parts";
        for (const std::string &part : part_files) std::filesystem::remove(part);
      }
    }
  }
  setlocale(LC_ALL, "C");
  unsetenv("LOCPATH");
}

// Enough input for parts in processes of their own: the parts, merged two at a time and joined as
// they end, give the bytes and the line count of the merge in one process.
TEST(MergeParts, PartsInProcessesOfTheirOwnGiveTheBytesOfOneMerge) {
  setenv("LOCPATH", generated_locale_dir().c_str(), 1);
  for (const char *locale : {"C.UTF-8", "en_US.UTF-8"}) {
    if (setlocale(LC_ALL, locale) == nullptr) {
      ADD_FAILURE() << locale << " was not generated";
      continue;
    }
    SCOPED_TRACE(locale);
    ScratchDir dir;
    std::vector<std::string> files;
    for (int file = 0; file < 4; ++file) {
      std::vector<std::string> words;
      for (int i = 0; i < 40000; ++i) {
        words.push_back(numbered("pal", (i * 7 + file * 3) % 90000) + kAlike[i % 4]);
      }
      files.push_back((dir / ("in" + std::to_string(file))).string());
      write_file(files.back(), result_file(4, words, file));
    }
    std::vector<const char *> names;
    for (const std::string &file : files) names.push_back(file.c_str());
    std::string one = (dir / "one").string();
    std::string parted = (dir / "parted").string();
    long long one_lines = merge_results(4, names.data(), 4, one.c_str(), 1, 1, nullptr);
    long long parted_lines = merge_results(4, names.data(), 4, parted.c_str(), 1, 2, nullptr);
    EXPECT_EQ(read_file(parted), read_file(one));
    EXPECT_EQ(parted_lines, one_lines);
    for (const auto &entry : std::filesystem::directory_iterator(dir.path())) {
      EXPECT_FALSE(entry.path().filename().string().starts_with("parted.")) << entry.path();
    }
  }
  setlocale(LC_ALL, "C");
  unsetenv("LOCPATH");
}

// Words that collate alike, kept in other chunks of other keyed files, come together in the
// merge of the keys and are named by the one that appeared first, wherever it was kept.
TEST(MergeParts, KeyedChunksNameWordsThatCollateAlikeByTheirFirstAppearance) {
  setenv("LOCPATH", generated_locale_dir().c_str(), 1);
  ASSERT_NE(setlocale(LC_ALL, "en_US.UTF-8"), nullptr);
  ScratchDir dir;
  WordOrder order(1);
  std::vector<std::unique_ptr<PlacedWord>> no_cuts;
  struct Word {
    std::string text;
    unsigned long long first;
  };
  // Two chunks of two words in each file: "x<alike>" appears first in the second file.
  const std::vector<std::vector<Word>> files = {
      {{"b", 1}, {std::string("x") + kAlike[2], 9}, {"a", 2}, {"c", 4}},
      {{std::string("x") + kAlike[3], 3}, {"a", 7}, {"d", 8}}};
  std::vector<std::string> keyed;
  for (size_t f = 0; f < files.size(); ++f) {
    keyed.push_back((dir / ("keyed" + std::to_string(f))).string());
    int fd = creat(keyed.back().c_str(), 0644);
    KeyedRunWriter writer(order, no_cuts, fd, keyed.back(), KeyedChunkLimits{2, 1 << 20});
    for (const Word &word : files[f]) writer.add(word.text, 0, 10, word.first);
    writer.complete();
    close(fd);
  }
  std::string merged = (dir / "merged").string();
  int fd = creat(merged.c_str(), 0644);
  ResultWriter writer(fd);
  merge_keyed_buckets(order, keyed, 0, 1, writer, merged.c_str());
  ASSERT_TRUE(writer.flush());
  close(fd);
  EXPECT_EQ(read_file(merged), "a 20\nb 10\nc 10\nd 10\nx" + std::string(kAlike[3]) + " 20\n");
  setlocale(LC_ALL, "C");
  unsetenv("LOCPATH");
}

}  // namespace
