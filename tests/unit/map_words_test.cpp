// What a word is: extraction, the 255-byte cut, lower-casing through the
// locale, independence from where the input's blocks end, and the same
// classes and copies of a chunk from its byte-by-byte and its SSE2 form.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "map/ChunkClasses.h"
#include "map/Map.h"
#include "support/TestSupport.h"

using quovent_test::hex;

namespace {

std::string read_all_from_start(int fd) {
  lseek(fd, 0, SEEK_SET);
  std::string bytes;
  char chunk[65536];
  ssize_t n;
  while ((n = read(fd, chunk, sizeof chunk)) > 0) bytes.append(chunk, n);
  return bytes;
}

// The map output for text given as one regular file: blocks of 65,536 bytes.
std::string map_text(const std::string &text) {
  int in = memfd_create("input", 0);
  int out = memfd_create("output", 0);
  EXPECT_EQ(write(in, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  lseek(in, 0, SEEK_SET);
  map_process_file(in, out);
  std::string tuples = read_all_from_start(out);
  close(in);
  close(out);
  return tuples;
}

// The map output for text that arrives in the given pieces: a packet socket
// hands each piece to one read, so the pieces are the blocks.
std::string map_pieces(const std::vector<std::string> &pieces) {
  int sockets[2];
  EXPECT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sockets), 0);
  for (const std::string &piece : pieces) {
    EXPECT_EQ(send(sockets[1], piece.data(), piece.size(), 0), static_cast<ssize_t>(piece.size()));
  }
  shutdown(sockets[1], SHUT_WR);
  int out = memfd_create("output", 0);
  map_process_file(sockets[0], out);
  std::string tuples = read_all_from_start(out);
  close(sockets[0]);
  close(sockets[1]);
  close(out);
  return tuples;
}

std::string tuples_of(const std::vector<std::string> &words) {
  std::string tuples;
  for (const std::string &word : words) tuples += word + " 1\n";
  return tuples;
}

class WordsInLocale : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(setlocale(LC_ALL, "C.UTF-8"), nullptr); }
  void TearDown() override { setlocale(LC_ALL, "C"); }
};

TEST_F(WordsInLocale, ExtractionFollowsTheLetterRules) {
  struct Case {
    std::string text;
    std::vector<std::string> words;
  };
  const Case cases[] = {
      {"Hello, World!", {"hello", "world"}},
      {"don't e-mail abc123def snake_case",
       {"don", "t", "e", "mail", "abc", "def", "snake", "case"}},
      {"ÀÉÎÕÜ Straße naïve", {"àéîõü", "straße", "naïve"}},
      {"łódź", {"ód"}},
      {"2×3 a÷b", {"×", "a÷b"}},
      {"¿Qué? «hola» ªµº", {"qué", "hola"}},
      {"Καλημέρα Привет 漢字 😀 ok", {"ok"}},
      {std::string("a\0b", 3), {"a", "b"}},
      {"", {}},
      {"123 !!! ...", {}},
      // A stray first byte of a three-byte unit swallows the two letters after it.
      {"x\xE2"
       "abc",
       {"x", "c"}},
      // 0xC2 followed by a first byte is an invalid unit and no letter.
      {"a\xC2\xC3z", {"a", "z"}},
      // 0xC3 with a second byte outside 0x80-0xBF is no letter either.
      {"a\xC3"
       "Az",
       {"a", "z"}},
      {"ends in a letteR", {"ends", "in", "a", "letter"}},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(map_text(c.text), tuples_of(c.words)) << "input: " << hex(c.text);
  }
}

TEST_F(WordsInLocale, OverlongWordKeepsWholeUnitsUpTo255Bytes) {
  std::string a300(300, 'a');
  EXPECT_EQ(map_text(a300 + " next"), tuples_of({std::string(255, 'a'), "next"}));

  // The two-byte letter that no longer fits is dropped; the z still fits.
  std::string a254(254, 'a');
  EXPECT_EQ(map_text(a254 + "éz"), tuples_of({a254 + "z"}));

  // Two-byte letters only: 127 of them fill 254 bytes, the 128th is dropped.
  std::string e128;
  for (int k = 0; k < 128; ++k) e128 += "É";
  std::string e127;
  for (int k = 0; k < 127; ++k) e127 += "é";
  EXPECT_EQ(map_text(e128), tuples_of({e127}));
}

