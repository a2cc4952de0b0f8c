#include "common/AbsolutePath.h"

#include <cerrno>
#include <filesystem>

std::string absolute_path(const std::string &path) {
  std::error_code error;
  std::filesystem::path absolute = std::filesystem::absolute(path, error);
  if (error) {
    errno = error.value();
    return "";
  }
  return absolute.lexically_normal().string();
}
