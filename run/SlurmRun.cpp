#include "run/SlurmRun.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sysexits.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <vector>

#include "common/Clock.h"
#include "common/Errors.h"
#include "common/RawIO.h"
#include "common/RunFiles.h"
#include "count/ShardCount.h"
#include "run/Console.h"
#include "run/RunPlan.h"

namespace {

constexpr long kPollNanoseconds = 500'000'000;
constexpr int kProgramPathSize = 4096;

// The text in single quotes for sh, whatever it holds.
std::string shell_quoted(const std::string &text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// This program's own file: the jobs run it again, on whichever node Slurm picks.
std::string own_program() {
  char path[kProgramPathSize];
  ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length < 0) error_at(nullptr, "Error finding its own program file %s\n", "/proc/self/exe");
  return std::string(path, static_cast<size_t>(length));
}

void write_job_script(const std::string &file, const std::string &command) {
  std::ofstream script(file, std::ios::trunc);
  script << "#!/bin/sh\n"
         << "exec " << command << "\n";
  script.close();
  if (script.fail() || chmod(file.c_str(), 0755) < 0)
    error_at(nullptr, "Error writting job script %s\n", file.c_str());
}

// Starts argv with its standard output into a pipe when `output` is given, else into
// /dev/null.
pid_t start_command(const std::vector<std::string> &argv, int *output) {
  int pipe_ends[2] = {-1, -1};
  if (output != nullptr && pipe(pipe_ends) < 0)
    error_at(nullptr, "Error starting %s\n", argv[0].c_str());
  pid_t pid = fork();
  if (pid < 0) error_at(nullptr, "Error starting %s\n", argv[0].c_str());
  if (pid == 0) {
    if (output != nullptr) {
      dup2(pipe_ends[1], STDOUT_FILENO);
      close(pipe_ends[0]);
      close(pipe_ends[1]);
    } else {
      int null_device = open("/dev/null", O_WRONLY);
      if (null_device >= 0) dup2(null_device, STDOUT_FILENO);
    }
    std::vector<char *> args;
    for (const std::string &arg : argv) args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    char message[COMPOSED_LINE_SIZE];
    int length = tag_message(message, sizeof message, nullptr, "Error executing %s: %s\n", args[0],
                             strerror(errno));
    (void)!write(STDERR_FILENO, message, static_cast<size_t>(length));
    _exit(127);
  }
  if (output != nullptr) {
    close(pipe_ends[1]);
    *output = pipe_ends[0];
  }
  return pid;
}

int wait_status(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Runs argv to its end; returns what it printed on standard output, and its status in status.
std::string output_of(const std::vector<std::string> &argv, int &status) {
  int output = -1;
  pid_t pid = start_command(argv, &output);
  std::string printed;
  char block[256];
  for (ssize_t n; (n = read(output, block, sizeof block)) > 0;) printed.append(block, n);
  close(output);
  status = wait_status(pid);
  return printed;
}

// Runs sbatch with the arguments and returns the id of the job it submitted, or nothing, with
// the outcome saying why, when sbatch refused it.
std::string submit(const std::vector<std::string> &argv, RunOutcome &outcome) {
  int status = 0;
  std::string printed = output_of(argv, status);
  std::string id = printed.substr(0, printed.find_first_of(";\n"));
  if (status != 0 || id.empty()) {
    outcome.end = RunOutcome::End::kFailed;
    outcome.status = status != 0 ? status : 1;
    outcome.messages.push_back("sbatch refused the job (exit status " + std::to_string(status) +
                               ")");
    return "";
  }
  return id;
}

// The array indices of the shards not yet counted, as sbatch takes them: "0-3,5,7-9".
std::string array_indices(const ShardRun &run) {
  std::string indices;
  for (size_t k = 0; k < run.shards.size();) {
    if (run.shards[k].counted) {
      ++k;
      continue;
    }
    size_t last = k;
    while (last + 1 < run.shards.size() && !run.shards[last + 1].counted) ++last;
    if (!indices.empty()) indices += ',';
    indices += std::to_string(k);
    if (last > k) indices.append(1, '-').append(std::to_string(last));
    k = last + 1;
  }
  return indices;
}

std::vector<std::string> sbatch_command(const ShardRun &run, const std::string &name) {
  std::vector<std::string> argv = {"sbatch", "--parsable", "--job-name=" + name};
  argv.insert(argv.end(), run.sbatch_options.begin(), run.sbatch_options.end());
  return argv;
}

enum class JobsState { kActive, kFinished, kUnknown };

// Whether any of the jobs (ids separated by commas) is still waiting, running or ending; unknown
// when squeue fails or does not answer within `seconds` (it is then stopped).
JobsState jobs_state(const std::string &ids, double seconds) {
  int output = -1;
  pid_t pid =
      start_command({"squeue", "--noheader", "--jobs=" + ids,
                     "--states=PENDING,RUNNING,CONFIGURING,COMPLETING,SUSPENDED", "--format=%i"},
                    &output);
  std::string printed;
  timespec started = monotonic_now();
  char block[256];
  for (;;) {
    int left_ms = static_cast<int>((seconds - seconds_since(started)) * 1000);
    pollfd wait{output, POLLIN, 0};
    if (left_ms <= 0 || poll(&wait, 1, left_ms) == 0) {
      kill(pid, SIGKILL);
      close(output);
      wait_status(pid);
      return JobsState::kUnknown;
    }
    ssize_t n = read(output, block, sizeof block);
    if (n <= 0) break;
    printed.append(block, static_cast<size_t>(n));
  }
  close(output);
  if (wait_status(pid) != 0) return JobsState::kUnknown;
  return printed.find_first_not_of(" \n") != std::string::npos ? JobsState::kActive
                                                               : JobsState::kFinished;
}

size_t shards_counted(const ShardRun &run, long long &bytes) {
  size_t counted = 0;
  bytes = 0;
  for (size_t k = 0; k < run.shards.size(); ++k) {
    if (access(run.shard_result(k).c_str(), F_OK) == 0) {
      ++counted;
      bytes += run.shards[k].bytes;
    }
  }
  return counted;
}

// After a failed run: every shard without a result, with the message it left, or the merge's.
RunOutcome failures(const ShardRun &run) {
  RunOutcome outcome{RunOutcome::End::kFailed, 1, {}};
  size_t failed = 0;
  for (size_t k = 0; k < run.shards.size(); ++k) {
    if (access(run.shard_result(k).c_str(), F_OK) == 0) continue;
    ++failed;
    outcome.messages.push_back(
        "Shard " + std::to_string(k) + " (" + describe_shard(run.shards[k]) + ") failed: " +
        shard_failure_text(run.shard_dir(k), "no message: its task was cancelled or never ran"));
  }
  if (failed == 0) {
    std::ifstream merge_errors_in(merge_errors(run.work_dir));
    std::string text((std::istreambuf_iterator<char>(merge_errors_in)), {});
    outcome.messages.push_back("The merge job failed: " + (text.empty() ? "no message" : text));
  } else {
    outcome.messages.push_back(std::to_string(failed) + " of " + std::to_string(run.shards.size()) +
                               " shards failed; no result written");
  }
  return outcome;
}

void cancel_jobs(const std::vector<std::string> &ids) {
  std::vector<std::string> argv = {"scancel"};
  argv.insert(argv.end(), ids.begin(), ids.end());
  wait_status(start_command(argv, nullptr));
}

}  // namespace

RunOutcome run_on_slurm(const ShardRun &run, Progress &progress) {
  std::string program = shell_quoted(own_program());
  std::string work_dir = shell_quoted(run.work_dir);
  std::string keep = run.keep_work_files ? " -k" : "";
  std::string shards_job = shards_script(run.work_dir);
  std::string merge_job = merge_script(run.work_dir);
  write_job_script(shards_job, program + " --" + kRunShardOption + " \"$SLURM_ARRAY_TASK_ID\" -w " +
                                   work_dir + keep);
  write_job_script(merge_job, program + " --" + kMergeShardsOption + " -w " + work_dir + " -o " +
                                  shell_quoted(run.output_file));

  RunOutcome outcome;
  std::vector<std::string> ids;
  // A resumed run whose shards were all counted has only its merge left.
  std::string indices = array_indices(run);
  std::string array_id;
  if (!indices.empty()) {
    std::vector<std::string> array = sbatch_command(run, "quovent-shards");
    // Without -j Slurm places the tasks; a task whose node is lost is queued again, also where
    // the site's default is not to.
    std::string array_option = "--array=" + indices;
    if (run.jobs_given) array_option.append(1, '%').append(std::to_string(run.jobs));
    array.push_back(array_option);
    array.push_back("--requeue");
    array.push_back("--output=" + (run.keep_work_files
                                       ? shard_log(slurm_task_shard_dir(run.work_dir))
                                       : std::string("/dev/null")));
    array.push_back("--error=" + shard_errors(slurm_task_shard_dir(run.work_dir)));
    array.push_back(shards_job);
    array_id = submit(array, outcome);
    if (array_id.empty()) return outcome;
    ids.push_back(array_id);
  }

  std::vector<std::string> merge = sbatch_command(run, "quovent-merge");
  if (!array_id.empty()) {
    merge.push_back("--dependency=afterok:" + array_id);
    merge.push_back("--kill-on-invalid-dep=yes");
  }
  // The merge, too, is queued again when its node is lost.
  merge.push_back("--requeue");
  merge.push_back("--output=" + merge_log(run.work_dir));
  merge.push_back("--error=" + merge_errors(run.work_dir));
  merge.push_back(merge_job);
  std::string merge_id = submit(merge, outcome);
  if (merge_id.empty()) {
    if (!ids.empty()) cancel_jobs(ids);
    return outcome;
  }
  ids.push_back(merge_id);

  // Slurm's own waiting (sbatch --wait) answers success for a merge job that it cancelled
  // because a shard failed, and looks only every half minute: the driver watches the queue
  // itself, and the merge job's own mark tells success.
  sigset_t waited;
  sigemptyset(&waited);
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&waited, signal_number);
  sigset_t old_mask;
  sigprocmask(SIG_BLOCK, &waited, &old_mask);
  std::string jobs;
  for (const std::string &id : ids) jobs += (jobs.empty() ? "" : ",") + id;
  timespec last_answer = monotonic_now();
  for (;;) {
    long long bytes = 0;
    size_t counted = shards_counted(run, bytes);
    progress.update(counted, bytes);
    // A call gets only the time left of the bound: squeue retries a controller that refuses it
    // for seconds, which would otherwise carry the driver past the bound.
    JobsState state = jobs_state(jobs, run.scheduler_timeout - seconds_since(last_answer));
    if (state == JobsState::kFinished) break;
    if (state == JobsState::kActive) last_answer = monotonic_now();
    if (seconds_since(last_answer) >= run.scheduler_timeout) {
      // Nothing tells whether the jobs will still run: they stay for the user to decide.
      std::string listed;
      for (const std::string &id : ids) listed += " " + id;
      outcome.end = RunOutcome::End::kSchedulerLost;
      outcome.status = EX_TEMPFAIL;
      outcome.messages.push_back(
          "squeue has not answered for " + std::to_string(run.scheduler_timeout) +
          " seconds while the jobs " + jobs +
          " had not finished; they are left in the queue: see them with squeue -j " + jobs +
          ", or cancel them with scancel" + listed + "; the work directory " + run.work_dir +
          " is kept: once they have ended, the same command with --resume counts what they "
          "did not");
      break;
    }
    timespec wait_at_most{0, kPollNanoseconds};
    int signal_number = sigtimedwait(&waited, nullptr, &wait_at_most);
    if (signal_number > 0) {
      cancel_jobs(ids);
      outcome.end = RunOutcome::End::kFailed;
      outcome.status = 128 + signal_number;
      outcome.messages.push_back(std::string("Stopped by signal ") + strsignal(signal_number) +
                                 "; the jobs are cancelled, no result written");
      break;
    }
  }
  sigprocmask(SIG_SETMASK, &old_mask, nullptr);
  if (outcome.end != RunOutcome::End::kCounted) return outcome;
  if (access(merged_mark(run.work_dir).c_str(), F_OK) != 0) return failures(run);
  return outcome;
}

void run_slurm_job(ShardRun &run, long long shard, bool merge) {
  std::string plan = plan_file(run.work_dir);
  if (!read_plan(plan, run)) {
    error_at(nullptr, "Error reading the plan %s\n", plan.c_str());
  }
  if (!merge) {
    if (static_cast<size_t>(shard) >= run.shards.size()) {
      fail_at(nullptr, EX_USAGE, "--run-shard names a shard that the plan does not hold");
    }
    count_shard(run.shards[shard], run.nreducers, run.shard_dir(shard), run.keep_work_files);
    return;
  }
  // The results come from other machines, and some from an earlier attempt of the run.
  for (size_t k = 0; k < run.shards.size(); ++k) {
    if (!shard_result_intact(run.shard_dir(k))) {
      fail_at(nullptr, EX_DATAERR,
              "The result of shard %zu is missing or damaged (its length or checksum differs "
              "from its check): resume the run to count it again",
              k);
    }
  }
  merge_shard_results(run, true);
  std::string mark = merged_mark(run.work_dir);
  int fd = create_output_file(mark.c_str());
  if (fd < 0 || close_output_file(fd) != 0) error_at(nullptr, "Error writting %s\n", mark.c_str());
}
