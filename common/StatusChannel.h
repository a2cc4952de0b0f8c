/* The mappers' failure channel. A mapper's exit status is its word count, so
 * it cannot say "failed"; instead its driver hands it the write end of a pipe
 * and a byte on that pipe says it. Silence means success, so a program that
 * ends normally without writing there is judged by its exit status alone. */
#ifndef QUOVENT_COMMON_STATUSCHANNEL_H
#define QUOVENT_COMMON_STATUSCHANNEL_H

#include <stdbool.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Environment variable through which a mapper child finds the write end, a
 * decimal descriptor number. The drivers set it in mapper children only. */
#define STATUS_FD_VARIABLE "QUOVENT_STATUS_FD"

/* One child's channel. Both ends are -1 when closed. */
struct StatusChannel {
  int read_fd;  /* the driver's end, non-blocking */
  int write_fd; /* the child's end */
};

/* Driver, before fork: opens the pipe with both ends closed on exec, so that
 * no other child inherits them. Returns 0, or -1 with errno set. */
int open_status_channel(struct StatusChannel *channel);

/* Child, between fork and execv: keeps the write end open across execv and
 * names it in STATUS_FD_VARIABLE. Returns 0, or -1 with errno set. */
int pass_status_channel(const struct StatusChannel *channel);

/* Driver, right after fork: closes its copy of the write end. */
void close_status_writer(struct StatusChannel *channel);

/* Driver, once the child has been collected: true when the child reported
 * failure. Never blocks: whatever an ended child wrote is already in the
 * pipe. Closes the read end. */
bool status_channel_reported_failure(struct StatusChannel *channel);

/* Writes the failure mark to fd. Leaves errno as it was, so that the Error
 * that follows still reports the call that failed. */
void report_failure(int fd);

/* Mapper, first thing in main: when STATUS_FD_VARIABLE names an open pipe,
 * the process reports failure if it ends through exit() (Error, a usage
 * error) before mark_normal_end has been called. Without the variable, or
 * when it names anything but a pipe, nothing changes. */
void report_failure_at_fatal_exit(void);

/* Mapper, just before main returns: the end is a normal one. */
void mark_normal_end(void);

#ifdef __cplusplus
}
#endif

#endif
