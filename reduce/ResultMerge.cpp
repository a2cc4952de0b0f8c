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
#include "reduce/MergeSteps.h"
#include "reduce/MergeWorkers.h"
#include "reduce/ResultWriter.h"
#include "reduce/WordOrder.h"

namespace {

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
  for (const std::string &part : part_files) remove_temporary(part);
  if (!join.joints_keep_words_apart(order)) {
    discard(fd, temporary);
    return merge_to_file(order, inputs, check_order, output_file);
  }
  publish(fd, temporary, output_file);
  return join.lines();
}

}  // namespace

long long merge_results(int nfiles, const char *const *files, int nreducers,
                        const char *output_file, int check_order, int jobs,
                        const MergeProgress *progress) {
  begin_merge();
  WordOrder order(nreducers);
  // More inputs than one round reads: merge them in groups into intermediate result files,
  // which are themselves result files of the same reducer count, until one round is left.
  std::vector<std::string> intermediates;
  std::vector<const char *> inputs =
      merge_rounds(order, std::vector<const char *>(files, files + (nfiles > 0 ? nfiles : 0)),
                   check_order != 0, jobs, output_file, progress, intermediates);
  long long lines = merge_last_round(order, inputs, check_order != 0, jobs, output_file, progress);
  end_merge(output_file, intermediates);
  return lines;
}

long long merge_result_part(int nfiles, const char *const *files, int nreducers, int check_order,
                            int part, int nparts, const char *part_file) {
  begin_merge();
  WordOrder order(nreducers);
  std::vector<const char *> inputs(files, files + (nfiles > 0 ? nfiles : 0));
  std::vector<std::vector<FileRange>> plan = plan_merge_parts(order, inputs, nparts);
  long long lines = merge_part_to_file(order, inputs, plan[part], check_order != 0, part_file);
  forget_merge_temporaries();
  return lines;
}

long long join_result_parts(int nfiles, const char *const *files, int nreducers, int check_order,
                            int nparts, const char *const *part_files, const char *output_file) {
  begin_merge();
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
  begin_merge();
  WordOrder order(nreducers);
  std::vector<const char *> inputs(files, files + (nfiles > 0 ? nfiles : 0));
  long long lines =
      merge_to_file(order, merge_group_inputs(inputs, group), check_order != 0, group_file);
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
