#include "run/SlurmTasks.h"

#include <algorithm>
#include <climits>

#include "reduce/ResultMerge.h"

namespace {

// How the shards go out. A task a shard keeps every node busy and loses a single shard with a
// node, so that is the rule while the limits allow it. Past MaxArraySize the tasks go out as
// several arrays, each indexed from 0, rather than as fewer tasks: a cluster with more free
// cores than one array may hold still gets a task on each. The driver watches all of them in
// one squeue call, and the merge job waits for all of them in one dependency. Past
// kMaxArrayJobs arrays, or past the run's share of MaxJobCount, a task counts several shards
// in turn: sbatch calls stay few, the controller's table stays open to other users, and a run
// that large still has more tasks than most clusters run at once.
constexpr size_t kMaxArrayJobs = 32;

// The part of MaxJobCount a run takes at most, its tasks and its merge job together: the rest
// stays for other users' jobs and for the records the controller keeps of ended ones.
constexpr long long kJobCountShareDivisor = 2;

// What a run needs at least: one array task and the merge job.
constexpr long long kLeastJobs = 2;

// A limit past this is read as this: no site holds more, and products of it stay in range.
constexpr long long kLargestLimit = 1'000'000'000;

std::string_view trimmed(std::string_view text) {
  size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  size_t last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

// The number that begins `text`, capped at kLargestLimit; false when it does not begin with a
// digit.
bool leading_number(std::string_view text, long long &value) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  value = 0;
  for (size_t i = 0; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = std::min(kLargestLimit, value * 10 + (text[i] - '0'));
  }
  return true;
}

// The run's share of the controller's table: its tasks and its merge job.
long long job_share(const SlurmLimits &limits) {
  return limits.max_job_count / kJobCountShareDivisor;
}

// Reads "<number>" or "<first>-<last>" from a range of the tasks file.
bool read_range(std::string_view range, size_t &first, size_t &last) {
  size_t dash = range.find('-');
  std::string_view from = range.substr(0, dash);
  std::string_view to = dash == std::string_view::npos ? from : range.substr(dash + 1);
  long long a = 0;
  long long b = 0;
  if (!leading_number(from, a) || !leading_number(to, b)) return false;
  if (std::to_string(a) != from || std::to_string(b) != to || b < a) return false;
  first = static_cast<size_t>(a);
  last = static_cast<size_t>(b);
  return true;
}

}  // namespace

SlurmLimits parse_slurm_limits(std::string_view config) {
  SlurmLimits limits;
  while (!config.empty()) {
    size_t end = config.find('\n');
    std::string_view line = config.substr(0, end);
    config = end == std::string_view::npos ? std::string_view() : config.substr(end + 1);
    size_t equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    std::string_view key = trimmed(line.substr(0, equals));
    std::string_view value = trimmed(line.substr(equals + 1));
    if (key == "MaxArraySize") leading_number(value, limits.max_array_size);
    if (key == "MaxJobCount") leading_number(value, limits.max_job_count);
  }
  return limits;
}

std::string refusal_within(const SlurmLimits &limits) {
  if (limits.max_array_size < 1) {
    return "the Slurm cluster takes no job arrays (MaxArraySize=0): the shards cannot be "
           "submitted; count without --slurm";
  }
  if (job_share(limits) < kLeastJobs) {
    return "the Slurm cluster holds at most " + std::to_string(limits.max_job_count) +
           " jobs (MaxJobCount), and a run takes at most half of them: no room for a task and "
           "the merge job; count without --slurm";
  }
  return "";
}

TaskLayout lay_out_tasks(size_t todo, const SlurmLimits &limits, size_t max_tasks) {
  TaskLayout layout;
  if (todo == 0) return layout;
  auto per_array = static_cast<size_t>(std::max(1LL, limits.max_array_size));
  // One of the run's jobs is its merge.
  auto task_share = static_cast<size_t>(std::max(1LL, job_share(limits) - 1));
  layout.tasks = std::min({todo, per_array * kMaxArrayJobs, task_share});
  if (max_tasks > 0) layout.tasks = std::min(layout.tasks, max_tasks);
  size_t arrays = (layout.tasks + per_array - 1) / per_array;
  for (size_t k = 0; k < arrays; ++k) {
    layout.arrays.push_back(layout.tasks / arrays + (k < layout.tasks % arrays ? 1 : 0));
  }
  return layout;
}

size_t merge_parts_of(const TaskLayout &layout) {
  for (const MergeStage &stage : layout.merge_stages) {
    if (stage.kind == MergeStageKind::kParts) return stage.tasks;
  }
  return 1;
}

size_t merge_rounds_of(const TaskLayout &layout) {
  return static_cast<size_t>(
      std::count_if(layout.merge_stages.begin(), layout.merge_stages.end(),
                    [](const MergeStage &stage) { return stage.kind == MergeStageKind::kGroups; }));
}

