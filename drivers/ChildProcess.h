/* What the multi-process drivers share: locating the stage programs beside
 * the driver, starting a stage program as a child process, and judging how
 * it ended. Every failure stops the driver through Error with the driver's
 * own texts. */
#ifndef QUOVENT_DRIVERS_CHILDPROCESS_H
#define QUOVENT_DRIVERS_CHILDPROCESS_H

#include <stdbool.h>
#include <stddef.h>
#include <sys/types.h>

#include "common/StatusChannel.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Size of the buffer that holds the driver's directory, terminating zero
 * included; a longer directory is cut. */
enum { EXEC_DIR_SIZE = 256 };

/* The texts with which a driver reports trouble. Each is a format; where it
 * holds a "%s", that receives the stage name ("QuoventMap" ...), and the "%d"
 * of `started` the child's process id. */
struct DriverTexts {
  const char *malloc_failed;
  const char *started;
  const char *creating;   /* fork failed */
  const char *executing;  /* execv failed; reported by the child */
  const char *waiting;    /* waitpid failed */
  const char *not_normal; /* the child ended by a signal */
  const char *failed;     /* the child failed */
};

/* A started child. A child whose exit status is a count (the mapper) cannot
 * report failure through it, so it gets a status channel. */
struct Child {
  pid_t pid;
  bool status_is_counter;
  struct StatusChannel channel; /* both ends -1 unless status_is_counter */
};

/* The directory part of argv0 (all before its last '/') into dir, cut to
 * size - 1 bytes; "." when argv0 has no '/', the empty text for "/name". The
 * stage programs are located from argv[0] alone: no PATH search. */
void get_exec_dir(const char *argv0, char *dir, size_t size);

/* A new heap string dir + "/" + program, which the caller frees. Exactly one
 * '/' is inserted: "" gives "/program", "d/" gives "d//program". Stops
 * through Error with texts->malloc_failed when memory runs out. */
char *build_exec_path(const char *dir, const char *program, const struct DriverTexts *texts);

/* The full paths of the three stage programs, heap strings. */
struct StagePrograms {
  char *map_exec;
  char *suffle_exec;
  char *reduce_exec;
};

/* QuoventMap, QuoventSuffle and QuoventReduce in the directory of argv0
 * (get_exec_dir, build_exec_path). Free them with free_stage_programs. */
struct StagePrograms locate_stage_programs(const char *argv0, const struct DriverTexts *texts);

void free_stage_programs(struct StagePrograms *programs);

/* A new argument vector for one mapper that maps all input files into the
 * single map file: map_exec, the input files (the same strings, not copies),
 * a null pointer. The caller frees the vector, not the strings. */
char **build_map_argv(char *map_exec, int ninputfiles, char **input_files,
                      const struct DriverTexts *texts);

/* malloc that stops through Error with texts->malloc_failed on failure. */
void *driver_alloc(size_t size, const struct DriverTexts *texts);

/* Forks and runs child_argv[0] with execv and the null-terminated vector
 * child_argv, inheriting environment, working directory and output; the
 * parent prints the "Started" line. With status_is_counter the child gets a
 * status channel (named in its environment) that reports any fatal end.
 * When execv fails, the child reports that failure through the channel and
 * stops through Error with texts->executing, never returning into the
 * driver. Stops through Error with texts->creating when fork or the channel
 * cannot be made. */
struct Child start_child(char *const child_argv[], const char *stage, bool status_is_counter,
                         const struct DriverTexts *texts);

/* Waits for the child and judges its end. Returns the exit status (0 to 255)
 * of a counter that reported no failure, and 0 for any other child that
 * exited with 0. Stops through Error with texts->waiting when waitpid fails,
 * texts->not_normal when the child ended by a signal, and texts->failed when
 * a counter reported failure or another child exited with a status other
 * than 0. The child's own message has told why; the driver then exits with
 * status 1. */
int wait_child(struct Child *child, const char *stage, const struct DriverTexts *texts);

#ifdef __cplusplus
}
#endif

#endif
