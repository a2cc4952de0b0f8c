// Combining on the map side: a table of distinct words, spilled as sorted runs.
#include "count/CombiningCount.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/Errors.h"
#include "common/OrderPrefix.h"
#include "common/PartitionHash.h"
#include "common/RawIO.h"
#include "common/RunFiles.h"
#include "reduce/CollatingMerge.h"
#include "reduce/ResultMerge.h"
#include "reduce/ResultWriter.h"

namespace {

// Words whose slots are fetched ahead of their count: the table is mostly out of the cache.
constexpr int kFetchAhead = 16;

// A distinct word as a spill sorts it: its section, then the order prefix of what decides its
// place (the word itself in byte order, else its tuple line's collation key), which settles
// most comparisons; ties go to the full comparison.
struct SortItem {
  uint64_t prefix[2];
  const char *key;  // the whole key where the order's cache keeps it, else nullptr
  uint32_t section;
  uint32_t index;
};

// The order prefix of a zero-terminated text, into the item.
void set_prefix(SortItem &item, const char *text) {
  const OrderPrefix prefix = order_prefix(text);
  item.prefix[0] = prefix.first;
  item.prefix[1] = prefix.second;
}

// A word of the table as the order sees it, its tuple line made in `line`.
OrderedWordView view_of(const WordTable &table, const SortItem &item, char *line) {
  const WordTable::Word &word = table.words()[item.index];
  const char *text = table.text(word);
  WordOrder::tuple_line_of(text, static_cast<int>(word.length), line);
  return {text, static_cast<int>(word.length), item.section, line, item.key};
}

// Stops the process through Error: `what` failed on the count file `name`, errno says why.
[[noreturn]] void count_file_failed(const char *what, const char *name) {
  error_at("count_shard", "%s the count file %s\n", what, name);
}

// Each word of the sorted table, in byte order, where every word is a group of its own.
bool write_words(const WordTable &table, const WordOrder &order, unsigned long long first_base,
                 std::span<const SortItem> items, ResultWriter &writer) {
  std::span<const WordTable::Word> words = table.words();
  for (const SortItem &item : items) {
    const WordTable::Word &word = words[item.index];
    std::string_view text(table.text(word), word.length);
    auto total = static_cast<long long>(word.count);
    bool added = order.carries_first() ? writer.add(text, total, first_base + item.index)
                                       : writer.add(text, total);
    if (!added) return false;
  }
  return true;
}

// The sorted table's groups of words that collate equal, each as its first word with their
// total.
bool write_groups(const WordTable &table, const WordOrder &order, std::span<const SortItem> items,
                  ResultWriter &writer) {
  std::span<const WordTable::Word> words = table.words();
  char line_a[kTupleLineSize];
  char line_b[kTupleLineSize];
  for (size_t first = 0; first < items.size();) {
    OrderedWordView group = view_of(table, items[first], line_a);
    unsigned long long total = words[items[first].index].count;
    size_t next = first + 1;
    for (; next < items.size(); ++next) {
      const SortItem &item = items[next];
      // Sorted words whose prefixes differ have lines that collate apart.
      bool lines_apart =
          item.prefix[0] != 0 && items[first].prefix[0] != 0 &&
          (item.prefix[0] != items[first].prefix[0] || item.prefix[1] != items[first].prefix[1]);
      if (!order.same_word(group, view_of(table, item, line_b), lines_apart)) break;
      total += words[item.index].count;
    }
    std::string_view word(group.word, static_cast<size_t>(group.length));
    if (!writer.add(word, static_cast<long long>(total))) return false;
    first = next;
  }
  return true;
}

}  // namespace

CombiningCount::CombiningCount(int nreducers, TableLimits limits, ResultForm form)
    : nreducers_(nreducers),
      order_(nreducers, form),
      table_(limits.max_words, limits.max_text_bytes),
      sort_space_(size_t{limits.max_words} * sizeof(SortItem), "count_shard", "the word table") {}