size_t merge_groups_in_round(size_t results, size_t round) {
  // The groups are ResultMerge's to cut: its count, in int, for every round.
  auto count = [](size_t inputs) {
    return static_cast<size_t>(
        merge_group_count(static_cast<int>(std::min<size_t>(inputs, INT_MAX))));
  };
  size_t groups = count(results);
  for (size_t r = 0; r < round; ++r) groups = count(groups);
  return groups;
}

size_t merge_parts_within(const SlurmLimits &limits, const TaskLayout &layout, size_t wanted) {
  long long room = job_share(limits) - static_cast<long long>(layout.tasks) - 1;
  for (const MergeStage &stage : layout.merge_stages) room -= static_cast<long long>(stage.tasks);
  long long parts = std::min({static_cast<long long>(wanted), limits.max_array_size, room});
  return parts >= 2 ? static_cast<size_t>(parts) : 1;
}

void lay_out_merge(TaskLayout &layout, const SlurmLimits &limits, size_t results, size_t wanted,
                   size_t max_tasks) {
  layout.merge_stages.clear();
  long long room = job_share(limits) - static_cast<long long>(layout.tasks) - 1;
  long long most = std::min(limits.max_array_size,
                            max_tasks > 0 ? static_cast<long long>(max_tasks) : kLargestLimit);
  for (size_t inputs = results; inputs > MERGE_FAN_IN;) {
    size_t groups = merge_groups_in_round(inputs, 0);
    long long tasks = std::min({static_cast<long long>(groups), most, room});
    if (tasks < 1) {
      layout.merge_stages.clear();
      return;
    }
    layout.merge_stages.push_back({MergeStageKind::kGroups, static_cast<size_t>(tasks)});
    room -= tasks;
    inputs = groups;
  }
  size_t parts = merge_parts_within(limits, layout, wanted);
  if (parts > 1) layout.merge_stages.push_back({MergeStageKind::kParts, parts});
}

std::string describe_layout(const TaskLayout &layout, size_t todo) {
  if (layout.tasks == 0) return "the merge alone on Slurm";
  std::string words = std::to_string(layout.tasks) + " Slurm task" + (layout.tasks > 1 ? "s" : "");
  if (layout.arrays.size() > 1)
    words += " in " + std::to_string(layout.arrays.size()) + " array jobs";
  if (layout.tasks < todo) {
    words +=
        " of up to " + std::to_string((todo + layout.tasks - 1) / layout.tasks) + " shards each";
  }
  return words;
}

std::vector<size_t> shards_of_task(const std::vector<size_t> &todo, size_t tasks, size_t task) {
  // Every tasks-th shard rather than a run of neighbours: the shards of a compressed file, each
  // as large as its file, lie side by side in the plan, and are spread over the tasks this way.
  std::vector<size_t> shards;
  for (size_t k = task; tasks > 0 && k < todo.size(); k += tasks) shards.push_back(todo[k]);
  return shards;
}

std::string tasks_text(size_t tasks, const std::vector<size_t> &todo) {
  std::string text = "tasks " + std::to_string(tasks) + "\nshards ";
  for (size_t k = 0; k < todo.size();) {
    size_t last = k;
    while (last + 1 < todo.size() && todo[last + 1] == todo[last] + 1) ++last;
    if (k > 0) text += ',';
    text += std::to_string(todo[k]);
    if (last > k) text.append(1, '-').append(std::to_string(todo[last]));
    k = last + 1;
  }
  return text + "\n";
}

bool read_tasks_text(std::string_view text, size_t shards, size_t &tasks,
                     std::vector<size_t> &todo) {
  constexpr std::string_view kTasks = "tasks ";
  constexpr std::string_view kShards = "\nshards ";
  size_t shards_at = text.find(kShards);
  if (!text.starts_with(kTasks) || shards_at == std::string_view::npos || !text.ends_with('\n')) {
    return false;
  }
  size_t first = 0;
  size_t last = 0;
  if (!read_range(text.substr(kTasks.size(), shards_at - kTasks.size()), first, last) ||
      first != last || first == 0) {
    return false;
  }
  tasks = first;
  todo.clear();
  std::string_view ranges = text.substr(shards_at + kShards.size());
  ranges.remove_suffix(1);
  while (!ranges.empty()) {
    size_t comma = ranges.find(',');
    if (!read_range(ranges.substr(0, comma), first, last)) return false;
    if ((!todo.empty() && first <= todo.back()) || last >= shards) return false;
    for (size_t k = first; k <= last; ++k) todo.push_back(k);
    ranges = comma == std::string_view::npos ? std::string_view() : ranges.substr(comma + 1);
  }
  return true;
}