TEST_F(WordsInLocale, WordsAcrossTheBlockBoundaryOfAFile) {
  // An ASCII word and a two-byte letter straddling byte 65,536 of the file.
  std::string padding(MAP_BLOCK_SIZE - 3, ' ');
  EXPECT_EQ(map_text(padding + "abcdef"), tuples_of({"abcdef"}));
  std::string before_letter(MAP_BLOCK_SIZE - 2, ' ');
  EXPECT_EQ(map_text(before_letter + "xÉy"), tuples_of({"xéy"}));
  std::string before_sign(MAP_BLOCK_SIZE - 2, ' ');
  EXPECT_EQ(map_text(before_sign + "x«y"), tuples_of({"x", "y"}));
}

TEST_F(WordsInLocale, WordsDoNotDependOnWhereBlocksEnd) {
  const std::string text =
      "Ça «marche» 2×3 straße ŁÓDŹ Κα😀z x\xE2"
      "ab \xC3";
  const std::string whole = map_text(text);
  for (size_t cut = 1; cut < text.size(); ++cut) {
    EXPECT_EQ(map_pieces({text.substr(0, cut), text.substr(cut)}), whole) << "cut at " << cut;
    for (size_t second = cut + 1; second < text.size(); second += 3) {
      EXPECT_EQ(
          map_pieces({text.substr(0, cut), text.substr(cut, second - cut), text.substr(second)}),
          whole)
          << "cuts at " << cut << " and " << second;
    }
  }
}

// Blocks of 76 bytes or less, with the at most three bytes carried before them, are scanned
// unit by unit; a long block goes a chunk of 64 bytes at a time. Both must find the same words,
// wherever in a chunk a unit falls and whatever it takes in.
TEST_F(WordsInLocale, WordsOfChunksAreThoseFoundUnitByUnit) {
  const std::string units[] = {
      "é",    "É", "×",    "\xC3", "\xC3\xC3\xA9", "\x80", "\xBF", "«", "\xE2", "\xE2\xC3\xA9", "€",
      "\xF0", "😀", "\xFF", "Κ",    ".\n"};
  std::string text;
  for (int n = 0; n < 160; ++n) {
    text += std::string(n % 67, static_cast<char>(n % 2 ? 'a' + n % 26 : 'A' + n % 26));
    text += units[n % std::size(units)];
    if (n % 3 == 0) text += std::string(n % 5, ' ');
  }
  for (int length : {254, 255, 256}) {
    text += std::string(length - 1, 'W') + "Éz " + std::string(length, 'w') + "é ";
    for (int k = 0; k < length / 2; ++k) text += k % 2 ? "é" : "Ö";
    text += "\xC3 x ";
  }
  std::vector<std::string> pieces;
  for (size_t at = 0, size = 60; at < text.size(); at += size, size = 60 + (size + 7) % 17) {
    pieces.push_back(text.substr(at, size));
  }
  EXPECT_EQ(map_text(text), map_pieces(pieces));
}

