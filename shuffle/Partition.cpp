// Partitioning: the partition hash of a line's key and the reducer it gives.
#include "shuffle/Partition.h"

int num_reducers;

namespace suffle_internal {

uint32_t reducer_divisor;
uint64_t reducer_magic;

static_assert(key_hash("") == 5381 && key_hash("a") == 177670 && key_hash("a 1") == 177670);
static_assert(key_hash("the") == 193506854 && key_hash("casa") == 2090140893u);
static_assert(key_hash("\xC3\xA9") == 5857809);
static_assert(key_hash("a") % 4 == 2 && key_hash("the") % 4 == 2);
static_assert(key_hash("casa") % 4 == 1 && key_hash("casa") % 16 == 13);
static_assert(key_hash("\xC3\xA9") % 3 == 0 && key_hash("") % 4 == 1);

}  // namespace suffle_internal

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
