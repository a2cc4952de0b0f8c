/* gzip data decoded member after member, every member checked against its trailer: its CRC-32
 * and its length. libarchive's own gzip reader checks neither, so a damaged deflate stream would
 * decode to plausible, wrong text; here it is an error instead. */
#ifndef QUOVENT_INPUT_GZIPSTREAM_H
#define QUOVENT_INPUT_GZIPSTREAM_H

#include <sys/types.h>
#include <zlib.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

/* Where the compressed bytes come from: stores up to `room` bytes at buf and returns how many,
 * 0 at the end, -1 with errno set when they cannot be read. */
using CompressedReader = std::function<ssize_t(unsigned char *buf, size_t room)>;

class GzipStream {
 public:
  explicit GzipStream(CompressedReader compressed);
  ~GzipStream();
  GzipStream(const GzipStream &) = delete;
  GzipStream &operator=(const GzipStream &) = delete;

  /* Stores up to `room` decoded bytes at buf and returns how many; 0 at the end of the last
   * member. -1 when the data is not gzip, is damaged, is cut short, is followed by bytes that are
   * not another member, or cannot be read: error() then says which. Zero bytes after the last
   * member are padding, as gzip itself takes them. */
  ssize_t read(unsigned char *buf, size_t room);

  const std::string &error() const { return error_; }

 private:
  bool fill_input();
  bool at_next_member();
  std::string in_member() const;
  ssize_t fail(const std::string &what);

  CompressedReader compressed_;
  z_stream stream_{};
  std::unique_ptr<unsigned char[]> input_;
  int members_ = 1;  // the members begun so far, to name the damaged one
  bool initialised_ = false;
  bool input_ended_ = false;
  bool finished_ = false;
  std::string error_;
};

#endif
