// QuoventMR end to end: its command line, and whole counts of multilingual
// text checked against a model of the word rules written here, apart from
// the system's own functions.
#include <gtest/gtest.h>

#include <cerrno>
#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/TestSupport.h"

using quovent_test::mask_times;
using quovent_test::multilingual_texts;
using quovent_test::program_path;
using quovent_test::read_file;
using quovent_test::RunResult;
using quovent_test::ScratchDir;
using quovent_test::write_file;

namespace {

const std::string kHelp =
    "   Sintax: \tQuoventMR [-m 'enable_multiple_mappers''] [-r <nreducers=1>] [-o "
    "<output_file>] <input_files>\n"
    "   Example: \tQuoventMR -m -r 1 -o ./Result/qv.txt ./Input/README.txt ./Input/LEEME.txt "
    "./Input/LLEGEIXME.txt \n";

RunResult quovent_mr(const ScratchDir &dir, const std::vector<std::string> &args,
                     const std::vector<std::string> &environment = {}) {
  return quovent_test::run_program(program_path("QuoventMR"), args, dir.path(), environment);
}

// ---- The model: words, their totals and their partitions ------------------

int unit_length(unsigned char first) {
  if (first < 0x80) return 1;
  if (first >= 0xC0 && first <= 0xDF) return 2;
  if (first >= 0xE0 && first <= 0xEF) return 3;
  if (first >= 0xF0 && first <= 0xF7) return 4;
  return 1;
}

std::map<std::string, int> model_counts(const std::vector<std::string> &texts) {
  std::map<std::string, int> counts;
  for (const std::string &text : texts) {
    std::string word;
    auto finish_word = [&] {
      if (!word.empty()) counts[word]++;
      word.clear();
    };
    for (size_t i = 0; i < text.size();) {
      unsigned char first = text[i];
      size_t length = unit_length(first);
      bool ascii_letter = (first >= 'A' && first <= 'Z') || (first >= 'a' && first <= 'z');
      bool latin_letter = length == 2 && first == 0xC3 && i + 1 < text.size() &&
                          (static_cast<unsigned char>(text[i + 1]) & 0xC0) == 0x80;
      if (ascii_letter) {
        if (word.size() + 1 <= 255) word += static_cast<char>(first | 0x20);
      } else if (latin_letter) {
        unsigned char second = text[i + 1];
        // U+00C0 to U+00DE lower to U+00E0 to U+00FE, all but the sign ×.
        if (second <= 0x9E && second != 0x97) second += 0x20;
        if (word.size() + 2 <= 255) {
          word += static_cast<char>(first);
          word += static_cast<char>(second);
        }
      } else {
        finish_word();
      }
      i += length;
    }
    finish_word();
  }
  return counts;
}

uint32_t model_hash(const std::string &word) {
  uint32_t h = 5381;
  for (char c : word)
    h = h * 33 + static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(c)));
  return h;
}

struct ResultLine {
  std::string word;
  int count;
};

std::vector<ResultLine> parse_result(const std::string &bytes) {
  std::vector<ResultLine> lines;
  std::istringstream in(bytes);
  std::string line;
  while (std::getline(in, line)) {
    size_t blank = line.rfind(' ');
    lines.push_back({line.substr(0, blank), std::atoi(line.c_str() + blank + 1)});
  }
  return lines;
}

// Checks a result file: every word with its total, in section hash mod
// reducers, each section in the locale's collation order.
void expect_exact_count(const std::string &result, const std::map<std::string, int> &expected,
                        int reducers, const char *locale) {
  ASSERT_NE(setlocale(LC_COLLATE, locale), nullptr) << locale;
  std::vector<ResultLine> lines = parse_result(result);
  std::map<std::string, int> found;
  for (const ResultLine &line : lines) {
    EXPECT_TRUE(found.emplace(line.word, line.count).second) << "twice: " << line.word;
  }
  EXPECT_EQ(found, expected) << reducers << " reducers";
  for (size_t k = 1; k < lines.size(); ++k) {
    uint32_t previous_section = model_hash(lines[k - 1].word) % reducers;
    uint32_t section = model_hash(lines[k].word) % reducers;
    ASSERT_LE(previous_section, section) << lines[k].word << " out of its section";
    if (section == previous_section) {
      std::string before = lines[k - 1].word + " 1";
      std::string after = lines[k].word + " 1";
      EXPECT_LT(strcoll(before.c_str(), after.c_str()), 0)
          << lines[k - 1].word << " before " << lines[k].word << " under " << locale;
    }
  }
  setlocale(LC_COLLATE, "C");
}

