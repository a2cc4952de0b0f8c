// Compressed files and archives: gzip through zlib, everything else through libarchive.
#include "input/EncodedInput.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sysexits.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "common/Errors.h"
#include "common/RawIO.h"

namespace {

constexpr size_t kReadBlock = 1 << 16;

bool starts_with(const unsigned char *head, size_t size, const char *signature, size_t length,
                 size_t at = 0) {
  return size >= at + length && memcmp(head + at, signature, length) == 0;
}

const char *format_name(Signature signature) {
  switch (signature) {
    case Signature::kGzip:
      return "gzip";
    case Signature::kBzip2:
      return "bzip2";
    case Signature::kXz:
      return "xz";
    case Signature::kZstd:
      return "zstd";
    case Signature::kZip:
      return "zip";
    case Signature::kTar:
      return "tar";
    case Signature::kText:
      break;
  }
  return "text";
}

bool is_compression(Signature signature) {
  return signature == Signature::kBzip2 || signature == Signature::kXz ||
         signature == Signature::kZstd;
}

// The member count that the end of the zip file fd's directory gives, or -1 where it gives none
// that can be trusted (no end record, or a zip64 count). The record is the last of the file: 22
// bytes and a comment of at most 65,535.
long long zip_directory_members(int fd) {
  constexpr size_t kEndRecord = 22;
  constexpr size_t kLongestComment = 65535;
  struct stat st;
  if (fstat(fd, &st) != 0 || st.st_size < static_cast<off_t>(kEndRecord)) return -1;
  const size_t tail_size =
      static_cast<size_t>(std::min<off_t>(st.st_size, kEndRecord + kLongestComment));
  std::vector<unsigned char> tail(tail_size);
  if (pread(fd, tail.data(), tail_size, st.st_size - static_cast<off_t>(tail_size)) !=
      static_cast<ssize_t>(tail_size)) {
    return -1;
  }
  for (size_t at = tail_size - kEndRecord + 1; at-- > 0;) {
    const unsigned char *record = tail.data() + at;
    const size_t comment = record[20] | record[21] << 8;
    if (memcmp(record, "PK\x05\x06", 4) == 0 && at + kEndRecord + comment == tail_size) {
      const unsigned members = record[10] | record[11] << 8;
      return members == 0xFFFF ? -1 : members;
    }
  }
  return -1;
}

}  // namespace

Signature signature_of(const unsigned char *head, size_t size) {
  constexpr size_t kTarMagicAt = 257;
  if (starts_with(head, size, "\x1F\x8B", 2)) return Signature::kGzip;
  // "BZh" and the block size, a digit from 1 to 9.
  if (starts_with(head, size, "BZh", 3) && size > 3 && head[3] >= '1' && head[3] <= '9')
    return Signature::kBzip2;
  if (starts_with(head, size,
                  "\xFD"
                  "7zXZ\0",
                  6))
    return Signature::kXz;
  if (starts_with(head, size, "\x28\xB5\x2F\xFD", 4)) return Signature::kZstd;
  if (starts_with(head, size, "PK\x03\x04", 4) || starts_with(head, size, "PK\x05\x06", 4))
    return Signature::kZip;  // a zip with members, or an empty one
  if (starts_with(head, size, "ustar", 5, kTarMagicAt)) return Signature::kTar;
  return Signature::kText;
}

bool looks_encoded(const unsigned char *head, size_t size) {
  return signature_of(head, size) != Signature::kText;
}

