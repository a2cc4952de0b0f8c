// QuoventMR_v3: the word count past one run's capacities. The inputs are cut into shards,
// each counted by combining its words on the map side in a work directory of its own, on every
// core of this machine or as the tasks of a Slurm array job, and the shards' results are
// merged into the result that one run over all the inputs writes.
#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <clocale>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "common/Errors.h"
#include "common/RawIO.h"
#include "common/WorkFiles.h"
#include "programs/sharded/CommandLine.h"
#include "programs/sharded/Console.h"
#include "programs/sharded/Inputs.h"
#include "programs/sharded/LocalRun.h"
#include "programs/sharded/ShardCount.h"
#include "programs/sharded/ShardRun.h"
#include "programs/sharded/SlurmRun.h"
#include "programs/sharded/StreamFeed.h"
#include "reduce/ResultMerge.h"
#include "shuffle/Suffle.h"

namespace {

constexpr char kProgram[] = "QuoventMR_v3";
constexpr char kUsage[] =
    "Usage: QuoventMR_v3 [-j <jobs>] [-s <shard_size>] [-r <nreducers>] [-o <output_file>]\n"
    "                    [-w <work_dir>] [-k] [--as-is] [--slurm] [--sbatch <options>]\n"
    "                    [--scheduler-timeout <seconds>]\n"
    "                    <inputs: files, directories, - for standard input>\n"
    "  -j  shards counted at the same time (default: the online processors)\n"
    "  -s  bytes of input per shard, with K, M or G (default 64M)\n"
    "  -r  reducers, 1 to 16 (default 1)\n"
    "  -o  result file (default " DEFAULT_RESULT_FILE
    ")\n"
    "  -w  work directory, one shard_<k>/ per shard (default tmp/v3)\n"
    "  -k  keep the shards' work files\n"
    "  --as-is           count compressed files and archives as the bytes they are\n"
    "  --slurm           count the shards as a Slurm array job, merge in a dependent job\n"
    "  --sbatch <opts>   options passed to sbatch for both jobs (partition, time, account)\n"
    "  --scheduler-timeout <s>  stop when squeue has not answered for so long (default 60)\n";

constexpr char kDefaultResultFile[] = DEFAULT_RESULT_FILE;
constexpr char kDefaultWorkDir[] = "tmp/v3";
constexpr long long kDefaultShardSize = 64LL << 20;
constexpr long long kMaxJobs = 4096;
constexpr long long kMaxSchedulerTimeout = 86400;

enum LongOnly { kSlurm = 256, kSbatch, kRunShard, kMergeShards, kAsIs, kSchedulerTimeout };

struct Options {
  ShardRun run;
  long long shard_size = kDefaultShardSize;
  bool slurm = false;
  long long run_shard = -1;   // a task of a Slurm run: the shard to count
  bool merge_shards = false;  // the merge job of a Slurm run
  std::vector<std::string> inputs;
};

[[noreturn]] void usage_error(const char *problem) {
  refuse_command_line(kProgram, problem, kUsage);
}

Options read_options(int argc, char **argv) {
  static const option kLongOptions[] = {{"slurm", no_argument, nullptr, kSlurm},
                                        {"sbatch", required_argument, nullptr, kSbatch},
                                        {kRunShardOption, required_argument, nullptr, kRunShard},
                                        {kMergeShardsOption, no_argument, nullptr, kMergeShards},
                                        {"as-is", no_argument, nullptr, kAsIs},
                                        {"scheduler-timeout", required_argument, nullptr,
                                         kSchedulerTimeout},
                                        {"help", no_argument, nullptr, 'h'},
                                        {nullptr, 0, nullptr, 0}};
  Options options;
  long online = sysconf(_SC_NPROCESSORS_ONLN);
  options.run.jobs = online > 0 ? static_cast<int>(online) : 1;
  options.run.work_dir = kDefaultWorkDir;
  options.run.output_file = kDefaultResultFile;
  long long number = 0;
  opterr = 0;
  for (int option;
       (option = getopt_long(argc, argv, ":j:s:r:o:w:kh", kLongOptions, nullptr)) != -1;) {
    switch (option) {
      case 'j':
        if (!read_whole_number(optarg, 1, kMaxJobs, number)) usage_error("-j must be 1 to 4096");
        options.run.jobs = static_cast<int>(number);
        options.run.jobs_given = true;
        break;
      case 's':
        if (!read_byte_size(optarg, options.shard_size)) {
          usage_error("-s must be a size such as 65536, 512K, 64M or 1G");
        }
        break;
      case 'r':
        if (!read_whole_number(optarg, 1, MAX_REDUCERS, number)) usage_error("-r must be 1 to 16");
        options.run.nreducers = static_cast<int>(number);
        break;
      case 'o':
        options.run.output_file = optarg;
        break;
      case 'w':
        options.run.work_dir = optarg;
        break;
      case 'k':
        options.run.keep_work_files = true;
        break;
      case kSlurm:
        options.slurm = true;
        break;
      case kSbatch: {
        std::istringstream words(optarg);
        for (std::string word; words >> word;) options.run.sbatch_options.push_back(word);
        break;
      }
      case kRunShard:
        if (!read_whole_number(optarg, 0, LLONG_MAX, options.run_shard)) {
          usage_error("--run-shard takes a shard number");
        }
        break;
      case kMergeShards:
        options.merge_shards = true;
        break;
      case kAsIs:
        options.run.as_stored = true;
        break;
      case kSchedulerTimeout:
        if (!read_whole_number(optarg, 1, kMaxSchedulerTimeout, number)) {
          usage_error("--scheduler-timeout must be 1 to 86400 seconds");
        }
        options.run.scheduler_timeout = static_cast<int>(number);
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

// A job of a Slurm run reads what to do from the plan in the work directory.
void read_run_plan(ShardRun &run) {
  std::string plan = work_file(run, kPlanFile);
  if (!read_plan(plan.c_str(), run.shards, run.nreducers)) {
    snprintf(MsgError, sizeof MsgError, "[QuoventMR_v3] Error reading the plan %s\n", plan.c_str());
    Error(MsgError);
  }
}

// The shards' results, merged into the run's result. Those counted on this machine come from
// this very program under this very locale, and are merged without checking their order again;
// those of a Slurm run come from other machines, whose locales might differ.
void merge_shard_results(const ShardRun &run, bool counted_elsewhere) {
  // One shard's result is already the whole result: it moves into place, unless the output
  // lies on another file system.
  if (run.shards.size() == 1 && !counted_elsewhere &&
      rename(run.shard_result(0).c_str(), run.output_file.c_str()) == 0) {
    return;
  }
  std::vector<std::string> results;
  for (size_t k = 0; k < run.shards.size(); ++k) results.push_back(run.shard_result(k));
  std::vector<const char *> names;
  for (const std::string &result : results) names.push_back(result.c_str());
  auto merge = counted_elsewhere ? merge_result_files : merge_own_result_files;
  merge(static_cast<int>(names.size()), names.data(), run.nreducers, run.output_file.c_str());
}

// Under Slurm the tasks decompress the files themselves (plan_shards gives each compressed file
// a piece of its own when it is given nowhere to feed them), so only streams are left here: the
// driver reads them into chunk files in the work directory, which every node sees, before the
// tasks are submitted.
void feed_before_slurm(ShardRun &run, const std::vector<Input> &streams, long long chunk_size) {
  if (streams.empty()) return;
  std::string dir = work_file(run, kFeedDir);
  make_run_directory(dir, "[QuoventMR_v3] Error creating the directory");
  ChunkFeed feed(
      dir, chunk_size, [] {}, [](const std::string &) {},
      [&run](const Chunk &chunk) {
        run.shards.push_back(shard_of_chunk(chunk, false));
        make_run_directory(run.shard_dir(run.shards.size() - 1),
                           "[QuoventMR_v3] Error creating the shard directory");
      });
  feed.feed(streams, run.as_stored);
}

// The result is renamed into place at the end: its directory must take a new file. Checked
// first, so that a typing error does not cost the whole count.
void check_output_directory(const std::string &output_file) {
  size_t slash = output_file.rfind('/');
  std::string dir = slash == std::string::npos ? "." : output_file.substr(0, slash + 1);
  if (access(dir.c_str(), W_OK | X_OK) < 0) {
    snprintf(MsgError, sizeof MsgError, "[QuoventMR_v3] Error opening output directory %s\n",
             dir.c_str());
    Error(MsgError);
  }
}

}  // namespace

int main(int argc, char **argv) {
  Options options = read_options(argc, argv);
  ShardRun &run = options.run;
  setlocale(LC_ALL, "");

  if (options.run_shard >= 0 || options.merge_shards) {
    read_run_plan(run);
    if (options.merge_shards) {
      merge_shard_results(run, true);
      std::string mark = work_file(run, kMergedMark);
      int fd = create_output_file(mark.c_str());
      if (fd < 0 || close_output_file(fd) != 0) stop_naming("[QuoventMR_v3] Error writting", mark);
      return 0;
    }
    if (static_cast<size_t>(options.run_shard) >= run.shards.size()) {
      usage_error("--run-shard names a shard that the plan does not hold");
    }
    count_shard(run.shards[options.run_shard], run.nreducers, run.shard_dir(options.run_shard),
                run.keep_work_files);
    return 0;
  }

  if (options.inputs.empty()) usage_error("no input file");
  // Everything the run needs is checked before anything is written.
  std::vector<Input> inputs = gather_inputs(options.inputs, run.as_stored);
  check_output_directory(run.output_file);
  run.output_file = absolute_path(run.output_file);
  long long shard_size = balanced_shard_size(input_bytes(inputs), options.shard_size, run.jobs);
  std::vector<Input> fed;
  run.shards = plan_shards(inputs, shard_size, options.slurm ? nullptr : &fed);
  if (options.slurm) {
    for (const Input &input : inputs) {
      if (input.kind == InputKind::kStream) fed.push_back(input);
    }
  }
  prepare_work_dir(run);
  if (options.slurm) {
    // The tasks read only files: the streams are written into chunk files for them first.
    feed_before_slurm(run, fed, shard_size);
    fed.clear();
  }
  if (!write_plan(work_file(run, kPlanFile).c_str(), run.shards, run.nreducers)) {
    int failed_errno = errno;
    remove_work_files(run);
    errno = failed_errno;
    Error("[QuoventMR_v3] Error writting the plan of the run (an input path with a line end?)");
  }

  Progress progress(run.shards.size(), run.bytes(), isatty(STDERR_FILENO) == 1);
  progress.start("Counting " + megabytes(run.bytes()) + " of " + std::to_string(inputs.size()) +
                 " inputs in " + std::to_string(run.shards.size()) + " shards" +
                 (fed.empty() ? "" : " and those of " + std::to_string(fed.size()) + " read as they come") +
                 (options.slurm && !run.jobs_given
                      ? ", as Slurm places them"
                      : ", " + std::to_string(run.jobs) + " at a time" +
                            (options.slurm ? " on Slurm" : "")) +
                 ", with " + std::to_string(run.nreducers) + " reducers.");
  if (options.slurm) {
    run_on_slurm(run, progress);
  } else {
    count_shards_locally(run, fed, shard_size, progress);
    progress.update(run.shards.size(), run.bytes());
    merge_shard_results(run, false);
  }
  remove_work_files(run);
  char rate[64];
  double seconds = progress.elapsed_seconds();
  snprintf(rate, sizeof rate, " in %.3f secs (%.1f MB/s).", seconds,
           seconds > 0 ? static_cast<double>(run.bytes()) / (1 << 20) / seconds : 0.0);
  progress.finish("Counted " + megabytes(run.bytes()) + " in " + std::to_string(run.shards.size()) +
                  " shards into " + run.output_file + rate);
  return 0;
}
