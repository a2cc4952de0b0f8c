/* The feeder of a local run: a child that reads the streams and large compressed files into
 * chunk files while the shards count them. It tells the driver of each chunk on a pipe, "begin
 * <path>\n" once the file exists, so that a shard counts it while it is written, and "done
 * <bytes> <path>\n" once it is complete; then "end\n". It begins a chunk only with a credit: it
 * has jobs + 1 at first, and the driver gives one back for every chunk counted, so that at most
 * about jobs + 1 chunks are on disk at once. */
#ifndef QUOVENT_RUN_FEEDER_H
#define QUOVENT_RUN_FEEDER_H

#include <signal.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "input/Inputs.h"
#include "input/StreamFeed.h"
#include "run/ChildEnd.h"
#include "run/ShardRun.h"

class Feeder {
 public:
  /* Starts the feeder for `inputs`, cut into chunks of about chunk_size bytes in the run's feed
   * directory, its signal mask child_mask; with no inputs it is done at once. The driver's ends
   * of the streams are the feeder's then, and closed here. Returns kCounted, or what kept the
   * feeder from starting. */
  RunOutcome start(const ShardRun &run, const std::vector<Input> &inputs, long long chunk_size,
                   const sigset_t &child_mask);

  bool running() const { return pid_ > 0; }
  bool done() const { return done_; }           // it reported its end
  int report_fd() const { return report_fd_; }  // -1 once the feeder closed it
  pid_t pid() const { return pid_; }

  /* Reads what the feeder reported; returns the chunks it began (bytes -1) and completed. */
  std::vector<Chunk> take_reports();

  /* A chunk was counted: its file goes, and the feeder may begin another. */
  void give_back(const std::string &chunk);

  /* The feeder ended with wait_status: empty when it ended well, otherwise what failed, in its
   * own words when it left any. */
  std::string ended(int wait_status);

  /* Stops the feeder, when it runs, and waits for it. */
  void stop();

  /* In another child of the driver: closes the driver's ends of the feeder's pipes, which only
   * the driver may hold. */
  void close_in_child() const;

 private:
  pid_t pid_ = -1;
  int report_fd_ = -1;
  int credit_fd_ = -1;
  MessagePipe messages_;
  bool done_ = false;
  std::string dir_;
  std::string pending_;
};

#endif
