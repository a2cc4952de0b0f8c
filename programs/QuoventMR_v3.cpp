// QuoventMR_v3: the word count past one run's capacities. The inputs are cut into shards,
// each counted by combining its words on the map side in a work directory of its own, on every
// core of this machine or as the tasks of Slurm array jobs, and the shards' results are
// merged into the result that one run over all the inputs writes.
#include <getopt.h>
#include <sysexits.h>
#include <unistd.h>

#include <climits>
#include <clocale>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "common/AbsolutePath.h"
#include "common/CommandLine.h"
#include "common/Errors.h"
#include "common/WorkFiles.h"
#include "input/Inputs.h"
#include "run/Console.h"
#include "run/LocalRun.h"
#include "run/RunPlan.h"
#include "run/RunStart.h"
#include "run/ShardRun.h"
#include "run/SlurmCommands.h"
#include "run/SlurmRun.h"
#include "run/SlurmTasks.h"
#include "shuffle/Suffle.h"

namespace {

constexpr char kProgram[] = "QuoventMR_v3";
constexpr char kUsage[] =
    "Usage: QuoventMR_v3 [-j <jobs>] [-s <shard_size>] [-r <nreducers>] [-o <output_file>]\n"
    "                    [-w <work_dir>] [-k] [--words <rule>] [--as-is] [--slurm]\n"
    "                    [--sbatch <options>] [--scheduler-timeout <seconds>] [--resume]\n"
    "                    <inputs: files, directories, - for standard input>\n"
    "  -j  shards counted at the same time (default: the online processors)\n"
    "  -s  bytes of input per shard, with K, M or G (default 128M)\n"
    "  -r  reducers, 1 to 16 (default 1)\n"
    "  -o  result file (default " DEFAULT_RESULT_FILE
    ")\n"
    "  -w  work directory, one shard_<k>/ per shard (default tmp/v3)\n"
    "  -k  keep the shards' work files\n"
    "  --words <rule>    what a word is: latin1 (default), runs of ASCII letters and U+00C0 to\n"
    "                    U+00FF; unicode, Unicode word boundaries (ICU), in every script\n"
    "  --as-is           count compressed files and archives as the bytes they are\n"
    "  --slurm           count the shards as Slurm array jobs, merge in a dependent job\n"
    "  --sbatch <opts>   options passed to sbatch for both jobs (partition, time, account)\n"
    "  --scheduler-timeout <s>  stop when squeue has not answered for so long (default 60)\n"
    "  --resume          go on with the run in the work directory that did not finish: the\n"
    "                    same command, with the shards it counted kept\n";

constexpr char kDefaultResultFile[] = DEFAULT_RESULT_FILE;
constexpr char kDefaultWorkDir[] = "tmp/v3";
// A shard's memory is bounded whatever its size, but each shard sorts, writes and hands the merge
// its own distinct words (and makes their collation keys): shards of a few seconds of work keep
// that below a tenth of the count, and a lost shard costs little to count again.
constexpr long long kDefaultShardSize = 128LL << 20;
constexpr long long kMaxJobs = 4096;
constexpr long long kMaxSchedulerTimeout = 86400;

enum LongOnly {
  kSlurm = 256,
  kSbatch,
  kRunTask,
  kMergeShards,
  kMergePart,
  kMergeParts,
  kMergeGroup,
  kMergeGroupTasks,
  kMergeRounds,
  kAsIs,
  kSchedulerTimeout,
  kResume,
  kWords
};

struct Options {
  ShardRun run;
  long long shard_size = kDefaultShardSize;
  bool slurm = false;
  SlurmJobRole job;  // which job of a Slurm run this process is, if any
  bool resume = false;
  std::vector<std::string> inputs;
};

[[noreturn]] void usage_error(const char *problem) {
  refuse_command_line(kProgram, problem, kUsage);
}

// The options that say what is counted and how; false for any other option.
bool read_count_option(int option, Options &options) {
  long long number = 0;
  switch (option) {
    case 'j':
      if (!read_whole_number(optarg, 1, kMaxJobs, number)) usage_error("-j must be 1 to 4096");
      options.run.jobs = static_cast<int>(number);
      options.run.jobs_given = true;
      return true;
    case 's':
      if (!read_byte_size(optarg, options.shard_size)) {
        usage_error("-s must be a size such as 65536, 512K, 64M or 1G");
      }
      return true;
    case 'r':
      if (!read_whole_number(optarg, 1, MAX_REDUCERS, number)) usage_error("-r must be 1 to 16");
      options.run.nreducers = static_cast<int>(number);
      return true;
    case 'o':
      options.run.output_file = optarg;
      return true;
    case 'w':
      options.run.work_dir = optarg;
      return true;
    case 'k':
      options.run.keep_work_files = true;
      return true;
    case kAsIs:
      options.run.as_stored = true;
      return true;
    case kWords:
      if (!read_word_rule(optarg, options.run.words))
        usage_error("--words must be latin1 or unicode");
      return true;
    default:
      return false;
  }
}

// The options of a run on Slurm, and those of its jobs; false for any other option.
bool read_slurm_option(int option, Options &options) {
  long long number = 0;
  switch (option) {
    case kSlurm:
      options.slurm = true;
      return true;
    case kSbatch: {
      std::istringstream words(optarg);
      for (std::string word; words >> word;) options.run.sbatch_options.push_back(word);
      return true;
    }
    case kSchedulerTimeout:
      if (!read_whole_number(optarg, 1, kMaxSchedulerTimeout, number)) {
        usage_error("--scheduler-timeout must be 1 to 86400 seconds");
      }
      options.run.scheduler_timeout = static_cast<int>(number);
      return true;
    case kRunTask:
      if (!read_whole_number(optarg, 0, LLONG_MAX, options.job.shards_task)) {
        usage_error("--run-task takes a task number");
      }
      return true;
    case kMergeShards:
      options.job.merge = true;
      return true;
    case kMergePart:
      if (!read_whole_number(optarg, 0, LLONG_MAX, options.job.merge_part)) {
        usage_error("--merge-part takes a task number");
      }
      return true;
    case kMergeParts:
      if (!read_whole_number(optarg, 1, LLONG_MAX, options.job.merge_parts)) {
        usage_error("--merge-parts takes a number of tasks");
      }
      return true;
    case kMergeGroup:
      if (!read_whole_number(optarg, 0, LLONG_MAX, options.job.merge_group)) {
        usage_error("--merge-group takes a task number");
      }
      return true;
    case kMergeGroupTasks:
      if (!read_whole_number(optarg, 1, LLONG_MAX, options.job.merge_group_tasks)) {
        usage_error("--merge-group-tasks takes a number of tasks");
      }
      return true;
    case kMergeRounds:
      if (!read_whole_number(optarg, 0, LLONG_MAX, options.job.merge_rounds)) {
        usage_error("--merge-rounds takes a number of rounds");
      }
      return true;
    default:
      return false;
  }
}

Options read_options(int argc, char **argv) {
  static const option kLongOptions[] = {
      {"slurm", no_argument, nullptr, kSlurm},
      {"sbatch", required_argument, nullptr, kSbatch},
      {kRunTaskOption, required_argument, nullptr, kRunTask},
      {kMergeShardsOption, no_argument, nullptr, kMergeShards},
      {kMergePartOption, required_argument, nullptr, kMergePart},
      {kMergePartsOption, required_argument, nullptr, kMergeParts},
      {kMergeGroupOption, required_argument, nullptr, kMergeGroup},
      {kMergeGroupTasksOption, required_argument, nullptr, kMergeGroupTasks},
      {kMergeRoundsOption, required_argument, nullptr, kMergeRounds},
      {"as-is", no_argument, nullptr, kAsIs},
      {"words", required_argument, nullptr, kWords},
      {"scheduler-timeout", required_argument, nullptr, kSchedulerTimeout},
      {"resume", no_argument, nullptr, kResume},
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0}};
  Options options;
  long online = sysconf(_SC_NPROCESSORS_ONLN);
  options.run.jobs = online > 0 ? static_cast<int>(online) : 1;
  options.run.work_dir = kDefaultWorkDir;
  options.run.output_file = kDefaultResultFile;
  opterr = 0;
  for (int option;
       (option = getopt_long(argc, argv, ":j:s:r:o:w:kh", kLongOptions, nullptr)) != -1;) {
    if (read_count_option(option, options) || read_slurm_option(option, options)) continue;
    switch (option) {
      case kResume:
        options.resume = true;
        break;
      case 'h':
        fputs(kUsage, stdout);
        exit(0);
      case ':':
        usage_error("an option lacks its value");
      default:
        usage_error("unknown option");
    }
  }
  for (int i = optind; i < argc; ++i) options.inputs.emplace_back(argv[i]);
  return options;
}

