#include "common/DurableFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "common/RawIO.h"

namespace {

constexpr char kPartialSuffix[] = ".partial";

// fsync of `path`, opened for reading: enough to flush what was written through another
// descriptor, and for a directory, the names it holds.
bool sync_path(const std::string &path, int flags) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | flags);
  if (fd < 0) return false;
  // A file system that cannot flush (EINVAL) has nothing to lose by it.
  bool synced = fsync(fd) == 0 || errno == EINVAL;
  int failed_errno = errno;
  close(fd);
  errno = failed_errno;
  return synced;
}

std::string directory_of(const std::string &path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

bool sync_directory_of(const std::string &path) {
  return sync_path(directory_of(path), O_DIRECTORY);
}

bool rename_durably(const std::string &from, const std::string &to) {
  return sync_path(from, 0) && rename(from.c_str(), to.c_str()) == 0 && sync_directory_of(to);
}

bool write_file_flushed(const std::string &file, const std::string &text) {
  int fd = create_output_file(file.c_str());
  if (fd < 0) return false;
  bool written =
      write_fully(fd, text.data(), text.size()) >= 0 && (fsync(fd) == 0 || errno == EINVAL);
  int failed_errno = errno;
  if (close_output_file(fd) != 0) return false;
  errno = failed_errno;
  return written;
}

bool write_file_durably(const std::string &file, const std::string &text) {
  std::string partial = file + kPartialSuffix;
  if (write_file_flushed(partial, text) && rename(partial.c_str(), file.c_str()) == 0 &&
      sync_directory_of(file)) {
    return true;
  }
  int failed_errno = errno;
  unlink(partial.c_str());
  errno = failed_errno;
  return false;
}
