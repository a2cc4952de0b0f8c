// Streams and large compressed files cut into chunk files as they are read.
#include "input/StreamFeed.h"

#include <fcntl.h>
#include <unistd.h>

#include <memory>
#include <utility>

#include "common/Errors.h"
#include "common/RawIO.h"
#include "common/RunFiles.h"
#include "input/EncodedInput.h"

namespace {

constexpr size_t kFeedBlock = size_t{1} << 20;

// Ends every text: line ends end its last word, and enough of them complete a unit that its
// last bytes began, so that the next text starts clean.
constexpr char kTextEnd[] = "\n\n\n";
static_assert(sizeof kTextEnd - 1 >= MAP_MAX_UNIT_BYTES - 1);

// A stream counted as it stands, read from its descriptor.
class DescriptorSource final : public ByteSource {
 public:
  DescriptorSource(int fd, const std::string &name) : fd_(fd), name_(name) {}
  size_t read(unsigned char *buf, size_t room) override {
    ssize_t n = read_block(fd_, buf, room);
    if (n < 0) error_at(nullptr, "Error reading input file %s\n", name_.c_str());
    return static_cast<size_t>(n);
  }

 private:
  int fd_;
  const std::string &name_;
};

}  // namespace

Shard shard_of_chunk(const Chunk &chunk, bool growing) {
  Shard shard;
  shard.pieces.push_back(Piece{chunk.path, 0, growing ? -1 : chunk.bytes, false, growing});
  shard.bytes = growing ? 0 : chunk.bytes;
  return shard;
}

GrowingFileSource::GrowingFileSource(const std::string &path) : path_(path) {
  fd_ = open(path.c_str(), O_RDONLY);
  if (fd_ < 0) error_at("count_shard", "Error opening chunk file %s\n", path.c_str());
}

GrowingFileSource::~GrowingFileSource() { close(fd_); }

size_t GrowingFileSource::read(unsigned char *buf, size_t room) {
  // The reader may overtake the writer: at the end of what is written it waits a moment, unless
  // the mark says that nothing more comes (and then reads once more what came before the mark).
  constexpr useconds_t kWaitMicroseconds = 500;
  for (;;) {
    ssize_t n = read_block(fd_, buf, room);
    if (n < 0) error_at("count_shard", "Error reading chunk file %s\n", path_.c_str());
    if (n > 0 || complete_) return static_cast<size_t>(n);
    if (access(chunk_done_mark(path_).c_str(), F_OK) == 0) {
      complete_ = true;
    } else {
      usleep(kWaitMicroseconds);
    }
  }
}

ChunkFeed::ChunkFeed(std::string dir, long long chunk_size, std::function<void()> before_chunk,
                     std::function<void(const std::string &)> on_begin,
                     std::function<void(const Chunk &)> on_chunk)
    : dir_(std::move(dir)),
      chunk_size_(chunk_size),
      before_chunk_(std::move(before_chunk)),
      on_begin_(std::move(on_begin)),
      on_chunk_(std::move(on_chunk)) {}

ChunkFeed::~ChunkFeed() {
  if (fd_ >= 0) close(fd_);
}

void ChunkFeed::feed(const std::vector<Input> &inputs, bool as_stored, WordRule rule) {
  rule_ = rule;
  for (const Input &input : inputs) {
    if (as_stored) {
      DescriptorSource source(input.fd, input.name);
      copy(source);
      end_text();
      continue;
    }
    EncodedInput decoded(input.path, input.kind == InputKind::kStream ? input.fd : -1, input.name);
    while (decoded.next_text()) {
      copy(decoded);
      end_text();
    }
  }
  if (fd_ >= 0) finish_chunk();
}

void ChunkFeed::copy(ByteSource &source) {
  auto block = std::make_unique_for_overwrite<unsigned char[]>(kFeedBlock);
  for (size_t n; (n = source.read(block.get(), kFeedBlock)) > 0;) write_cut(block.get(), n);
}

// Appends the bytes to the chunk; when the chunk reaches its size, cuts it after the last safe
// byte of these bytes and starts the next one with the rest. Where they hold none, the chunk
// grows until a later block does.
void ChunkFeed::write_cut(const unsigned char *bytes, size_t size) {
  while (size > 0) {
    if (fd_ < 0) {
      before_chunk_();
      chunk_.path = chunk_file(dir_, chunks_++);
      chunk_.bytes = 0;
      fd_ = create_output_file(chunk_.path.c_str());
      if (fd_ < 0) error_at(nullptr, "Error opening chunk file %s\n", chunk_.path.c_str());
      on_begin_(chunk_.path);
    }
    if (chunk_.bytes + static_cast<long long>(size) < chunk_size_) {
      write_bytes(bytes, size);
      return;
    }
    long long cut = -1;
    // The bytes that decide a candidate must lie in this block: those before it do not count.
    for (long long i = static_cast<long long>(size) - 1; i >= MAP_CUT_CONTEXT_BYTES; --i) {
      if (is_safe_cut_after(rule_, bytes, i)) {
        cut = i + 1;
        break;
      }
    }
    if (cut < 0) {
      write_bytes(bytes, size);
      return;
    }
    write_bytes(bytes, static_cast<size_t>(cut));
    finish_chunk();
    bytes += cut;
    size -= static_cast<size_t>(cut);
  }
}

void ChunkFeed::write_bytes(const void *bytes, size_t size) {
  if (write_fully(fd_, bytes, size) < 0) {
    error_at(nullptr, "Error writting chunk file %s\n", chunk_.path.c_str());
  }
  chunk_.bytes += static_cast<long long>(size);
}

void ChunkFeed::end_text() {
  if (fd_ >= 0 && chunk_.bytes > 0) write_bytes(kTextEnd, sizeof kTextEnd - 1);
}

void ChunkFeed::finish_chunk() {
  if (close_output_file(fd_) != 0) {
    fd_ = -1;
    error_at(nullptr, "Error writting chunk file %s\n", chunk_.path.c_str());
  }
  fd_ = -1;
  std::string mark = chunk_done_mark(chunk_.path);
  int fd = create_output_file(mark.c_str());
  if (fd < 0 || close_output_file(fd) != 0) error_at(nullptr, "Error writting %s\n", mark.c_str());
  on_chunk_(chunk_);
}
