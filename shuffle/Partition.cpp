// Partitioning: the partition hash of a line's key and the reducer it gives.
#include "shuffle/Partition.h"

#include "shuffle/Suffle.h"

int num_reducers;

namespace {

// The key of a map line ends at its first blank; a tab belongs to it.
constexpr uint32_t key_hash(std::string_view line) { return partition_hash(line, ' '); }

static_assert(key_hash("") == 5381 && key_hash("a") == 177670 && key_hash("a 1") == 177670);
static_assert(key_hash("the") == 193506854 && key_hash("casa") == 2090140893u);
static_assert(key_hash("\xC3\xA9") == 5857809);
static_assert(key_hash("a") % 4 == 2 && key_hash("the") % 4 == 2);
static_assert(key_hash("casa") % 4 == 1 && key_hash("casa") % 16 == 13);
static_assert(key_hash("\xC3\xA9") % 3 == 0 && key_hash("") % 4 == 1);

// h % num_reducers, without a division for every line: with m = 2^64 / d rounded up, the
// remainder is the high half of (m * h mod 2^64) * d, exact for every 32-bit h and d.
uint32_t remainder_by_reducers(uint32_t h) {
  static uint32_t divisor;
  static uint64_t magic;
  const uint32_t d = static_cast<uint32_t>(num_reducers);
  if (d != divisor) {
    divisor = d;
    magic = UINT64_MAX / d + 1;
  }
  return static_cast<uint32_t>((static_cast<unsigned __int128>(magic * h) * d) >> 64);
}

uint32_t reducer_of_line(std::string_view line) {
  // With one reducer there is nothing to choose.
  if (num_reducers <= 1) return 0;
  return remainder_by_reducers(key_hash(line));
}

}  // namespace

void extract_word(const char *line, char *word) {
  int n = 0;
  while (n < MAX_LINE_BYTES && line[n] != '\0' && line[n] != ' ') {
    word[n] = line[n];
    ++n;
  }
  word[n] = '\0';
}

// The whole string: its bytes up to its terminating zero, blanks included.
uint32_t hash_word(const char *str) { return partition_hash(str, '\0'); }
