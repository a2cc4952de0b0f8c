#include "common/RunFiles.h"

#include <cstring>

namespace {

constexpr char kShardDirPrefix[] = "/shard_";
constexpr char kSortedRunPrefix[] = "run_";
constexpr char kChunkPrefix[] = "chunk_";
constexpr char kTextSuffix[] = ".txt";

// The merge's parts: "<prefix><k><suffix>".
constexpr char kMergePartPrefix[] = "merge_part_";
constexpr char kMergePartSuffixes[][16] = {".txt", ".partial", ".errors.txt"};

std::string merge_part_name(const std::string &work_dir, size_t k, const char *suffix) {
  return work_dir + "/" + kMergePartPrefix + std::to_string(k) + suffix;
}

// The merge's groups: "<prefix><round>_<g><suffix>", and temporaries beside them.
constexpr char kMergeGroupPrefix[] = "merge_group_";

std::string merge_group_name(const std::string &work_dir, size_t round, size_t g,
                             const char *suffix) {
  return work_dir + "/" + kMergeGroupPrefix + std::to_string(round) + "_" + std::to_string(g) +
         suffix;
}

// Names in a shard's directory.
constexpr char kResult[] = "result.txt";
constexpr char kCheck[] = "result.check";
constexpr char kErrors[] = "errors.txt";
constexpr char kLog[] = "count.log";

std::string in_dir(const std::string &dir, const char *name) { return dir + "/" + name; }

}  // namespace

std::string plan_file(const std::string &work_dir) { return in_dir(work_dir, "plan.txt"); }

std::string lock_file(const std::string &work_dir) { return in_dir(work_dir, "lock"); }

std::string shard_dir(const std::string &work_dir, size_t k) {
  return work_dir + kShardDirPrefix + std::to_string(k);
}

std::string feed_dir(const std::string &work_dir) { return in_dir(work_dir, "feed"); }

std::string shards_script(const std::string &work_dir) { return in_dir(work_dir, "shards.sh"); }
std::string slurm_tasks_file(const std::string &work_dir) { return in_dir(work_dir, "tasks.txt"); }
std::string slurm_tasks_errors(const std::string &work_dir) {
  return in_dir(work_dir, "tasks.errors.txt");
}
std::string merge_script(const std::string &work_dir) { return in_dir(work_dir, "merge.sh"); }
std::string merge_log(const std::string &work_dir) { return in_dir(work_dir, "merge.log"); }
std::string merge_errors(const std::string &work_dir) {
  return in_dir(work_dir, "merge.errors.txt");
}
std::string merged_mark(const std::string &work_dir) { return in_dir(work_dir, "merged"); }
std::string merge_parts_script(const std::string &work_dir) {
  return in_dir(work_dir, "merge_parts.sh");
}

std::string merge_part_file(const std::string &work_dir, size_t k) {
  return merge_part_name(work_dir, k, kMergePartSuffixes[0]);
}
std::string merge_part_partial(const std::string &work_dir, size_t k) {
  return merge_part_name(work_dir, k, kMergePartSuffixes[1]);
}
std::string merge_part_errors(const std::string &work_dir, size_t k) {
  return merge_part_name(work_dir, k, kMergePartSuffixes[2]);
}

std::string merge_groups_script(const std::string &work_dir) {
  return in_dir(work_dir, "merge_groups.sh");
}
std::string merge_group_file(const std::string &work_dir, size_t round, size_t g) {
  return merge_group_name(work_dir, round, g, ".txt");
}
std::string merge_group_errors(const std::string &work_dir, size_t round, size_t g) {
  return merge_group_name(work_dir, round, g, ".errors.txt");
}

bool is_merge_group_file(const std::string &name) {
  size_t digits = std::strlen(kMergeGroupPrefix);
  return name.starts_with(kMergeGroupPrefix) && name.size() > digits && name[digits] >= '0' &&
         name[digits] <= '9';
}

bool is_merge_part_file(const std::string &name) {
  if (!name.starts_with(kMergePartPrefix)) return false;
  size_t digits = std::strlen(kMergePartPrefix);
  size_t end = name.find_first_not_of("0123456789", digits);
  if (end == digits || end == std::string::npos) return false;
  for (const char *suffix : kMergePartSuffixes) {
    if (name.compare(end, std::string::npos, suffix) == 0) return true;
  }
  return false;
}

std::vector<std::string> slurm_run_files(const std::string &work_dir) {
  return {shards_script(work_dir), slurm_tasks_file(work_dir),   slurm_tasks_errors(work_dir),
          merge_script(work_dir),  merge_log(work_dir),          merge_errors(work_dir),
          merged_mark(work_dir),   merge_parts_script(work_dir), merge_groups_script(work_dir)};
}

std::string shard_result(const std::string &shard_dir) { return in_dir(shard_dir, kResult); }
std::string shard_check(const std::string &shard_dir) { return in_dir(shard_dir, kCheck); }
std::string shard_errors(const std::string &shard_dir) { return in_dir(shard_dir, kErrors); }
std::string shard_log(const std::string &shard_dir) { return in_dir(shard_dir, kLog); }

std::string sorted_run_file(size_t n) { return kSortedRunPrefix + std::to_string(n) + kTextSuffix; }

bool is_sealed_result(const std::string &name) { return name == kResult || name == kCheck; }

bool is_shard_file(const std::string &name) {
  for (const char *own : {kShardPartialResult, kErrors, kLog}) {
    if (name == own) return true;
  }
  bool sorted_run = name.starts_with(kSortedRunPrefix) && name.ends_with(kTextSuffix);
  return is_sealed_result(name) || sorted_run || is_chunk_file(name) ||
         name.starts_with(std::string(kShardPartialResult) + ".") ||
         name.starts_with(std::string(kCheck) + ".");
}

std::string chunk_file(const std::string &feed_dir, size_t n) {
  return feed_dir + "/" + kChunkPrefix + std::to_string(n) + kTextSuffix;
}

std::string chunk_done_mark(const std::string &chunk) { return chunk + ".done"; }

bool is_chunk_file(const std::string &name) { return name.starts_with(kChunkPrefix); }
