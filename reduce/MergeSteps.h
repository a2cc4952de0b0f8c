/* The steps every form of the result merge is made of: its temporary files beside the output
 * (named after the merge's first process, so that a driver that saw it end by a signal finds them
 * all), a merge of whole files into a published file, the rounds that bring more inputs than one
 * process reads down to one round, and the merge's progress. Internal to the ResultMerge
 * library. */
#ifndef QUOVENT_REDUCE_MERGESTEPS_H
#define QUOVENT_REDUCE_MERGESTEPS_H

#include <string>
#include <vector>

#include "reduce/MergeRead.h"
#include "reduce/ResultMerge.h"
#include "reduce/WordOrder.h"

/* Makes this process the merge's first process: the id its temporaries are named after. */
void begin_merge();

/* "<target>.<what>.<id of the merge's first process>". */
std::string temporary_beside(const std::string &target, const std::string &what);

/* Creates the temporary `name`, this merge's own (never a file that was there before), kept for
 * removal after a failure; returns its descriptor. */
int create_temporary(const std::string &name);

/* Flushes the written file fd to disk, closes it and renames the temporary onto `target`. */
void publish(int fd, const std::string &temporary, const std::string &target);

/* Closes and removes a temporary that will not be published. */
void discard(int fd, const std::string &temporary);

/* Removes a temporary that served its turn. */
void remove_temporary(const std::string &name);

/* Merges the files, within their ranges, into the file fd named `name`; returns the lines. */
long long merge_into_fd(WordOrder &order, const std::vector<const char *> &files,
                        const std::vector<FileRange> &ranges, bool check_order, int fd,
                        const char *name);

/* Part of a merge, the files within their ranges, into part_file, created here; not flushed: the
 * join flushes. Returns the lines. */
long long merge_part_to_file(WordOrder &order, const std::vector<const char *> &files,
                             const std::vector<FileRange> &ranges, bool check_order,
                             const std::string &part_file);

/* Merges the whole files into a temporary beside `target`, then renames it onto `target`.
 * first_bases, when not empty, are added to the first appearances of each file's lines. */
long long merge_to_file(WordOrder &order, const std::vector<const char *> &files, bool check_order,
                        const std::string &target,
                        const std::vector<unsigned long long> &first_bases = {});

/* Group g of the inputs of a round (merge_group_count groups): MERGE_FAN_IN consecutive inputs,
 * the last group shorter. */
std::vector<const char *> merge_group_inputs(const std::vector<const char *> &inputs, int g);

/* While there are more inputs than one process reads at once (MERGE_FAN_IN), merges them in
 * groups, in `jobs` processes, into intermediate files of the same order beside output_file;
 * returns the inputs of the last round. `intermediates` receives the intermediates of the last
 * round made, for the caller to remove once merged. first_bases, when not empty, are added to
 * the first appearances of each input's lines, and set to zeros when intermediates carry them. */
std::vector<const char *> merge_rounds(WordOrder &order, std::vector<const char *> inputs,
                                       bool check_order, int jobs, const char *output_file,
                                       const MergeProgress *progress,
                                       std::vector<std::string> &intermediates,
                                       std::vector<unsigned long long> *first_bases = nullptr);

/* Ends a merge whose output is renamed into place: flushes the output's directory, so that the
 * caller may remove what it was made from as soon as the merge returns, and removes the
 * intermediates of its rounds. */
void end_merge(const char *output_file, const std::vector<std::string> &intermediates);

/* Tells progress, when there is one, that `done` of `parts` parts are merged. */
void tell_progress(const MergeProgress *progress, int done, int parts);

/* The bytes of the files added up; a file that cannot be examined counts 0, and the merge that
 * opens it reports it. */
long long sum_of_sizes(const std::vector<const char *> &files);

#endif
