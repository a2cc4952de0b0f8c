#include "programs/sharded/ShardRun.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "common/Errors.h"
#include "programs/sharded/Console.h"
#include "programs/sharded/ShardCount.h"

namespace {

constexpr mode_t kDirectoryMode = 0755;

// The run's own files beside the shard directories.
constexpr const char *kRunFiles[] = {kPlanFile, kShardsScript, kMergeScript,
                                     kMergeLog, kMergeErrors,  kMergedMark};

}  // namespace

long long ShardRun::bytes() const {
  long long total = 0;
  for (const Shard &shard : shards) total += shard.bytes;
  return total;
}

std::string ShardRun::shard_dir(size_t k) const { return shard_directory(work_dir, k); }

std::string ShardRun::shard_result(size_t k) const { return shard_dir(k) + "/" + kShardResultFile; }

std::string work_file(const ShardRun &run, const char *name) { return run.work_dir + "/" + name; }

namespace {

// Removes the directories the run created that are left empty, the deepest first.
void remove_created_dirs(const ShardRun &run) {
  for (auto dir = run.created_dirs.rbegin(); dir != run.created_dirs.rend(); ++dir) {
    rmdir(dir->c_str());
  }
}

// Creates `dir` and those of its ancestors that are missing, noting each one created.
void make_directories(ShardRun &run, const std::string &dir) {
  struct stat st;
  if (stat(dir.c_str(), &st) == 0) return;
  size_t slash = dir.rfind('/');
  if (slash != std::string::npos && slash > 0) make_directories(run, dir.substr(0, slash));
  if (mkdir(dir.c_str(), kDirectoryMode) == 0) {
    run.created_dirs.push_back(dir);
  } else if (errno != EEXIST) {
    int failed_errno = errno;
    remove_created_dirs(run);
    errno = failed_errno;
    stop_naming("[QuoventMR_v3] Error creating the work directory", dir);
  }
}

}  // namespace

void prepare_work_dir(ShardRun &run) {
  run.work_dir = absolute_path(run.work_dir);
  while (run.work_dir.size() > 1 && run.work_dir.back() == '/') run.work_dir.pop_back();
  make_directories(run, run.work_dir);
  if (access(work_file(run, kPlanFile).c_str(), F_OK) == 0) {
    errno = EEXIST;
    stop_naming(
        "[QuoventMR_v3] The work directory holds the files of another run: remove them or choose "
        "another -w",
        run.work_dir);
  }
  for (size_t k = 0; k < run.shards.size(); ++k) {
    if (mkdir(run.shard_dir(k).c_str(), kDirectoryMode) < 0) {
      int failed_errno = errno;
      // The directories made so far are this run's own.
      for (size_t made = 0; made < k; ++made) rmdir(run.shard_dir(made).c_str());
      remove_created_dirs(run);
      errno = failed_errno;
      stop_naming(failed_errno == EEXIST
                      ? "[QuoventMR_v3] The work directory holds the shards of another run: remove "
                        "them or choose another -w; it holds"
                      : "[QuoventMR_v3] Error creating the shard directory",
                  run.shard_dir(k));
    }
  }
}

void make_run_directory(const std::string &dir, const char *what) {
  if (mkdir(dir.c_str(), kDirectoryMode) < 0 && errno != EEXIST) stop_naming(what, dir);
}

void remove_work_files(const ShardRun &run) {
  if (run.keep_work_files) return;
  for (size_t k = 0; k < run.shards.size(); ++k) remove_shard_directory(run.shard_dir(k));
  remove_shard_directory(work_file(run, kFeedDir));
  for (const char *name : kRunFiles) unlink(work_file(run, name).c_str());
  remove_created_dirs(run);
}
