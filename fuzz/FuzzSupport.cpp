#include "FuzzSupport.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

namespace quovent_fuzz {

namespace {

// Read sizes worth mixing: single bytes split every unit and line, a few
// bytes split UTF-8 units, larger ones exercise the usual path.
constexpr size_t kChunkLimits[] = {1, 2, 3, 5, 64, 300, 4096};

constexpr size_t kMostPackets = 128;

uint32_t next_random(uint32_t &state) {
  state ^= state << 13;
  state ^= state >> 17;
  state ^= state << 5;
  return state;
}

void fail(const char *what) {
  perror(what);
  abort();
}

std::filesystem::path private_workdir;
pid_t workdir_owner;

// Forked children that end through exit() must leave the directory to the fuzzer.
void remove_private_workdir() {
  if (getpid() != workdir_owner) return;
  std::error_code ignored;
  std::filesystem::remove_all(private_workdir, ignored);
}

}  // namespace

void feed_in_chunks(std::string_view bytes, uint32_t seed,
                    const std::function<void(int)> &consume) {
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, ends) != 0) fail("socketpair");
  uint32_t state = seed | 1;
  size_t limit = kChunkLimits[seed % std::size(kChunkLimits)];
  // Long inputs get larger pieces: a few hundred packets bound the cost of a run, and their
  // ends still fall anywhere.
  size_t least = bytes.size() / kMostPackets;
  size_t sent = 0;
  auto send_rest = [&](int flags) {
    while (sent < bytes.size()) {
      size_t size = std::min(bytes.size() - sent, std::max(least, 1 + next_random(state) % limit));
      ssize_t n = send(ends[1], bytes.data() + sent, size, flags);
      if (n < 0 && errno == EAGAIN) return;
      if (n != static_cast<ssize_t>(size)) fail("send");
      sent += size;
    }
    close(ends[1]);
  };
  // Usually every packet fits the socket's buffer at once; a thread sends the rest when not.
  send_rest(MSG_DONTWAIT);
  std::thread sender;
  if (sent < bytes.size()) sender = std::thread(send_rest, 0);
  consume(ends[0]);
  if (sender.joinable()) sender.join();
  close(ends[0]);
}

int new_memory_file() {
  int fd = memfd_create("quovent-fuzz-out", 0);
  if (fd < 0) fail("memfd_create");
  return fd;
}

std::string memory_file_contents(int fd) {
  std::string contents;
  char block[65536];
  for (off_t offset = 0;;) {
    ssize_t n = pread(fd, block, sizeof block, offset);
    if (n < 0) fail("pread");
    if (n == 0) return contents;
    contents.append(block, static_cast<size_t>(n));
    offset += n;
  }
}

void silence_stdout() {
  int null_fd = open("/dev/null", O_WRONLY);
  if (null_fd < 0 || dup2(null_fd, 1) < 0) fail("/dev/null");
  close(null_fd);
}

void enter_private_workdir() {
  char name[] = "/tmp/quovent-fuzz-XXXXXX";
  if (mkdtemp(name) == nullptr) fail("mkdtemp");
  private_workdir = name;
  workdir_owner = getpid();
  std::filesystem::create_directory(private_workdir / "tmp");
  std::filesystem::current_path(private_workdir);
  atexit(remove_private_workdir);
}

std::string read_whole_file(const std::string &path) {
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) fail(path.c_str());
  std::string contents = memory_file_contents(fd);
  close(fd);
  return contents;
}

void write_whole_file(const std::string &path, std::string_view bytes) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0 || write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
    fail(path.c_str());
  }
  close(fd);
}

std::vector<std::string_view> terminated_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  for (size_t start = 0;;) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) return lines;
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
}

}  // namespace quovent_fuzz
