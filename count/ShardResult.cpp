#include "count/ShardResult.h"

#include <fcntl.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "common/DurableFile.h"
#include "common/Errors.h"
#include "common/RawIO.h"
#include "common/RunFiles.h"

namespace {

struct ResultCheck {
  long long bytes = 0;
  uint64_t sum = 0;
};

constexpr uint64_t kSumMultiplier = 0x9E3779B97F4A7C15u;
constexpr int kReadBlockSize = 1 << 16;
static_assert(kReadBlockSize % sizeof(uint64_t) == 0);

// Eight bytes at a time, each step mixed so that a changed, moved or missing byte changes the
// sum; the last bytes of the file are taken with zeros after them, and the length is kept apart.
uint64_t add_to_sum(uint64_t sum, const unsigned char *bytes, size_t size) {
  for (size_t i = 0; i < size; i += sizeof(uint64_t)) {
    uint64_t word = 0;
    memcpy(&word, bytes + i, size - i < sizeof word ? size - i : sizeof word);
    sum = (sum ^ word) * kSumMultiplier;
    sum ^= sum >> 29;
  }
  return sum;
}

// The check of a file as it is now, kept beside a result as "bytes <n> sum <16 hex digits>\n";
// false with errno set when it cannot be read.
bool check_file(const std::string &path, ResultCheck &check) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  unsigned char block[kReadBlockSize];
  check = ResultCheck{};
  ssize_t n;
  // Whole blocks but the last, so that the eight-byte steps do not depend on how reads end.
  size_t filled = 0;
  while ((n = read_block(fd, block + filled, sizeof block - filled)) > 0) {
    filled += static_cast<size_t>(n);
    check.bytes += n;
    if (filled == sizeof block) {
      check.sum = add_to_sum(check.sum, block, filled);
      filled = 0;
    }
  }
  int failed_errno = errno;
  close(fd);
  errno = failed_errno;
  if (n < 0) return false;
  check.sum = add_to_sum(check.sum, block, filled);
  return true;
}

std::string check_text(const ResultCheck &check) {
  char text[64];
  snprintf(text, sizeof text, "bytes %lld sum %016" PRIx64 "\n", check.bytes, check.sum);
  return text;
}

}  // namespace

void seal_shard_result(const std::string &shard_dir, const char *partial) {
  std::string result = shard_dir + "/" + partial;
  ResultCheck check;
  if (!check_file(result, check)) {
    error_at("count_shard", "Error reading the count file %s\n", result.c_str());
  }
  // A check torn by a crash matches no result: it needs no rename of its own, and the rename of
  // the result flushes its name.
  std::string check_file_name = shard_check(shard_dir);
  if (!write_file_flushed(check_file_name, check_text(check))) {
    error_at("count_shard", "Error writting %s\n", check_file_name.c_str());
  }
  if (!rename_durably(result, shard_result(shard_dir))) {
    error_at("count_shard", "Error renaming the result of shard %s\n", shard_dir.c_str());
  }
}

bool shard_result_intact(const std::string &shard_dir) {
  char kept[64] = {0};
  int fd = open(shard_check(shard_dir).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  ssize_t n = read_block(fd, kept, sizeof kept - 1);
  close(fd);
  ResultCheck check;
  return n > 0 && check_file(shard_result(shard_dir), check) && check_text(check) == kept;
}
