#include "programs/sharded/ShardCount.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "common/Errors.h"
#include "common/RawIO.h"
#include "common/WorkFiles.h"
#include "map/Map.h"
#include "programs/sharded/Console.h"
#include "reduce/Reduce.h"
#include "shuffle/Suffle.h"

namespace {

// The reducer writes here; the rename onto kShardResultFile marks the shard as counted.
constexpr char kShardPartialResult[] = "result.partial";
// The stages' work directory, which a shard has of its own.
constexpr char kShardWorkDir[] = WORK_DIR_NAME;
constexpr mode_t kDirectoryMode = 0755;

// Removes the directory tree at path, quietly: what is left over only costs disk space.
void remove_tree(const std::string &path) {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

}  // namespace

std::string shard_directory(const std::string &work_dir, size_t k) {
  return work_dir + "/shard_" + std::to_string(k);
}

void count_shard(const Shard &shard, int nreducers, const std::string &shard_dir,
                 bool keep_work_files) {
  if (chdir(shard_dir.c_str()) < 0)
    stop_naming("[QuoventMR_v3:count_shard] Error entering shard directory", shard_dir);
  // A tmp/ left by an earlier attempt at this shard (a task that the scheduler ran again)
  // is this program's own.
  remove_tree(kShardWorkDir);
  if (mkdir(kShardWorkDir, kDirectoryMode) < 0)
    stop_naming("[QuoventMR_v3:count_shard] Error creating work directory", shard_dir);

  std::vector<MapRange> ranges;
  for (const Piece &piece : shard.pieces) {
    ranges.push_back({piece.path.c_str(), piece.offset, piece.length});
  }
  quovent_mapper_ranges(static_cast<int>(ranges.size()), ranges.data());
  quovent_suffle(1, nreducers);
  quovent_reducer(kShardPartialResult, nreducers);
  if (rename(kShardPartialResult, kShardResultFile) < 0) {
    stop_naming("[QuoventMR_v3:count_shard] Error renaming the result of shard", shard_dir);
  }
  if (!keep_work_files) remove_tree(kShardWorkDir);
}

bool redirect_shard_output(const std::string &shard_dir, bool keep_log) {
  std::string log = keep_log ? shard_dir + "/" + kShardStagesLog : "/dev/null";
  std::string errors = shard_dir + "/" + kShardErrorsFile;
  int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, CREATED_FILE_MODE);
  if (out < 0) return false;
  int err = create_output_file(errors.c_str());
  if (err < 0) return false;
  if (dup2(out, STDOUT_FILENO) < 0 || dup2(err, STDERR_FILENO) < 0) return false;
  close(out);
  close(err);
  return true;
}

void remove_shard_directory(const std::string &shard_dir) {
  remove_tree(shard_dir + "/" + kShardWorkDir);
  for (const char *name :
       {kShardResultFile, kShardPartialResult, kShardErrorsFile, kShardStagesLog}) {
    unlink((shard_dir + "/" + name).c_str());
  }
  rmdir(shard_dir.c_str());
}