// The byte-by-byte classes at every edge of a class, wherever in a chunk the bytes fall: the
// ends of the SSE2 form's 16-byte parts and the chunk's last byte, whose second byte lies past
// it. Where the compiler offers SSE2, which the scan then takes, both forms must agree.
TEST(ChunkClasses, EdgeBytesHaveTheSameClassesInBothForms) {
  struct Case {
    std::string bytes;                                // among blanks
    uint64_t ascii_letters, non_ascii, latin1_leads;  // bit 0 for bytes[0], bit 1 for bytes[1]
  };
  const Case cases[] = {
      {"@", 0, 0, 0},
      {"A", 1, 0, 0},
      {"Z", 1, 0, 0},
      {"[", 0, 0, 0},
      {"`", 0, 0, 0},
      {"a", 1, 0, 0},
      {"z", 1, 0, 0},
      {"{", 0, 0, 0},
      {std::string(1, '\0'), 0, 0, 0},
      {"\x7F", 0, 0, 0},
      {"\x80", 0, 1, 0},
      {"\xC1", 0, 1, 0},  // 'A' + 0x80
      {"\xFA", 0, 1, 0},  // 'z' + 0x80
      {"\xFF", 0, 1, 0},
      {"\xC3", 0, 1, 0},
      {"\xC3\x80", 0, 0b11, 1},
      {"\xC3\xBF", 0, 0b11, 1},
      {"\xC3\x7F", 0, 0b01, 0},
      {"\xC3"
       "a",
       0b10, 0b01, 0},
      {"\xC3\xC0", 0, 0b11, 0},
      {"\xC3\xC3", 0, 0b11, 0},
      {"\xC2\xA9", 0, 0b11, 0},
  };
  for (const Case &c : cases) {
    for (int at : {0, 1, 15, 16, 31, 32, 47, 48, 62, 63}) {
      unsigned char chunk[kChunkBytes + 2];
      memset(chunk, ' ', sizeof chunk);
      memcpy(chunk + at, c.bytes.data(), c.bytes.size());
      const ChunkClasses expected{c.ascii_letters << at, c.non_ascii << at, c.latin1_leads << at};
      const ChunkClasses bytewise = classify_chunk_bytewise(chunk);
      EXPECT_TRUE(bytewise == expected) << hex(c.bytes) << " at byte " << at;
#ifdef __SSE2__
      EXPECT_TRUE(classify_chunk_sse2(chunk) == bytewise) << hex(c.bytes) << " at byte " << at;
#endif
    }
  }
}

#ifdef __SSE2__
// Both forms of the copy store the same bytes for every byte value, letter or not, lowering the
// two-byte letters or leaving them to the caller.
TEST(ChunkClasses, BothFormsOfTheCopyStoreTheSameBytes) {
  unsigned char all_bytes[256];
  for (int c = 0; c < 256; ++c) all_bytes[c] = static_cast<unsigned char>(c);
  for (bool lower_latin1 : {false, true}) {
    char word[2][256], out[2][256];
    copy_letters_bytewise(all_bytes, 256, word[0], out[0], lower_latin1);
    copy_letters_sse2(all_bytes, 256, word[1], out[1], lower_latin1);
    EXPECT_EQ(std::string(word[0], 256), std::string(word[1], 256));
    EXPECT_EQ(hex(std::string(out[0], 256)), hex(std::string(out[1], 256)))
        << "lower_latin1 " << lower_latin1;
  }
}
#endif

TEST(Lowercasing, FollowsTheLocaleAndLeavesUnconvertibleWordsAlone) {
  struct Case {
    const char *locale;
    std::string word;
    std::string lowered;
  };
  const Case cases[] = {
      {"C.UTF-8", "ÑANDÚ", "ñandú"},
      {"C.UTF-8", "ÀÞÝ×ÿ", "àþý×ÿ"},
      {"es_ES.UTF-8", "ÁRBOL", "árbol"},
      // Invalid UTF-8 cannot be converted: the word stays as it was.
      {"C.UTF-8", "AB\xC2\xC3", "AB\xC2\xC3"},
      // The C locale converts no byte above 0x7F: nothing of the word changes.
      {"C", "ÉCOLE", "ÉCOLE"},
      {"C", "ECOLE", "ecole"},
      // A lower case with another byte length is kept whole, not cut.
      {"tr_TR.UTF-8", "IZMIR", "ızmır"},
  };
  setenv("LOCPATH", quovent_test::generated_locale_dir().c_str(), 1);
  for (const Case &c : cases) {
    if (setlocale(LC_ALL, c.locale) == nullptr) {
      ADD_FAILURE() << "locale " << c.locale << " is not available";
      continue;
    }
    char word[MAX_WORD_BYTES + 1] = {};
    c.word.copy(word, c.word.size());
    normalize_utf8(word);
    EXPECT_EQ(std::string(word), c.lowered) << c.locale << ": " << hex(c.word);
  }
  setlocale(LC_ALL, "C");
  unsetenv("LOCPATH");
}

}  // namespace
