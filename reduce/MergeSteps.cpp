// The steps of a merge: its temporaries, a merge of whole files, rounds, progress.
#include "reduce/MergeSteps.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "common/DurableFile.h"
#include "common/RawIO.h"
#include "reduce/MergeWorkers.h"
#include "reduce/ResultWriter.h"

namespace {

// The process id of the merge's first process: the last part of the name of every temporary file
// the merge and its workers make, so that the driver that saw it end by a signal finds them all.
long g_merge_id = 0;

std::vector<const char *> names_of(const std::vector<std::string> &files) {
  std::vector<const char *> names;
  for (const std::string &file : files) names.push_back(file.c_str());
  return names;
}

// One round of a merge of more inputs than one process reads at once: groups of MERGE_FAN_IN
// inputs merged, in `jobs` processes, into intermediate result files of the same reducer count.
std::vector<std::string> merge_round(WordOrder &order, const std::vector<const char *> &inputs,
                                     bool check_order, int round, int jobs, const char *output_file,
                                     const MergeProgress *progress,
                                     const std::vector<unsigned long long> &first_bases) {
  std::vector<std::vector<const char *>> groups;
  std::vector<std::vector<unsigned long long>> group_bases;
  std::vector<std::string> made;
  for (int g = 0; g < merge_group_count(static_cast<int>(inputs.size())); ++g) {
    groups.push_back(merge_group_inputs(inputs, g));
    if (!first_bases.empty()) {
      size_t first = static_cast<size_t>(g) * MERGE_FAN_IN;
      group_bases.emplace_back(first_bases.begin() + first,
                               first_bases.begin() + first + groups.back().size());
    }
    made.push_back(temporary_beside(
        output_file, "round" + std::to_string(round) + "_" + std::to_string(made.size())));
    keep_merge_temporary(made.back());
  }
  auto merge_group = [&](int g) {
    merge_to_file(order, groups[g], check_order, made[g],
                  group_bases.empty() ? std::vector<unsigned long long>{} : group_bases[g]);
  };
  int count = static_cast<int>(groups.size());
  tell_progress(progress, 0, count);
  int done = 0;
  run_merge_tasks(output_file, count, jobs, merge_group,
                  [&](int) { tell_progress(progress, ++done, count); });
  return made;
}

}  // namespace

void begin_merge() { g_merge_id = getpid(); }

std::string temporary_beside(const std::string &target, const std::string &what) {
  return target + "." + what + "." + std::to_string(g_merge_id);
}

int create_temporary(const std::string &name) {
  int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, CREATED_FILE_MODE);
  if (fd < 0) stop_merge("%s Error opening merge output file %s\n", name.c_str());
  keep_merge_temporary(name);
  return fd;
}

void publish(int fd, const std::string &temporary, const std::string &target) {
  // A lost write shows at fsync or close on some file systems; the rename must not hide it.
  if (fsync(fd) < 0 && errno != EINVAL) stop_merge(kMergeWriteFailed, temporary.c_str());
  if (close_output_file(fd) != 0) stop_merge(kMergeWriteFailed, temporary.c_str());
  if (rename(temporary.c_str(), target.c_str()) < 0) {
    stop_merge("%s Error renaming the merge result onto %s\n", target.c_str());
  }
  forget_merge_temporary(temporary);
}

void discard(int fd, const std::string &temporary) {
  close(fd);
  unlink(temporary.c_str());
  forget_merge_temporary(temporary);
}

long long merge_into_fd(WordOrder &order, const std::vector<const char *> &files,
                        const std::vector<FileRange> &ranges, bool check_order, int fd,
                        const char *name) {
  auto writer = std::make_unique<ResultWriter>(fd);
  MergedLines lines(*writer, name, order.carries_first());
  merge_ranges_into(order, files, ranges, check_order, lines);
  if (!writer->flush()) stop_merge(kMergeWriteFailed, name);
  return writer->lines();
}

long long merge_to_file(WordOrder &order, const std::vector<const char *> &files, bool check_order,
                        const std::string &target,
                        const std::vector<unsigned long long> &first_bases) {
  std::string temporary = temporary_beside(target, "merging");
  int fd = create_temporary(temporary);
  std::vector<FileRange> ranges(files.size());
  for (size_t i = 0; i < first_bases.size() && i < ranges.size(); ++i) {
    ranges[i].first_base = first_bases[i];
  }
  long long lines = merge_into_fd(order, files, ranges, check_order, fd, temporary.c_str());
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

std::vector<const char *> merge_group_inputs(const std::vector<const char *> &inputs, int g) {
  size_t first = static_cast<size_t>(g) * MERGE_FAN_IN;
  size_t last = std::min(inputs.size(), first + MERGE_FAN_IN);
  return std::vector<const char *>(inputs.begin() + first, inputs.begin() + last);
}

long long sum_of_sizes(const std::vector<const char *> &files) {
  long long bytes = 0;
  struct stat st;
  // A file that cannot be examined is reported by the merge that opens it.
  for (const char *file : files) bytes += stat(file, &st) == 0 ? st.st_size : 0;
  return bytes;
}

void remove_temporary(const std::string &name) {
  unlink(name.c_str());
  forget_merge_temporary(name);
}

std::vector<const char *> merge_rounds(WordOrder &order, std::vector<const char *> inputs,
                                       bool check_order, int jobs, const char *output_file,
                                       const MergeProgress *progress,
                                       std::vector<std::string> &intermediates,
                                       std::vector<unsigned long long> *first_bases) {
  for (int round = 0; inputs.size() > MERGE_FAN_IN; ++round) {
    std::vector<std::string> made =
        merge_round(order, inputs, check_order, round, jobs, output_file, progress,
                    first_bases != nullptr ? *first_bases : std::vector<unsigned long long>{});
    if (first_bases != nullptr) first_bases->assign(made.size(), 0);
    // The inputs of this round that were intermediates themselves are no longer needed.
    for (const std::string &name : intermediates) remove_temporary(name);
    intermediates = made;
    inputs = names_of(intermediates);
  }
  return inputs;
}

void end_merge(const char *output_file, const std::vector<std::string> &intermediates) {
  // The result's new name is durable only once its directory is flushed.
  if (!sync_directory_of(output_file)) {
    stop_merge("%s Error renaming the merge result onto %s\n", output_file);
  }
  for (const std::string &name : intermediates) unlink(name.c_str());
  forget_merge_temporaries();
}
