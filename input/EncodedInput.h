/* Compressed files and archives as texts: gzip (of one or several members), bzip2, xz and zstd
 * files, and tar and zip archives (compressed or not), whose every member that is a file is a
 * text of its own. Recognised by their first bytes, never by their names, and read through
 * libarchive, never by starting other programs. */
#ifndef QUOVENT_INPUT_ENCODEDINPUT_H
#define QUOVENT_INPUT_ENCODEDINPUT_H

#include <cstddef>
#include <string>

#include "map/WordScan.h"

struct archive;

/* Bytes at the start of a file that tell whether it is compressed or an archive. */
constexpr size_t kSignatureBytes = 512;

/* Whether a file whose first `size` bytes (at most kSignatureBytes) are `head` is compressed or
 * an archive, rather than a text as it stands. */
bool looks_encoded(const unsigned char *head, size_t size);

class EncodedInput final : public ByteSource {
 public:
  /* Opens the file at path, or reads descriptor fd when it is not negative (a stream); `name`
   * names it in messages. A failure stops the process, naming the file and giving the
   * library's message. */
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
  [[noreturn]] void fail(const char *what);

  archive *archive_;
  std::string name_;
  std::string member_;
  bool is_archive_ = false;
};

#endif
