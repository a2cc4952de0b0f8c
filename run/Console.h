/* What QuoventMR_v3 tells its user, on standard error: a progress line that updates itself on
 * a terminal, or a start and an end line otherwise, and the failures of shards. */
#ifndef QUOVENT_RUN_CONSOLE_H
#define QUOVENT_RUN_CONSOLE_H

#include <ctime>
#include <string>

class Progress {
 public:
  /* on_terminal: standard error is a terminal, where one line is rewritten in place. */
  Progress(size_t shards, long long bytes, bool on_terminal);

  /* The line that opens the run: what is counted, and how. */
  void start(const std::string &what);

  /* Shards counted so far and their bytes; shown at most a few times a second. */
  void update(size_t shards_done, long long bytes_done);

  /* A shard added while the run goes on (a chunk of a stream), of `bytes` bytes so far. */
  void add_shard(long long bytes);

  /* Bytes that a shard added while the run goes on turned out to hold. */
  void add_shard_bytes(long long bytes);

  /* The merge of the shards' results: `done` of `parts` parts merged (done 0 as a round begins),
   * or of whatever `unit` names (the groups merged before the parts). The first call starts the
   * merge's clock. */
  void merge_update(int done, int parts, const char *unit = "parts");

  /* ", of which the merge 2.812 secs in 4 parts": what the closing line tells of the merge; empty
   * when merge_update was never called. */
  std::string merge_summary() const;

  /* Ends the progress line and prints the closing line. */
  void finish(const std::string &what);

  /* Clears the progress line, so that a message can take its place. */
  void clear();

  double elapsed_seconds() const;

 private:
  size_t shards_;
  long long bytes_;
  bool on_terminal_;
  timespec started_;
  double last_shown_ = -1;
  bool line_shown_ = false;
  double merge_started_ = -1;  // elapsed seconds when the merge began; -1 before
  double merge_ended_ = -1;    // when its last part ended
  int merge_parts_ = 0;
};

/* Writes "[<program>] <text>\n" (the tag of set_program_tag) in bold red to standard error in
 * one write. */
void report_error(const std::string &text);

/* "12.3 MB": bytes in megabytes (2^20 bytes) with one decimal, or in kilobytes below one
 * megabyte. */
std::string megabytes(long long bytes);

#endif
