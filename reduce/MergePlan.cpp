// The parts of a merge: cuts chosen from samples of the files, and found in every file by a binary
// search on its line starts.
#include "reduce/MergePlan.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "reduce/ResultLine.h"

namespace {

// Samples taken in all, per part: a cut is then off its aim by about 1/64 of a part.
constexpr long long kSamplesPerPart = 64;
constexpr long long kMinSamplesPerFile = 8;
constexpr long long kMaxSamplesPerFile = 4096;

// What a probe reads: from the byte before its offset, enough for the rest of one line and the
// whole of the next.
constexpr int kProbeBytes = 2 * (kMaxLineWithFirstBytes + 1) + 1;

// An input opened for the plan; closed by its owner.
struct PlanInput {
  const char *name;
  int fd = -1;
  long long size = 0;
  bool with_first = false;  // its lines carry first appearances
  ~PlanInput() {
    if (fd >= 0) close(fd);
  }
};

// The first line that begins at or after `from`: where it begins and ends (its line end
// excluded) in the file, and its text.
struct LineAt {
  long long start = 0;
  long long next = 0;  // where the line after it begins
  std::string_view text;
  char buf[kProbeBytes];
};

// False when no line begins at or after `from` within the bytes a probe reads: past the end, or
// in a file whose lines are too long to be a result file's.
bool line_at_or_after(const PlanInput &input, long long from, LineAt &at) {
  if (from >= input.size) return false;
  long long read_from = from > 0 ? from - 1 : 0;
  ssize_t n = pread(input.fd, at.buf, sizeof at.buf, read_from);
  if (n < 0) stop_merge("%s Error reading result file %s\n", input.name);
  int begin = 0;
  if (from > 0) {
    const char *line_end = static_cast<const char *>(memchr(at.buf, '\n', n));
    if (line_end == nullptr) return false;
    begin = static_cast<int>(line_end - at.buf) + 1;
  }
  at.start = read_from + begin;
  if (at.start >= input.size) return false;
  const char *end = static_cast<const char *>(memchr(at.buf + begin, '\n', n - begin));
  // A line without its line end is the file's last, or one too long: either is read as it is,
  // and the part that reads it refuses it.
  int length =
      end != nullptr ? static_cast<int>(end - at.buf) - begin : static_cast<int>(n) - begin;
  at.text = std::string_view(at.buf + begin, static_cast<size_t>(length));
  at.next = at.start + length + 1;
  return true;
}

// Samples of one file at even byte steps, each with the bytes up to the next one.
void sample_file(WordOrder &order, const PlanInput &input, long long count,
                 std::vector<std::unique_ptr<PlacedWord>> &samples) {
  auto at = std::make_unique<LineAt>();
  size_t first = samples.size();
  long long last_start = -1;
  for (long long k = 0; k < count; ++k) {
    if (!line_at_or_after(input, input.size * k / count, *at) || at->start == last_start) continue;
    auto sample = std::make_unique<PlacedWord>();
    if (!entry_of_line(order, true, at->text, sample->entry, input.with_first)) continue;
    last_start = at->start;
    sample->bytes = at->start;  // made the bytes up to the next sample below
    samples.push_back(std::move(sample));
  }
  for (size_t i = first; i < samples.size(); ++i) {
    long long next = i + 1 < samples.size() ? samples[i + 1]->bytes : input.size;
    samples[i]->bytes = next - samples[i]->bytes;
  }
}

// The section start nearest to `aim` bytes, at or after section `least`: while there are at least
// as many sections as parts, the parts are whole sections.
unsigned section_cut(const std::vector<long long> &bytes_before_section, long long aim,
                     unsigned least) {
  unsigned best = least;
  for (unsigned s = least; s < bytes_before_section.size(); ++s) {
    if (std::llabs(bytes_before_section[s] - aim) < std::llabs(bytes_before_section[best] - aim)) {
      best = s;
    }
  }
  return best;
}

// The words that cut the merge into `parts` parts of about one size: parts - 1 cuts in order.
std::vector<std::unique_ptr<PlacedWord>> choose_cuts(WordOrder &order,
                                                     const std::vector<PlanInput> &inputs,
                                                     int parts) {
  long long total = 0;
  for (const PlanInput &input : inputs) total += input.size;
  long long per_file = kSamplesPerPart * parts / static_cast<long long>(inputs.size());
  per_file = std::clamp(per_file, kMinSamplesPerFile, kMaxSamplesPerFile);
  std::vector<std::unique_ptr<PlacedWord>> samples;
  for (const PlanInput &input : inputs) sample_file(order, input, per_file, samples);
  std::stable_sort(samples.begin(), samples.end(), [&order](const auto &a, const auto &b) {
    return order.compare(a->entry.view(), b->entry.view()) < 0;
  });
  std::vector<long long> bytes_before_section(order.sections() + 1, 0);
  for (const auto &sample : samples) {
    for (unsigned s = sample->entry.section + 1; s <= order.sections(); ++s) {
      bytes_before_section[s] += sample->bytes;
    }
  }
  std::vector<std::unique_ptr<PlacedWord>> cuts;
  size_t next_sample = 0;
  long long bytes_before = 0;  // of the samples before next_sample
  unsigned least_section = 1;
  for (int k = 1; k < parts; ++k) {
    long long aim = total / parts * k;
    auto cut = std::make_unique<PlacedWord>();
    if (order.sections() >= static_cast<unsigned>(parts)) {
      least_section = section_cut(bytes_before_section, aim, least_section);
      cut->entry.section = least_section;  // its first word; the last section's end at the most
    } else {
      while (next_sample < samples.size() && bytes_before < aim) {
        bytes_before += samples[next_sample++]->bytes;
      }
      if (next_sample < samples.size()) {
        cut->entry = samples[next_sample]->entry;
        // The copied key points into the sample's own buffer: it follows the copy.
        if (cut->entry.key == samples[next_sample]->entry.key_made) {
          cut->entry.key = cut->entry.key_made;
        }
      } else {
        cut->entry.section = order.sections();  // past every word
      }
    }
    cuts.push_back(std::move(cut));
  }
  return cuts;
}

// The first line start of the file whose word does not sort before the cut (the file's length
// when there is none). The probes of a file that is no result file find some line start.
long long locate_cut(WordOrder &order, const PlanInput &input, const PlacedWord &cut) {
  auto at = std::make_unique<LineAt>();
  auto entry = std::make_unique<MergeEntry>();
  long long low = 0;            // a line start; those before it sort before the cut
  long long high = input.size;  // those at or after it do not
  while (low < high) {
    long long middle = low + (high - low) / 2;
    if (!line_at_or_after(input, middle, *at) || at->start >= high) {
      high = middle;
      continue;
    }
    bool before = entry_of_line(order, true, at->text, *entry, input.with_first) &&
                  compare_with_cut(order, entry->view(), cut) < 0 && at->next <= input.size;
    if (before) {
      low = at->next;
    } else {
      high = at->start;
    }
  }
  return low;
}

// The files opened for a plan, their lines carrying first appearances when with_first.
std::vector<PlanInput> open_plan_inputs(const std::vector<const char *> &files, bool with_first) {
  std::vector<PlanInput> inputs(files.size());
  for (size_t i = 0; i < files.size(); ++i) {
    PlanInput &input = inputs[i];
    input.name = files[i];
    input.with_first = with_first;
    input.fd = open(files[i], O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (input.fd < 0) stop_merge("%s Error opening result file %s\n", files[i]);
    if (fstat(input.fd, &st) < 0) stop_merge("%s Error reading result file %s\n", files[i]);
    input.size = S_ISREG(st.st_mode) ? st.st_size : 0;
  }
  return inputs;
}

}  // namespace

int compare_with_cut(const WordOrder &order, const OrderedWordView &word, const PlacedWord &cut) {
  if (cut.section_start() || word.section != cut.entry.section) {
    return word.section < cut.entry.section ? -1 : 1;
  }
  return order.compare(word, cut.entry.view());
}

std::vector<std::unique_ptr<PlacedWord>> choose_merge_cuts(WordOrder &order,
                                                           const std::vector<const char *> &files,
                                                           int parts, bool with_first) {
  if (parts <= 1 || files.empty()) return {};
  return choose_cuts(order, open_plan_inputs(files, with_first), parts);
}

int merge_part_count(long long bytes, int jobs) {
  if (jobs <= 1) return 1;
  long long parts = std::min<long long>(static_cast<long long>(jobs) * kMergePartsPerJob,
                                        bytes / kMinMergePartBytes);
  return parts > 1 ? static_cast<int>(parts) : 1;
}

std::vector<std::vector<FileRange>> plan_merge_parts(WordOrder &order,
                                                     const std::vector<const char *> &files,
                                                     int parts) {
  std::vector<std::vector<FileRange>> plan(static_cast<size_t>(parts),
                                           std::vector<FileRange>(files.size()));
  if (parts <= 1 || files.empty()) return plan;
  std::vector<PlanInput> inputs = open_plan_inputs(files, order.carries_first());
  std::vector<std::unique_ptr<PlacedWord>> cuts = choose_cuts(order, inputs, parts);
  for (size_t i = 0; i < inputs.size(); ++i) {
    long long begin = 0;
    for (int k = 1; k < parts; ++k) {
      // Never before the cut before it, whatever a file that is no result file makes the search
      // find: every line stays in one part.
      long long end = std::max(begin, locate_cut(order, inputs[i], *cuts[k - 1]));
      plan[k - 1][i] = FileRange{begin, end};
      begin = end;
    }
    plan[parts - 1][i] = FileRange{begin, FileRange{}.end};
  }
  return plan;
}
