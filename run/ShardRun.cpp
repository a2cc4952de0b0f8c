#include "run/ShardRun.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "common/AbsolutePath.h"
#include "common/Errors.h"
#include "common/RunFiles.h"
#include "count/ShardCount.h"
#include "reduce/CollatingMerge.h"
#include "reduce/ResultMerge.h"
#include "run/WorkDirLock.h"

namespace {

constexpr mode_t kDirectoryMode = 0755;

}  // namespace

long long ShardRun::bytes() const {
  long long total = 0;
  for (const Shard &shard : shards) total += shard.bytes;
  return total;
}

bool ShardRun::resumable() const {
  for (const Input &input : inputs) {
    if (input.kind == InputKind::kStream) return false;
  }
  return true;
}

std::string ShardRun::shard_dir(size_t k) const { return ::shard_dir(work_dir, k); }

std::string ShardRun::shard_result(size_t k) const { return ::shard_result(shard_dir(k)); }

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
    error_at(nullptr, "Error creating the work directory %s\n", dir.c_str());
  }
}

// The run's own files beside the shards': those of Slurm, and the chunks of the streams.
void remove_run_files(const ShardRun &run) {
  remove_shard_directory(feed_dir(run.work_dir));
  for (const std::string &file : slurm_run_files(run.work_dir)) unlink(file.c_str());
  std::error_code ignored;
  for (const auto &entry : std::filesystem::directory_iterator(run.work_dir, ignored)) {
    std::string name = entry.path().filename().string();
    if (is_merge_part_file(name) || is_merge_group_file(name)) unlink(entry.path().c_str());
  }
}

}  // namespace

void locate_work_dir(ShardRun &run) {
  std::string absolute = absolute_path(run.work_dir);
  if (absolute.empty()) {
    error_at(nullptr, "Error finding the directory of %s\n", run.work_dir.c_str());
  }
  run.work_dir = absolute;
  while (run.work_dir.size() > 1 && run.work_dir.back() == '/') run.work_dir.pop_back();
}

void prepare_work_dir(ShardRun &run) {
  locate_work_dir(run);
  make_directories(run, run.work_dir);
  // Before anything in the directory is looked at: a run that still goes on there is refused.
  if (!lock_work_dir(run.work_dir)) {
    int failed_errno = errno;
    remove_created_dirs(run);
    errno = failed_errno;
    error_at(nullptr, "Error locking the work directory %s\n", run.work_dir.c_str());
  }
  if (access(plan_file(run.work_dir).c_str(), F_OK) == 0) {
    errno = EEXIST;
    error_at(nullptr,
             "The work directory holds another run that did not finish: resume it "
             "with --resume, remove it, or choose another -w; it is %s\n",
             run.work_dir.c_str());
  }
  for (size_t k = 0; k < run.shards.size(); ++k) {
    if (mkdir(run.shard_dir(k).c_str(), kDirectoryMode) < 0) {
      int failed_errno = errno;
      // The directories made so far are this run's own.
      for (size_t made = 0; made < k; ++made) rmdir(run.shard_dir(made).c_str());
      unlink(lock_file(run.work_dir).c_str());
      remove_created_dirs(run);
      errno = failed_errno;
      if (failed_errno == EEXIST) {
        error_at(nullptr,
                 "The work directory holds the shards of another run: remove them or choose "
                 "another -w; it holds %s\n",
                 run.shard_dir(k).c_str());
      }
      error_at(nullptr, "Error creating the shard directory %s\n", run.shard_dir(k).c_str());
    }
  }
}

size_t reuse_counted_shards(ShardRun &run) {
  size_t counted = 0;
  for (size_t k = 0; k < run.shards.size(); ++k) {
    std::string dir = run.shard_dir(k);
    run.shards[k].counted = shard_result_intact(dir);
    if (run.shards[k].counted) {
      ++counted;
      continue;
    }
    remove_shard_directory(dir);
    if (!make_run_directory(dir)) {
      error_at(nullptr, "Error creating the shard directory %s\n", dir.c_str());
    }
  }
  // The chunks are cut again as the fed inputs are read again.
  for (size_t k = run.shards.size(); access(run.shard_dir(k).c_str(), F_OK) == 0; ++k) {
    remove_shard_directory(run.shard_dir(k));
  }
  remove_run_files(run);
  return counted;
}

bool make_run_directory(const std::string &dir) {
  return mkdir(dir.c_str(), kDirectoryMode) == 0 || errno == EEXIST;
}

RunOutcome failed_call(const char *format, ...) {
  int failed_errno = errno;
  char text[MESSAGE_BUFFER_SIZE];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return RunOutcome{RunOutcome::End::kFailed,
                    failed_errno != 0 ? failed_errno : 1,
                    {std::string(text) + ": " + strerror(failed_errno)}};
}

void remove_work_files(const ShardRun &run) {
  if (run.keep_work_files) return;
  for (size_t k = 0; k < run.shards.size(); ++k) remove_shard_directory(run.shard_dir(k));
  remove_run_files(run);
  unlink(plan_file(run.work_dir).c_str());
  // Removed while still held: a run that opened it meanwhile sees that it is gone.
  unlink(lock_file(run.work_dir).c_str());
  remove_created_dirs(run);
}

void merge_shard_results(const ShardRun &run, bool counted_elsewhere, int jobs,
                         const MergeProgress *progress) {
  std::vector<std::string> results;
  for (size_t k = 0; k < run.shards.size(); ++k) results.push_back(run.shard_result(k));
  std::vector<const char *> names;
  for (const std::string &result : results) names.push_back(result.c_str());
  if (run.shard_results == ResultForm::kBytesWithFirst) {
    collate_results(static_cast<int>(names.size()), names.data(), run.nreducers,
                    run.output_file.c_str(), counted_elsewhere, jobs, progress);
    return;
  }
  merge_results(static_cast<int>(names.size()), names.data(), run.nreducers,
                run.output_file.c_str(), counted_elsewhere ? 1 : 0, jobs, progress);
}

size_t keep_counted_shards(const ShardRun &run) {
  size_t kept = 0;
  for (size_t k = 0; k < run.shards.size(); ++k) {
    bool keep = k < run.planned_shards && access(run.shard_result(k).c_str(), F_OK) == 0;
    if (keep) ++kept;
    if (!run.keep_work_files) remove_shard_directory(run.shard_dir(k), keep);
  }
  if (!run.keep_work_files) remove_run_files(run);
  return kept;
}
