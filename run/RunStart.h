/* How a sharded run begins: a new one cut into shards and planned in its work directory, or one
 * that did not finish taken up again from its plan, with the shards it counted kept. Everything
 * here runs before the first shard starts, so its failures stop the process through Error. */
#ifndef QUOVENT_RUN_RUNSTART_H
#define QUOVENT_RUN_RUNSTART_H

#include <vector>

#include "input/Inputs.h"
#include "run/ShardRun.h"

/* The size the inputs are cut at: run.shard_size, or less, so that every job gets as many
 * shards. */
long long cut_size(const ShardRun &run);

/* Cuts run.inputs into shards, creates and locks the work directory (WorkDirLock.h: a run still
 * going there is refused with EX_TEMPFAIL) and writes the plan. Under Slurm
 * (slurm) the streams are first read into chunk files, each a shard, since the tasks read only
 * files. Returns the inputs that a local run reads while it goes on (streams and large compressed
 * files, cut into chunks as they come). */
std::vector<Input> plan_run(ShardRun &run, bool slurm);

/* Takes up the plan in run.work_dir when this command (run's settings and inputs) can resume
 * it, and the results of the shards it counted, under the work directory's lock; returns the
 * inputs that are read while the run goes on. Refuses, saying why, and ends the process with
 * EX_NOINPUT (no plan), EX_TEMPFAIL (a run still going there, WorkDirLock.h), EX_DATAERR (a plan
 * that cannot be read, inputs changed since) or EX_USAGE (other settings). */
std::vector<Input> resume_run(ShardRun &run, bool slurm);

#endif
