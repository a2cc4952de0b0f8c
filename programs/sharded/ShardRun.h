/* One sharded run: its shards, its settings and its work directory, which it creates and, at
 * the end, removes again as far as it created it. */
#ifndef QUOVENT_PROGRAMS_SHARDED_SHARDRUN_H
#define QUOVENT_PROGRAMS_SHARDED_SHARDRUN_H

#include <string>
#include <vector>

#include "programs/sharded/ShardPlan.h"

struct ShardRun {
  std::vector<Shard> shards;
  int nreducers = 1;
  int jobs = 1;                  // shards counted at the same time
  bool jobs_given = false;       // -j was given: under Slurm it throttles the array
  int scheduler_timeout = 60;    // seconds squeue may fail or not answer under Slurm
  bool keep_work_files = false;  // -k
  bool as_stored = false;        // --as-is: nothing decompressed
  std::string work_dir;          // absolute
  // The directories this run created, the work directory's missing ancestors first and the work
  // directory last; removed at the end, the last first, when left empty.
  std::vector<std::string> created_dirs;
  std::string output_file;  // absolute
  std::vector<std::string> sbatch_options;

  long long bytes() const;
  std::string shard_dir(size_t k) const;
  std::string shard_result(size_t k) const;
};

/* Makes run.work_dir absolute and creates it and its missing ancestors, then one directory per
 * shard in it. A work directory that already holds a shard directory
 * belongs to another run and is refused. Stops through Error or Fail. */
void prepare_work_dir(ShardRun &run);

/* Creates `dir` in the work directory unless it exists; stops through Error with "<what> <dir>"
 * otherwise. */
void make_run_directory(const std::string &dir, const char *what);

/* Removes what the run created in its work directory (with -k, nothing), and the directories
 * the run created, as far as they are left empty. */
void remove_work_files(const ShardRun &run);

/* The name of a file of the run in its work directory: the plan, the job scripts, logs. */
std::string work_file(const ShardRun &run, const char *name);

/* Files of the work directory that only this program writes: the plan of the run, and the
 * mark that the merge job of a Slurm run leaves once the result is in place. */
inline constexpr char kPlanFile[] = "plan.txt";
inline constexpr char kMergedMark[] = "merged";

/* The directory in the work directory where streams and large compressed files are cut into
 * chunk files as they are read. */
inline constexpr char kFeedDir[] = "feed";

/* The job scripts of a Slurm run and what the merge job writes on its two streams. */
inline constexpr char kShardsScript[] = "shards.sh";
inline constexpr char kMergeScript[] = "merge.sh";
inline constexpr char kMergeLog[] = "merge.log";
inline constexpr char kMergeErrors[] = "merge.errors.txt";

#endif
