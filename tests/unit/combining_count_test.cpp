// The shard's combining count: a table too small for its text spills sorted runs and merges
// them, and must write the very bytes of a table that holds the whole text.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <clocale>
#include <cstdlib>
#include <string>

#include "count/CombiningCount.h"
#include "map/WordScan.h"
#include "reduce/CollatingMerge.h"
#include "support/TestSupport.h"

using namespace quovent_test;

namespace {

// Words of every kind the order must place: Latin-1 capitals lowered, words that differ only
// in accents, and words of 254, 255 and 300 letters, whose tuple lines the shuffle cuts.
std::string text_to_count() {
  std::string text;
  for (const std::string &t : multilingual_texts()) text += t + "\n";
  text += "Résumé resume RESUMÉ résumé côte Côte cote coté ÀÉÎÕÜ àéîõü\n";
  for (int length : {254, 255, 300}) {
    text += std::string(length, 'q') + " " + std::string(length - 1, 'q') + "\xC3\xA9 ";
  }
  return text + text + "end";
}

// The result of counting in_file in the child's working directory with the given limits,
// and how many runs it took.
std::string count_file(const std::string &in_file, int nreducers, TableLimits limits,
                       size_t &runs) {
  CombiningCount counter(nreducers, limits);
  int fd = open(in_file.c_str(), O_RDONLY);
  map_words(fd, -1, counter);
  close(fd);
  counter.finish("result.txt", false);
  runs = counter.runs();
  return read_file("result.txt");
}

TEST(CombiningCount, SpilledRunsMergeIntoTheResultOfOneTable) {
  struct Case {
    const char *locale;
    int nreducers;
  };
  for (const Case &c :
       {Case{"C.UTF-8", 1}, Case{"C.UTF-8", 4}, Case{"en_US.UTF-8", 1}, Case{"en_US.UTF-8", 4}}) {
    SCOPED_TRACE(std::string(c.locale) + " with " + std::to_string(c.nreducers) + " reducers");
    if (std::string(c.locale) != "C.UTF-8" && !generated_locale_available(c.locale)) {
      ADD_FAILURE() << c.locale << " was not generated";
      continue;
    }
    ScratchDir dir;
    write_file(dir / "in.txt", text_to_count());
    RunResult result = run_in_child([&] {
      setenv("LOCPATH", generated_locale_dir().c_str(), 1);
      if (setlocale(LC_ALL, c.locale) == nullptr) exit(3);
      if (chdir(dir.path().c_str()) != 0) exit(4);
      size_t runs = 0;
      std::string whole = count_file("in.txt", c.nreducers, TableLimits{}, runs);
      if (runs != 0) exit(5);
      // A few words, or a few hundred bytes of text, a run: the long words fill one alone.
      for (TableLimits small : {TableLimits{3, 1 << 20}, TableLimits{1 << 10, 600}}) {
        std::string spilled = count_file("in.txt", c.nreducers, small, runs);
        if (runs < 2) exit(6);
        if (spilled != whole) exit(7);
      }
      if (access("run_0.txt", F_OK) == 0) exit(8);  // the runs go once merged
    });
    EXPECT_EQ(result.exit_status, 0) << result.err;
  }
}

// The words of shard `shard` of a run, in the order they come: repeated words, words that
// en_US.UTF-8 collates alike (CJK ideographs of extension A; their first appearance names them),
// whose first appearances differ from shard to shard, and 254- and 255-byte words that are alike.
std::vector<std::string> shard_words(int shard) {
  const char *const alike[] = {"\xE3\x90\x80", "\xE3\x90\x81", "\xE3\x90\x82"};
  std::vector<std::string> words;
  for (int i = 0; i < 400; ++i) {
    std::string word = "w";
    words.push_back(word += std::to_string((i * 37 + shard * 11) % 300));
    words.push_back(std::string("al") + alike[(i + shard) % 3] + std::to_string(i % 20));
  }
  std::string stem(252, 'x');
  words.push_back(stem + alike[(shard + 1) % 3]);      // 255 bytes
  words.push_back(stem.substr(1) + alike[shard % 3]);  // 254 bytes
  words.push_back(std::string(255, static_cast<char>('a' + shard % 26)));
  return words;
}

// Counts the words in the working directory into `file` in the form given, spilling runs.
void count_words(const std::vector<std::string> &words, int nreducers, ResultForm form,
                 const std::string &file) {
  std::string text;
  std::vector<WordSpan> spans;
  for (const std::string &word : words) {
    spans.push_back({static_cast<uint32_t>(text.size()), static_cast<uint32_t>(word.size())});
    text += word + " ";
  }
  text.append(16, '\0');  // the table reads 16 bytes past a word
  CombiningCount counter(nreducers, TableLimits{100, 1 << 20}, form);
  counter.take_words(text.data(), spans.data(), static_cast<int>(spans.size()));
  counter.finish(file.c_str(), false);
}

// Shards that leave the collation to the merge (byte order, first appearances) give, merged in
// any number of parts, the bytes of shards that sort by the collation themselves, merged; and so
// do more shards than one round of the merge reads, whose rounds keep every shard's place.
TEST(CombiningCount, ShardsInByteOrderGiveTheResultOnceTheMergeCollates) {
  for (const char *locale : {"C.UTF-8", "en_US.UTF-8"}) {
    if (std::string(locale) != "C.UTF-8" && !generated_locale_available(locale)) {
      ADD_FAILURE() << locale << " was not generated";
      continue;
    }
    ScratchDir dir;
    RunResult result = run_in_child([&] {
      setenv("LOCPATH", generated_locale_dir().c_str(), 1);
      if (setlocale(LC_ALL, locale) == nullptr || chdir(dir.path().c_str()) != 0) exit(3);
      struct Case {
        int nreducers;
        int shards;
      };
      for (Case c : {Case{1, 3}, Case{4, 3}, Case{16, 3}, Case{1, MERGE_FAN_IN + 12}}) {
        std::vector<std::string> ordered, by_bytes;
        for (int shard = 0; shard < c.shards; ++shard) {
          ordered.push_back("ordered" + std::to_string(shard));
          by_bytes.push_back("bytes" + std::to_string(shard));
          count_words(shard_words(shard), c.nreducers, ResultForm::kCollated, ordered.back());
          count_words(shard_words(shard), c.nreducers, ResultForm::kBytesWithFirst,
                      by_bytes.back());
        }
        std::vector<const char *> ordered_names, byte_names;
        for (int shard = 0; shard < c.shards; ++shard) {
          ordered_names.push_back(ordered[shard].c_str());
          byte_names.push_back(by_bytes[shard].c_str());
        }
        merge_result_files(c.shards, ordered_names.data(), c.nreducers, "expected");
        const std::string expected = read_file("expected");
        for (int parts : {1, 2, 5}) {
          collate_results(c.shards, byte_names.data(), c.nreducers, "collated", false, 2, nullptr,
                          parts);
          if (read_file("collated") != expected) {
            fprintf(stderr, "%d shards, -r %d in %d parts differs\n", c.shards, c.nreducers, parts);
            exit(4);
          }
        }
      }
    });
    EXPECT_EQ(result.exit_status, 0) << locale << ": " << result.err;
  }
}

}  // namespace
