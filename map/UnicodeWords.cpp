// The word rules of QuoventMR_v3, and the Unicode rule's words handed over in batches.
#include "map/UnicodeWords.h"

#include <cstring>
#include <memory>

#include "map/ChunkClasses.h"
#include "map/Map.h"
#include "map/ScanLoop.h"
#include "map/UnicodeLowerCase.h"
#include "map/UnicodeSegments.h"

namespace {

// Bytes of lowered words handed over at once.
constexpr int kBatchBytes = MAP_BLOCK_SIZE;
static_assert(MAX_WORD_BYTES <= kBatchBytes && kCopyStep - 1 <= MAP_WORD_SLACK);

// The segments lowered into batches of words for a receiver.
class WordBatcher final : public SegmentReceiver {
 public:
  explicit WordBatcher(WordReceiver &receiver) : receiver_(receiver) {}

  void take_segment(const unsigned char *word, int length, bool plain) override {
    if (outpos_ + MAX_WORD_BYTES > kBatchBytes) deliver();
    int lowered = lower_.lower(word, length, plain, text_ + outpos_);
    spans_[count_++] = WordSpan{static_cast<uint32_t>(outpos_), static_cast<uint32_t>(lowered)};
    outpos_ += lowered;
    ++words_;
    if (count_ == MAP_WORD_BATCH) deliver();
  }

  // Hands the words taken so far to the receiver; the batch is then empty again.
  void deliver() {
    if (count_ > 0) receiver_.take_words(text_, spans_, count_);
    count_ = 0;
    outpos_ = 0;
  }

  long long words() const { return words_; }

 private:
  WordReceiver &receiver_;
  UnicodeLowerCase lower_;
  // The receiver may read MAP_WORD_SLACK bytes past a word, and a plain word's copy may store
  // kCopyStep - 1 bytes past it: they exist and are set.
  char text_[kBatchBytes + MAP_WORD_SLACK] = {};
  WordSpan spans_[MAP_WORD_BATCH];
  int count_ = 0;
  int outpos_ = 0;
  long long words_ = 0;
};

// The words of the bytes that read_more (a function taking a buffer and its room and returning
// the bytes it stored, 0 at the end) gives, under the Unicode rule. The stretch that a read
// leaves open is kept for the next, so that the words never depend on where reads end.
template <typename ReadMore>
long long scan_unicode_words(ReadMore read_more, WordReceiver &receiver) {
  auto batcher = std::make_unique<WordBatcher>(receiver);
  UnicodeSegmenter segmenter;
  // A plain word is copied in whole steps, which may read past the text (UnicodeLowerCase.h).
  auto text = std::make_unique<unsigned char[]>(kLongestStretch + kCopyStep);
  int held = 0;
  for (;;) {
    size_t n = read_more(text.get() + held, static_cast<size_t>(kLongestStretch - held));
    int end = held + static_cast<int>(n);
    bool last = n == 0;
    int done = segmenter.segment(text.get(), end, last, *batcher);
    // A stretch as long as the buffer is segmented as it stands.
    if (done == 0 && end == kLongestStretch)
      done = segmenter.segment(text.get(), end, true, *batcher);
    if (last) break;
    held = end - done;
    memmove(text.get(), text.get() + done, static_cast<size_t>(held));
  }
  batcher->deliver();
  return batcher->words();
}

}  // namespace

const char *word_rule_name(WordRule rule) {
  return rule == WordRule::kUnicode ? "unicode" : "latin1";
}

bool read_word_rule(const std::string &name, WordRule &rule) {
  for (WordRule candidate : {WordRule::kLatin1, WordRule::kUnicode}) {
    if (name == word_rule_name(candidate)) {
      rule = candidate;
      return true;
    }
  }
  return false;
}

long long map_rule_words(WordRule rule, int fd_in, long long length, WordReceiver &receiver) {
  if (rule == WordRule::kLatin1) return map_words(fd_in, length, receiver);
  return scan_unicode_words(word_scan::range_reader(fd_in, length), receiver);
}

long long map_rule_words(WordRule rule, ByteSource &source, WordReceiver &receiver) {
  if (rule == WordRule::kLatin1) return map_words(source, receiver);
  return scan_unicode_words(
      [&source](unsigned char *buf, size_t room) { return source.read(buf, room); }, receiver);
}

bool is_safe_cut_after(WordRule rule, const unsigned char *bytes, long long i) {
  if (rule == WordRule::kLatin1) return is_safe_cut_after(bytes, i);
  return bytes[i] == '\n';
}
