// gzip decoded by zlib, whose gzip wrapper checks each member's CRC-32 and length.
#include "input/GzipStream.h"

#include <cerrno>
#include <cstring>
#include <utility>

namespace {

// Compressed bytes read at a time: large enough that a file costs few reads.
constexpr size_t kInputBlock = 1 << 18;
// zlib's largest window, plus 16: the gzip wrapper only, with its header and trailer checked.
constexpr int kGzipOnlyWindowBits = 15 + 16;
constexpr unsigned char kGzipMagic[] = {0x1F, 0x8B};

}  // namespace

GzipStream::GzipStream(CompressedReader compressed)
    : compressed_(std::move(compressed)), input_(new unsigned char[kInputBlock]) {
  initialised_ = inflateInit2(&stream_, kGzipOnlyWindowBits) == Z_OK;
  if (!initialised_) error_ = "Out of memory for decoding gzip data";
}

GzipStream::~GzipStream() {
  if (initialised_) inflateEnd(&stream_);
}

ssize_t GzipStream::read(unsigned char *buf, size_t room) {
  if (!error_.empty()) return -1;
  if (finished_) return 0;
  stream_.next_out = buf;
  stream_.avail_out = static_cast<uInt>(room);
  while (stream_.avail_out == room) {
    if (stream_.avail_in == 0 && !input_ended_ && !fill_input()) return -1;
    if (stream_.avail_in == 0 && input_ended_) return fail("truncated gzip input" + in_member());
    int status = inflate(&stream_, Z_NO_FLUSH);
    if (status == Z_STREAM_END) {
      if (!at_next_member()) break;
      continue;
    }
    if (status == Z_BUF_ERROR) continue;  // no progress possible without more input
    if (status != Z_OK) {
      const char *reason = stream_.msg != nullptr ? stream_.msg : "unknown zlib error";
      return fail("damaged gzip data" + in_member() + ": " + reason);
    }
  }
  if (!error_.empty()) return -1;
  return static_cast<ssize_t>(room - stream_.avail_out);
}

// After a member's trailer has checked out: true when another member follows (the stream reset
// for it), false at the end of the data (finished_) or on damage (error_).
bool GzipStream::at_next_member() {
  for (;;) {
    while (stream_.avail_in > 0 && *stream_.next_in == 0) {
      ++stream_.next_in;
      --stream_.avail_in;
    }
    if (stream_.avail_in == 0) {
      if (input_ended_ || !fill_input()) break;
      continue;
    }
    // Something that is not padding: it must be the next member, else a member was damaged
    // where it began and its text would be lost.
    if (*stream_.next_in != kGzipMagic[0]) {
      fail("damaged gzip data: bytes after member " + std::to_string(members_) +
           " that begin no gzip member");
      return false;
    }
    inflateReset(&stream_);
    ++members_;
    return true;
  }
  if (error_.empty()) finished_ = true;
  return false;
}

// Where in a file of several members the damage lies; nothing for the first.
std::string GzipStream::in_member() const {
  return members_ > 1 ? " in gzip member " + std::to_string(members_) : "";
}

bool GzipStream::fill_input() {
  ssize_t n = compressed_(input_.get(), kInputBlock);
  if (n < 0) {
    fail(std::string("Error reading gzip data: ") + strerror(errno));
    return false;
  }
  if (n == 0) input_ended_ = true;
  stream_.next_in = input_.get();
  stream_.avail_in = static_cast<uInt>(n);
  return true;
}

ssize_t GzipStream::fail(const std::string &what) {
  error_ = what;
  return -1;
}
