/* Raw descriptor input and output shared by the stages: whole writes, reads
 * that treat a directory as an empty file, and closes of written files that
 * report what the file system lost. */
#ifndef QUOVENT_COMMON_RAWIO_H
#define QUOVENT_COMMON_RAWIO_H

#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Permission bits of every file the system creates, before the umask. */
enum { CREATED_FILE_MODE = 0644 };

/* Opens name write-only, created and emptied, as every work and result file
 * is opened. Returns the descriptor, or -1 with errno set. */
int create_output_file(const char *name);

/* Closes fd, a file opened for writing. Returns 0, or -1 with errno left as
 * close(2) set it: a shared file system may report a lost write only here,
 * so the caller stops with that file's write error. An interrupted close
 * (EINTR) counts as success, with errno as it was before the call. Never
 * retries: the descriptor is released whatever the result. */
int close_output_file(int fd);

/* Writes all size bytes of buf to fd, going on after short and interrupted
 * writes, so that no byte is silently lost. Returns size, or -1 with errno
 * set when a write fails. */
ssize_t write_fully(int fd, const void *buf, size_t size);

/* read(2) that repeats interrupted calls. A directory (EISDIR) reads as end
 * of file, because a directory given as an input counts as an empty input.
 * Returns the bytes read, 0 at the end, or -1 with errno set on a failure. */
ssize_t read_block(int fd, void *buf, size_t size);

#ifdef __cplusplus
}
#endif

#endif
