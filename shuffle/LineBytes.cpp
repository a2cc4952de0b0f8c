// The look-up hash of a line's bytes.
#include "shuffle/LineBytes.h"

namespace suffle_internal {

uint32_t line_hash(const char *text, size_t length) {
  // Eight bytes a step, the last step overlapping the one before; a short line is read in
  // two overlapping halves or three single bytes. Lines are short, and every line of a batch
  // is hashed once. The length enters first, so overlapping reads cannot make two lines of
  // different lengths alike.
  constexpr uint64_t kMultiplier = 0x9E3779B97F4A7C15u;
  uint64_t h = (length + 1) * kMultiplier;
  auto mix = [&h](uint64_t chunk) {
    h = (h ^ chunk) * kMultiplier;
    h ^= h >> 29;
  };
  if (length >= sizeof(uint64_t)) {
    size_t k = 0;
    for (; k + sizeof(uint64_t) < length; k += sizeof(uint64_t)) {
      mix(load_bytes(text + k, sizeof(uint64_t)));
    }
    mix(load_bytes(text + length - sizeof(uint64_t), sizeof(uint64_t)));
  } else if (length >= 4) {
    mix(load_bytes(text, 4) << 32 | load_bytes(text + length - 4, 4));
  } else if (length > 0) {
    mix(uint64_t{static_cast<unsigned char>(text[0])} << 16 |
        uint64_t{static_cast<unsigned char>(text[length / 2])} << 8 |
        static_cast<unsigned char>(text[length - 1]));
  }
  return static_cast<uint32_t>(h ^ (h >> 32));
}

}  // namespace suffle_internal
