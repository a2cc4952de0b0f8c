// Word extraction on arbitrary bytes: map_process_file, fed in read sizes
// chosen by the input, must write exactly the tuples of a small restatement
// of the word rules, so the words never depend on where the blocks end.
// Runs in C.UTF-8, whose case mapping of U+00C0-U+00DE is known here.
#include <unistd.h>

#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "FuzzSupport.h"
#include "map/Map.h"

namespace {

constexpr size_t kLongestWord = 255;

size_t unit_bytes(unsigned char c) {
  if (c < 0x80) return 1;
  if ((c >> 5) == 0x6) return 2;
  if ((c >> 4) == 0xE) return 3;
  if ((c >> 3) == 0x1E) return 4;
  return 1;
}

// Letters are the ASCII letters and U+00C0-U+00FF; a unit that the input
// cuts short is no letter. Letters beyond 255 bytes are dropped, the word
// goes on. Lower case: A-Z and U+00C0-U+00DE but U+00D7 move by 0x20.
std::string expected_tuples(std::string_view in, int &words) {
  std::string out;
  std::string word;
  auto end_word = [&] {
    if (word.empty()) return;
    out += word + " 1\n";
    ++words;
    word.clear();
  };
  for (size_t i = 0; i < in.size();) {
    unsigned char c = in[i];
    size_t len = unit_bytes(c);
    if (i + len > in.size()) break;
    std::string lowered;
    if (len == 1 && ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) {
      lowered = static_cast<char>(c | 0x20);
    } else if (len == 2 && c == 0xC3 && (in[i + 1] & 0xC0) == 0x80) {
      unsigned char second = in[i + 1];
      if (second <= 0x9E && second != 0x97) second += 0x20;
      lowered = {static_cast<char>(c), static_cast<char>(second)};
    }
    if (lowered.empty()) {
      end_word();
    } else if (word.size() + len <= kLongestWord) {
      word += lowered;
    }
    i += len;
  }
  end_word();
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  if (setlocale(LC_ALL, "C.UTF-8") == nullptr) abort();
  quovent_fuzz::silence_stdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  uint32_t seed = data[0];
  std::string_view text(reinterpret_cast<const char *>(data) + 1, size - 1);
  int expected_words = 0;
  std::string expected = expected_tuples(text, expected_words);

  int out = quovent_fuzz::new_memory_file();
  int words = -1;
  quovent_fuzz::feed_in_chunks(text, seed, [&](int in) { words = map_process_file(in, out); });
  std::string written = quovent_fuzz::memory_file_contents(out);
  close(out);
  if (words != expected_words || written != expected) {
    fprintf(stderr, "map_process_file: %d words, expected %d\nwrote    [%s]\nexpected [%s]\n",
            words, expected_words, written.c_str(), expected.c_str());
    abort();
  }
  return 0;
}
