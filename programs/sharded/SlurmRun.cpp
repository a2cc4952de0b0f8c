#include "programs/sharded/SlurmRun.h"

#include <fcntl.h>
#include <poll.h>
#include <sysexits.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <vector>

#include "common/Clock.h"
#include "common/Errors.h"
#include "programs/sharded/Console.h"
#include "programs/sharded/ShardCount.h"

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
  if (length < 0)
    stop_naming("[QuoventMR_v3] Error finding its own program file", "/proc/self/exe");
  return std::string(path, static_cast<size_t>(length));
}

void write_job_script(const std::string &file, const std::string &command) {
  std::ofstream script(file, std::ios::trunc);
  script << "#!/bin/sh\n"
         << "exec " << command << "\n";
  script.close();
  if (script.fail() || chmod(file.c_str(), 0755) < 0)
    stop_naming("[QuoventMR_v3] Error writting job script", file);
}

// Starts argv with its standard output into a pipe when `output` is given, else into
// /dev/null.
pid_t start_command(const std::vector<std::string> &argv, int *output) {
  int pipe_ends[2] = {-1, -1};
  if (output != nullptr && pipe(pipe_ends) < 0)
    stop_naming("[QuoventMR_v3] Error starting", argv[0]);
  pid_t pid = fork();
  if (pid < 0) stop_naming("[QuoventMR_v3] Error starting", argv[0]);
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
    fprintf(stderr, "[QuoventMR_v3] Error executing %s: %s\n", args[0], strerror(errno));
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

// Runs sbatch with the arguments and returns the id of the job it submitted.
std::string submit(const std::vector<std::string> &argv) {
  int status = 0;
  std::string printed = output_of(argv, status);
  std::string id = printed.substr(0, printed.find_first_of(";\n"));
  if (status != 0 || id.empty()) {
    errno = 0;
    report_error("sbatch refused the job (exit status " + std::to_string(status) + ")");
    exit(status != 0 ? status : 1);
  }
  return id;
}

std::vector<std::string> sbatch_command(const ShardRun &run, const std::string &name) {
  std::vector<std::string> argv = {"sbatch", "--parsable", "--job-name=" + name};
  argv.insert(argv.end(), run.sbatch_options.begin(), run.sbatch_options.end());
  return argv;
}

enum class JobsState { kActive, kFinished, kUnknown };

// Whether any of the jobs (ids separated by commas) is still waiting, running or ending; unknown
// when squeue fails or does not answer within `seconds` (it is then stopped).
JobsState jobs_state(const std::string &ids, int seconds) {
  int output = -1;
  pid_t pid = start_command({"squeue", "--noheader", "--jobs=" + ids,
                             "--states=PENDING,RUNNING,CONFIGURING,COMPLETING,SUSPENDED",
                             "--format=%i"},
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

// After a failed run: every shard without a result, with the message it left.
[[noreturn]] void report_failures(const ShardRun &run, Progress &progress, int status) {
  progress.clear();
  size_t failed = 0;
  for (size_t k = 0; k < run.shards.size(); ++k) {
    if (access(run.shard_result(k).c_str(), F_OK) == 0) continue;
    ++failed;
    report_error(
        "Shard " + std::to_string(k) + " (" + describe_shard(run.shards[k]) + ") failed: " +
        shard_failure_text(run.shard_dir(k), "no message: its task was cancelled or never ran"));
  }
  if (failed == 0) {
    std::ifstream merge_errors(work_file(run, kMergeErrors));
    std::string text((std::istreambuf_iterator<char>(merge_errors)), {});
    report_error("The merge job failed: " + (text.empty() ? "no message" : text));
  } else {
    report_error(std::to_string(failed) + " of " + std::to_string(run.shards.size()) +
                 " shards failed; no result written");
  }
  remove_work_files(run);
  exit(status != 0 ? status : 1);
}

}  // namespace

void run_on_slurm(const ShardRun &run, Progress &progress) {
  std::string program = shell_quoted(own_program());
  std::string work_dir = shell_quoted(run.work_dir);
  std::string keep = run.keep_work_files ? " -k" : "";
  std::string shards_script = work_file(run, kShardsScript);
  std::string merge_script = work_file(run, kMergeScript);
  write_job_script(shards_script, program + " --" + kRunShardOption +
                                      " \"$SLURM_ARRAY_TASK_ID\" -w " + work_dir + keep);
  write_job_script(merge_script, program + " --" + kMergeShardsOption + " -w " + work_dir + " -o " +
                                     shell_quoted(run.output_file));

  std::vector<std::string> array = sbatch_command(run, "quovent-shards");
  // Without -j Slurm places the tasks; a task whose node is lost is queued again, also where
  // the site's default is not to.
  array.push_back("--array=0-" + std::to_string(run.shards.size() - 1) +
                  (run.jobs_given ? "%" + std::to_string(run.jobs) : std::string()));
  array.push_back("--requeue");
  array.push_back("--output=" + (run.keep_work_files ? run.work_dir + "/shard_%a/" + kShardLog
                                                     : std::string("/dev/null")));
  array.push_back("--error=" + run.work_dir + "/shard_%a/" + kShardErrorsFile);
  array.push_back(shards_script);
  std::string array_id = submit(array);

  std::vector<std::string> merge = sbatch_command(run, "quovent-merge");
  merge.push_back("--dependency=afterok:" + array_id);
  merge.push_back("--kill-on-invalid-dep=yes");
  merge.push_back("--output=" + work_file(run, kMergeLog));
  merge.push_back("--error=" + work_file(run, kMergeErrors));
  merge.push_back(merge_script);
  std::string merge_id = submit(merge);

  // Slurm's own waiting (sbatch --wait) answers success for a merge job that it cancelled
  // because a shard failed, and looks only every half minute: the driver watches the queue
  // itself, and the merge job's own mark tells success.
  sigset_t waited;
  sigemptyset(&waited);
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&waited, signal_number);
  sigset_t old_mask;
  sigprocmask(SIG_BLOCK, &waited, &old_mask);
  const std::string jobs = array_id + "," + merge_id;
  timespec last_answer = monotonic_now();
  for (;;) {
    long long bytes = 0;
    size_t counted = shards_counted(run, bytes);
    progress.update(counted, bytes);
    JobsState state = jobs_state(jobs, run.scheduler_timeout);
    if (state == JobsState::kFinished) break;
    if (state == JobsState::kActive) last_answer = monotonic_now();
    if (seconds_since(last_answer) >= run.scheduler_timeout) {
      // Nothing tells whether the jobs will still run: they stay for the user to decide.
      progress.clear();
      report_error("squeue has not answered for " + std::to_string(run.scheduler_timeout) +
                   " seconds while the jobs " + jobs +
                   " had not finished; they are left in the queue: see them with squeue -j " +
                   jobs + ", or cancel them with scancel " + array_id + " " + merge_id +
                   "; the work directory " + run.work_dir + " is kept");
      exit(EX_TEMPFAIL);
    }
    timespec wait_at_most{0, kPollNanoseconds};
    int signal_number = sigtimedwait(&waited, nullptr, &wait_at_most);
    if (signal_number > 0) {
      wait_status(start_command({"scancel", array_id, merge_id}, nullptr));
      progress.clear();
      report_error(std::string("Stopped by signal ") + strsignal(signal_number) +
                   "; the jobs are cancelled, no result written");
      remove_work_files(run);
      exit(128 + signal_number);
    }
  }
  sigprocmask(SIG_SETMASK, &old_mask, nullptr);
  if (access(work_file(run, kMergedMark).c_str(), F_OK) != 0) report_failures(run, progress, 1);
}