// The result is renamed into place at the end: its directory must take a new file. Checked
// first, so that a typing error does not cost the whole count.
void check_output_directory(const std::string &output_file) {
  size_t slash = output_file.rfind('/');
  std::string dir = slash == std::string::npos ? "." : output_file.substr(0, slash + 1);
  if (access(dir.c_str(), W_OK | X_OK) < 0) {
    error_at(nullptr, "Error opening output directory %s\n", dir.c_str());
  }
}

// A slip in the order of the arguments must not cost a text: the result is never written over an
// input, nor into a tree being counted, whose next count would read it as a text. `given` is the
// result file as the user named it, `output_file` the same made absolute.
void refuse_output_over_input(const std::string &given, const std::string &output_file,
                              const Options &options) {
  OverwrittenInput overwritten =
      input_overwritten_by(output_file, options.inputs, options.run.inputs);
  if (overwritten.kind == OverwrittenInput::Kind::kInput) {
    fail_at(nullptr, kUsageStatus, "the result file %s is the input %s: name another with -o",
            given.c_str(), overwritten.name.c_str());
  }
  if (overwritten.kind == OverwrittenInput::Kind::kDirectory) {
    fail_at(nullptr, kUsageStatus,
            "the result file %s would lie in the input directory %s: name one outside it with -o",
            given.c_str(), overwritten.name.c_str());
  }
}

