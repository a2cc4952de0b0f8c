/* Compressed files and archives as texts: gzip (of one or several members), bzip2, xz and zstd
 * files, and tar and zip archives (compressed or not), whose every member that is a file is a
 * text of its own. Recognised by their first bytes, never by their names; gzip decoded by zlib,
 * which checks every member, the rest read through libarchive; never by starting other programs.
 * A file that begins as one of these formats must be one: it is never counted as its bytes. */
#ifndef QUOVENT_INPUT_ENCODEDINPUT_H
#define QUOVENT_INPUT_ENCODEDINPUT_H

#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <string>

#include "input/GzipStream.h"
#include "map/WordScan.h"

struct archive;
struct archive_entry;

/* Bytes at the start of a file that tell whether it is compressed or an archive. */
constexpr size_t kSignatureBytes = 512;

/* What the first bytes of a file announce it to be. */
enum class Signature { kText, kGzip, kBzip2, kXz, kZstd, kZip, kTar };

/* The format that a file whose first `size` bytes (at most kSignatureBytes) are `head` announces
 * by its magic number; kText when none. */
Signature signature_of(const unsigned char *head, size_t size);

/* Whether a file whose first `size` bytes (at most kSignatureBytes) are `head` is compressed or
 * an archive, rather than a text as it stands. */
bool looks_encoded(const unsigned char *head, size_t size);

class EncodedInput final : public ByteSource {
 public:
  /* Opens the file at path, or reads descriptor fd when it is not negative (a stream); `name`
   * names it in messages. A failure stops the process, naming the file and saying what is wrong:
   * a file that begins as a format but does not open as it is refused. */
  EncodedInput(const std::string &path, int fd, const std::string &name);
  ~EncodedInput();
  EncodedInput(const EncodedInput &) = delete;
  EncodedInput &operator=(const EncodedInput &) = delete;

  /* Moves to the next text: the whole decompressed file, or the next member of an archive that
   * is a regular file. False at the end. */
  bool next_text();

  /* The bytes of the current text; a corrupt or truncated file stops the process, naming the
   * file and the member. */
  size_t read(unsigned char *buf, size_t room) override;

 private:
  void read_head();
  // A regular file read by libarchive itself, which may seek in it.
  bool in_place() const { return owns_fd_ && gzip_ == nullptr; }
  ssize_t read_compressed(unsigned char *buf, size_t room);
  void check_rest_of_gzip();
  void check_skipped_member();
  static ssize_t read_for_archive(archive *archive, void *self, const void **block);
  [[noreturn]] void fail(const char *what);
  [[noreturn]] void refuse_as(const char *format);

  archive *archive_;
  std::string name_;
  std::string member_;
  int fd_ = -1;
  bool owns_fd_ = false;
  // The file's first bytes, read before the decoders saw them, and how many were handed on.
  unsigned char head_[kSignatureBytes];
  size_t head_size_ = 0;
  size_t head_served_ = 0;
  Signature signature_ = Signature::kText;
  std::unique_ptr<GzipStream> gzip_;
  std::unique_ptr<unsigned char[]> block_;
  // Why the stored bytes could not be read or decoded. libarchive may take such a failure for
  // the end of the data (an empty file, a text that ends), so it is kept and looked at here.
  std::string source_error_;
  bool is_archive_ = false;
  // The current member and how many of its bytes were read.
  archive_entry *entry_ = nullptr;
  uint64_t member_bytes_ = 0;
  // A zip file's members as the end of its directory counts them (-1: no count to check), and
  // as libarchive gave them.
  long long directory_members_ = -1;
  long long members_read_ = 0;
  // The current text was decompressed and its first bytes are still to be looked at.
  bool check_decoded_start_ = false;
};

#endif
