/* The processes of a merge cut into tasks (the groups of a round, the parts of the last round):
 * each task in a child process of its own, at most `jobs` at a time. A task that fails ends the
 * merge with its own message and status, as the merge in one process would have ended. Internal
 * to the ResultMerge library. */
#ifndef QUOVENT_REDUCE_MERGEWORKERS_H
#define QUOVENT_REDUCE_MERGEWORKERS_H

#include <functional>

/* Runs task(k) for k = 0 .. count - 1, each in a child process whose failures stop it through
 * Error or Fail, at most `jobs` at a time, started in the order of k. done(k) is called in this
 * process as task k ends well. When a task fails, the tasks after it are stopped and those before
 * it (all started by then) awaited; the first of the failed tasks in the order of k then ends this
 * process as it ended: the temporaries removed (remove_merge_temporaries), its message written
 * as it wrote it, with its exit status, or by its signal. Returns once every task ended well. A
 * child that cannot be started or waited for stops the process through stop_merge, naming the
 * merge's output_file. With jobs 1, or one task, the tasks run in this process. */
void run_merge_tasks(const char *output_file, int count, int jobs,
                     const std::function<void(int)> &task, const std::function<void(int)> &done);

#endif
