// Where the inputs of a sharded run are cut, and the sizes and counts its command line reads.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "common/CommandLine.h"
#include "input/ShardPlan.h"
#include "support/TestSupport.h"

using namespace quovent_test;

namespace {

TEST(FindCut, AByteThatEndsWordsAndThatNoUnitReachesIsACut) {
  struct Case {
    std::string text;
    long long from;
    long long cut;
    WordRule rule = WordRule::kLatin1;
  };
  const std::string long_run(65541, 'a');  // the lead byte and its line end in two blocks
  const Case cases[] = {
      {"ab\ncd\n", 1, 3},
      {"ab\ncd\n", 4, 6},
      {"a\xC3\nb\nc", 1, 5},   // a two-byte lead byte takes the line end
      {"\xE2x\nb\n", 1, 5},    // a three-byte one two bytes before
      {"\xF0xx\nb\n", 1, 6},   // a four-byte one three bytes before
      {"\xF0xxx\nb\n", 1, 5},  // four bytes before: the unit ends before the line end
      {"\xC3\xA9\n", 1, 3},    // a whole two-byte unit
      {"\x80\n", 1, 2},        // a continuation byte is a unit of its own
      {"\n\nx", 1, 1},
      {"no line end", 1, 3},  // any ASCII byte that is no letter ends the words before it
      {"one,two", 2, 4},
      {"ab\xE2  c d", 1, 7},       // a three-byte lead byte takes the two blanks after it
      {"\xC3\xA9\xC3\xA9", 1, 4},  // letters and bytes of longer units are never cuts
      {long_run + "\xC3\nb\n", 10, 65545},
      // Under the Unicode rule only a line feed: spaces and signs may join what surrounds them.
      {"no line end", 1, 11, WordRule::kUnicode},
      {"one,two. x\r\ny", 1, 12, WordRule::kUnicode},
      {"\xE4\xB8\xAD\xE6\x96\x87\n\xE4\xB8\xAD", 1, 7, WordRule::kUnicode},
  };
  for (const Case &c : cases) {
    ScratchDir dir;
    write_file(dir / "in.txt", c.text);
    int fd = open((dir / "in.txt").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(find_cut(fd, c.from, static_cast<long long>(c.text.size()), c.rule), c.cut)
        << hex(c.text.substr(0, 16)) << " from " << c.from;
    close(fd);
  }
}

TEST(ShardSize, JobsGetEqualNumbersOfShards) {
  constexpr long long kMB = 1 << 20;
  EXPECT_EQ(balanced_shard_size(190 * kMB, 64 * kMB, 2), 190 * kMB / 4);
  EXPECT_EQ(balanced_shard_size(190 * kMB, 64 * kMB, 1), (190 * kMB + 2) / 3);
  EXPECT_EQ(balanced_shard_size(100, 64 * kMB, 1), 100);
  EXPECT_EQ(balanced_shard_size(0, 64 * kMB, 2), 1);
}

TEST(CommandLine, SizesAndCountsAreReadWholeOrRefused) {
  long long value = 0;
  EXPECT_TRUE(read_byte_size("64M", value) && value == 64LL << 20);
  EXPECT_TRUE(read_byte_size("1k", value) && value == 1024);
  EXPECT_TRUE(read_byte_size("2G", value) && value == 2LL << 30);
  EXPECT_TRUE(read_byte_size("65536", value) && value == 65536);
  for (const char *bad :
       {"0", "", "M", "12X", "-1", " 1", "1.5M", "2048G", "99999999999999999999"}) {
    EXPECT_FALSE(read_byte_size(bad, value)) << bad;
  }
  EXPECT_TRUE(read_whole_number("16", 1, 16, value) && value == 16);
  for (const char *bad : {"17", "0", "2x", "+1", ""}) {
    EXPECT_FALSE(read_whole_number(bad, 1, 16, value)) << bad;
  }
}

}  // namespace
