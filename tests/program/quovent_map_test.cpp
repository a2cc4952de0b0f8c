// The program QuoventMap, run in a scratch working directory: its command
// line, output files, messages and exit status.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "support/TestSupport.h"

using quovent_test::mask_times;
using quovent_test::program_path;
using quovent_test::read_file;
using quovent_test::RunResult;
using quovent_test::ScratchDir;
using quovent_test::write_file;

namespace {

const std::string kHelp =
    "\033[0;31m   Sintax: \tQuoventMap [-i <map_id>] <input_files>\n"
    "   Example: \tQuoventMap -i 0 ./Input/README.txt\n\033[0m";

RunResult quovent_map(const ScratchDir &dir, const std::vector<std::string> &args,
                      const std::vector<std::string> &environment = {}) {
  return quovent_test::run_program(program_path("QuoventMap"), args, dir.path(), environment);
}

std::string start_line(int files) {
  return "\033[0;32m[Map Stage]\tStart Mapper to process " + std::to_string(files) +
         " input files.\n\033[0m";
}

std::string file_line(int words, int position) {
  return "\033[0;92m\t\tMapper processed " + std::to_string(words) + " words from input file " +
         std::to_string(position) + ".\n\033[0m";
}

std::string done_line(int words, int files) {
  return "\033[0;32m[Map Stage]\tMapper Done. Processed " + std::to_string(words) + " words from " +
         std::to_string(files) + " input files in <t> secs.\n\033[0m";
}

TEST(QuoventMap, MapsAllInputsIntoOneFileAndExitsWithTheWordCount) {
  ScratchDir dir;
  write_file(dir / "a.txt", "Hola, ¿qué tal? ÉL dijo «sí».");
  write_file(dir / "b.txt", "Hello hello HELLO");
  RunResult result = quovent_map(dir, {"a.txt", "b.txt"});
  EXPECT_EQ(mask_times(result.out),
            start_line(2) + file_line(6, 1) + file_line(3, 2) + done_line(9, 2));
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.exit_status, 9);
  EXPECT_EQ(read_file(dir / "tmp/_map.tmp"),
            "hola 1\nqué 1\ntal 1\nél 1\ndijo 1\nsí 1\nhello 1\nhello 1\nhello 1\n");
}

TEST(QuoventMap, MapIdNamesTheOutputFile) {
  struct Case {
    std::string id;
    std::string file;
  };
  const Case cases[] = {{"3", "tmp/_map_3.tmp"},
                        {"-1", "tmp/_map.tmp"},
                        {"x", "tmp/_map_0.tmp"},
                        {"  12abc", "tmp/_map_12.tmp"},
                        {"4294967299", "tmp/_map_3.tmp"}};  // an id keeps atoi's low 32 bits
  for (const Case &c : cases) {
    ScratchDir dir;
    write_file(dir / "a.txt", "uno dos");
    RunResult result = quovent_map(dir, {"-i", c.id, "a.txt"});
    EXPECT_EQ(result.exit_status, 2) << "-i " << c.id;
    EXPECT_EQ(read_file(dir / c.file), "uno 1\ndos 1\n") << "-i " << c.id;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir / "tmp"), {}), 1)
        << "-i " << c.id << " wrote another file too";
  }
}

TEST(QuoventMap, CommandLineErrorsPrintTheHelpAndExitWithOne) {
  struct Case {
    std::vector<std::string> args;
    std::string first_line;
  };
  const Case cases[] = {
      {{}, "Error number of arguments.\n"},
      {{"-i"}, "Error missing map id or input file.\n"},
      {{"-i", "0"}, "Error missing map id or input file.\n"},
  };
  for (const Case &c : cases) {
    ScratchDir dir;
    RunResult result = quovent_map(dir, c.args);
    EXPECT_EQ(result.out, "\033[0;31m" + c.first_line + "\033[0m" + kHelp);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_TRUE(std::filesystem::is_empty(dir / "tmp"));
  }
}

TEST(QuoventMap, UnknownOptionIsAnInputFile) {
  ScratchDir dir;
  write_file(dir / "tmp/_map.tmp", "stale 1\n");
  RunResult result = quovent_map(dir, {"-x", "a.txt"});
  EXPECT_EQ(result.exit_status, ENOENT);
  EXPECT_EQ(mask_times(result.out), start_line(2));
  EXPECT_EQ(result.err,
            "\033[1;31m[QuoventMap] Error opening mapper input file: No such file or "
            "directory\033[0m\n");
  EXPECT_EQ(read_file(dir / "tmp/_map.tmp"), "");
}

TEST(QuoventMap, MissingWorkDirectoryStopsBeforeAnyInput) {
  ScratchDir dir;
  std::filesystem::remove(dir / "tmp");
  write_file(dir / "a.txt", "word");
  RunResult result = quovent_map(dir, {"-i", "2", "a.txt"});
  EXPECT_EQ(result.exit_status, ENOENT);
  EXPECT_EQ(result.err,
            "\033[1;31m[QuoventMap] Error opening mapper output file: No such file or "
            "directory\033[0m\n");
  EXPECT_FALSE(std::filesystem::exists(dir / "tmp"));
}

TEST(QuoventMap, DirectoryAndEmptyFileAreEmptyInputs) {
  ScratchDir dir;
  write_file(dir / "empty.txt", "");
  std::filesystem::create_directory(dir / "folder");
  RunResult result = quovent_map(dir, {"empty.txt", "folder"});
  EXPECT_EQ(mask_times(result.out),
            start_line(2) + file_line(0, 1) + file_line(0, 2) + done_line(0, 2));
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(read_file(dir / "tmp/_map.tmp"), "");
}

TEST(QuoventMap, ExitStatusKeepsTheLowEightBitsOfTheCount) {
  ScratchDir dir;
  std::string text;
  for (int k = 0; k < 300; ++k) text += "palabra ";
  write_file(dir / "a.txt", text);
  RunResult result = quovent_map(dir, {"a.txt"});
  EXPECT_EQ(result.exit_status, 300 % 256);
  EXPECT_EQ(mask_times(result.out), start_line(1) + file_line(300, 1) + done_line(300, 1));
}

TEST(QuoventMap, LowerCasesThroughTheUsersLocale) {
  if (!quovent_test::generated_locale_available("tr_TR.UTF-8")) GTEST_SKIP() << "no tr_TR locale";
  ScratchDir dir;
  write_file(dir / "a.txt", "IZMIR Izmir");
  quovent_map(dir, {"a.txt"});
  EXPECT_EQ(read_file(dir / "tmp/_map.tmp"), "izmir 1\nizmir 1\n");
  RunResult turkish = quovent_map(dir, {"a.txt"}, {"LC_ALL=tr_TR.UTF-8"});
  EXPECT_EQ(read_file(dir / "tmp/_map.tmp"), "ızmır 1\nızmir 1\n");
  EXPECT_EQ(turkish.exit_status, 2);
}

}  // namespace
