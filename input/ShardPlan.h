/* Cutting the inputs of a run into shards: pieces of files, each shard about one shard size,
 * whose words together are exactly the words of the whole inputs. */
#ifndef QUOVENT_INPUT_SHARDPLAN_H
#define QUOVENT_INPUT_SHARDPLAN_H

#include <string>
#include <vector>

#include "input/Inputs.h"
#include "map/UnicodeWords.h"

/* A byte range of one input file, `length` -1 reading to the end; or, `encoded`, a compressed
 * file or an archive read whole through its decoder; or, `growing`, a chunk of a stream that is
 * counted while it is written. `path` is absolute: shards run in other
 * directories. */
struct Piece {
  std::string path;
  long long offset = 0;
  long long length = 0;
  bool encoded = false;
  bool growing = false;  // a chunk still being written: read until it is marked complete
};

struct Shard {
  std::vector<Piece> pieces;
  long long bytes = 0;   // the known lengths of its pieces added up
  bool counted = false;  // its result is kept from an earlier attempt of the run
};

/* Where a file may be cut so that both sides have the words of the whole under `rule`: the
 * first position at or after `from` (and at least 1) that follows a byte after which a cut is
 * safe (is_safe_cut_after), or `size` when there is none. Reads fd with pread. Returns -1 with
 * errno set when a read fails. */
long long find_cut(int fd, long long from, long long size, WordRule rule);

/* The shard size that gives every one of `jobs` workers the same number of shards of at most
 * shard_size bytes, for inputs of total_bytes: 190 MB with 64 MB shards and 2 jobs make four
 * shards of 48 MB, not three of 64 MB of which the last runs alone. At least 1. */
long long balanced_shard_size(long long total_bytes, long long shard_size, int jobs);

/* The bytes the inputs that are files hold on disk. */
long long input_bytes(const std::vector<Input> &inputs);

/* The inputs that are files, in order, cut into shards of about shard_size bytes: small files
 * are grouped, a larger text is split at cuts find_cut finds under `rule`. A compressed file or
 * archive is never split: counted as about kEncodedExpansion times its size, it joins a shard
 * whole, unless `fed` is given and it is larger than a shard, when it goes there, with the streams,
 * to be read as one and cut as it is decoded. Without `fed` streams are left out. Stops
 * through Error, naming the input, when one cannot be read. */
std::vector<Shard> plan_shards(const std::vector<Input> &inputs, long long shard_size,
                               WordRule rule, std::vector<Input> *fed);

/* How many bytes of text a compressed file is reckoned to hold per byte, for sharing them out. */
constexpr long long kEncodedExpansion = 4;

/* Text naming a shard's pieces for messages: "big.txt bytes 0 to 67108863, a.txt", the first
 * few pieces and how many more. */
std::string describe_shard(const Shard &shard);

#endif
