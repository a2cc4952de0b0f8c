// Real faults, not injected ones: a full device as the result, a tmp/ that
// cannot be written or is missing, inputs that cannot be read or are no
// text. Each must end with the message of the call that failed, or with the
// result an intact run gives.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/TestSupport.h"

using namespace quovent_test;
namespace fs = std::filesystem;

namespace {

bool stderr_has(const RunResult &result, const std::string &text) {
  return result.err.find(text) != std::string::npos;
}

TEST(RealFaults, AFullDeviceAsResultStopsTheReduceStage) {
  ScratchDir dir;
  write_file(dir / "a.txt", "uno dos dos\n");
  RunResult result =
      run_program(program_path("QuoventMR"), {"-o", "/dev/full", "a.txt"}, dir.path());
  EXPECT_EQ(result.exit_status, ENOSPC);
  EXPECT_TRUE(stderr_has(result, "[Reduce::reduce_process_file] Error writting reduce result"));
  EXPECT_TRUE(stderr_has(result, "No space left on device")) << result.err;
}

TEST(RealFaults, AMissingOrUnusableTmpStopsTheMapStage) {
  for (const char *setup : {"missing", "file"}) {
    ScratchDir dir;
    write_file(dir / "a.txt", "uno\n");
    fs::remove(dir / "tmp");
    if (std::string(setup) == "file") write_file(dir / "tmp", "not a directory");
    for (const char *driver : {"QuoventMR", "QuoventMR_v2b"}) {
      RunResult result = run_program(program_path(driver), {"a.txt"}, dir.path());
      SCOPED_TRACE(std::string(driver) + " with tmp " + setup + "\n" + result.err);
      EXPECT_NE(result.exit_status, 0);
      EXPECT_TRUE(stderr_has(result, "Error opening mapper output file"));
      EXPECT_TRUE(stderr_has(
          result, setup == std::string("file") ? "Not a directory" : "No such file or directory"));
    }
  }
}

// The bind mount needs a mount namespace of its own, which a container may refuse.
TEST(RealFaults, AReadOnlyTmpStopsTheMapStage) {
  ScratchDir dir;
  write_file(dir / "a.txt", "uno\n");
  std::string command = "mount --bind -o ro tmp tmp && exec " +
                        program_path("QuoventMR_v2b").string() + " -m -r 2 a.txt a.txt";
  RunResult probe =
      run_program("/usr/bin/unshare", {"-m", "sh", "-c", "mount --bind -o ro tmp tmp"}, dir.path());
  if (probe.exit_status != 0) GTEST_SKIP() << "no private mount namespace here: " << probe.err;
  RunResult result = run_program("/usr/bin/unshare", {"-m", "sh", "-c", command}, dir.path());
  EXPECT_NE(result.exit_status, 0);
  EXPECT_TRUE(stderr_has(result, "[QuoventMap] Error opening mapper output file"));
  EXPECT_TRUE(stderr_has(result, "Read-only file system")) << result.err;
  EXPECT_TRUE(stderr_has(result, "[QuoventMR_v2b] QuoventMap process failed")) << result.err;
}

// Root reads any file, so the run is made as nobody, in a directory open to it.
TEST(RealFaults, AnUnreadableInputStopsTheMapStage) {
  if (access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "setpriv is not installed";
  ScratchDir dir;
  write_file(dir / "secret.txt", "uno\n");
  fs::permissions(dir / "secret.txt", fs::perms::none);
  for (const fs::path &writable : {dir.path(), dir / "tmp", dir / "Result"}) {
    fs::permissions(writable, fs::perms::all);
  }
  RunResult result = run_program("/usr/bin/setpriv",
                                 {"--reuid=65534", "--regid=65534", "--clear-groups",
                                  program_path("QuoventMR").string(), "secret.txt"},
                                 dir.path());
  if (stderr_has(result, "setpriv")) GTEST_SKIP() << "cannot change user: " << result.err;
  EXPECT_EQ(result.exit_status, EACCES);
  EXPECT_TRUE(stderr_has(result, "[Map:quovent_map] Error opening mapper input file secret.txt"));
  EXPECT_TRUE(stderr_has(result, "Permission denied")) << result.err;
}

// A directory counts as an empty input; bytes that are no text still give
// the same result from every driver.
TEST(RealFaults, DirectoryAndBinaryInputsGiveTheSameResultEverywhere) {
  ScratchDir dir;
  std::string binary;
  unsigned state = 12345;
  for (int i = 0; i < 200000; ++i) {
    state = state * 1103515245u + 12345u;
    binary += static_cast<char>(state >> 16);
  }
  write_file(dir / "binary.bin", binary);
  write_file(dir / "a.txt", "Uno dos DOS \xC3\x81rbol\n");
  fs::create_directory(dir / "folder");
  RunResult alone =
      run_program(program_path("QuoventMR"),
                  {"-r", "3", "-o", "Result/alone.txt", "binary.bin", "a.txt"}, dir.path());
  ASSERT_EQ(alone.exit_status, 0) << alone.err;
  std::string expected = read_file(dir / "Result/alone.txt");
  EXPECT_NE(expected.find("dos 2\n"), std::string::npos);
  for (const char *driver : {"QuoventMR", "QuoventMR_v2a", "QuoventMR_v2b"}) {
    std::vector<std::string> args = {"-r", "3", "folder", "binary.bin", "folder", "a.txt"};
    if (std::string(driver) == "QuoventMR_v2b") args.insert(args.begin(), "-m");
    RunResult result = run_program(program_path(driver), args, dir.path());
    ASSERT_EQ(result.exit_status, 0) << driver << "\n" << result.err;
    EXPECT_EQ(read_file(dir / "Result/qv.txt"), expected) << driver;
  }
}

}  // namespace
