/* The lock that a run's driver holds on its work directory from its start to its end, so that a
 * second run given the same directory, new or resumed, is refused before it changes anything
 * there. It is an flock on the directory's lock file (lock_file in RunFiles.h), which ends with
 * the process that holds it: a run that was killed leaves the file behind, never the lock. */
#ifndef QUOVENT_RUN_WORKDIRLOCK_H
#define QUOVENT_RUN_WORKDIRLOCK_H

#include <string>

/* Takes the lock on `work_dir`, which exists, until this process exits, and writes the process's
 * id into the lock file for a refused run to name. Returns true when taken, and also when the
 * directory's file system keeps no locks (a cluster file system mounted without them): such a run
 * goes on unlocked, as runs did before they locked. Returns false with errno set when the lock
 * file cannot be opened or locked. When another process holds the lock, says that a run is still
 * going there and which process it is, and ends this one with EX_TEMPFAIL.
 *
 * The lock is the driver's alone: its descriptor is closed on exec, and closed in every child
 * forked after it is taken. A child that outlives its driver (a shard counting on when the driver
 * alone was killed) holds no lock, so nothing keeps a resume out once the driver is gone. The Slurm
 * jobs never call this: they run inside their driver's lock. */
bool lock_work_dir(const std::string &work_dir);

#endif
