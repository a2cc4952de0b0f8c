#include "input/ShardPlan.h"

#include <fcntl.h>
#include <unistd.h>

#include "common/Errors.h"
#include "map/UnicodeWords.h"
#include "map/WordScan.h"

namespace {

// Bytes read at a time while looking for a cut.
constexpr int kCutBlockSize = 65536;

// A shard that has less room left than this is closed rather than given a sliver of a file.
constexpr int kSliverFraction = 8;

// Pieces a message names before it only counts the rest.
constexpr size_t kPiecesNamed = 3;

std::string base_name(const std::string &path) { return path.substr(path.rfind('/') + 1); }

}  // namespace

long long find_cut(int fd, long long from, long long size, WordRule rule) {
  unsigned char block[kCutBlockSize];
  // A safe byte here or later gives a cut at `from` or later.
  long long candidate = (from < 1 ? 1 : from) - 1;
  while (candidate < size) {
    // Each block starts with the bytes that decide whether its first candidate is safe.
    long long block_start =
        candidate > MAP_CUT_CONTEXT_BYTES ? candidate - MAP_CUT_CONTEXT_BYTES : 0;
    ssize_t n = pread(fd, block, sizeof block, block_start);
    if (n < 0) return -1;
    if (block_start + n <= candidate) break;  // the file ended sooner than its size said
    for (long long i = candidate - block_start; i < n; ++i) {
      if (is_safe_cut_after(rule, block, i)) return block_start + i + 1;
    }
    candidate = block_start + n;
  }
  return size;
}

long long input_bytes(const std::vector<Input> &inputs) {
  long long total = 0;
  for (const Input &input : inputs) {
    if (input.kind != InputKind::kStream) total += input.size;
  }
  return total;
}

long long balanced_shard_size(long long total_bytes, long long shard_size, int jobs) {
  long long per_round = shard_size * jobs;
  long long rounds = (total_bytes + per_round - 1) / per_round;
  long long count = (rounds > 0 ? rounds : 1) * jobs;
  long long balanced = (total_bytes + count - 1) / count;
  return balanced > 0 ? balanced : 1;
}

std::vector<Shard> plan_shards(const std::vector<Input> &inputs, long long shard_size,
                               WordRule rule, std::vector<Input> *fed) {
  std::vector<Shard> shards(1);
  auto close_shard = [&shards] {
    if (!shards.back().pieces.empty()) shards.emplace_back();
  };
  for (const Input &input : inputs) {
    if (input.kind == InputKind::kStream) {
      if (fed != nullptr) fed->push_back(input);
      continue;
    }
    if (input.kind == InputKind::kEncoded) {
      long long weight = input.size * kEncodedExpansion;
      if (fed != nullptr && weight > shard_size) {
        fed->push_back(input);
        continue;
      }
      if (!shards.back().pieces.empty() && shards.back().bytes + weight > shard_size) close_shard();
      shards.back().pieces.push_back({input.path, 0, -1, true});
      shards.back().bytes += input.size;
      continue;
    }
    int fd = open(input.path.c_str(), O_RDONLY);
    if (fd < 0) error_at(nullptr, "Error opening input file %s\n", input.name.c_str());
    long long size = input.size;
    long long offset = 0;
    do {
      Shard &shard = shards.back();
      long long room = shard_size - shard.bytes;
      if (size - offset <= room) {
        shard.pieces.push_back({input.path, offset, size - offset});
        shard.bytes += size - offset;
        break;
      }
      if (!shard.pieces.empty() && room < shard_size / kSliverFraction) {
        close_shard();
        continue;
      }
      long long cut = find_cut(fd, offset + room, size, rule);
      if (cut < 0) error_at(nullptr, "Error reading input file %s\n", input.name.c_str());
      shard.pieces.push_back({input.path, offset, cut - offset});
      shard.bytes += cut - offset;
      offset = cut;
      close_shard();
    } while (offset < size);
    close(fd);
  }
  if (shards.back().pieces.empty()) shards.pop_back();
  return shards;
}

std::string describe_shard(const Shard &shard) {
  std::string text;
  for (size_t i = 0; i < shard.pieces.size() && i < kPiecesNamed; ++i) {
    const Piece &piece = shard.pieces[i];
    if (i > 0) text += ", ";
    text += base_name(piece.path);
    bool whole = piece.offset == 0 && (piece.length < 0 || i + 1 < shard.pieces.size());
    if (!whole && piece.length > 0) {
      text += " bytes " + std::to_string(piece.offset) + " to " +
              std::to_string(piece.offset + piece.length - 1);
    }
  }
  if (shard.pieces.size() > kPiecesNamed) {
    text += " and " + std::to_string(shard.pieces.size() - kPiecesNamed) + " more files";
  }
  return text;
}
