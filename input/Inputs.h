/* What the user points QuoventMR_v3 at, gathered and checked before any shard starts: files,
 * directories walked to every file under them, standard input and other streams, compressed
 * files and archives. A typing error costs nothing: every input is opened and read from here. */
#ifndef QUOVENT_INPUT_INPUTS_H
#define QUOVENT_INPUT_INPUTS_H

#include <string>
#include <vector>

enum class InputKind {
  kText,     // a regular file counted as it stands, cut into byte ranges
  kEncoded,  // a regular file that is compressed or an archive, decoded as a whole
  kStream,   // standard input, a pipe or a character device: read once, as it comes
};

struct Input {
  std::string path;  // absolute; "-" for standard input
  std::string name;  // as messages name it: the argument, or its directory's argument and below
  InputKind kind = InputKind::kText;
  long long size = -1;  // of a regular file
  int fd = -1;          // a stream's descriptor, open from the check on: a pipe is opened once
  long long modified_ns = -1;  // of a regular file: its modification time, in ns since the epoch
};

/* The inputs named by `args`, in their order; a directory gives every regular file under it, in
 * byte order of their names at every level. Symbolic links are followed, to files and to
 * directories, but within a directory tree every directory and every file is taken once, by its
 * device and inode, so that a link loop ends and no file is counted twice. With as_stored,
 * compressed files and archives count as the bytes they are. Stops through Error, naming the
 * input, when one is missing or unreadable, and through Fail when one is neither a file, a
 * directory nor a stream. */
std::vector<Input> gather_inputs(const std::vector<std::string> &args, bool as_stored);

/* What a result file would replace or join among the inputs. */
struct OverwrittenInput {
  enum class Kind {
    kNone,
    kInput,      // the file exists and is this input
    kDirectory,  // the file would lie in this directory argument's tree
  };
  Kind kind = Kind::kNone;
  std::string name;  // the input as messages name it, or the directory argument
};

/* The input that a result written to `output_file` (absolute and normal) would replace: the one
 * whose device and inode it has when it exists, however it is spelled or linked (standard input
 * too, when it reads from that file); or else the first directory argument under whose tree it
 * would lie, its directory and the argument compared with their symbolic links resolved, for a
 * file that the next count of that tree would read. `args` and `inputs` as given to and
 * returned by gather_inputs. A file that cannot be examined is taken as no input. */
OverwrittenInput input_overwritten_by(const std::string &output_file,
                                      const std::vector<std::string> &args,
                                      const std::vector<Input> &inputs);

#endif
