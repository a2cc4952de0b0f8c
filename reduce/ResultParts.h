/* One result file written by reducers that run at the same time, one per
 * partition (QuoventReduce with an index).
 *
 * Each reducer truncates the result file first, so that nothing of an earlier
 * run survives, not even when this run fails. It then writes its section to
 * a part file beside the result, "<result>.part<index>", under a temporary
 * name that is renamed into place once the section is complete. The part
 * begins with a header line naming its index, the reducer count and the
 * run token, and only parts with this run's header count.
 *
 * Under an exclusive flock on "<result>.lock" a reducer renames its part
 * into place and then looks at all parts: exactly one reducer, the one that
 * completes the set, finds every part of this run. It concatenates the
 * sections in index order into a temporary file and renames that over the
 * result file. So the result file is either empty or complete and holds the
 * sections in reducer order, whatever order the reducers finish in; a
 * reducer that fails leaves no part, and the result file stays empty.
 *
 * Nothing is deleted: part files stay beside the result until the next run
 * with the same index renames its own over them, and the lock file stays. */
#ifndef QUOVENT_REDUCE_RESULTPARTS_H
#define QUOVENT_REDUCE_RESULTPARTS_H

#ifdef __cplusplus
extern "C" {
#endif

/* Longest path of the result file or of a file beside it, terminating zero
 * included. */
enum { RESULT_PART_NAME_SIZE = 4096 };

/* Header of a part: "quovent part <index> of <count> run <token>\n". */
enum { RESULT_PART_HEADER_SIZE = 160 };

/* Longest run token kept; a longer one is cut. */
enum { RESULT_PART_TOKEN_BYTES = 63 };

/* A reducer's part while it is written. */
struct ResultPart {
  const char *output_file;
  int n_reducers;
  int index;
  const char *run_token;
  char temp_name[RESULT_PART_NAME_SIZE];
  int fd; /* the open temporary part, positioned after its header */
};

/* Truncates (or creates) output_file, creates this reducer's temporary part
 * beside it and writes its header; part->fd then takes the section. The run
 * token must be the same for all reducers of one run and differ between
 * runs. Stops through Error when a file cannot be created or written, or
 * when a name beside output_file would exceed RESULT_PART_NAME_SIZE. */
void begin_result_part(struct ResultPart *part, const char *output_file, int n_reducers, int index,
                       const char *run_token);

/* Closes the part and renames it into place; if that completes this run's
 * set of parts, assembles the result file from them. Stops through Error
 * when a file operation fails; the result file is then left empty. */
void finish_result_part(struct ResultPart *part);

#ifdef __cplusplus
}
#endif

#endif
