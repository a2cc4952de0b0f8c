// Compressed files and archives read through libarchive.
#include "input/EncodedInput.h"

#include <archive.h>
#include <archive_entry.h>
#include <sysexits.h>

#include <cerrno>
#include <cstring>

#include "common/Errors.h"

namespace {

constexpr size_t kReadBlock = 1 << 16;

bool starts_with(const unsigned char *head, size_t size, const char *signature, size_t length,
                 size_t at = 0) {
  return size >= at + length && memcmp(head + at, signature, length) == 0;
}

}  // namespace

bool looks_encoded(const unsigned char *head, size_t size) {
  constexpr size_t kTarMagicAt = 257;
  return starts_with(head, size, "\x1F\x8B", 2) ||  // gzip
         starts_with(head, size, "BZh", 3) ||       // bzip2
         starts_with(head, size,
                     "\xFD"
                     "7zXZ\0",
                     6) ||                                  // xz
         starts_with(head, size, "\x28\xB5\x2F\xFD", 4) ||  // zstd
         starts_with(head, size, "PK\x03\x04", 4) ||        // zip
         starts_with(head, size, "PK\x05\x06", 4) ||        // an empty zip
         starts_with(head, size, "ustar", 5, kTarMagicAt);  // tar
}

EncodedInput::EncodedInput(const std::string &path, int fd, const std::string &name)
    : archive_(archive_read_new()), name_(name) {
  if (archive_ == nullptr) {
    errno = ENOMEM;
    error_at(nullptr, "Out of memory for reading a compressed file");
  }
  // Only what the product reads: the four compressions and the two archive formats, and
  // anything else as one text. No filter that would start another program.
  archive_read_support_filter_gzip(archive_);
  archive_read_support_filter_bzip2(archive_);
  archive_read_support_filter_xz(archive_);
  archive_read_support_filter_zstd(archive_);
  archive_read_support_format_tar(archive_);
  archive_read_support_format_zip(archive_);
  archive_read_support_format_raw(archive_);
  // An empty file or stream is an empty text, which the raw format alone would refuse.
  archive_read_support_format_empty(archive_);
  int opened = fd >= 0 ? archive_read_open_fd(archive_, fd, kReadBlock)
                       : archive_read_open_filename(archive_, path.c_str(), kReadBlock);
  if (opened != ARCHIVE_OK) fail("Error opening");
}

EncodedInput::~EncodedInput() { archive_read_free(archive_); }

bool EncodedInput::next_text() {
  for (;;) {
    archive_entry *entry = nullptr;
    int status = archive_read_next_header(archive_, &entry);
    if (status == ARCHIVE_EOF) return false;
    if (status != ARCHIVE_OK && status != ARCHIVE_WARN) fail("Error reading");
    is_archive_ = archive_format(archive_) != ARCHIVE_FORMAT_RAW;
    const char *path = archive_entry_pathname(entry);
    member_ = is_archive_ && path != nullptr ? path : "";
    // Directories, links and devices in an archive hold no text.
    if (!is_archive_ || archive_entry_filetype(entry) == AE_IFREG) return true;
  }
}

size_t EncodedInput::read(unsigned char *buf, size_t room) {
  la_ssize_t n = archive_read_data(archive_, buf, room);
  if (n < 0) fail("Error reading");
  return static_cast<size_t>(n);
}

void EncodedInput::fail(const char *what) {
  const char *reason = archive_error_string(archive_);
  if (reason == nullptr) reason = "unknown error";
  if (member_.empty()) fail_at("read_input", EX_DATAERR, "%s %s: %s", what, name_.c_str(), reason);
  fail_at("read_input", EX_DATAERR, "%s %s, member %s: %s", what, name_.c_str(), member_.c_str(),
          reason);
}
