#include "input/Inputs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sysexits.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <utility>

#include "common/AbsolutePath.h"
#include "common/Errors.h"
#include "input/EncodedInput.h"

namespace {

constexpr char kStandardInput[] = "-";
// The user named something that no text comes from.
constexpr int kNotAnInputStatus = EX_NOINPUT;

using FileIdentity = std::pair<dev_t, ino_t>;

struct Gathering {
  bool as_stored;
  std::vector<Input> inputs;
  std::set<FileIdentity> seen_files;  // within directory trees
  std::set<FileIdentity> seen_dirs;
};

[[noreturn]] void refuse_kind(const std::string &name) {
  fail_at(nullptr, kNotAnInputStatus,
          "%s is neither a file, a directory nor a stream that can be read", name.c_str());
}

// A regular file: readable, and compressed or not by its first bytes.
void add_file(Gathering &gathering, const std::string &path, const std::string &name,
              const struct stat &st) {
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) error_at(nullptr, "Error opening input file %s\n", name.c_str());
  unsigned char head[kSignatureBytes];
  ssize_t n = pread(fd, head, sizeof head, 0);
  if (n < 0) error_at(nullptr, "Error reading input file %s\n", name.c_str());
  close(fd);
  bool encoded = !gathering.as_stored && looks_encoded(head, static_cast<size_t>(n));
  long long modified_ns = st.st_mtim.tv_sec * 1'000'000'000LL + st.st_mtim.tv_nsec;
  gathering.inputs.push_back(Input{path, name, encoded ? InputKind::kEncoded : InputKind::kText,
                                   st.st_size, -1, modified_ns});
}

void walk(Gathering &gathering, const std::string &dir, const std::string &name) {
  DIR *handle = opendir(dir.c_str());
  if (handle == nullptr) error_at(nullptr, "Error opening input directory %s\n", name.c_str());
  std::vector<std::string> entries;
  errno = 0;
  while (dirent *entry = readdir(handle)) {
    std::string child = entry->d_name;
    if (child != "." && child != "..") entries.push_back(child);
  }
  if (errno != 0) error_at(nullptr, "Error reading input directory %s\n", name.c_str());
  closedir(handle);
  std::sort(entries.begin(), entries.end());
  for (const std::string &child : entries) {
    std::string path = dir + "/" + child;
    std::string child_name = name + (name.ends_with('/') ? "" : "/") + child;
    struct stat st;
    if (stat(path.c_str(), &st) < 0)
      error_at(nullptr, "Error opening input file %s\n", child_name.c_str());
    FileIdentity identity{st.st_dev, st.st_ino};
    if (S_ISDIR(st.st_mode)) {
      if (gathering.seen_dirs.insert(identity).second) walk(gathering, path, child_name);
    } else if (S_ISREG(st.st_mode)) {
      if (gathering.seen_files.insert(identity).second) add_file(gathering, path, child_name, st);
    } else {
      // A pipe or a device inside a tree would be read by surprise, or wait for ever.
      refuse_kind(child_name);
    }
  }
}

bool same_file(const struct stat &a, const struct stat &b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// path with every symbolic link resolved; empty when it cannot be.
std::string resolved_path(const std::string &path) {
  char resolved[PATH_MAX];
  return realpath(path.c_str(), resolved) != nullptr ? resolved : "";
}

bool lies_in_tree(const std::string &path, const std::string &dir) {
  return path == dir || path.starts_with(dir.ends_with('/') ? dir : dir + "/");
}

}  // namespace

std::vector<Input> gather_inputs(const std::vector<std::string> &args, bool as_stored) {
  Gathering gathering{as_stored, {}, {}, {}};
  for (const std::string &arg : args) {
    if (arg == kStandardInput) {
      gathering.inputs.push_back(Input{arg, "standard input", InputKind::kStream, -1, 0});
      continue;
    }
    std::string path = absolute_path(arg);
    if (path.empty()) error_at(nullptr, "Error finding the directory of %s\n", arg.c_str());
    struct stat st;
    if (stat(path.c_str(), &st) < 0)
      error_at(nullptr, "Error opening input file %s\n", arg.c_str());
    if (S_ISDIR(st.st_mode)) {
      gathering.seen_dirs.insert({st.st_dev, st.st_ino});
      walk(gathering, path, arg);
    } else if (S_ISREG(st.st_mode)) {
      add_file(gathering, path, arg, st);
    } else if (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode)) {
      // Opened here, once: a pipe opened to check it and closed again loses its writer.
      int fd = open(path.c_str(), O_RDONLY);
      if (fd < 0) error_at(nullptr, "Error opening input file %s\n", arg.c_str());
      gathering.inputs.push_back(Input{path, arg, InputKind::kStream, -1, fd});
    } else {
      refuse_kind(arg);
    }
  }
  return gathering.inputs;
}

OverwrittenInput input_overwritten_by(const std::string &output_file,
                                      const std::vector<std::string> &args,
                                      const std::vector<Input> &inputs) {
  using Kind = OverwrittenInput::Kind;
  struct stat output;
  if (stat(output_file.c_str(), &output) == 0) {
    for (const Input &input : inputs) {
      struct stat st;
      int examined =
          input.path == kStandardInput ? fstat(STDIN_FILENO, &st) : stat(input.path.c_str(), &st);
      if (examined == 0 && same_file(st, output)) return {Kind::kInput, input.name};
    }
  }
  std::string output_dir = resolved_path(std::filesystem::path(output_file).parent_path().string());
  if (output_dir.empty()) return {};
  for (const std::string &arg : args) {
    if (arg == kStandardInput) continue;
    std::string dir = resolved_path(arg);
    struct stat st;
    if (dir.empty() || stat(dir.c_str(), &st) < 0 || !S_ISDIR(st.st_mode)) continue;
    if (lies_in_tree(output_dir, dir)) return {Kind::kDirectory, arg};
  }
  return {};
}
