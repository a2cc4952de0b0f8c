// What the fuzz targets share: handing bytes to a stage function through a
// descriptor in read sizes chosen by the fuzz input, reading back what a
// stage wrote, and a private working directory.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace quovent_fuzz {

// Runs consume(fd) on the read end of a SOCK_SEQPACKET socket pair while a
// thread sends `bytes` in packets of sizes drawn from `seed` (1 byte to
// 4 KiB, at most about 128 packets). Each packet is exactly one read(2) result, so a reader meets
// the chosen block boundaries; the end of the bytes reads as end of file.
void feed_in_chunks(std::string_view bytes, uint32_t seed, const std::function<void(int)> &consume);

// An anonymous file to write into, and everything written to it.
int new_memory_file();
std::string memory_file_contents(int fd);

// Points standard output at /dev/null: the stages print progress lines that
// would only slow the fuzzer down.
void silence_stdout();

// Makes a fresh directory under /tmp the working directory, with an empty
// tmp/ in it, and removes it when the fuzzer exits.
void enter_private_workdir();

std::string read_whole_file(const std::string &path);
void write_whole_file(const std::string &path, std::string_view bytes);

// Lines of text ended by '\n'; bytes after the last '\n' are not a line.
std::vector<std::string_view> terminated_lines(std::string_view text);

}  // namespace quovent_fuzz