// The site's limits on what a run submits to Slurm. A site where no run fits is told before
// anything is written or submitted, with EX_UNAVAILABLE: the cluster cannot serve the run.
SlurmLimits slurm_limits_or_refusal() {
  SlurmLimits limits = read_slurm_limits();
  std::string refusal = refusal_within(limits);
  if (!refusal.empty()) fail_at(nullptr, EX_UNAVAILABLE, "%s", refusal.c_str());
  return limits;
}

// The Slurm tasks of a run with `todo` shards still to count, and its merge's arrays.
TaskLayout slurm_layout(const ShardRun &run, const SlurmLimits &limits, size_t todo) {
  size_t max_tasks = run.jobs_given ? static_cast<size_t>(run.jobs) : 0;
  TaskLayout layout = lay_out_tasks(todo, limits, max_tasks);
  size_t run_tasks = lay_out_tasks(run.shards.size(), limits, max_tasks).tasks;
  // Results in byte order (a run planned on this machine) are merged by the merge job alone.
  if (run.shard_results == ResultForm::kCollated) {
    lay_out_merge(layout, limits, run.shards.size(), run_tasks, max_tasks);
  }
  return layout;
}

// Counts the shards on this machine's cores, then merges their results.
RunOutcome count_and_merge_locally(ShardRun &run, const std::vector<Input> &fed,
                                   Progress &progress) {
  RunOutcome outcome = count_shards_locally(run, fed, cut_size(run), progress);
  if (outcome.end != RunOutcome::End::kCounted) return outcome;
  progress.update(run.shards.size(), run.bytes());
  return merge_locally(run, progress);
}