TEST(QuoventMR, CountsMultilingualTextExactlyForEveryReducerCount) {
  const std::vector<std::string> texts = multilingual_texts();
  const std::map<std::string, int> expected = model_counts(texts);
  struct Locale {
    const char *name;
    bool generated;
  };
  for (Locale locale : {Locale{"C.UTF-8", false}, Locale{"es_ES.UTF-8", true}}) {
    if (locale.generated && !quovent_test::generated_locale_available(locale.name)) {
      ADD_FAILURE() << locale.name << " was not generated";
      continue;
    }
    if (locale.generated) setenv("LOCPATH", quovent_test::generated_locale_dir().c_str(), 1);
    for (int reducers : {1, 3, 16}) {
      ScratchDir dir;
      for (size_t k = 0; k < texts.size(); ++k) {
        write_file(dir / ("in" + std::to_string(k) + ".txt"), texts[k]);
      }
      const std::string r = std::to_string(reducers);
      const std::string env = std::string("LC_ALL=") + locale.name;
      RunResult single = quovent_mr(dir, {"-r", r, "in0.txt", "in1.txt", "in2.txt"}, {env});
      ASSERT_EQ(single.exit_status, 0) << single.err;
      std::string single_result = read_file(dir / "Result/qv.txt");
      RunResult multiple = quovent_mr(
          dir, {"-m", "-r", r, "-o", "multi.txt", "in0.txt", "in1.txt", "in2.txt"}, {env});
      ASSERT_EQ(multiple.exit_status, 0) << multiple.err;
      EXPECT_EQ(read_file(dir / "multi.txt"), single_result) << locale.name << " -r " << r;
      expect_exact_count(single_result, expected, reducers, locale.name);
    }
    unsetenv("LOCPATH");
  }
}

TEST(QuoventMR, PrintsEveryStageAndTheClosingLine) {
  ScratchDir dir;
  write_file(dir / "a.txt", "b a a");
  RunResult result = quovent_mr(dir, {"a.txt"});
  EXPECT_EQ(result.exit_status, 0) << result.err;
  EXPECT_EQ(read_file(dir / "Result/qv.txt"), "a 2\nb 1\n");
  std::string out = mask_times(result.out);
  EXPECT_EQ(out.find("\033[0;32m[Map Stage]\tStart Mapper to process 1 input files.\n"), 0u);
  const std::string closing =
      "\033[0;42m[QuoventApp]  Quovent completed procesing 1 files and 3 words in <t> "
      "secs.\n\033[0m";
  ASSERT_GE(out.size(), closing.size());
  EXPECT_EQ(out.substr(out.size() - closing.size()), closing);
  EXPECT_EQ(result.err, "");
}

TEST(QuoventMR, OptionsEndAtTheFirstArgumentWithoutAHyphen) {
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> map_files;  // the map files the run leaves in tmp/
    std::string result_file;
  };
  const Case cases[] = {
      // One input: the single map file, whatever -m says.
      {{"-m", "a.txt"}, {"_map.tmp"}, "Result/qv.txt"},
      {{"-mfoo", "-out", "o.txt", "a.txt", "b.txt"}, {"_map_0.tmp", "_map_1.tmp"}, "o.txt"},
      {{"-r", "2", "-o", "x.txt", "-o", "o.txt", "a.txt", "b.txt"}, {"_map.tmp"}, "o.txt"},
      // The argument after -o is its value, even one that looks like an option.
      {{"-o", "-m", "a.txt", "b.txt"}, {"_map.tmp"}, "-m"},
  };
  for (const Case &c : cases) {
    ScratchDir dir;
    write_file(dir / "a.txt", "uno dos");
    write_file(dir / "b.txt", "tres uno");
    RunResult result = quovent_mr(dir, c.args);
    EXPECT_EQ(result.exit_status, 0) << result.err;
    for (const std::string &map_file : c.map_files) {
      EXPECT_TRUE(std::filesystem::exists(dir / "tmp" / map_file)) << map_file;
    }
    EXPECT_TRUE(std::filesystem::exists(dir / c.result_file)) << c.result_file;
  }

  // After the first input file, -m is one more input file.
  ScratchDir dir;
  write_file(dir / "a.txt", "uno");
  RunResult late_option = quovent_mr(dir, {"a.txt", "-m"});
  EXPECT_EQ(late_option.exit_status, ENOENT);
  EXPECT_NE(late_option.err.find("Error opening mapper input file -m\n"), std::string::npos);

  // Only options: every stage runs on nothing.
  RunResult only_options = quovent_mr(dir, {"-m"});
  EXPECT_EQ(only_options.exit_status, 0) << only_options.err;
  EXPECT_EQ(read_file(dir / "Result/qv.txt"), "");
}

