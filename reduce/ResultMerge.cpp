// Result merge: the result files of runs over parts of a text, merged into the result file of
// one run over the whole text. A result file is the reducers' sections one after another, each
// in the order of the shuffle's sort; merging them section by section in that same order and
// adding up the counts of equal words is what one reducer over all the tuples would have done.
#include "reduce/ResultMerge.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/DurableFile.h"
#include "common/RawIO.h"
#include "reduce/MergeJoin.h"
#include "reduce/MergePlan.h"
#include "reduce/MergeRead.h"
#include "reduce/MergeWorkers.h"
#include "reduce/ResultWriter.h"
#include "reduce/WordOrder.h"

namespace {

// The process id of the merge's first process: the last part of the name of every temporary file
// the merge and its workers make, so that the driver that saw it end by a signal finds them all.
long g_merge_id = 0;

std::string temporary_beside(const std::string &target, const std::string &what) {
  return target + "." + what + "." + std::to_string(g_merge_id);
}

// Creates the temporary `name`, this merge's own (O_EXCL: never a file that was there before).
int create_temporary(const std::string &name) {
  int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, CREATED_FILE_MODE);
  if (fd < 0) stop_merge("%s Error opening merge output file %s\n", name.c_str());
  keep_merge_temporary(name);
  return fd;
}

// Flushes the written file fd to disk, closes it and renames it onto `target`.
void publish(int fd, const std::string &temporary, const std::string &target) {
  // A lost write shows at fsync or close on some file systems; the rename must not hide it.
  if (fsync(fd) < 0 && errno != EINVAL) stop_merge(kMergeWriteFailed, temporary.c_str());
  if (close_output_file(fd) != 0) stop_merge(kMergeWriteFailed, temporary.c_str());
  if (rename(temporary.c_str(), target.c_str()) < 0) {
    stop_merge("%s Error renaming the merge result onto %s\n", target.c_str());
  }
  forget_merge_temporary(temporary);
}

// A joined output whose parts were cut between words that one merge adds up: it is merged again.
void discard(int fd, const std::string &temporary) {
  close(fd);
  unlink(temporary.c_str());
  forget_merge_temporary(temporary);
}

// Merges the files, within their ranges, into the file fd named `name`; returns the lines.
long long merge_into_fd(WordOrder &order, const std::vector<const char *> &files,
                        const std::vector<FileRange> &ranges, bool check_order, int fd,
                        const char *name) {
  auto writer = std::make_unique<ResultWriter>(fd);
  merge_ranges_into(order, files, ranges, check_order, *writer, name);
  if (!writer->flush()) stop_merge(kMergeWriteFailed, name);
  return writer->lines();
}

// Merges the whole files into a temporary beside `target`, then renames it onto `target`.
long long merge_to_file(WordOrder &order, const std::vector<const char *> &files, bool check_order,
                        const std::string &target) {
  std::string temporary = temporary_beside(target, "merging");
  int fd = create_temporary(temporary);
  long long lines = merge_into_fd(order, files, std::vector<FileRange>(files.size()), check_order,
                                  fd, temporary.c_str());
  publish(fd, temporary, target);
  return lines;
}

// Part `part` of the plan into part_file, created here; not flushed, the join flushes.
long long merge_part_to_file(WordOrder &order, const std::vector<const char *> &files,
                             const std::vector<FileRange> &ranges, bool check_order,
                             const std::string &part_file) {
  int fd = create_temporary(part_file);
  long long lines = merge_into_fd(order, files, ranges, check_order, fd, part_file.c_str());
  if (close_output_file(fd) != 0) stop_merge(kMergeWriteFailed, part_file.c_str());
  return lines;
}

void tell_progress(const MergeProgress *progress, int done, int parts) {
  if (progress != nullptr && progress->parts_done != nullptr) {
    progress->parts_done(done, parts, progress->context);
  }
}

// Group g of the inputs of a round: MERGE_FAN_IN consecutive inputs, the last group shorter.
std::vector<const char *> group_of(const std::vector<const char *> &inputs, int g) {
  size_t first = static_cast<size_t>(g) * MERGE_FAN_IN;
  size_t last = std::min(inputs.size(), first + MERGE_FAN_IN);
  return std::vector<const char *>(inputs.begin() + first, inputs.begin() + last);
}