// A run that did not count: what failed, on a line of its own each, then what is kept of it.
// A run whose scheduler stopped answering keeps everything, its jobs may still write; any other
// keeps the plan and the results of the shards it counted, so that the same command with
// --resume goes on from them. Returns the status to end with.
int end_failed_run(const ShardRun &run, const RunOutcome &outcome, Progress &progress) {
  progress.clear();
  for (const std::string &message : outcome.messages) report_error(message);
  if (outcome.end == RunOutcome::End::kFailed) {
    size_t kept = run.resumable() ? keep_counted_shards(run) : 0;
    if (kept > 0) {
      report_error(std::to_string(kept) + " of " + std::to_string(run.planned_shards) +
                   " shards are counted and kept in " + run.work_dir +
                   ": the same command with --resume counts only the others; to give the run "
                   "up, remove that directory");
    } else {
      remove_work_files(run);
    }
  }
  return outcome.status != 0 ? outcome.status : 1;
}

}  // namespace

int main(int argc, char **argv) {
  set_program_tag(kProgram);
  Options options = read_options(argc, argv);
  ShardRun &run = options.run;
  setlocale(LC_ALL, "");

  if (options.job.is_job()) return run_slurm_job(run, options.job);

  if (options.inputs.empty()) usage_error("no input file");
  // The driver of a local run holds a pipe for each shard it counts at once.
  if (!options.slurm) run.jobs = jobs_within_descriptor_limit(run.jobs);
  // Everything the run needs is checked before anything is written.
  run.inputs = gather_inputs(options.inputs, run.as_stored);
  check_output_directory(run.output_file);
  std::string output_file = absolute_path(run.output_file);
  if (output_file.empty()) {
    error_at(nullptr, "Error finding the directory of %s\n", run.output_file.c_str());
  }
  refuse_output_over_input(run.output_file, output_file, options);
  run.output_file = output_file;
  run.shard_size = options.shard_size;
  run.locale = current_locale();
  SlurmLimits limits;
  if (options.slurm) limits = slurm_limits_or_refusal();
  std::vector<Input> fed =
      options.resume ? resume_run(run, options.slurm) : plan_run(run, options.slurm);

  size_t counted_before = 0;
  for (const Shard &shard : run.shards) counted_before += shard.counted ? 1 : 0;
  TaskLayout layout;
  if (options.slurm) layout = slurm_layout(run, limits, run.shards.size() - counted_before);
  Progress progress(run.shards.size(), run.bytes(), isatty(STDERR_FILENO) == 1);
  progress.start(
      std::string(options.resume ? "Resuming the count of " : "Counting ") +
      megabytes(run.bytes()) + " of " + std::to_string(run.inputs.size()) + " inputs in " +
      std::to_string(run.shards.size()) + " shards" +
      (options.resume ? ", " + std::to_string(counted_before) + " counted before" : "") +
      (fed.empty() ? "" : " and those of " + std::to_string(fed.size()) + " read as they come") +
      (options.slurm ? ", " + describe_layout(layout, run.shards.size() - counted_before)
                     : ", " + std::to_string(run.jobs) + " at a time") +
      ", with " + std::to_string(run.nreducers) + " reducers.");
  RunOutcome outcome = options.slurm ? run_on_slurm(run, layout, progress)
                                     : count_and_merge_locally(run, fed, progress);
  if (outcome.end != RunOutcome::End::kCounted) return end_failed_run(run, outcome, progress);
  remove_work_files(run);
  char rate[64];
  double seconds = progress.elapsed_seconds();
  snprintf(rate, sizeof rate, " in %.3f secs (%.1f MB/s)", seconds,
           seconds > 0 ? static_cast<double>(run.bytes()) / (1 << 20) / seconds : 0.0);
  progress.finish("Counted " + megabytes(run.bytes()) + " in " + std::to_string(run.shards.size()) +
                  " shards into " + run.output_file + rate + progress.merge_summary() + ".");
  return 0;
}
