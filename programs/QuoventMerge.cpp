// QuoventMerge: result files of runs over parts of a text, merged into the result file that
// one run over the whole text writes.
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>

#include "common/Clock.h"
#include "common/CommandLine.h"
#include "common/Errors.h"
#include "common/WorkFiles.h"
#include "reduce/CollatingMerge.h"
#include "reduce/ResultMerge.h"
#include "shuffle/Suffle.h"

namespace {

constexpr char kProgram[] = "QuoventMerge";
constexpr char kUsage[] =
    "Usage: QuoventMerge -r <nreducers> [-j <jobs>] [-o <output_file>] <result_files>...\n"
    "Merges result files written with the same reducer count under the same locale into the\n"
    "result one run over all their inputs writes (default output " DEFAULT_RESULT_FILE
    "),\n"
    "in parts merged by up to <jobs> processes at once (default: the cores online).\n";
constexpr char kDefaultResultFile[] = DEFAULT_RESULT_FILE;

// As many merge processes as QuoventMR_v3 counts shards at once.
constexpr long long kMaxJobs = 4096;

// The merge is renamed onto its output: a slip that names one of the files merged as the output
// would replace it. Refused before anything is read when the output exists and has the device
// and inode of one of them, however it is spelled or linked; a file that cannot be examined is
// left for the merge to report.
void refuse_output_over_input(const char *output_file, int nfiles, char *const *files) {
  struct stat output;
  if (stat(output_file, &output) < 0) return;
  for (int i = 0; i < nfiles; ++i) {
    struct stat st;
    if (stat(files[i], &st) == 0 && st.st_dev == output.st_dev && st.st_ino == output.st_ino) {
      fail_at(nullptr, kUsageStatus, "the output file %s is the result file %s it merges",
              output_file, files[i]);
    }
  }
}

}  // namespace

int main(int argc, char **argv) {
  set_program_tag(kProgram);
  static const option kLongOptions[] = {{"help", no_argument, nullptr, 'h'},
                                        {nullptr, 0, nullptr, 0}};
  long long nreducers = 0;
  const char *output_file = kDefaultResultFile;
  // The bytes are those of one process whatever the count: by default every core takes a part,
  // as QuoventMR_v3 counts on every core.
  long online = sysconf(_SC_NPROCESSORS_ONLN);
  long long jobs = online > 0 ? online : 1;
  opterr = 0;
  for (int option; (option = getopt_long(argc, argv, ":r:j:o:h", kLongOptions, nullptr)) != -1;) {
    switch (option) {
      case 'j':
        if (!read_whole_number(optarg, 1, kMaxJobs, jobs)) {
          refuse_command_line(kProgram, "the job count (-j) must be 1 to 4096", kUsage);
        }
        break;
      case 'r':
        if (!read_whole_number(optarg, 1, MAX_REDUCERS, nreducers)) {
          refuse_command_line(kProgram, "the reducer count (-r) must be 1 to 16", kUsage);
        }
        break;
      case 'o':
        output_file = optarg;
        break;
      case 'h':
        fputs(kUsage, stdout);
        return 0;
      case ':':
        refuse_command_line(kProgram, "an option lacks its value", kUsage);
      default:
        refuse_command_line(kProgram, "unknown option", kUsage);
    }
  }
  if (nreducers == 0) {
    refuse_command_line(kProgram, "the reducer count (-r) of the runs is required", kUsage);
  }
  int nfiles = argc - optind;
  if (nfiles < 1) refuse_command_line(kProgram, "no result file to merge", kUsage);
  refuse_output_over_input(output_file, nfiles, argv + optind);

  setlocale(LC_ALL, "");
  timespec start = monotonic_now();
  // The results a run of QuoventMR_v3 kept in its work directory may be in byte order, the merge
  // left to collate them.
  long long words = results_are_byte_ordered(nfiles, argv + optind)
                        ? collate_results(nfiles, argv + optind, static_cast<int>(nreducers),
                                          output_file, true, static_cast<int>(jobs), nullptr)
                        : merge_results(nfiles, argv + optind, static_cast<int>(nreducers),
                                        output_file, 1, static_cast<int>(jobs), nullptr);
  snprintf(Msg, sizeof Msg,
           "[QuoventMerge]\tMerged %d result files into %s: %lld diferent words in %.3f secs.\n",
           nfiles, output_file, words, seconds_since(start));
  print(Msg);
  return 0;
}
