// Work file names, built as the stages that write and read them both need them.
#include "common/WorkFiles.h"

#include <cstddef>
#include <cstdio>

namespace {

// A work file name is the directory, a prefix and one or two numbers, joined by the formats
// below: tmp/_map_0.tmp, tmp/_suffle_3.tmp, tmp/_batch_r3_0.tmp.
constexpr char kWorkDir[] = WORK_DIR_NAME "/";
constexpr char kMapPrefix[] = "_map";
constexpr char kSufflePrefix[] = "_suffle";
constexpr char kBatchPrefix[] = "_batch";
constexpr char kSuffix[] = ".tmp";

// No name is cut: the longest each format gives, with every number at the widest int
// ("-2147483648") and the terminating zero, fits a name buffer.
constexpr size_t kMaxIntChars = 11;
constexpr size_t longest_numbered_name(size_t prefix_size) {
  return sizeof kWorkDir - 1 + prefix_size - 1 + sizeof "_" - 1 + kMaxIntChars + sizeof kSuffix;
}
static_assert(longest_numbered_name(sizeof kMapPrefix) <= WORK_NAME_SIZE);
static_assert(longest_numbered_name(sizeof kSufflePrefix) <= WORK_NAME_SIZE);
static_assert(sizeof kWorkDir - 1 + sizeof kBatchPrefix - 1 + sizeof "_r" - 1 + kMaxIntChars +
                  sizeof "_" - 1 + kMaxIntChars + sizeof ".tmp" <=
              WORK_NAME_SIZE);
static_assert(sizeof SINGLE_MAP_FILE <= WORK_NAME_SIZE);

// The map and shuffle output files: one number, "%s%s_%d%s".
void numbered_name(char name[WORK_NAME_SIZE], const char *prefix, int number) {
  snprintf(name, WORK_NAME_SIZE, "%s%s_%d%s", kWorkDir, prefix, number, kSuffix);
}

}  // namespace

void map_file_name(char name[WORK_NAME_SIZE], int mapper) {
  numbered_name(name, kMapPrefix, mapper);
}

void batch_file_name(char name[WORK_NAME_SIZE], int reducer, int batch) {
  snprintf(name, WORK_NAME_SIZE, "%s%s_r%d_%d.tmp", kWorkDir, kBatchPrefix, reducer, batch);
}

void suffle_file_name(char name[WORK_NAME_SIZE], int reducer) {
  numbered_name(name, kSufflePrefix, reducer);
}
