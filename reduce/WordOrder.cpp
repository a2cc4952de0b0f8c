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
    const uint32_t mask = static_cast<uint32_t>(slots_.size()) - 1;
    for (uint32_t i = hash & mask;; i = (i + 1) & mask) {
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
    if (blocks_.empty() || block_used_ + bytes > kBlockBytes) {
      blocks_.push_back(std::make_unique_for_overwrite<char[]>(kBlockBytes));
      block_used_ = 0;
    }
    char *text = blocks_.back().get() + block_used_;
    block_used_ += bytes;
    used_bytes_ += bytes;
    memcpy(text, line, length);
    text[length] = '\0';
    memcpy(text + length + 1, key, key_length + 1);
    entries_.push_back(Cached{hash, static_cast<uint32_t>(length), text});
    if (2 * entries_.size() > slots_.size()) {
      // Few words keep few slots, in the cache; the slots double at half full.
      slots_.assign(slots_.empty() ? kFirstSlots : 2 * slots_.size(), 0);
      for (uint32_t e = 0; e < entries_.size(); ++e) place(e);
    } else {
      place(static_cast<uint32_t>(entries_.size() - 1));
    }
    return text + length + 1;
  }

 private:
  static constexpr uint32_t kFirstSlots = 1 << 14;
  static constexpr size_t kMaxEntries = 1 << 19;
  static constexpr size_t kMaxBytes = size_t{48} << 20;
  static constexpr size_t kBlockBytes = size_t{1} << 20;
  static_assert(kBlockBytes > kTupleLineSize + kMaxSortKeyBytes + 1);

  struct Cached {
    uint32_t hash;
    uint32_t line_length;
    const char *text;  // the line, a zero, the key, a zero
  };

  void place(uint32_t entry) {
    const uint32_t mask = static_cast<uint32_t>(slots_.size()) - 1;
    uint32_t i = entries_[entry].hash & mask;
    while (slots_[i] != 0) i = (i + 1) & mask;
    slots_[i] = entry + 1;
  }

  std::vector<uint32_t> slots_;  // entry index + 1; 0 is a free slot; a power of two
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
  // The same word met in two inputs, the commonest comparison of a merge, needs no collation.
  if (a.length == b.length && memcmp(a.word, b.word, static_cast<size_t>(a.length)) == 0) return 0;
  return strcoll(a.line, b.line);
}

// The longest word whose tuple line keeps its whole " 1": words that collate equal then have
// lines that collate equal, so keys that differ tell words that differ.
constexpr int kLongestWordWithWholeTail = MAX_WORK_TEXT_BYTES - 2;

namespace {

bool tails_are_whole(const OrderedWordView &a, const OrderedWordView &b) {
  return a.length <= kLongestWordWithWholeTail && b.length <= kLongestWordWithWholeTail;
}

}  // namespace

bool WordOrder::same_word(const OrderedWordView &a, const OrderedWordView &b) const {
  if (a.section != b.section) return false;
  if (!by_bytes_ && a.key != nullptr && b.key != nullptr && tails_are_whole(a, b) &&
      strcmp(a.key, b.key) != 0) {
    return false;
  }
  return words_collate_equal(a.word, static_cast<size_t>(a.length), b.word,
                             static_cast<size_t>(b.length), by_bytes_);
}

bool WordOrder::same_word(const OrderedWordView &a, const OrderedWordView &b,
                          bool lines_apart) const {
  if (lines_apart && (by_bytes_ || tails_are_whole(a, b))) return false;
  return same_word(a, b);
}

bool WordOrder::follows(const OrderedWordView &before, const OrderedWordView &next) const {
  int c = compare(next, before);
  return c >= 0 && !same_word(before, next, c > 0);
}
