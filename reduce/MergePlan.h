/* Cutting the merge of result files into parts that run at the same time: part k merges, of
 * every file, the lines whose words sort before those of part k + 1, so that the parts' outputs
 * one after another are the merge's. The cuts are places in the order of a result: the start of
 * a section, which needs no collation, while there are at least as many sections as parts, and
 * otherwise words taken from samples of the files, so that the parts are of about one size. Each
 * file's range for a cut is found by a binary search on its line starts, which reads a few hundred
 * bytes a step: no index is needed, so any result file can be cut, the shards', those
 * QuoventMerge is given and the intermediates of a merge in rounds. Internal to the ResultMerge
 * library. */
#ifndef QUOVENT_REDUCE_MERGEPLAN_H
#define QUOVENT_REDUCE_MERGEPLAN_H

#include <memory>
#include <vector>

#include "reduce/MergeRead.h"
#include "reduce/WordOrder.h"

/* The least input a part is given. A process of its own costs about 7 ms of CPU where page faults
 * are dear (a virtual machine), about what the merge of 1 MiB of results takes: below 2 MiB a
 * part, one process is as fast (measured: 1.5 MiB of results in 14 ms at once, 33 ms in 4
 * parts on 2 cores; 24 MiB in 322 ms at once, 276 ms in parts). */
constexpr long long kMinMergePartBytes = 2 << 20;

/* Parts per process: parts of a little less than even size still keep every process busy, and
 * the outputs of the first parts are joined while the last ones are merged. */
constexpr int kMergePartsPerJob = 2;

/* The parts that a merge of files of `bytes` bytes in all is cut into for `jobs` processes at
 * once: 1 (the merge is not cut) for one process or little input. */
int merge_part_count(long long bytes, int jobs);

/* A word of a merge's order kept beside the words that are compared with it: a sample of a file,
 * or a cut between parts. A cut without a word (length 0) is the start of its section. */
struct PlacedWord {
  MergeEntry entry;
  long long bytes = 0;  // of its file, from its line to the next sample's
  bool section_start() const { return entry.length == 0; }
};

/* Negative when the word `word` sorts before the cut, else zero or positive: words that are one
 * word for the reducer are on one side of every cut. */
int compare_with_cut(const WordOrder &order, const OrderedWordView &word, const PlacedWord &cut);

/* The words that cut the words of `files` into `parts` parts of about one size in `order`:
 * parts - 1 cuts, in order, chosen from samples of the files, whose lines carry first appearances
 * when with_first. The files need not be in that order themselves. */
std::vector<std::unique_ptr<PlacedWord>> choose_merge_cuts(WordOrder &order,
                                                           const std::vector<const char *> &files,
                                                           int parts, bool with_first);

/* The ranges of the files that each of `parts` parts (1 or more) merges: plan[k][i] is the range
 * of files[i] in part k. Every line of every file lies in exactly one part, and the parts follow
 * the order of a result; some may be empty. The same files under the same locale always give the
 * same plan, so that processes of other machines can each find their own part. A file that cannot
 * be opened or read stops the process through stop_merge; a file that is no result file is cut
 * somewhere all the same, and the part that reads its fault reports it. */
std::vector<std::vector<FileRange>> plan_merge_parts(WordOrder &order,
                                                     const std::vector<const char *> &files,
                                                     int parts);

#endif
