/* Merging result files: from the result files of several runs over parts of a text, the one
 * result file that a single run over the whole text writes. */
#ifndef QUOVENT_REDUCE_RESULTMERGE_H
#define QUOVENT_REDUCE_RESULTMERGE_H

#ifdef __cplusplus
extern "C" {
#endif

/* Most result files read at once: each costs a descriptor and a read block. More inputs are
 * merged in rounds through temporary files beside the output. */
enum { MERGE_FAN_IN = 128 };

/* Merges the nfiles result files named in `files` (0 or more), each written by a run with
 * nreducers reducers (1 to 16) under the current locale, into output_file: section r (the
 * words whose hash_word modulo nreducers is r) of every input, in ascending r; within a
 * section the order in which the shuffle sorts the words' tuple lines under the locale's
 * collation; the counts of words that collate equal added up in 64 bits, the word written as
 * the first of them has it. Returns the number of lines written.
 *
 * Every input line must be a word (1 to 255 bytes without white space), one blank and a
 * count above 0 without sign or leading zero, ended by a line end; within a file the words'
 * sections must not decrease, and within a section the words must follow the collation. A
 * line that breaks one of these rules, a total beyond 64 bits, and every failed open, read,
 * write, close or rename stop the process through Error or Fail, naming the file (and the
 * line). The output is written to a temporary file beside output_file, flushed, renamed onto
 * it only when complete, and its directory flushed, so that the inputs may be removed once this
 * returns: after a failure output_file is as it was (or, when only the directory's flush
 * failed, complete but not sure to survive a crash), and no temporary is left. */
long long merge_result_files(int nfiles, const char *const *files, int nreducers,
                             const char *output_file);

/* merge_result_files for result files that this program wrote itself, under this locale and
 * with nreducers sections: the order of their words is not checked again, which under a
 * collating locale spares a collation key for every word. Their lines are still checked. */
long long merge_own_result_files(int nfiles, const char *const *files, int nreducers,
                                 const char *output_file);

/* What a merge tells of its progress, in the process that called it: parts_done(done, parts) as
 * the merge begins a round of `parts` parts (done 0) and as each part ends, when not NULL. */
struct MergeProgress {
  void (*parts_done)(int done, int parts, void *context);
  void *context;
};

/* merge_result_files (check_order not 0) or merge_own_result_files (0), the merge cut into parts
 * of about one size merged in up to `jobs` processes at once, their outputs joined into the
 * output: the same bytes, line count, messages and statuses as in one process (when several
 * inputs are malformed, the first fault in the order of the result is named). Little input
 * (below 2 MiB a part) or jobs 1 is merged in this process. The parts are written beside
 * output_file as "<output_file>.part<k>.<pid>" and removed at the end. progress may be NULL. */
long long merge_results(int nfiles, const char *const *files, int nreducers,
                        const char *output_file, int check_order, int jobs,
                        const struct MergeProgress *progress);

/* The two steps of a merge whose parts run in processes started elsewhere (one per part, on this
 * machine or others), the inputs read by all alike under the same locale:
 *
 * merge_result_part writes part `part` (0 to nparts - 1) of the merge of the nfiles files into
 * part_file (created, not flushed: the join flushes the output) and returns its line count. Every
 * process computes the same cut from the files, so that nothing but nparts needs to be handed
 * on. Failures stop the process as merge_result_files does, part_file removed.
 *
 * join_result_parts writes the nparts part files, in order, into output_file, published as
 * merge_result_files publishes it, and returns its line count. Where the words at a joint of two
 * parts are one word for the reducer (words that collate equal on both sides of a cut, which only
 * words of 254 or 255 bytes can make), it merges the files again in this process instead. The part
 * files are left to the caller. */
long long merge_result_part(int nfiles, const char *const *files, int nreducers, int check_order,
                            int part, int nparts, const char *part_file);
long long join_result_parts(int nfiles, const char *const *files, int nreducers, int check_order,
                            int nparts, const char *const *part_files, const char *output_file);

/* The parts, for `jobs` processes at once, that merge_result_part may cut the merge of the nfiles
 * files into, as merge_results cuts the round it ends with: 1 for one process or little input (at
 * least 2 MiB a part), and 1 for more files than one process reads at once (MERGE_FAN_IN),
 * since each part reads every file. */
int merge_part_count_of(int nfiles, const char *const *files, int jobs);

/* The groups that a merge of nfiles files, more than one process reads at once, merges first into
 * intermediate result files: runs of MERGE_FAN_IN consecutive files, the last one shorter. 0 for
 * no file.
 *
 * merge_result_group merges group `group` (0 to merge_group_count(nfiles) - 1) of the nfiles files
 * into group_file, a result file of the same reducer count, in a process started elsewhere, as a
 * round of merge_results merges it: written beside group_file, flushed and renamed onto it, so that
 * its presence says it is complete (its directory is not flushed). Returns its line count.
 * Failures stop the process as merge_result_files does, group_file as it was. */
int merge_group_count(int nfiles);
long long merge_result_group(int nfiles, const char *const *files, int nreducers, int check_order,
                             int group, const char *group_file);

/* Removes the temporary files that a merge into output_file by the process `pid` (its parts'
 * processes included) left beside it when a signal ended that process before it could remove them
 * itself. */
void remove_merge_leftovers(const char *output_file, long pid);

#ifdef __cplusplus
}
#endif

#endif
