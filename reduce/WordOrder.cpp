// The order of a result's words, and the cache of the collation keys that
// make ordering fast under collating locales.
#include "reduce/WordOrder.h"

#include <cstring>

#include "common/Collation.h"
#include "common/CollationKeys.h"

// The keys of a merge's words, each made once: the same words come again in every run and
// shard. Once the cache is full, further keys are made each time they are needed.
constexpr size_t kMaxCachedKeys = 1 << 19;
constexpr size_t kKeyCacheBytes = size_t{48} << 20;

WordOrder::WordOrder(int nreducers, ResultForm form)
    : by_bytes_(form == ResultForm::kBytesWithFirst || collation_is_byte_order()),
      carries_first_(form == ResultForm::kBytesWithFirst),
      nreducers_(static_cast<unsigned>(nreducers)),
      keys_(std::make_unique<CollationKeyCache>(kMaxCachedKeys, kKeyCacheBytes, kMaxSortKeyBytes)) {
}

WordOrder::~WordOrder() = default;

int WordOrder::tuple_line_of(const char *word, int length, char *line) {
  static constexpr char kTail[] = TUPLE_TAIL;
  int kept = length < MAX_WORK_TEXT_BYTES ? length : MAX_WORK_TEXT_BYTES;
  memcpy(line, word, static_cast<size_t>(kept));
  for (int k = 0; kTail[k] != '\0' && kept < MAX_WORK_TEXT_BYTES; ++k) line[kept++] = kTail[k];
  line[kept] = '\0';
  return kept;
}

const char *WordOrder::key_of(uint32_t hash, const char *line, size_t length, char *scratch) {
  if (by_bytes_) return nullptr;
  return keys_->find_or_make(hash, line, length, scratch);
}

// In byte order a word's tuple line sorts as the word itself: what follows a word in its line
// is a blank or nothing, and both sort before every letter.
int WordOrder::compare(const OrderedWordView &a, const OrderedWordView &b) const {
  if (a.section != b.section) return a.section < b.section ? -1 : 1;
  if (by_bytes_) return strcmp(a.word, b.word);
  // The same word met in two inputs, the commonest comparison of a merge, needs no collation.
  if (a.key == nullptr && a.length == b.length &&
      memcmp(a.word, b.word, static_cast<size_t>(a.length)) == 0) {
    return 0;
  }
  return collate_lines(false, a.line, a.key, b.line, b.key);
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
