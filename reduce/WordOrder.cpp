// The order of a result's words, and the cache of the collation keys that
// make ordering fast under collating locales.
#include "reduce/WordOrder.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include "common/Collation.h"
#include "shuffle/Suffle.h"

static_assert(kTupleLineSize == LINE_SLOT);

// The collation keys of the tuple lines met so far, each made once: strxfrm is the costly part
// of ordering words, and the same words come again in every run and shard. Bounded: once full,
// further keys are made each time they are needed. Keys live in blocks that never move, so a
// key handed out stays valid.
class SortKeyCache {
 public:
  const char *find(uint32_t hash, const char *line, size_t length) const {
    if (slots_.empty()) return nullptr;
    for (uint32_t i = hash & kSlotMask;; i = (i + 1) & kSlotMask) {
      uint32_t entry = slots_[i];
      if (entry == 0) return nullptr;
      const Cached &cached = entries_[entry - 1];
      if (cached.hash == hash && cached.line_length == length &&
          memcmp(cached.text, line, length) == 0) {
        return cached.text + length + 1;
      }
    }
  }

  // Keeps the key of `key_length` bytes; returns where it is kept, or nullptr when full.
  const char *keep(uint32_t hash, const char *line, size_t length, const char *key,
                   size_t key_length) {
    size_t bytes = length + 1 + key_length + 1;
    if (entries_.size() >= kMaxEntries || used_bytes_ + bytes > kMaxBytes) return nullptr;
    if (slots_.empty()) slots_.assign(kSlots, 0);
    if (blocks_.empty() || block_used_ + bytes > kBlockBytes) {
      blocks_.push_back(std::make_unique<char[]>(kBlockBytes));
      block_used_ = 0;
    }
    char *text = blocks_.back().get() + block_used_;
    block_used_ += bytes;
    used_bytes_ += bytes;
    memcpy(text, line, length);
    text[length] = '\0';
    memcpy(text + length + 1, key, key_length + 1);
    entries_.push_back(Cached{hash, static_cast<uint32_t>(length), text});
    uint32_t i = hash & kSlotMask;
    while (slots_[i] != 0) i = (i + 1) & kSlotMask;
    slots_[i] = static_cast<uint32_t>(entries_.size());
    return text + length + 1;
  }

 private:
  static constexpr uint32_t kSlots = 1 << 20;
  static constexpr uint32_t kSlotMask = kSlots - 1;
  static constexpr size_t kMaxEntries = kSlots / 2;
  static constexpr size_t kMaxBytes = size_t{48} << 20;
  static constexpr size_t kBlockBytes = size_t{1} << 20;
  static_assert(kBlockBytes > kTupleLineSize + kMaxSortKeyBytes + 1);

  struct Cached {
    uint32_t hash;
    uint32_t line_length;
    const char *text;  // the line, a zero, the key, a zero
  };

  std::vector<uint32_t> slots_;  // entry index + 1; 0 is a free slot
  std::vector<Cached> entries_;
  std::vector<std::unique_ptr<char[]>> blocks_;
  size_t block_used_ = 0;
  size_t used_bytes_ = 0;
};

WordOrder::WordOrder(int nreducers)
    : by_bytes_(collation_is_byte_order()),
      nreducers_(static_cast<unsigned>(nreducers)),
      keys_(std::make_unique<SortKeyCache>()) {}

WordOrder::~WordOrder() = default;

unsigned WordOrder::section_of(const char *word) const { return hash_word(word) % nreducers_; }

int WordOrder::tuple_line_of(const char *word, int length, char *line) {
  static constexpr char kTail[] = " 1";
  int kept = length < MAX_WORK_TEXT_BYTES ? length : MAX_WORK_TEXT_BYTES;
  memcpy(line, word, static_cast<size_t>(kept));
  for (int k = 0; kTail[k] != '\0' && kept < MAX_WORK_TEXT_BYTES; ++k) line[kept++] = kTail[k];
  line[kept] = '\0';
  return kept;
}

const char *WordOrder::key_of(uint32_t hash, const char *line, size_t length, char *scratch) {
  if (by_bytes_) return nullptr;
  if (const char *kept = keys_->find(hash, line, length)) return kept;
  int saved_errno = errno;
  size_t key_length = strxfrm(scratch, line, kMaxSortKeyBytes);
  errno = saved_errno;
  if (key_length >= kMaxSortKeyBytes) return nullptr;
  const char *kept = keys_->keep(hash, line, length, scratch, key_length);
  return kept != nullptr ? kept : scratch;
}

// In byte order a word's tuple line sorts as the word itself: what follows a word in its line
// is a blank or nothing, and both sort before every letter.
int WordOrder::compare(const OrderedWordView &a, const OrderedWordView &b) const {
  if (a.section != b.section) return a.section < b.section ? -1 : 1;
  if (by_bytes_) return strcmp(a.word, b.word);
  if (a.key != nullptr && b.key != nullptr) return strcmp(a.key, b.key);
  return strcoll(a.line, b.line);
}

// The longest word whose tuple line keeps its whole " 1": words that collate equal then have
// lines that collate equal, so keys that differ tell words that differ.
constexpr int kLongestWordWithWholeTail = MAX_WORK_TEXT_BYTES - 2;

bool WordOrder::same_word(const OrderedWordView &a, const OrderedWordView &b) const {
  if (a.section != b.section) return false;
  if (!by_bytes_ && a.key != nullptr && b.key != nullptr &&
      a.length <= kLongestWordWithWholeTail && b.length <= kLongestWordWithWholeTail &&
      strcmp(a.key, b.key) != 0) {
    return false;
  }
  return words_collate_equal(a.word, static_cast<size_t>(a.length), b.word,
                             static_cast<size_t>(b.length), by_bytes_);
}
