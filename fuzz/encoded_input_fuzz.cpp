// Damaged compressed files and archives: intact files of every format that the sharded run reads
// (gzip of two members, bzip2, xz, tar.gz, zip) are made once; the input picks one, flips
// bytes at places it chooses and may cut it short. Read by the decoder in a forked child, the
// file must either be refused cleanly (status 65) or give exactly the intact texts: a damaged
// file is never read as other text. The damage spares the magic number: a file whose first bytes
// no longer announce a format is a text, and is counted as its bytes.
#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ForkedExit.h"
#include "FuzzSupport.h"
#include "input/EncodedInput.h"

namespace {

constexpr int kRefusedStatus = 65;   // a damaged input stops the run with this status
constexpr size_t kLongestMagic = 6;  // xz's
// Where the texts of one file end, in what the child writes back.
constexpr char kTextEnd[] = "\n--end of text--\n";

struct Intact {
  std::string bytes;
  std::string texts;  // the texts decoded, each followed by kTextEnd
  // Where a cut leaves a whole, valid file of fewer members, which no check can tell from one
  // written so: such cuts are moved a byte on.
  size_t member_end = 0;
};
std::vector<Intact> intact_files;

std::string sample_text(int variant) {
  std::string text;
  for (int i = 0; i < 400; ++i) {
    text += "palabra" + std::to_string((i * 7 + variant) % 53) + " ÁRBOL straße word\n";
  }
  return text;
}

std::string gzip_member(const std::string &text) {
  z_stream stream{};
  if (deflateInit2(&stream, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) abort();
  std::string out(deflateBound(&stream, text.size()), '\0');
  stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(text.data()));
  stream.avail_in = static_cast<uInt>(text.size());
  stream.next_out = reinterpret_cast<Bytef *>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  if (deflate(&stream, Z_FINISH) != Z_STREAM_END) abort();
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

// An archive or a compressed file written by libarchive into memory: `format` and `filter` are
// its codes; a raw format holds one text, the others one member a text.
std::string written_by_libarchive(int format, int filter, const std::vector<std::string> &texts) {
  std::vector<char> buffer(1 << 20);
  size_t used = 0;
  archive *out = archive_write_new();
  if (archive_write_set_format(out, format) != ARCHIVE_OK ||
      archive_write_add_filter(out, filter) != ARCHIVE_OK ||
      archive_write_open_memory(out, buffer.data(), buffer.size(), &used) != ARCHIVE_OK)
    abort();
  for (size_t i = 0; i < texts.size(); ++i) {
    archive_entry *entry = archive_entry_new();
    archive_entry_set_pathname(entry, ("t" + std::to_string(i)).c_str());
    archive_entry_set_filetype(entry, AE_IFREG);
    archive_entry_set_perm(entry, 0644);
    archive_entry_set_size(entry, static_cast<la_int64_t>(texts[i].size()));
    if (archive_write_header(out, entry) != ARCHIVE_OK ||
        archive_write_data(out, texts[i].data(), texts[i].size()) < 0)
      abort();
    archive_entry_free(entry);
  }
  if (archive_write_close(out) != ARCHIVE_OK) abort();
  archive_write_free(out);
  return std::string(buffer.data(), used);
}

void make_intact_files() {
  const std::vector<std::string> one = {sample_text(0)};
  const std::vector<std::string> two = {sample_text(1), sample_text(2)};
  auto decoded = [](const std::vector<std::string> &texts, bool one_text) {
    std::string out;
    for (const std::string &text : texts) out += text + (one_text ? "" : kTextEnd);
    return one_text ? out + kTextEnd : out;
  };
  const std::string first_member = gzip_member(two[0]);
  intact_files.push_back(
      {first_member + gzip_member(two[1]), decoded(two, true), first_member.size()});
  // Not zstd: libarchive writes its frames without the checksum, and what a frame without it
  // holds can be changed without breaking its structure (the tests take zstd's own files).
  for (int filter : {ARCHIVE_FILTER_BZIP2, ARCHIVE_FILTER_XZ}) {
    intact_files.push_back(
        {written_by_libarchive(ARCHIVE_FORMAT_RAW, filter, one), decoded(one, true)});
  }
  intact_files.push_back({written_by_libarchive(ARCHIVE_FORMAT_TAR_USTAR, ARCHIVE_FILTER_GZIP, two),
                          decoded(two, false)});
  intact_files.push_back(
      {written_by_libarchive(ARCHIVE_FORMAT_ZIP, ARCHIVE_FILTER_NONE, two), decoded(two, false)});
}

// Every text of the file at path, each followed by kTextEnd, written to fd.
void decode_all(const std::string &path, int fd) {
  EncodedInput input(path, -1, path);
  std::vector<unsigned char> block(4096);
  while (input.next_text()) {
    for (size_t n; (n = input.read(block.data(), block.size())) > 0;) {
      if (write(fd, block.data(), n) != static_cast<ssize_t>(n)) _exit(1);
    }
    if (write(fd, kTextEnd, sizeof kTextEnd - 1) < 0) _exit(1);
  }
}

// The gzip decoder alone, in this process, so that its branches guide the search.
void check_gzip_in_process(const std::string &damaged, const std::string &texts) {
  size_t taken = 0;
  GzipStream gzip([&](unsigned char *buf, size_t room) {
    size_t n = std::min(room, damaged.size() - taken);
    memcpy(buf, damaged.data() + taken, n);
    taken += n;
    return static_cast<ssize_t>(n);
  });
  std::string decoded;
  unsigned char block[1000];
  ssize_t n;
  while ((n = gzip.read(block, sizeof block)) > 0)
    decoded.append(reinterpret_cast<char *>(block), n);
  if (n == 0 && decoded + kTextEnd != texts) {
    fprintf(stderr, "damaged gzip decoded to %zu other bytes\n", decoded.size());
    abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  quovent_fuzz::mark_fuzzer_process();
  make_intact_files();
  quovent_fuzz::enter_private_workdir();
  return 0;
}

// The input: which file, whether to cut it (and where), then edits of three bytes each: an
// offset of two bytes and the bits to flip there.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 4) return 0;
  const Intact &intact = intact_files[data[0] % intact_files.size()];
  std::string damaged = intact.bytes;
  // At least one byte past the magic number, which the edits below spare.
  size_t cut = kLongestMagic + 1 + (data[1] << 8 | data[2]) % (damaged.size() - kLongestMagic - 1);
  if (cut == intact.member_end) ++cut;
  if (data[3] & 1) damaged.resize(cut);
  for (size_t i = 4; i + 3 <= size; i += 3) {
    size_t at = kLongestMagic + (data[i] << 8 | data[i + 1]) % (damaged.size() - kLongestMagic);
    damaged[at] ^= static_cast<char>(data[i + 2]);
  }
  if (data[0] % intact_files.size() == 0) check_gzip_in_process(damaged, intact.texts);
  quovent_fuzz::write_whole_file("damaged", damaged);
  int out = quovent_fuzz::new_memory_file();
  pid_t pid = fork();
  if (pid < 0) abort();
  if (pid == 0) {
    int quiet = open("/dev/null", O_WRONLY);
    dup2(quiet, STDERR_FILENO);
    decode_all("damaged", out);
    _exit(0);
  }
  int wait_status;
  while (waitpid(pid, &wait_status, 0) < 0) {
    if (errno != EINTR) abort();
  }
  std::string decoded = quovent_fuzz::memory_file_contents(out);
  close(out);
  bool refused = WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == kRefusedStatus;
  bool exact = WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == 0 && decoded == intact.texts;
  if (!refused && !exact) {
    fprintf(stderr, "damaged file of format %zu: wait status %d, %zu bytes decoded, %zu expected\n",
            data[0] % intact_files.size(), wait_status, decoded.size(), intact.texts.size());
    abort();
  }
  return 0;
}