// One round of a merge of more inputs than one process reads at once: groups of MERGE_FAN_IN
// inputs merged, in `jobs` processes, into intermediate result files of the same reducer count.
std::vector<std::string> merge_round(WordOrder &order, const std::vector<const char *> &inputs,
                                     bool check_order, int round, int jobs, const char *output_file,
                                     const MergeProgress *progress) {
  std::vector<std::vector<const char *>> groups;
  std::vector<std::string> made;
  for (int g = 0; g < merge_group_count(static_cast<int>(inputs.size())); ++g) {
    groups.push_back(group_of(inputs, g));
    made.push_back(
        temporary_beside(output_file, "round" + std::to_string(round) + "_" + std::to_string(g)));
    keep_merge_temporary(made.back());
  }
  auto merge_group = [&](int g) { merge_to_file(order, groups[g], check_order, made[g]); };
  int count = static_cast<int>(groups.size());
  tell_progress(progress, 0, count);
  int done = 0;
  run_merge_tasks(output_file, count, jobs, merge_group,
                  [&](int) { tell_progress(progress, ++done, count); });
  return made;
}

long long sum_of_sizes(const std::vector<const char *> &files) {
  long long bytes = 0;
  struct stat st;
  // A file that cannot be examined is reported by the merge that opens it.
  for (const char *file : files) bytes += stat(file, &st) == 0 ? st.st_size : 0;
  return bytes;
}

// The last round: the inputs merged in parts, in `jobs` processes, joined into a temporary beside
// output_file as they end and renamed onto it; or in this process for little input.
long long merge_last_round(WordOrder &order, const std::vector<const char *> &inputs,
                           bool check_order, int jobs, const char *output_file,
                           const MergeProgress *progress) {
  int parts = merge_part_count(sum_of_sizes(inputs), jobs);
  tell_progress(progress, 0, parts);
  if (parts == 1) {
    long long lines = merge_to_file(order, inputs, check_order, output_file);
    tell_progress(progress, 1, 1);
    return lines;
  }
  std::vector<std::vector<FileRange>> plan = plan_merge_parts(order, inputs, parts);
  std::vector<std::string> part_files;
  for (int k = 0; k < parts; ++k) {
    part_files.push_back(temporary_beside(output_file, "part" + std::to_string(k)));
    // Its worker makes it; the merge's first process removes it after a failure all the same.
    keep_merge_temporary(part_files.back());
  }
  std::string temporary = temporary_beside(output_file, "merging");
  int fd = create_temporary(temporary);
  PartJoin join(part_files, fd, temporary);
  int done = 0;
  run_merge_tasks(
      output_file, parts, jobs,
      [&](int k) { merge_part_to_file(order, inputs, plan[k], check_order, part_files[k]); },
      [&](int k) {
        join.part_done(k);
        tell_progress(progress, ++done, parts);
      });
  for (const std::string &part : part_files) {
    unlink(part.c_str());
    forget_merge_temporary(part);
  }
  if (!join.joints_keep_words_apart(order)) {
    discard(fd, temporary);
    return merge_to_file(order, inputs, check_order, output_file);
  }
  publish(fd, temporary, output_file);
  return join.lines();
}

std::vector<const char *> names_of(const std::vector<std::string> &files) {
  std::vector<const char *> names;
  for (const std::string &file : files) names.push_back(file.c_str());
  return names;
}

}  // namespace

long long merge_results(int nfiles, const char *const *files, int nreducers,
                        const char *output_file, int check_order, int jobs,
                        const MergeProgress *progress) {
  g_merge_id = getpid();
  WordOrder order(nreducers);
  std::vector<const char *> inputs(files, files + (nfiles > 0 ? nfiles : 0));
  // More inputs than one round reads: merge them in groups into intermediate result files,
  // which are themselves result files of the same reducer count, until one round is left.
  std::vector<std::string> intermediates;
  for (int round = 0; inputs.size() > MERGE_FAN_IN; ++round) {
    std::vector<std::string> made =
        merge_round(order, inputs, check_order != 0, round, jobs, output_file, progress);
    // The inputs of this round that were intermediates themselves are no longer needed.
    for (const std::string &name : intermediates) {
      unlink(name.c_str());
      forget_merge_temporary(name);
    }
    intermediates = made;
    inputs = names_of(intermediates);
  }
  long long lines = merge_last_round(order, inputs, check_order != 0, jobs, output_file, progress);
  // The result's new name is durable only once its directory is flushed: the caller may remove
  // what it was made from as soon as this returns.
  if (!sync_directory_of(output_file)) {
    stop_merge("%s Error renaming the merge result onto %s\n", output_file);
  }
  for (const std::string &name : intermediates) unlink(name.c_str());
  forget_merge_temporaries();
  return lines;
}

