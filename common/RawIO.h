/* Raw descriptor input and output shared by the stages: whole writes, and
 * reads that treat a directory as an empty file. */
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
