/* Every file that a sharded run (QuoventMR_v3) keeps in its work directory, named here and
 * nowhere else: the plan, the shard directories and what a shard writes in its own, the chunks of
 * the streams, and the files of the Slurm jobs. What removes, reuses or checks a file asks this
 * header for its name, so that a name changed here changes everywhere. (The seven stage programs'
 * files in tmp/ are named in WorkFiles.h.) */
#ifndef QUOVENT_COMMON_RUNFILES_H
#define QUOVENT_COMMON_RUNFILES_H

#include <cstddef>
#include <string>
#include <vector>

/* In the work directory. */

/* The plan of the run: what a resumed run and the Slurm jobs read. Its presence says that a run
 * in this directory did not finish. */
std::string plan_file(const std::string &work_dir);

/* The file whose lock the driver of a run holds while the run goes on, with the driver's process
 * id in it. It stays with the plan when a run fails, and goes with the work directory. */
std::string lock_file(const std::string &work_dir);

/* "<work_dir>/shard_<k>": shard k's own directory. */
std::string shard_dir(const std::string &work_dir, size_t k);

/* The directory in which streams and large compressed files are cut into chunk files as they
 * are read. */
std::string feed_dir(const std::string &work_dir);

/* The Slurm jobs' files: the array jobs' script, the list of the shards their tasks count, what
 * the tasks say beside their shards' own messages (every task appends to it), the merge job's
 * script, what the merge job writes on its two streams, and the mark it leaves once the result
 * is in place. */
std::string shards_script(const std::string &work_dir);
std::string slurm_tasks_file(const std::string &work_dir);
std::string slurm_tasks_errors(const std::string &work_dir);
std::string merge_script(const std::string &work_dir);
std::string merge_log(const std::string &work_dir);
std::string merge_errors(const std::string &work_dir);
std::string merged_mark(const std::string &work_dir);

/* The script of the merge's array, whose task k writes part k of the merge when the merge is
 * cut into parts. */
std::string merge_parts_script(const std::string &work_dir);

/* The script of the merge's group arrays, whose tasks merge groups of shard results (or, in a
 * later round, of the intermediate results of the round before) into intermediate results. */
std::string merge_groups_script(const std::string &work_dir);

/* All nine, for their removal. */
std::vector<std::string> slurm_run_files(const std::string &work_dir);

/* What task k of the merge's array leaves: its part once complete (it appears by a rename, so
 * its presence says that the part is merged), the part while it is written, and what the task
 * says on standard error. */
std::string merge_part_file(const std::string &work_dir, size_t k);
std::string merge_part_partial(const std::string &work_dir, size_t k);
std::string merge_part_errors(const std::string &work_dir, size_t k);

/* Whether `name` (a file name without directory) is one of the three above, for any k: those of
 * an earlier attempt are removed, never trusted. */
bool is_merge_part_file(const std::string &name);

/* What the task of a group array that merges group g of round r leaves: the group's
 * intermediate result once complete (it appears by a rename), and what the task says on standard
 * error while it merges that group. */
std::string merge_group_file(const std::string &work_dir, size_t round, size_t g);
std::string merge_group_errors(const std::string &work_dir, size_t round, size_t g);

/* Whether `name` (a file name without directory) is one of the two above, or a temporary beside
 * the first: those of an earlier attempt are removed, never trusted. */
bool is_merge_group_file(const std::string &name);

/* In a shard's directory. */

/* The shard's result once it is complete; it appears by a rename, after its check, so its
 * presence says that the shard was counted. */
std::string shard_result(const std::string &shard_dir);

/* Beside the result: its length and checksum. */
std::string shard_check(const std::string &shard_dir);

/* What the shard reports on standard error, and its closing line (kept with -k). */
std::string shard_errors(const std::string &shard_dir);
std::string shard_log(const std::string &shard_dir);

/* The result while it is written, relative to the shard's directory, in which a shard counts;
 * sealing it renames it onto shard_result. */
inline constexpr char kShardPartialResult[] = "result.partial";

/* The sorted run number n that a shard whose words outgrew one table spills, relative to the
 * shard's directory. */
std::string sorted_run_file(size_t n);

/* Whether `name` (a file name without directory) is one of the files a shard writes in its
 * directory: those above, the temporaries beside its partial result and its check, or a chunk
 * file of the feed directory. Only such files are ever removed from a shard's directory. */
bool is_shard_file(const std::string &name);

/* Whether `name` is the shard's sealed result or its check, which a failed run keeps. */
bool is_sealed_result(const std::string &name);

/* In the feed directory. */

/* Chunk number n of the streams. */
std::string chunk_file(const std::string &feed_dir, size_t n);

/* The file whose presence says that the chunk file `chunk` is complete. */
std::string chunk_done_mark(const std::string &chunk);

/* Whether `name` is the name of a chunk file or of its mark. */
bool is_chunk_file(const std::string &name);

#endif
