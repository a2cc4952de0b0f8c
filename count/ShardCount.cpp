#include "count/ShardCount.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "common/Clock.h"
#include "common/Errors.h"
#include "common/RawIO.h"
#include "common/RunFiles.h"
#include "count/CombiningCount.h"
#include "input/EncodedInput.h"
#include "input/StreamFeed.h"
#include "map/UnicodeWords.h"

void count_shard(const Shard &shard, int nreducers, WordRule words, ResultForm form,
                 const std::string &shard_dir, bool keep_work_files) {
  if (chdir(shard_dir.c_str()) < 0)
    error_at("count_shard", "Error entering shard directory %s\n", shard_dir.c_str());
  timespec start = monotonic_now();
  CombiningCount counter(nreducers, {}, form);
  for (const Piece &piece : shard.pieces) {
    if (piece.encoded) {
      EncodedInput input(piece.path, -1, piece.path);
      while (input.next_text()) map_rule_words(words, input, counter);
      continue;
    }
    if (piece.growing) {
      GrowingFileSource chunk(piece.path);
      map_rule_words(words, chunk, counter);
      continue;
    }
    int fd = open(piece.path.c_str(), O_RDONLY);
    if (fd < 0) error_at("count_shard", "Error opening input file %s\n", piece.path.c_str());
    if (piece.offset > 0 && lseek(fd, piece.offset, SEEK_SET) < 0) {
      error_at("count_shard", "Error positioning input file %s\n", piece.path.c_str());
    }
    map_rule_words(words, fd, piece.length, counter);
    close(fd);
  }
  counter.finish(kShardPartialResult, keep_work_files);
  seal_shard_result(shard_dir, kShardPartialResult);
  tag_message(Msg, sizeof Msg, "count_shard", "%lld words counted in %zu runs in %.3f secs.\n",
              counter.words(), counter.runs(), seconds_since(start));
  print(Msg);
}

bool redirect_shard_log(const std::string &shard_dir, bool keep_log) {
  std::string log = keep_log ? shard_log(shard_dir) : "/dev/null";
  int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, CREATED_FILE_MODE);
  if (out < 0) return false;
  if (dup2(out, STDOUT_FILENO) < 0) {
    int failed_errno = errno;
    close(out);
    errno = failed_errno;
    return false;
  }
  close(out);
  return true;
}

void remove_shard_directory(const std::string &shard_dir, bool keep_result) {
  std::error_code ignored;
  for (const auto &entry : std::filesystem::directory_iterator(shard_dir, ignored)) {
    std::string name = entry.path().filename().string();
    if (keep_result && is_sealed_result(name)) continue;
    if (is_shard_file(name)) unlink(entry.path().c_str());
  }
  rmdir(shard_dir.c_str());
}
