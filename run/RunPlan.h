/* The plan of a sharded run, kept in its work directory: the jobs of a Slurm run read their
 * shards from it, and a run that did not finish is resumed from it, when the same command
 * gives it the same settings and the same, unchanged inputs. */
#ifndef QUOVENT_RUN_RUNPLAN_H
#define QUOVENT_RUN_RUNPLAN_H

#include <string>

#include "run/ShardRun.h"

/* Writes the run's settings, inputs, created directories and shards to `file`, durably. False
 * with errno set when it cannot be written, and with errno EINVAL when a path holds a line end,
 * which the file cannot carry. */
bool write_plan(const std::string &file, const ShardRun &run);

/* Reads a plan written by write_plan into run; false when it cannot be read or is malformed.
 * Every shard is read as not counted. */
bool read_plan(const std::string &file, ShardRun &run);

/* "<LC_COLLATE> <LC_CTYPE>" of the current locale: what orders and cuts the words. */
std::string current_locale();

/* What keeps the run that `now` describes (settings and inputs as the command gives them) from
 * resuming `planned`, as a text for the user; empty when nothing does. `inputs_changed` tells
 * whether it is only that inputs changed on disk since the plan. */
std::string plan_difference(const ShardRun &planned, const ShardRun &now, bool &inputs_changed);

#endif
