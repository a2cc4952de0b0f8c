#include "reference/ReferencePipeline.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <string>
#include <vector>

namespace quovent_reference {
namespace {

constexpr size_t kMaxWord = 255;
constexpr size_t kMaxLine = 255;
constexpr size_t kBatchLines = 262144;

int unit_length(unsigned char c) {
  if ((c & 0x80) == 0) return 1;
  if ((c & 0xE0) == 0xC0) return 2;
  if ((c & 0xF0) == 0xE0) return 3;
  if ((c & 0xF8) == 0xF0) return 4;
  return 1;
}

// Two conversions per word, exactly as the word rules describe the lower-casing; a word that
// cannot be converted stays as it is.
std::string lower_case(const std::string &word) {
  wchar_t wide[kMaxWord + 1];
  size_t n = mbstowcs(wide, word.c_str(), kMaxWord + 1);
  if (n == static_cast<size_t>(-1) || n > kMaxWord) return word;
  for (size_t k = 0; k < n; ++k) wide[k] = static_cast<wchar_t>(towlower(wide[k]));
  char back[kMaxWord + 1];
  size_t bytes = wcstombs(back, wide, sizeof back);
  if (bytes == static_cast<size_t>(-1) || bytes > kMaxWord) return word;
  return std::string(back, bytes);
}

std::string map_text(const std::string &text) {
  std::string out;
  std::string word;
  auto emit = [&] {
    if (word.empty()) return;
    out += lower_case(word) + " 1\n";
    word.clear();
  };
  for (size_t i = 0; i < text.size();) {
    unsigned char c = text[i];
    size_t len = unit_length(c);
    if (i + len > text.size()) len = text.size() - i;  // cut by the end: no letter
    bool letter =
        (len == 1 && isalpha(c)) ||
        (len == 2 && c == 0xC3 && (static_cast<unsigned char>(text[i + 1]) & 0xC0) == 0x80);
    if (letter) {
      if (word.size() + len <= kMaxWord) word.append(text, i, len);
    } else {
      emit();
    }
    i += len;
  }
  emit();
  return out;
}

uint32_t partition_hash(const std::string &key) {
  uint32_t h = 5381;
  for (char c : key)
    h = h * 33 + static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(c)));
  return h;
}

int compare_lines(const void *a, const void *b) {
  return strcoll(*static_cast<const char *const *>(a), *static_cast<const char *const *>(b));
}

std::string joined(const std::vector<std::string> &lines) {
  std::string out;
  for (const std::string &line : lines) out += line + "\n";
  return out;
}

std::vector<std::string> sorted_batch(const std::vector<std::string> &lines) {
  std::vector<const char *> order;
  for (const std::string &line : lines) order.push_back(line.c_str());
  qsort(order.data(), order.size(), sizeof order[0], compare_lines);
  return std::vector<std::string>(order.begin(), order.end());
}

// Takes the smallest current line by strcoll each time, the first batch on ties.
std::vector<std::string> merged(const std::vector<std::vector<std::string>> &batches) {
  std::vector<size_t> next(batches.size(), 0);
  std::vector<std::string> out;
  for (;;) {
    int best = -1;
    for (size_t b = 0; b < batches.size(); ++b) {
      if (next[b] == batches[b].size()) continue;
      if (best < 0 || strcoll(batches[b][next[b]].c_str(), batches[best][next[best]].c_str()) < 0) {
        best = static_cast<int>(b);
      }
    }
    if (best < 0) return out;
    out.push_back(batches[best][next[best]++]);
  }
}

// Adjacent lines whose words collate equal add up; the first line names the group.
std::string reduced(const std::vector<std::string> &lines) {
  std::string out;
  std::string prev;
  long long sum = 0;
  bool has_group = false;
  auto flush = [&] {
    if (has_group && sum > 0) out += prev + " " + std::to_string(sum) + "\n";
  };
  for (const std::string &line : lines) {
    size_t blank = line.find(' ');
    std::string word = line.substr(0, blank);
    // A long word's line is cut before its count; such a line is one occurrence.
    const char *rest = blank == std::string::npos ? "" : line.c_str() + blank + 1;
    long long count = isdigit(static_cast<unsigned char>(*rest)) ? atoll(rest) : 1;
    if (has_group && strcoll(prev.c_str(), word.c_str()) == 0) {
      sum += count;
      continue;
    }
    flush();
    prev = word;
    sum = count;
    has_group = true;
  }
  flush();
  return out;
}

}  // namespace

std::vector<std::vector<std::string>> shuffle_stage(const std::vector<std::string> &map_files,
                                                    int reducers,
                                                    std::map<std::string, std::string> &files) {
  std::vector<std::vector<std::vector<std::string>>> batches(reducers);
  std::vector<std::vector<std::string>> pending(reducers);
  auto spill = [&](int r) {
    if (pending[r].empty()) return;
    char name[64];
    snprintf(name, sizeof name, "tmp/_batch_r%d_%zu.tmp", r, batches[r].size());
    batches[r].push_back(sorted_batch(pending[r]));
    files[name] = joined(batches[r].back());
    pending[r].clear();
  };
  // One line from each map file in turn; a file whose lines are used up drops out.
  std::vector<size_t> at(map_files.size(), 0);
  for (bool any = true; any;) {
    any = false;
    for (size_t m = 0; m < map_files.size(); ++m) {
      size_t end = map_files[m].find('\n', at[m]);
      if (at[m] >= map_files[m].size() || end == std::string::npos) continue;
      any = true;
      std::string line = map_files[m].substr(at[m], std::min(end - at[m], kMaxLine));
      at[m] = end + 1;
      int r = static_cast<int>(partition_hash(line.substr(0, line.find(' '))) %
                               static_cast<uint32_t>(reducers));
      pending[r].push_back(line);
      if (pending[r].size() == kBatchLines) spill(r);
    }
  }
  for (int r = 0; r < reducers; ++r) spill(r);
  std::vector<std::vector<std::string>> lines(reducers);
  for (int r = 0; r < reducers; ++r) {
    lines[r] = merged(batches[r]);
    files["tmp/_suffle_" + std::to_string(r) + ".tmp"] = joined(lines[r]);
  }
  return lines;
}

std::map<std::string, std::string> run_pipeline(const std::string &text, int reducers) {
  std::map<std::string, std::string> files;
  std::string map_file = map_text(text);
  files["tmp/_map.tmp"] = map_file;
  std::string result;
  for (const std::vector<std::string> &lines : shuffle_stage({map_file}, reducers, files)) {
    result += reduced(lines);
  }
  files["Result/qv.txt"] = result;
  return files;
}

}  // namespace quovent_reference
