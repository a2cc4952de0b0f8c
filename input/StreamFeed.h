/* The inputs that cannot be cut before they are read, streams and compressed files larger than
 * a shard, read once, in order, and cut as they come into chunk files of about one shard size,
 * each counted as a shard of its own, so that counting starts before a stream ends and every
 * core counts while one decompresses. */
#ifndef QUOVENT_INPUT_STREAMFEED_H
#define QUOVENT_INPUT_STREAMFEED_H

#include <functional>
#include <string>
#include <vector>

#include "input/Inputs.h"
#include "input/ShardPlan.h"
#include "map/UnicodeWords.h"
#include "map/WordScan.h"

/* A chunk file once complete, and its bytes. */
struct Chunk {
  std::string path;
  long long bytes = 0;
};

class ChunkFeed {
 public:
  /* Chunks of about chunk_size bytes, written as chunk_<n>.txt into dir. before_chunk is called
   * before a chunk is begun (to wait for room), on_begin once its file exists, on_chunk when
   * it is complete, after its mark of completion (chunk_done_mark) is made. */
  ChunkFeed(std::string dir, long long chunk_size, std::function<void()> before_chunk,
            std::function<void(const std::string &)> on_begin,
            std::function<void(const Chunk &)> on_chunk);
  ~ChunkFeed();
  ChunkFeed(const ChunkFeed &) = delete;
  ChunkFeed &operator=(const ChunkFeed &) = delete;

  /* Reads the inputs in order into chunks: each text (a stream, a decompressed file, a member of
   * an archive) ends with line ends that end its last word, and a chunk is cut only after a byte
   * after which a cut is safe under `rule`, so that the chunks hold exactly the words of the
   * texts. With as_stored nothing is decompressed. Failures stop the process, naming the input. */
  void feed(const std::vector<Input> &inputs, bool as_stored, WordRule rule);

 private:
  void copy(ByteSource &source);
  void write_cut(const unsigned char *bytes, size_t size);
  void write_bytes(const void *bytes, size_t size);
  void end_text();
  void finish_chunk();

  std::string dir_;
  long long chunk_size_;
  std::function<void()> before_chunk_;
  std::function<void(const std::string &)> on_begin_;
  std::function<void(const Chunk &)> on_chunk_;
  int fd_ = -1;
  Chunk chunk_;
  size_t chunks_ = 0;
  WordRule rule_ = WordRule::kLatin1;
};

/* The shard that counts a chunk: complete, or `growing`, counted while it is written. */
Shard shard_of_chunk(const Chunk &chunk, bool growing);

/* A chunk counted while it is written: its bytes as they come, waiting at its end until it is
 * marked complete. A failed read stops the process, naming the file. */
class GrowingFileSource final : public ByteSource {
 public:
  explicit GrowingFileSource(const std::string &path);
  ~GrowingFileSource();
  GrowingFileSource(const GrowingFileSource &) = delete;
  GrowingFileSource &operator=(const GrowingFileSource &) = delete;
  size_t read(unsigned char *buf, size_t room) override;

 private:
  std::string path_;
  int fd_;
  bool complete_ = false;
};

#endif
