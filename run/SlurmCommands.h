/* Slurm's commands as the driver of a Slurm run uses them: sbatch submits, squeue tells what is
 * still queued, scancel cancels. Each is started without a shell, found on the PATH; what it
 * prints is read back, and what it says on standard error comes back as its message rather
 * than over the driver's progress line. */
#ifndef QUOVENT_RUN_SLURMCOMMANDS_H
#define QUOVENT_RUN_SLURMCOMMANDS_H

#include <string>
#include <vector>

#include "run/SlurmTasks.h"

/* Runs argv to its end. Returns true with what it printed on standard output, its exit status
 * (as exit_code_of gives it) and its message; false with errno set when it cannot be started
 * or waited for. A command that cannot be executed ends with status 127, as in a shell. */
bool run_command(const std::vector<std::string> &argv, std::string &printed, int &status,
                 std::string &message);

enum class JobsState { kActive, kFinished, kUnknown };

/* Whether any of the jobs (ids separated by commas) is still waiting, running or ending;
 * unknown when squeue cannot be started, fails or does not answer within `seconds` (it is then
 * stopped). `said` receives what squeue said on standard error, when it said anything, or that
 * it could not be started; it is left as it was otherwise. */
JobsState jobs_state(const std::string &ids, double seconds, std::string &said);

/* The site's limits, as `scontrol show config` prints them; Slurm's defaults for those it does
 * not print, or all of them when scontrol cannot be started or fails: sbatch then says what is
 * wrong. */
SlurmLimits read_slurm_limits();

/* Cancels the jobs. Returns empty when scancel did, otherwise why not, in its own words when it
 * said any. */
std::string cancel_jobs(const std::vector<std::string> &ids);

#endif
