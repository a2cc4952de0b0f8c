/* The tasks of a Slurm run within the site's limits: how many array jobs of how many tasks
 * count the shards still to count, which of those shards each task counts in turn, and the
 * file that hands that list to the tasks. Pure rules, apart from the file; the driver
 * (SlurmRun) and the tasks (SlurmJob) both follow them. */
#ifndef QUOVENT_RUN_SLURMTASKS_H
#define QUOVENT_RUN_SLURMTASKS_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

/* Slurm's own defaults, which hold where the configuration does not say otherwise. */
inline constexpr long long kDefaultMaxArraySize = 1001;
inline constexpr long long kDefaultMaxJobCount = 10000;

/* The site's limits that bound what a run submits. */
struct SlurmLimits {
  // An array's indices must lie below it: at 50, "--array=0-49" is taken and "--array=50" alone
  // is refused. 0: the site takes no arrays.
  long long max_array_size = kDefaultMaxArraySize;
  // Jobs the controller holds at once, for every user: each array task counts as one from its
  // submission, and an ended job for a while after its end. sbatch beyond it retries for
  // minutes, then fails.
  long long max_job_count = kDefaultMaxJobCount;
};

/* The limits in what `scontrol show config` prints ("MaxArraySize  = 50", a line each). A
 * limit that is missing, or whose value does not begin with a number, keeps Slurm's default; a
 * value past a billion is read as a billion. */
SlurmLimits parse_slurm_limits(std::string_view config);

/* Why no run can be submitted within the limits, in a sentence for the user; empty when one
 * can (a run takes at least one array task and its merge job). */
std::string refusal_within(const SlurmLimits &limits);

/* What the tasks of an array of the merge do. */
enum class MergeStageKind {
  // A round of groups: the round's inputs (the shards' results, or the intermediate results of
  // the round before) merged in groups of MERGE_FAN_IN into intermediate results, a task taking
  // groups task, task + tasks, and so on.
  kGroups,
  // The merge in parts: each task merges one part of the last inputs, the merge cut into at
  // most that many; the merge job joins them.
  kParts,
};

/* An array of the merge, which waits for every job before it to end well. */
struct MergeStage {
  MergeStageKind kind = MergeStageKind::kParts;
  size_t tasks = 0;
};

/* How the shards still to count go out: `tasks` in all, numbered from 0 across the array jobs
 * in order, and the tasks of each array job, whose indices run from 0; then the merge's arrays
 * in order, none when the merge job merges alone. */
struct TaskLayout {
  size_t tasks = 0;
  std::vector<size_t> arrays;
  std::vector<MergeStage> merge_stages;
};

/* The tasks of the layout's parts array, 1 when it has none; and its rounds of groups. */
size_t merge_parts_of(const TaskLayout &layout);
size_t merge_rounds_of(const TaskLayout &layout);

/* The groups of round `round` (from 0) of the merge of `results` shard results: the first
 * round's are those of the results, each later round's those of the round before. */
size_t merge_groups_in_round(size_t results, size_t round);

/* The layout for `todo` shards still to count under `limits` (which refusal_within accepts),
 * with at most `max_tasks` tasks (-j; 0 for no bound): a task a shard where the limits allow,
 * otherwise tasks that count several shards each. No tasks for no shards. */
TaskLayout lay_out_tasks(size_t todo, const SlurmLimits &limits, size_t max_tasks);

/* The tasks of the merge's parts array beside `layout`: `wanted` (the tasks of the whole run, so
 * that a resumed run merges as widely) within MaxArraySize and what the run's share of MaxJobCount
 * leaves beside the layout's tasks, its merge arrays and the merge job; 1 (no array) where that
 * leaves room for fewer than two. */
size_t merge_parts_within(const SlurmLimits &limits, const TaskLayout &layout, size_t wanted);

/* Sets the merge's arrays of `layout` for a run of `results` shard results: while they are more
 * than one process reads at once (MERGE_FAN_IN), a round of groups each, its tasks within
 * MaxArraySize, -j (`max_tasks`, 0 for no bound) and the run's share of MaxJobCount; then the
 * parts array of merge_parts_within, when it has two tasks or more. Where the limits leave no room
 * for a round, there is no merge array at all: the merge job merges alone, in rounds. */
void lay_out_merge(TaskLayout &layout, const SlurmLimits &limits, size_t results, size_t wanted,
                   size_t max_tasks);

/* The layout of `todo` shards in words, for the line that opens a run: "3 Slurm tasks of up to 4
 * shards each", "1222 Slurm tasks in 25 array jobs", or "the merge alone on Slurm". */
std::string describe_layout(const TaskLayout &layout, size_t todo);

/* The shards that task `task` of `tasks` counts, in the order it counts them: todo[task],
 * todo[task + tasks], and so on. */
std::vector<size_t> shards_of_task(const std::vector<size_t> &todo, size_t tasks, size_t task);

/* The tasks file's text: the number of tasks, then the shards still to count as ranges
 * ("tasks 2\nshards 0-3,5,7-9\n"), the shards in increasing order. */
std::string tasks_text(size_t tasks, const std::vector<size_t> &todo);

/* Reads what tasks_text wrote for a plan of `shards` shards. False for anything else, such as a
 * file cut short or a shard the plan does not hold. */
bool read_tasks_text(std::string_view text, size_t shards, size_t &tasks,
                     std::vector<size_t> &todo);

#endif