long long merge_result_part(int nfiles, const char *const *files, int nreducers, int check_order,
                            int part, int nparts, const char *part_file) {
  g_merge_id = getpid();
  WordOrder order(nreducers);
  std::vector<const char *> inputs(files, files + (nfiles > 0 ? nfiles : 0));
  std::vector<std::vector<FileRange>> plan = plan_merge_parts(order, inputs, nparts);
  long long lines = merge_part_to_file(order, inputs, plan[part], check_order != 0, part_file);
  forget_merge_temporaries();
  return lines;
}

long long join_result_parts(int nfiles, const char *const *files, int nreducers, int check_order,
                            int nparts, const char *const *part_files, const char *output_file) {
  g_merge_id = getpid();
  WordOrder order(nreducers);
  std::string temporary = temporary_beside(output_file, "merging");
  int fd = create_temporary(temporary);
  PartJoin join(std::vector<std::string>(part_files, part_files + nparts), fd, temporary);
  for (int k = 0; k < nparts; ++k) join.part_done(k);
  long long lines = join.lines();
  if (join.joints_keep_words_apart(order)) {
    publish(fd, temporary, output_file);
  } else {
    discard(fd, temporary);
    std::vector<const char *> inputs(files, files + (nfiles > 0 ? nfiles : 0));
    lines = merge_to_file(order, inputs, check_order != 0, output_file);
  }
  if (!sync_directory_of(output_file)) {
    stop_merge("%s Error renaming the merge result onto %s\n", output_file);
  }
  forget_merge_temporaries();
  return lines;
}

int merge_part_count_of(int nfiles, const char *const *files, int jobs) {
  if (nfiles <= 0 || nfiles > MERGE_FAN_IN) return 1;
  return merge_part_count(sum_of_sizes(std::vector<const char *>(files, files + nfiles)), jobs);
}

int merge_group_count(int nfiles) {
  return nfiles > 0 ? (nfiles + MERGE_FAN_IN - 1) / MERGE_FAN_IN : 0;
}

long long merge_result_group(int nfiles, const char *const *files, int nreducers, int check_order,
                             int group, const char *group_file) {
  g_merge_id = getpid();
  WordOrder order(nreducers);
  std::vector<const char *> inputs(files, files + (nfiles > 0 ? nfiles : 0));
  long long lines = merge_to_file(order, group_of(inputs, group), check_order != 0, group_file);
  forget_merge_temporaries();
  return lines;
}

void remove_merge_leftovers(const char *output_file, long pid) {
  // Every temporary of a merge is named after the output with the merging process's id last:
  // "<output>.merging.<pid>", "<output>.round<r>_<n>.<pid>" and its own ".merging.<pid>".
  const std::filesystem::path output(output_file);
  const std::string prefix = output.filename().string() + ".";
  std::string suffix(1, '.');
  suffix += std::to_string(pid);
  std::filesystem::path dir = output.parent_path();
  std::error_code ignored;
  for (const auto &entry : std::filesystem::directory_iterator(dir.empty() ? "." : dir, ignored)) {
    std::string name = entry.path().filename().string();
    if (name.starts_with(prefix) && name.ends_with(suffix)) unlink(entry.path().c_str());
  }
}

long long merge_result_files(int nfiles, const char *const *files, int nreducers,
                             const char *output_file) {
  return merge_results(nfiles, files, nreducers, output_file, 1, 1, nullptr);
}

long long merge_own_result_files(int nfiles, const char *const *files, int nreducers,
                                 const char *output_file) {
  return merge_results(nfiles, files, nreducers, output_file, 0, 1, nullptr);
}
