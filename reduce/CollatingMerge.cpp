// The merge that collates once per distinct word: byte ranges keyed and sorted, then the ranges of
// the collation's order merged by their keys and joined.
#include "reduce/CollatingMerge.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/RawIO.h"
#include "reduce/KeyedRuns.h"
#include "reduce/MergeJoin.h"
#include "reduce/MergePlan.h"
#include "reduce/MergeSteps.h"
#include "reduce/MergeWorkers.h"
#include "reduce/ResultLine.h"
#include "reduce/ResultWriter.h"

namespace {

// First appearances a shard may number: more distinct words than a shard could ever hold.
constexpr int kFirstAppearanceBitsPerShard = 40;

unsigned long long first_appearance_base(int shard) {
  return static_cast<unsigned long long>(shard) << kFirstAppearanceBitsPerShard;
}

// The first half's part `part`: its byte range of every file merged, keyed and sorted into its
// keyed file, cut at the cuts of the collation's order.
void key_part(WordOrder &byte_order, WordOrder &collation, const std::vector<const char *> &inputs,
              const std::vector<FileRange> &ranges, bool check_order,
              const std::vector<std::unique_ptr<PlacedWord>> &cuts, const std::string &keyed) {
  int fd = create_temporary(keyed);
  KeyedRunWriter writer(collation, cuts, fd, keyed);
  merge_ranges_into(byte_order, inputs, ranges, check_order, writer);
  writer.complete();
  if (close_output_file(fd) != 0) stop_merge(kMergeWriteFailed, keyed.c_str());
}

// A merge of one part: its words keyed and sorted in memory and written straight into the result,
// through the keyed file only when they are more than one chunk. Returns the lines.
long long collate_in_one_part(WordOrder &byte_order, WordOrder &collation,
                              const std::vector<const char *> &inputs,
                              const std::vector<FileRange> &ranges, bool check_order,
                              const std::string &keyed, const char *output_file) {
  const std::vector<std::unique_ptr<PlacedWord>> no_cuts;
  int keyed_fd = create_temporary(keyed);
  KeyedRunWriter keyed_writer(collation, no_cuts, keyed_fd, keyed);
  merge_ranges_into(byte_order, inputs, ranges, check_order, keyed_writer);
  std::string temporary = temporary_beside(output_file, "merging");
  int fd = create_temporary(temporary);
  auto writer = std::make_unique<ResultWriter>(fd);
  if (keyed_writer.holds_every_word()) {
    keyed_writer.write_result(*writer, temporary.c_str());
  } else {
    keyed_writer.complete();
    merge_keyed_buckets(collation, {keyed}, 0, 1, *writer, temporary.c_str());
  }
  if (close_output_file(keyed_fd) != 0) stop_merge(kMergeWriteFailed, keyed.c_str());
  if (!writer->flush()) stop_merge(kMergeWriteFailed, temporary.c_str());
  publish(fd, temporary, output_file);
  return writer->lines();
}

// Buckets first_bucket to end_bucket - 1 of every keyed file into the file fd named `name`;
// returns the lines.
long long merge_buckets_into(WordOrder &collation, const std::vector<std::string> &keyed,
                             int first_bucket, int end_bucket, int fd, const char *name) {
  auto writer = std::make_unique<ResultWriter>(fd);
  merge_keyed_buckets(collation, keyed, first_bucket, end_bucket, *writer, name);
  if (!writer->flush()) stop_merge(kMergeWriteFailed, name);
  return writer->lines();
}

// The second half: every bucket merged in a process of its own, joined into a temporary beside
// output_file and renamed onto it. Returns the lines.
long long merge_buckets(WordOrder &collation, const std::vector<std::string> &keyed, int buckets,
                        int jobs, const char *output_file, const MergeProgress *progress,
                        int parts_before) {
  std::vector<std::string> part_files;
  for (int q = 0; q < buckets; ++q) {
    part_files.push_back(temporary_beside(output_file, "part" + std::to_string(q)));
    keep_merge_temporary(part_files.back());
  }
  std::string temporary = temporary_beside(output_file, "merging");
  int fd = create_temporary(temporary);
  PartJoin join(part_files, fd, temporary);
  int done = parts_before;
  run_merge_tasks(
      output_file, buckets, jobs,
      [&](int q) {
        int part_fd = create_temporary(part_files[q]);
        merge_buckets_into(collation, keyed, q, q + 1, part_fd, part_files[q].c_str());
        if (close_output_file(part_fd) != 0) stop_merge(kMergeWriteFailed, part_files[q].c_str());
      },
      [&](int q) {
        join.part_done(q);
        tell_progress(progress, ++done, parts_before + buckets);
      });
  for (const std::string &part : part_files) remove_temporary(part);
  long long lines = join.lines();
  // Words that one merge adds up on both sides of a cut (only words of 254 or 255 bytes whose
  // tuple lines the shuffle cuts can make them): every bucket merged again at once.
  if (!join.joints_keep_words_apart(collation)) {
    discard(fd, temporary);
    fd = create_temporary(temporary);
    lines = merge_buckets_into(collation, keyed, 0, buckets, fd, temporary.c_str());
  }
  publish(fd, temporary, output_file);
  return lines;
}

}  // namespace

