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

}  // namespace
