// The shuffle on arbitrary map files, in a private working directory:
// - both line readers, fed in read sizes chosen by the input, give the lines
//   of the file: cut to 255 bytes, ended by a zero byte, an unterminated last
//   line dropped;
// - the whole stage puts every line into exactly one shuffle output file, the
//   one of its key's partition, each file sorted by strcoll;
// - a merge of sorted batch files keeps every line and sorts them.
#include <algorithm>
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "shuffle/Suffle.h"

namespace {

using Lines = std::vector<std::string>;

Lines expected_lines(std::string_view text) {
  Lines lines;
  for (std::string_view line : quovent_fuzz::terminated_lines(text)) {
    line = line.substr(0, std::min<size_t>(line.size(), MAX_LINE_BYTES));
    lines.emplace_back(line.substr(0, line.find('\0')));
  }
  return lines;
}

uint32_t partition_hash(const std::string &line) {
  uint32_t h = 5381;
  for (char c : line.substr(0, line.find(' '))) h = h * 33 + static_cast<int8_t>(c);
  return h;
}

bool collate_before(const std::string &a, const std::string &b) {
  return strcoll(a.c_str(), b.c_str()) < 0;
}

[[noreturn]] void finding(const char *what, const std::string &detail) {
  fprintf(stderr, "%s: [%s]\n", what, detail.c_str());
  abort();
}

// Whole lines of a shuffle output file, which must end with a line end.
Lines file_lines(const std::string &name) {
  std::string contents = quovent_fuzz::read_whole_file(name);
  if (!contents.empty() && contents.back() != '\n') finding("unterminated line in", name);
  Lines lines;
  for (std::string_view line : quovent_fuzz::terminated_lines(contents)) lines.emplace_back(line);
  return lines;
}

void require_same_lines(Lines got, Lines expected, const char *what) {
  std::sort(got.begin(), got.end());
  std::sort(expected.begin(), expected.end());
  if (got != expected) finding(what, "lines lost, added or changed");
}

void check_readers(std::string_view text, uint32_t seed, const Lines &expected) {
  static MapFile map_reader;
  static BatchFile batch_reader;
  Lines by_map_reader;
  Lines by_batch_reader;
  quovent_fuzz::feed_in_chunks(text, seed, [&](int fd) {
    map_reader.fd = fd;
    map_reader.pos = map_reader.end = 0;
    char line[LINE_SLOT];
    while (read_line_map(&map_reader, line)) by_map_reader.emplace_back(line);
  });
  quovent_fuzz::feed_in_chunks(text, seed + 1, [&](int fd) {
    batch_reader.fd = fd;
    batch_reader.pos = batch_reader.end = 0;
    while (read_line_batch(&batch_reader)) by_batch_reader.emplace_back(batch_reader.line);
  });
  if (by_map_reader != expected) finding("read_line_map", std::string(text));
  if (by_batch_reader != expected) finding("read_line_batch", std::string(text));
}

void check_stage(std::string_view text, int nmaps, int nreducers) {
  std::string names[MAX_MAP_FILES];
  char *name_pointers[MAX_MAP_FILES];
  Lines expected;
  size_t piece = text.size() / nmaps + 1;
  for (int i = 0; i < nmaps; ++i) {
    std::string_view bytes = text.substr(std::min(text.size(), i * piece), piece);
    names[i] = "tmp/_map_" + std::to_string(i) + ".tmp";
    name_pointers[i] = names[i].data();
    quovent_fuzz::write_whole_file(names[i], bytes);
    Lines lines = expected_lines(bytes);
    expected.insert(expected.end(), lines.begin(), lines.end());
  }
  int read = suffle_process_files(nmaps, name_pointers, nreducers);
  if (read != static_cast<int>(expected.size())) finding("suffle_process_files", "line count");
  Lines all;
  for (int r = 0; r < nreducers; ++r) {
    Lines lines = file_lines("tmp/_suffle_" + std::to_string(r) + ".tmp");
    for (size_t n = 0; n < lines.size(); ++n) {
      if (partition_hash(lines[n]) % nreducers != static_cast<uint32_t>(r)) {
        finding("line in the wrong partition", lines[n]);
      }
      if (n > 0 && collate_before(lines[n], lines[n - 1])) finding("unsorted", lines[n]);
    }
    all.insert(all.end(), lines.begin(), lines.end());
  }
  require_same_lines(all, expected, "shuffle stage");
}

void check_merge(const Lines &expected, int nbatches) {
  std::vector<Lines> batches(nbatches);
  for (size_t n = 0; n < expected.size(); ++n) batches[n % nbatches].push_back(expected[n]);
  for (int b = 0; b < nbatches; ++b) {
    std::sort(batches[b].begin(), batches[b].end(), collate_before);
    std::string contents;
    for (const std::string &line : batches[b]) contents += line + "\n";
    quovent_fuzz::write_whole_file("tmp/_batch_r0_" + std::to_string(b) + ".tmp", contents);
  }
  batch_count[0] = nbatches;
  merge_batchs(0);
  Lines merged = file_lines("tmp/_suffle_0.tmp");
  if (!std::is_sorted(merged.begin(), merged.end(), collate_before)) finding("merge", "unsorted");
  require_same_lines(merged, expected, "merge_batchs");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  if (setlocale(LC_ALL, "C.UTF-8") == nullptr) abort();
  quovent_fuzz::silence_stdout();
  quovent_fuzz::enter_private_workdir();
  return 0;
}

// Bytes 0-2 choose the counts and the read sizes; the rest is the map data.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 3) return 0;
  int nreducers = 1 + data[0] % MAX_REDUCERS;
  int nmaps = 1 + (data[0] / MAX_REDUCERS) % 4;
  int nbatches = 1 + data[2] % 8;
  std::string_view text(reinterpret_cast<const char *>(data) + 3, size - 3);
  Lines expected = expected_lines(text);
  check_readers(text, data[1], expected);
  check_stage(text, nmaps, nreducers);
  check_merge(expected, nbatches);
  return 0;
}