void CombiningCount::take_words(const char *text, const WordSpan *words, int count) {
  // Each word's slot is fetched kFetchAhead words before it is counted, and the known word the
  // slot names half as far ahead, once the slot has arrived.
  static_assert((kFetchAhead & (kFetchAhead - 1)) == 0);
  constexpr unsigned kRing = kFetchAhead - 1;
  const unsigned total = static_cast<unsigned>(count);
  WordTable::Incoming ahead[kFetchAhead];
  auto prepare = [&](unsigned n) {
    WordTable::Incoming &word = ahead[n & kRing];
    WordTable::prepare(word, text + words[n].offset, words[n].length);
    table_.prefetch_slot(word);
  };
  for (unsigned n = 0; n < total && n < kFetchAhead; ++n) prepare(n);
  for (unsigned n = 0; n < total; ++n) {
    if (n + kFetchAhead / 2 < total) table_.prefetch_word(ahead[(n + kFetchAhead / 2) & kRing]);
    this->count(ahead[n & kRing]);
    if (n + kFetchAhead < total) prepare(n + kFetchAhead);
  }
  words_ += count;
}

void CombiningCount::count(const WordTable::Incoming &word) {
  if (table_.add(word)) return;
  spill();
  table_.add(word);  // an empty table takes any word
}

void CombiningCount::spill() {
  std::string name = sorted_run_file(runs_.size());
  write_sorted_table(name.c_str());
  runs_.push_back(name);
  // The words of the next table came after every word of this one.
  first_base_ += table_.words().size();
  table_.clear();
}

// The table's words in the result's order, each distinct word once with its count: words that
// collate equal are added up under the bytes of the one that came first, as the reducer adds
// them up under the first of its group.
void CombiningCount::write_sorted_table(const char *file) {
  std::span<const WordTable::Word> words = table_.words();
  std::span<SortItem> items(sort_space_.as<SortItem>(), words.size());
  char line[kTupleLineSize];
  char key_made[kMaxSortKeyBytes];
  for (uint32_t d = 0; d < words.size(); ++d) {
    SortItem &item = items[d];
    const char *text = table_.text(words[d]);
    const uint32_t hash = partition_hash(std::string_view(text, words[d].length));
    item.index = d;
    item.section = order_.section_of(hash);
    item.key = nullptr;
    if (order_.by_bytes()) {
      set_prefix(item, text);
      continue;
    }
    int length = WordOrder::tuple_line_of(text, static_cast<int>(words[d].length), line);
    const char *key = order_.key_of(hash, line, static_cast<size_t>(length), key_made);
    set_prefix(item, key != nullptr ? key : "");
    if (key != key_made) item.key = key;
  }
  char line_a[kTupleLineSize];
  char line_b[kTupleLineSize];
  // A word whose key was too long to make has prefix zero and is compared in full; every
  // decision agrees with the collation, and words that collate equal keep the order they came in.
  // In byte order no two words of the table are equal.
  auto before = [&](const SortItem &a, const SortItem &b) {
    if (a.section != b.section) return a.section < b.section;
    if (a.prefix[0] != 0 && b.prefix[0] != 0) {
      if (a.prefix[0] != b.prefix[0]) return a.prefix[0] < b.prefix[0];
      if (a.prefix[1] != b.prefix[1]) return a.prefix[1] < b.prefix[1];
    }
    int c = order_.by_bytes() ? strcmp(table_.text(words[a.index]), table_.text(words[b.index]))
            : a.key != nullptr && b.key != nullptr
                ? strcmp(a.key, b.key)
                : order_.compare(view_of(table_, a, line_a), view_of(table_, b, line_b));
    return c != 0 ? c < 0 : a.index < b.index;
  };
  std::sort(items.begin(), items.end(), before);

  const int fd = create_output_file(file);
  if (fd < 0) count_file_failed("Error opening", file);
  ResultWriter writer(fd);
  bool written = order_.by_bytes() ? write_words(table_, order_, first_base_, items, writer)
                                   : write_groups(table_, order_, items, writer);
  if (!written) count_file_failed("Error writting", file);
  if (!writer.flush() || close_output_file(fd) != 0) count_file_failed("Error writting", file);
}

void CombiningCount::finish(const char *result_file, bool keep_runs) {
  if (runs_.empty()) {
    write_sorted_table(result_file);
    return;
  }
  if (!table_.words().empty()) spill();
  // The merge of the runs needs memory of its own: the table's goes back first.
  table_.release();
  sort_space_.release();
  std::vector<const char *> names;
  for (const std::string &run : runs_) names.push_back(run.c_str());
  if (order_.carries_first()) {
    merge_byte_ordered_results(static_cast<int>(names.size()), names.data(), nreducers_,
                               result_file, false);
  } else {
    merge_own_result_files(static_cast<int>(names.size()), names.data(), nreducers_, result_file);
  }
  if (!keep_runs) {
    for (const std::string &run : runs_) unlink(run.c_str());
  }
}
