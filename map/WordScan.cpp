// The words of an input handed over in batches (map_words), and the one rule for where text may
// be cut with every word whole.
#include "map/WordScan.h"

#include <cstdint>

#include "map/Map.h"
#include "map/ScanLoop.h"
#include "map/Units.h"

namespace {

using word_scan::MapState;

// The words found so far, listed by where they lie in the state's outbuf.
struct WordListOutput {
  WordReceiver *receiver;
  WordSpan spans[MAP_WORD_BATCH];
  int count = 0;

  // Hands the words listed so far to the receiver; outbuf is then free again.
  static void deliver_words(MapState<WordListOutput> &state) {
    WordListOutput &list = state.output;
    if (list.count > 0) list.receiver->take_words(state.outbuf, list.spans, list.count);
    list.count = 0;
    state.outpos = 0;
  }

  // The word lies where it was lowered; the batch goes out when it is full or when the next
  // word might not find its room.
  static void finish_word(MapState<WordListOutput> &state, int length) {
    WordListOutput &list = state.output;
    list.spans[list.count++] =
        WordSpan{static_cast<uint32_t>(state.outpos), static_cast<uint32_t>(length)};
    state.outpos += length;
    if (list.count == MAP_WORD_BATCH || state.outpos > MAP_BLOCK_SIZE - word_scan::kWordRoom) {
      deliver_words(state);
    }
  }
};

}  // namespace

long long map_words(int fd_in, long long length, WordReceiver &receiver) {
  MapState<WordListOutput> state;
  state.output.receiver = &receiver;
  word_scan::scan_input(word_scan::range_reader(fd_in, length), state);
  WordListOutput::deliver_words(state);
  return state.words;
}

long long map_words(ByteSource &source, WordReceiver &receiver) {
  MapState<WordListOutput> state;
  state.output.receiver = &receiver;
  word_scan::scan_input(
      [&source](unsigned char *buf, size_t room) { return source.read(buf, room); }, state);
  WordListOutput::deliver_words(state);
  return state.words;
}

bool is_safe_cut_after(const unsigned char *bytes, long long i) {
  int length = 0;
  if ((bytes[i] & 0x80) != 0 || is_utf8_letter(bytes + i, &length)) return false;
  for (int back = 1; back <= MAP_CUT_CONTEXT_BYTES && i - back >= 0; ++back) {
    if (unit_length(bytes[i - back]) > back) return false;
  }
  return true;
}
