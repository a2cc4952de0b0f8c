#include "run/Console.h"

#include <unistd.h>

#include <cstdio>

#include "common/Clock.h"
#include "common/Errors.h"

namespace {

// A terminal line is rewritten at most this often.
constexpr double kRefreshSeconds = 0.25;

constexpr char kClearLine[] = "\r\033[K";

void write_text(const std::string &text) { (void)!write(STDERR_FILENO, text.data(), text.size()); }

// "[<program>] ": what opens every line of the run's own.
std::string tag() {
  char text[PROGRAM_TAG_SIZE + 4];
  tag_message(text, sizeof text, nullptr, "%s", "");
  return text;
}

std::string duration(double seconds) {
  long long s = static_cast<long long>(seconds + 0.5);
  char text[32];
  if (s >= 3600) {
    snprintf(text, sizeof text, "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
  } else {
    snprintf(text, sizeof text, "%lld:%02lld", s / 60, s % 60);
  }
  return text;
}

}  // namespace

std::string megabytes(long long bytes) {
  char text[32];
  if (bytes < (1 << 20)) {
    snprintf(text, sizeof text, "%.1f KB", static_cast<double>(bytes) / (1 << 10));
  } else {
    snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / (1 << 20));
  }
  return text;
}

Progress::Progress(size_t shards, long long bytes, bool on_terminal)
    : shards_(shards), bytes_(bytes), on_terminal_(on_terminal), started_(monotonic_now()) {}

double Progress::elapsed_seconds() const { return seconds_since(started_); }

void Progress::start(const std::string &what) {
  write_text(std::string(COLOR_GREEN) + tag() + what + COLOR_RESET + "\n");
}

void Progress::update(size_t shards_done, long long bytes_done) {
  if (!on_terminal_) return;
  double now = elapsed_seconds();
  if (last_shown_ >= 0 && now - last_shown_ < kRefreshSeconds && shards_done < shards_) return;
  last_shown_ = now;
  double rate = now > 0 ? static_cast<double>(bytes_done) / (1 << 20) / now : 0;
  std::string left = "--";
  if (bytes_done > 0 && bytes_done <= bytes_) {
    left =
        duration(now * static_cast<double>(bytes_ - bytes_done) / static_cast<double>(bytes_done));
  }
  char text[256];
  snprintf(text, sizeof text, "%s%s%zu of %zu shards, %s of %s counted, %.1f MB/s, %s left",
           kClearLine, tag().c_str(), shards_done, shards_, megabytes(bytes_done).c_str(),
           megabytes(bytes_).c_str(), rate, left.c_str());
  write_text(text);
  line_shown_ = true;
}

void Progress::merge_update(int done, int parts, const char *unit) {
  double now = elapsed_seconds();
  if (merge_started_ < 0) merge_started_ = now;
  merge_parts_ = parts;
  if (done == parts) merge_ended_ = now;
  if (!on_terminal_) return;
  if (last_shown_ >= 0 && now - last_shown_ < kRefreshSeconds && done > 0 && done < parts) return;
  last_shown_ = now;
  char text[256];
  snprintf(text, sizeof text, "%s%smerging the shards' results: %d of %d %s, %s", kClearLine,
           tag().c_str(), done, parts, unit, duration(now - merge_started_).c_str());
  write_text(text);
  line_shown_ = true;
}

std::string Progress::merge_summary() const {
  if (merge_started_ < 0) return "";
  double ended = merge_ended_ >= 0 ? merge_ended_ : elapsed_seconds();
  char text[96];
  snprintf(text, sizeof text, ", of which the merge %.3f secs in %d part%s", ended - merge_started_,
           merge_parts_, merge_parts_ == 1 ? "" : "s");
  return text;
}

void Progress::add_shard(long long bytes) {
  ++shards_;
  bytes_ += bytes;
}

void Progress::add_shard_bytes(long long bytes) { bytes_ += bytes; }

void Progress::clear() {
  if (line_shown_) write_text(kClearLine);
  line_shown_ = false;
}

void Progress::finish(const std::string &what) {
  clear();
  write_text(std::string(COLOR_GREEN) + tag() + what + COLOR_RESET + "\n");
}

void report_error(const std::string &text) {
  write_text(std::string(COLOR_RED_B) + tag() + text + COLOR_RESET + "\n");
}
