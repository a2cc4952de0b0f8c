// Word extraction on arbitrary bytes: map_process_file, fed in read sizes
// chosen by the input, must write exactly the tuples of a small restatement
// of the word rules, so the words never depend on where the blocks end.
// Runs in C.UTF-8, whose case mapping of U+00C0-U+00DE is known here.
// The same bytes go through both forms of the chunk scan's classes and
// copies (SSE2 and byte by byte), which must agree.
#include <unistd.h>

#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "map/ChunkClasses.h"
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

// The scan takes the SSE2 forms; the byte-by-byte ones say what they must give. Every chunk that
// starts in the text is classified (zero bytes after the text), and the whole text copied.
void check_chunk_forms(std::string_view text) {
#ifdef __SSE2__
  std::vector<unsigned char> bytes(text.begin(), text.end());
  bytes.resize(text.size() + kChunkReach, 0);
  for (size_t at = 0; at < text.size(); ++at) {
    if (!(classify_chunk_sse2(bytes.data() + at) == classify_chunk_bytewise(bytes.data() + at))) {
      fprintf(stderr, "classify_chunk: the two forms differ at byte %zu\n", at);
      abort();
    }
  }
  const int count = static_cast<int>(text.size());
  const size_t stored = text.size() + kCopyStep;
  for (bool lower_latin1 : {false, true}) {
    std::vector<char> word_sse2(stored), out_sse2(stored), word_bytewise(stored),
        out_bytewise(stored);
    copy_letters_sse2(bytes.data(), count, word_sse2.data(), out_sse2.data(), lower_latin1);
    copy_letters_bytewise(bytes.data(), count, word_bytewise.data(), out_bytewise.data(),
                          lower_latin1);
    if (word_sse2 != word_bytewise || out_sse2 != out_bytewise) {
      fprintf(stderr, "copy_letters: the two forms differ (lower_latin1 %d)\n", lower_latin1);
      abort();
    }
  }
#else
  (void)text;
#endif
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
  check_chunk_forms(text);
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