EncodedInput::EncodedInput(const std::string &path, int fd, const std::string &name)
    : archive_(archive_read_new()), name_(name), fd_(fd), block_(new unsigned char[kReadBlock]) {
  if (archive_ == nullptr) {
    errno = ENOMEM;
    error_at(nullptr, "Out of memory for reading a compressed file");
  }
  if (fd_ < 0) {
    fd_ = open(path.c_str(), O_RDONLY);
    if (fd_ < 0)
      fail_at("read_input", EX_DATAERR, "Error opening %s: %s", name_.c_str(), strerror(errno));
    owns_fd_ = true;
  }
  read_head();
  signature_ = signature_of(head_, head_size_);
  if (signature_ == Signature::kGzip) {
    gzip_ = std::make_unique<GzipStream>(
        [this](unsigned char *buf, size_t room) { return read_compressed(buf, room); });
  }
  // Only what the product reads: three compressions and the two archive formats, and anything
  // else as one text. gzip is not among them: its reader checks no member's trailer. No filter
  // that would start another program.
  archive_read_support_filter_bzip2(archive_);
  archive_read_support_filter_xz(archive_);
  archive_read_support_filter_zstd(archive_);
  archive_read_support_format_tar(archive_);
  // A zip file on disk is read by its central directory, which holds every member's sizes and
  // checksum: read as a stream, a member whose local header was damaged can pass for an empty
  // one, and a zip whose directory was cut off for whole. A stream, or a zip inside a
  // compression, has only the local headers. An empty zip is the end of a directory alone,
  // which only the stream's reader takes: it has no member to check.
  const bool empty_zip = starts_with(head_, head_size_, "PK\x05\x06", 4);
  if (signature_ == Signature::kZip && in_place() && !empty_zip) {
    archive_read_support_format_zip_seekable(archive_);
    directory_members_ = zip_directory_members(fd_);
  } else {
    archive_read_support_format_zip_streamable(archive_);
  }
  archive_read_support_format_raw(archive_);
  // An empty file or stream is an empty text, which the raw format alone would refuse.
  archive_read_support_format_empty(archive_);
  int opened;
  if (in_place()) {
    // From its first byte: libarchive may seek in it, as a zip's directory at its end asks.
    opened = archive_read_open_fd(archive_, fd_, kReadBlock);
  } else {
    opened = archive_read_open(archive_, this, nullptr, read_for_archive, nullptr);
  }
  if (opened != ARCHIVE_OK || !source_error_.empty()) fail("Error opening");
  if (is_compression(signature_) && archive_filter_count(archive_) < 2)
    refuse_as(format_name(signature_));
}

EncodedInput::~EncodedInput() {
  archive_read_free(archive_);
  if (owns_fd_) close(fd_);
}

// The first bytes, to tell the format: read in place from a file (its offset stays at its first
// byte), and taken from a stream, to be handed on before the rest.
void EncodedInput::read_head() {
  struct stat st;
  if (owns_fd_ && fstat(fd_, &st) == 0 && S_ISREG(st.st_mode)) {
    ssize_t n = pread(fd_, head_, sizeof head_, 0);
    if (n < 0)
      fail_at("read_input", EX_DATAERR, "Error reading %s: %s", name_.c_str(), strerror(errno));
    head_size_ = static_cast<size_t>(n);
    head_served_ = head_size_;
    return;
  }
  while (head_size_ < sizeof head_) {
    ssize_t n = read_block(fd_, head_ + head_size_, sizeof head_ - head_size_);
    if (n < 0)
      fail_at("read_input", EX_DATAERR, "Error reading %s: %s", name_.c_str(), strerror(errno));
    if (n == 0) break;
    head_size_ += static_cast<size_t>(n);
  }
}

// The file's bytes as they are stored: the first bytes taken from a stream, then the rest.
ssize_t EncodedInput::read_compressed(unsigned char *buf, size_t room) {
  if (head_served_ < head_size_) {
    size_t n = std::min(room, head_size_ - head_served_);
    memcpy(buf, head_ + head_served_, n);
    head_served_ += n;
    return static_cast<ssize_t>(n);
  }
  return read_block(fd_, buf, room);
}

ssize_t EncodedInput::read_for_archive(archive *archive, void *self, const void **block) {
  auto *input = static_cast<EncodedInput *>(self);
  *block = input->block_.get();
  ssize_t n = input->gzip_ != nullptr ? input->gzip_->read(input->block_.get(), kReadBlock)
                                      : input->read_compressed(input->block_.get(), kReadBlock);
  if (n >= 0) return n;
  input->source_error_ = input->gzip_ != nullptr ? input->gzip_->error() : strerror(errno);
  archive_set_error(archive, EILSEQ, "%s", input->source_error_.c_str());
  return -1;
}

bool EncodedInput::next_text() {
  for (;;) {
    archive_entry *entry = nullptr;
    int status = archive_read_next_header(archive_, &entry);
    if (!source_error_.empty()) fail("Error reading");
    if (status == ARCHIVE_EOF) {
      check_rest_of_gzip();
      // libarchive ends a zip's directory where an entry no longer reads as one.
      if (directory_members_ >= 0 && members_read_ != directory_members_) {
        fail_at("read_input", EX_DATAERR,
                "Error reading %s: its directory lists %lld members, of which %lld could be read",
                name_.c_str(), directory_members_, members_read_);
      }
      return false;
    }
    if (status != ARCHIVE_OK && status != ARCHIVE_WARN) fail("Error reading");
    ++members_read_;
    is_archive_ = archive_format(archive_) != ARCHIVE_FORMAT_RAW;
    if (!is_archive_ && (signature_ == Signature::kZip || signature_ == Signature::kTar))
      refuse_as(format_name(signature_));
    check_decoded_start_ = !is_archive_ && (gzip_ != nullptr || archive_filter_count(archive_) > 1);
    entry_ = entry;
    member_bytes_ = 0;
    const char *path = archive_entry_pathname(entry);
    member_ = is_archive_ && path != nullptr ? path : "";
    // Directories, links and devices in an archive hold no text.
    if (!is_archive_ || archive_entry_filetype(entry) == AE_IFREG) return true;
    check_skipped_member();
  }
}

