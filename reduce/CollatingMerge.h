/* The merge of a run whose shards leave the collation to it: their results in byte order, each
 * word with its first appearance (ResultForm::kBytesWithFirst), merged into the result file, in
 * which every distinct word is given its collation key once. A shard that sorted its words by the
 * collation itself would key each word again in every shard and every spill of its table, and the
 * merge would compare them by the collation once more: with a large vocabulary that is where a
 * run's time goes. */
#ifndef QUOVENT_REDUCE_COLLATINGMERGE_H
#define QUOVENT_REDUCE_COLLATINGMERGE_H

#include "reduce/ResultMerge.h"

/* Whether the result files are of the byte-ordered form: the first line of the first file that
 * has one carries a first appearance (a second blank: a word has none). False when no line can be
 * read; the merge then reports why. */
bool results_are_byte_ordered(int nfiles, const char *const *files);

/* Merges the nfiles files of the byte-ordered form, each with nreducers sections, into
 * output_file in the same form: a shard's spilled runs into its result. As merge_results
 * otherwise. */
long long merge_byte_ordered_results(int nfiles, const char *const *files, int nreducers,
                                     const char *output_file, bool check_order);

/* Merges the nfiles files of the byte-ordered form, each with nreducers sections (the results of
 * a run's shards, in the order of the run's text), into the result file output_file: the bytes
 * that merge_results writes from the same shards' results in the result's order. In two halves
 * of parts on up to `jobs` processes: byte ranges of the files merged and put in the collation's
 * order chunk by chunk (reduce/KeyedRuns.h), then each range of the collation's order merged from
 * every chunk; the second half's outputs are joined in order. Each half has `parts` parts, or,
 * for 0, as many as merge_results would cut its merge into for `jobs`. Failures, temporaries,
 * messages and the published output as for merge_results; progress counts the parts of both
 * halves. */
long long collate_results(int nfiles, const char *const *files, int nreducers,
                          const char *output_file, bool check_order, int jobs,
                          const MergeProgress *progress, int parts = 0);

#endif