TEST(QuoventMR, CommandLineErrors) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const std::string success = strerror(0);
  const Case cases[] = {
      {{"-x", "a.txt"}, "Error optional argument 1 is incorrect (-x).\n" + kHelp},
      {{"-m", "-", "a.txt"}, "Error optional argument 2 is incorrect (-).\n" + kHelp},
      {{"a.txt", "-o"}, ""},  // not an option any more: a missing input file
      {{"-o"}, "Error missing value for -o.\n" + kHelp},
      {{"-m", "-r"}, "Error missing value for -r.\n" + kHelp},
      {{"-r", "0", "a.txt"}, "[QuoventMR] Invalid number of reducers"},
      {{"-r", "17", "a.txt"}, "[QuoventMR] Invalid number of reducers"},
      {{"-r", "x", "a.txt"}, "[QuoventMR] Invalid number of reducers"},
  };
  for (const Case &c : cases) {
    ScratchDir dir;
    write_file(dir / "a.txt", "uno");
    RunResult result = quovent_mr(dir, c.args);
    if (c.message.empty()) {
      EXPECT_EQ(result.exit_status, ENOENT);
      continue;
    }
    EXPECT_EQ(result.err, "\033[1;31m" + c.message + ": " + success + "\033[0m\n") << c.args[0];
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_TRUE(std::filesystem::is_empty(dir / "tmp")) << "a stage ran";
  }

  ScratchDir dir;
  // The whole option is shown; the help after it is cut where Error's line of 300 bytes
  // (terminating zero included) ends.
  const std::string long_option = "-x" + std::string(40, 'y');
  RunResult long_refused = quovent_mr(dir, {long_option, "a.txt"});
  const std::string shown =
      "\033[1;31mError optional argument 1 is incorrect (" + long_option + ").\n" + kHelp;
  EXPECT_EQ(long_refused.err, shown.substr(0, 299));
  EXPECT_EQ(long_refused.exit_status, 1);

  RunResult no_arguments = quovent_mr(dir, {});
  EXPECT_EQ(no_arguments.out,
            "\033[0;31mError number of arguments (0 arguments passed, at least 1 required).\n" +
                kHelp + "\n\033[0m");
  EXPECT_EQ(no_arguments.exit_status, 1);
}

TEST(QuoventMR, MoreThan32MapFilesAreRefusedBeforeAnyStage) {
  ScratchDir dir;
  std::vector<std::string> args{"-m"};
  for (int k = 0; k < 33; ++k) {
    std::string name = std::to_string(k) + ".txt";
    write_file(dir / name, "palabra");
    args.push_back(name);
  }
  RunResult refused = quovent_mr(dir, args);
  EXPECT_EQ(refused.exit_status, 1);
  EXPECT_EQ(refused.err, "\033[1;31m[QuoventMR] Invalid number of mappers: " +
                             std::string(strerror(0)) + "\033[0m\n");
  EXPECT_TRUE(std::filesystem::is_empty(dir / "tmp"));

  args.erase(args.begin());  // without -m the 33 files share one map file
  RunResult accepted = quovent_mr(dir, args);
  EXPECT_EQ(accepted.exit_status, 0) << accepted.err;
  EXPECT_EQ(read_file(dir / "Result/qv.txt"), "palabra 33\n");
}

}  // namespace