// A zip's directory has no checksum: a flipped bit in a member's mode can make a text a
// directory, a link or nothing a file can be, which would be passed over with its bytes. Such a
// member holds bytes that no directory holds, or a link target that no file system takes.
void EncodedInput::check_skipped_member() {
  if ((archive_format(archive_) & ARCHIVE_FORMAT_BASE_MASK) != ARCHIVE_FORMAT_ZIP) return;
  constexpr size_t kLongestLinkTarget = 4095;
  const char *target = archive_entry_symlink(entry_);
  const long long size = archive_entry_size_is_set(entry_) ? archive_entry_size(entry_) : 0;
  const bool link = archive_entry_filetype(entry_) == AE_IFLNK;
  if ((!link && size > 0) ||
      (link && (static_cast<size_t>(size) > kLongestLinkTarget ||
                (target != nullptr && strlen(target) > kLongestLinkTarget)))) {
    fail_at("read_input", EX_DATAERR,
            "Error reading %s, member %s: it is not a file, yet holds %lld bytes of data",
            name_.c_str(), member_.c_str(),
            link && target != nullptr ? static_cast<long long>(strlen(target)) : size);
  }
}

// An archive ends where its end mark is, and libarchive reads no further: the rest of the gzip
// data, with the trailer that checks every byte before it, is decoded here, or damage in the
// texts already read would go unseen.
void EncodedInput::check_rest_of_gzip() {
  if (gzip_ == nullptr) return;
  ssize_t n;
  while ((n = gzip_->read(block_.get(), kReadBlock)) > 0) {
  }
  if (n < 0) {
    source_error_ = gzip_->error();
    fail("Error reading");
  }
}

size_t EncodedInput::read(unsigned char *buf, size_t room) {
  la_ssize_t n = archive_read_data(archive_, buf, room);
  if (n < 0 || !source_error_.empty()) fail("Error reading");
  member_bytes_ += static_cast<uint64_t>(n);
  if (n == 0 && is_archive_ && archive_entry_size_is_set(entry_) &&
      static_cast<uint64_t>(archive_entry_size(entry_)) != member_bytes_) {
    // libarchive ends a member where its data seems to end; the size in its header is the check.
    fail_at("read_input", EX_DATAERR,
            "Error reading %s, member %s: it holds %llu bytes where its header says %lld",
            name_.c_str(), member_.c_str(), static_cast<unsigned long long>(member_bytes_),
            static_cast<long long>(archive_entry_size(entry_)));
  }
  if (check_decoded_start_ && n > 0) {
    check_decoded_start_ = false;
    // gzip inside another compression would reach the count as its compressed bytes.
    if (signature_of(buf, static_cast<size_t>(n)) == Signature::kGzip) {
      fail_at("read_input", EX_DATAERR,
              "Error reading %s: it holds gzip data inside another compression, which is not "
              "read; decompress the outer one first",
              name_.c_str());
    }
  }
  return static_cast<size_t>(n);
}

void EncodedInput::fail(const char *what) {
  const char *reason =
      source_error_.empty() ? archive_error_string(archive_) : source_error_.c_str();
  if (reason == nullptr) reason = "unknown error";
  if (member_.empty()) fail_at("read_input", EX_DATAERR, "%s %s: %s", what, name_.c_str(), reason);
  fail_at("read_input", EX_DATAERR, "%s %s, member %s: %s", what, name_.c_str(), member_.c_str(),
          reason);
}

// A file that announces a format by its first bytes but is not one would otherwise be counted
// as those bytes: a damaged file mistaken for a text.
void EncodedInput::refuse_as(const char *format) {
  fail_at("read_input", EX_DATAERR,
          "Error opening %s: it begins as a %s file but is not a valid one (--as-is counts every "
          "file as its bytes)",
          name_.c_str(), format);
}
