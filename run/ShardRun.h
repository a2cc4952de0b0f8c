/* One sharded run: its shards, its settings and its work directory, which it creates and, at
 * the end, removes again as far as it created it. */
#ifndef QUOVENT_RUN_SHARDRUN_H
#define QUOVENT_RUN_SHARDRUN_H

#include <string>
#include <vector>

#include "input/ShardPlan.h"
#include "reduce/ResultMerge.h"
#include "reduce/WordOrder.h"

struct ShardRun {
  // What decides the result beside the shards: a resumed run must have it all alike.
  std::vector<Input> inputs;  // as gathered when the run was planned
  int nreducers = 1;
  long long shard_size = 0;  // -s as given; the shards were cut from it and -j
  bool as_stored = false;    // --as-is: nothing decompressed
  std::string locale;        // "<LC_COLLATE> <LC_CTYPE>", the locale the shards count under
  WordRule words = WordRule::kLatin1;  // --words: what a word is
  // The form of the shards' results, chosen when the run is planned: in byte order when the merge
  // collates (a local run of several shards under a collating locale), else the result's order.
  ResultForm shard_results = ResultForm::kCollated;

  std::vector<Shard> shards;
  // The shards of the plan; those after them are chunks of streams and large compressed files,
  // cut while the run goes on.
  size_t planned_shards = 0;
  int jobs = 1;                  // shards counted at the same time
  bool jobs_given = false;       // -j was given: under Slurm it throttles the array
  int scheduler_timeout = 60;    // seconds squeue may fail or not answer under Slurm
  bool keep_work_files = false;  // -k
  std::string work_dir;          // absolute
  // The directories this run created, the work directory's missing ancestors first and the work
  // directory last; removed at the end, the last first, when left empty.
  std::vector<std::string> created_dirs;
  std::string output_file;  // absolute
  std::vector<std::string> sbatch_options;

  long long bytes() const;
  // A run that reads a stream cannot be resumed: the stream's bytes are gone.
  bool resumable() const;
  std::string shard_dir(size_t k) const;
  std::string shard_result(size_t k) const;
};

/* How the counting of a run ended: the runners return it, and main alone reports it, cleans up
 * and chooses the exit status. */
struct RunOutcome {
  enum class End {
    kCounted,        // every shard counted, the result in place
    kFailed,         // a shard, an input or the merge failed, or the run was stopped
    kSchedulerLost,  // the scheduler stopped answering: its jobs may still run and write
  };
  End end = End::kCounted;
  int status = 0;                     // the exit status of a run that did not count
  std::vector<std::string> messages;  // what went wrong, a line each
};

/* The outcome of a call of the driver's own that failed, in the words Error would have used:
 * the text formatted from `format` (cut as Errorf cuts it), ": " and the text of errno; the
 * status errno, or 1 when it is 0. */
__attribute__((format(printf, 1, 2))) RunOutcome failed_call(const char *format, ...);

/* Makes run.work_dir absolute, without a slash at its end. Stops through Error when the working
 * directory cannot be found. */
void locate_work_dir(ShardRun &run);

/* Makes run.work_dir absolute, creates it and its missing ancestors and takes its lock (a run
 * still going there is refused: lock_work_dir), then creates one directory per shard in it. A work
 * directory that holds the plan of a run is refused: that run did not finish. Stops through
 * Error. */
void prepare_work_dir(ShardRun &run);

/* For a resumed run, whose plan has been read: marks counted every planned shard whose result is
 * intact, and empties the directories of the others, and of the chunks the run had cut, to be
 * counted again. Returns the shards counted. */
size_t reuse_counted_shards(ShardRun &run);

/* Creates `dir` in the work directory unless it exists. False with errno set when it cannot. */
bool make_run_directory(const std::string &dir);

/* Removes what the run created in its work directory (with -k, nothing), and the directories
 * the run created, as far as they are left empty. */
void remove_work_files(const ShardRun &run);

/* After a failure: removes the run's work files (with -k, nothing) but the plan and the results
 * of the planned shards that were counted, which a resumed run reuses. Returns the number of
 * shards whose result is kept. */
size_t keep_counted_shards(const ShardRun &run);

/* Merges the shards' results into run.output_file, in parts merged by up to `jobs` processes at
 * once (merge_results), telling `progress` (may be null) of them. Results counted on another
 * machine (counted_elsewhere), whose locale might differ, have their order checked; this program's
 * own are merged as they are. Failures stop the process through Error or Fail, naming the file: it
 * runs in a process of its own, the merge job's or a child of the driver (merge_locally). */
void merge_shard_results(const ShardRun &run, bool counted_elsewhere, int jobs = 1,
                         const MergeProgress *progress = nullptr);

#endif