bool results_are_byte_ordered(int nfiles, const char *const *files) {
  for (int i = 0; i < nfiles; ++i) {
    int fd = open(files[i], O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char start[kMaxLineWithFirstBytes + 1];
    ssize_t n = read_block(fd, start, sizeof start);
    close(fd);
    if (n <= 0) continue;
    const char *end = static_cast<const char *>(memchr(start, '\n', static_cast<size_t>(n)));
    std::string_view line(start, end != nullptr ? static_cast<size_t>(end - start) : n);
    size_t blank = line.find(' ');
    return blank != std::string_view::npos && line.find(' ', blank + 1) != std::string_view::npos;
  }
  return false;
}

long long merge_byte_ordered_results(int nfiles, const char *const *files, int nreducers,
                                     const char *output_file, bool check_order) {
  begin_merge();
  WordOrder byte_order(nreducers, ResultForm::kBytesWithFirst);
  std::vector<std::string> intermediates;
  std::vector<const char *> inputs =
      merge_rounds(byte_order, std::vector<const char *>(files, files + (nfiles > 0 ? nfiles : 0)),
                   check_order, 1, output_file, nullptr, intermediates);
  long long lines = merge_to_file(byte_order, inputs, check_order, output_file);
  end_merge(output_file, intermediates);
  return lines;
}

long long collate_results(int nfiles, const char *const *files, int nreducers,
                          const char *output_file, bool check_order, int jobs,
                          const MergeProgress *progress, int parts) {
  begin_merge();
  WordOrder byte_order(nreducers, ResultForm::kBytesWithFirst);
  WordOrder collation(nreducers);
  // Each shard numbers the first appearances of its words from 0; the shards before it in the
  // run's text come first.
  std::vector<unsigned long long> first_bases;
  for (int i = 0; i < nfiles; ++i) first_bases.push_back(first_appearance_base(i));
  std::vector<std::string> intermediates;
  std::vector<const char *> inputs =
      merge_rounds(byte_order, std::vector<const char *>(files, files + (nfiles > 0 ? nfiles : 0)),
                   check_order, jobs, output_file, progress, intermediates, &first_bases);
  // As many parts in each half as a merge in the result's order would have; every distinct word
  // lies in one part of the first half, where it is keyed once.
  if (parts <= 0) parts = merge_part_count(sum_of_sizes(inputs), jobs);
  std::vector<std::vector<FileRange>> ranges = plan_merge_parts(byte_order, inputs, parts);
  for (std::vector<FileRange> &part : ranges) {
    for (size_t i = 0; i < part.size(); ++i) part[i].first_base = first_bases[i];
  }
  std::vector<std::unique_ptr<PlacedWord>> cuts =
      choose_merge_cuts(collation, inputs, parts, byte_order.carries_first());
  const int buckets = static_cast<int>(cuts.size()) + 1;
  std::vector<std::string> keyed;
  for (int p = 0; p < parts; ++p) {
    keyed.push_back(temporary_beside(output_file, "keyed" + std::to_string(p)));
    keep_merge_temporary(keyed.back());
  }
  if (parts == 1) {
    tell_progress(progress, 0, 1);
    long long lines = collate_in_one_part(byte_order, collation, inputs, ranges[0], check_order,
                                          keyed[0], output_file);
    tell_progress(progress, 1, 1);
    remove_temporary(keyed[0]);
    end_merge(output_file, intermediates);
    return lines;
  }
  tell_progress(progress, 0, parts + buckets);
  int done = 0;
  run_merge_tasks(
      output_file, parts, jobs,
      [&](int p) {
        key_part(byte_order, collation, inputs, ranges[p], check_order, cuts, keyed[p]);
      },
      [&](int) { tell_progress(progress, ++done, parts + buckets); });
  long long lines = merge_buckets(collation, keyed, buckets, jobs, output_file, progress, parts);
  for (const std::string &file : keyed) remove_temporary(file);
  end_merge(output_file, intermediates);
  return lines;
}
