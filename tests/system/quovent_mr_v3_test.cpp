// QuoventMR_v3 end to end: inputs cut at every place where a cut is allowed, counted in shards
// and merged, give the bytes of QuoventMR, whatever they come as (trees, compressed files,
// archives, streams); its work files go as they came; what it cannot use is refused before it
// touches anything.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "support/IcuWords.h"
#include "support/TestSupport.h"

using namespace quovent_test;
namespace fs = std::filesystem;

namespace {

constexpr int kUsageStatus = 64;

RunResult v3(const ScratchDir &dir, const std::vector<std::string> &args,
             const std::vector<std::string> &environment = {}) {
  return run_program(program_path("QuoventMR_v3"), args, dir.path(), environment);
}

// Text whose blanks and line ends are the places where a shard may end: lines that end in
// stray lead bytes of two-, three- and four-byte units (which swallow the bytes after them), in
// continuation bytes, in letters of U+00C0 to U+00FF and in words of the longest length.
std::string adversarial_text(size_t variant) {
  const std::vector<std::string> tails = {
      "a",       "\xC3",        "\xC3\xA9", "x\xE2", "\xE2xy", "\xF0xx",
      "\xF0xxx", "\x80",        "\xC2",     "\xFF",  "ÁRBOL",  std::string(255, 'w'),
      "Straße ", "\xE2\x82\xAC"};
  std::string text;
  for (size_t i = 0; i < 3 * tails.size(); ++i) {
    const std::string &tail = tails[(i * (variant + 2)) % tails.size()];
    text += "word" + std::string(i % 3, 'x') + " " + tail + "\n";
    if (i % 5 == variant) text += "\n";
  }
  return text + "end";  // no final line end
}

TEST(QuoventMRv3, ShardsCutAtEveryAllowedPlaceGiveTheBytesOfOneRun) {
  struct Case {
    const char *locale;
    const char *reducers;
    const char *jobs;
  };
  for (const Case &c :
       {Case{"C.UTF-8", "1", "2"}, Case{"C.UTF-8", "3", "1"}, Case{"en_US.UTF-8", "4", "2"}}) {
    SCOPED_TRACE(std::string(c.locale) + " -r " + c.reducers);
    if (std::string(c.locale) != "C.UTF-8" && !generated_locale_available(c.locale)) {
      ADD_FAILURE() << c.locale << " was not generated";
      continue;
    }
    std::vector<std::string> env = {std::string("LC_ALL=") + c.locale,
                                    "LOCPATH=" + generated_locale_dir()};
    ScratchDir dir;
    std::vector<std::string> inputs = {"a.txt", "b.txt", "c.txt"};
    write_file(dir / "a.txt", adversarial_text(0));
    write_file(dir / "b.txt", adversarial_text(1));
    write_file(dir / "c.txt", multilingual_texts()[2]);
    std::vector<std::string> one_run = {"-r", c.reducers, "-o", "Result/one.txt"};
    one_run.insert(one_run.end(), inputs.begin(), inputs.end());
    ASSERT_EQ(run_program(program_path("QuoventMR"), one_run, dir.path(), env).exit_status, 0);
    // One byte a shard: a cut at every place that allows one.
    std::vector<std::string> sharded = {"-s", "1", "-j", c.jobs, "-r", c.reducers};
    sharded.insert(sharded.end(), inputs.begin(), inputs.end());
    RunResult result = v3(dir, sharded, env);
    ASSERT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(read_file(dir / "Result/qv.txt"), read_file(dir / "Result/one.txt"));
  }
}

TEST(QuoventMRv3, WorkFilesGoUnlessKeptAndAreNeverTakenOver) {
  ScratchDir dir;
  write_file(dir / "a.txt", "uno dos\ndos tres\ntres tres\n");
  RunResult plain = v3(dir, {"-s", "8", "a.txt"});
  ASSERT_EQ(plain.exit_status, 0) << plain.err;
  EXPECT_EQ(read_file(dir / "Result/qv.txt"), "dos 2\ntres 3\nuno 1\n");
  EXPECT_FALSE(fs::exists(dir / "tmp/v3"));
  // Not on a terminal: a start line and an end line.
  EXPECT_EQ(std::count(plain.err.begin(), plain.err.end(), '\n'), 2) << plain.err;

  // A directory without tmp/ is left as it was found.
  fs::remove(dir / "tmp");
  ASSERT_EQ(v3(dir, {"-s", "8", "a.txt"}).exit_status, 0);
  EXPECT_FALSE(fs::exists(dir / "tmp"));

  RunResult kept = v3(dir, {"-s", "8", "-k", "-w", "work", "a.txt"});
  ASSERT_EQ(kept.exit_status, 0) << kept.err;
  EXPECT_TRUE(fs::exists(dir / "work/shard_0/result.txt"));
  EXPECT_TRUE(fs::exists(dir / "work/shard_0/count.log"));

  // A work directory with another run's files is refused, and nothing of it is removed.
  RunResult again = v3(dir, {"-s", "8", "-w", "work", "-o", "Result/again.txt", "a.txt"});
  EXPECT_EQ(again.exit_status, EEXIST);
  EXPECT_NE(again.err.find("another run"), std::string::npos) << again.err;
  EXPECT_TRUE(fs::exists(dir / "work/shard_0/result.txt"));
  EXPECT_FALSE(fs::exists(dir / "Result/again.txt"));
}

TEST(QuoventMRv3, CommandLinesThatCannotBeUsedTouchNothing) {
  ScratchDir dir;
  write_file(dir / "a.txt", "uno\n");
  for (const std::vector<std::string> &args :
       std::vector<std::vector<std::string>>{{},
                                             {"-s", "0", "a.txt"},
                                             {"-s", "12X", "a.txt"},
                                             {"-j", "0", "a.txt"},
                                             {"-r", "17", "a.txt"},
                                             {"--sbatch"},
                                             {"--nonsense", "a.txt"},
                                             {"--words", "latin", "a.txt"}}) {
    RunResult result = v3(dir, args);
    EXPECT_EQ(result.exit_status, kUsageStatus) << args.size();
    EXPECT_NE(result.err.find("Usage: QuoventMR_v3"), std::string::npos);
  }
  RunResult missing = v3(dir, {"a.txt", "missing.txt"});
  EXPECT_EQ(missing.exit_status, ENOENT);
  EXPECT_NE(missing.err.find("Error opening input file missing.txt"), std::string::npos);
  RunResult no_dir = v3(dir, {"-o", "nowhere/qv.txt", "a.txt"});
  EXPECT_EQ(no_dir.exit_status, ENOENT);
  EXPECT_FALSE(fs::exists(dir / "tmp/v3"));
  EXPECT_FALSE(fs::exists(dir / "Result/qv.txt"));
}

// Runs a shell command line in the scratch directory, with the programs' directory on PATH.
RunResult shell(const ScratchDir &dir, const std::string &command,
                const std::vector<std::string> &environment = {}) {
  std::vector<std::string> env = environment;
  env.push_back("PATH=" + program_path("").string() + ":/usr/bin:/bin");
  return run_program("/bin/bash", {"-c", command}, dir.path(), env);
}

// A slip in the order of the arguments: a result file that is an input, however it is named, or
// that lies in a tree being counted, is refused before anything is counted or written.
TEST(QuoventMRv3, AResultFileThatIsAnInputIsRefused) {
  struct Slip {
    const char *command;
    const char *output;
    const char *input;  // as the message names it, after the output
  };
  ScratchDir dir;
  write_file(dir / "in.txt", "uno dos\n");
  fs::create_directories(dir / "tree/sub");
  write_file(dir / "tree/sub/a.txt", "tres\n");
  fs::create_hard_link(dir / "in.txt", dir / "link.txt");
  for (const Slip &slip :
       {Slip{"-o in.txt in.txt", "in.txt", "input in.txt"},
        Slip{"-o ./in.txt in.txt", "./in.txt", "input in.txt"},
        Slip{"-o link.txt in.txt", "link.txt", "input in.txt"},
        Slip{"-o in.txt - < in.txt", "in.txt", "input standard input"},
        Slip{"-o tree/sub/a.txt tree", "tree/sub/a.txt", "input tree/sub/a.txt"},
        Slip{"-o tree/sub/new.txt tree/", "tree/sub/new.txt", "input directory tree/"}}) {
    SCOPED_TRACE(slip.command);
    RunResult result = shell(dir, std::string("QuoventMR_v3 ") + slip.command);
    EXPECT_EQ(result.exit_status, kUsageStatus);
    EXPECT_NE(result.err.find(std::string("the result file ") + slip.output), std::string::npos)
        << result.err;
    EXPECT_NE(result.err.find(slip.input), std::string::npos) << result.err;
    EXPECT_EQ(read_file(dir / "in.txt"), "uno dos\n");
    EXPECT_EQ(read_file(dir / "tree/sub/a.txt"), "tres\n");
    EXPECT_FALSE(fs::exists(dir / "tree/sub/new.txt"));
    EXPECT_FALSE(fs::exists(dir / "tmp/v3"));
  }
}

// At least `bytes` of the texts above one after another: a run of many shards long enough to be
// interrupted.
std::string long_text(size_t bytes) {
  std::string text;
  while (text.size() < bytes) {
    for (const std::string &t : multilingual_texts()) text += t + adversarial_text(text.size() % 5);
  }
  return text;
}

// big.txt, 4 MB of the texts above, for a run of many shards, and Result/one.txt, QuoventMR's
// result of it with three reducers.
void write_big_text(const ScratchDir &dir) {
  write_file(dir / "big.txt", long_text(4u << 20));
  ASSERT_EQ(run_program(program_path("QuoventMR"), {"-r", "3", "-o", "Result/one.txt", "big.txt"},
                        dir.path())
                .exit_status,
            0);
}

// Shell commands that wait until `shards` shard results are sealed in tmp/v3 by the run whose
// process is $run, or print "ended first" and exit with 1 when it ends before.
std::string wait_for_sealed_shards(size_t shards) {
  return "until [ $(ls tmp/v3/shard_*/result.txt 2>/dev/null | wc -l) -ge " +
         std::to_string(shards) +
         " ]; do kill -0 $run 2>/dev/null || { echo ended first; exit 1; }; sleep 0.01; done; ";
}

// Starts `command` in the scratch directory as a job of its own process group, waits until
// `shards` shard results are sealed in tmp/v3, then sends `signal` (as kill(1) names it) to the
// whole job, driver and workers, as a terminal sends Ctrl-C to the job in front; ends with the
// job's status, and with "ended first" on standard output when the job ended before.
RunResult signal_after_shards(const ScratchDir &dir, const std::string &command, size_t shards,
                              const std::string &signal) {
  // Job control, so that the job has a group of its own and does not ignore SIGINT as a
  // background command of a shell without it does.
  return shell(dir, "set -m; " + command + " & run=$!; " + wait_for_sealed_shards(shards) +
                        "kill -" + signal + " -- -$run; wait $run");
}

TEST(QuoventMRv3, ATreeOfCompressedFilesAndArchivesCountsAsItsTextsDecompressed) {
  ScratchDir dir;
  std::vector<std::string> texts = multilingual_texts();
  texts.push_back(adversarial_text(0));
  const char *names[] = {"t0", "t1", "t2", "t3"};
  for (size_t i = 0; i < texts.size() && i < std::size(names); ++i)
    write_file(dir / names[i], texts[i]);
  // In name order: a/one.gz (t0 and t1 as two gzip members), a/two.bz2 (t1), b/c.xz (t2),
  // b/d.zst (t3), b/e.tar.gz (t0, t3), b/loop (a link back up: taken once), plain.txt (t2),
  // z (a second link to plain.txt: taken once).
  RunResult made = shell(dir,
                         "set -e; mkdir -p tree/a tree/b; (gzip -c t0; gzip -c t1) > tree/a/one.gz;"
                         "bzip2 -c t1 > tree/a/two.bz2; xz -c t2 > tree/b/c.xz;"
                         "zstd -q -c t3 > tree/b/d.zst; tar czf tree/b/e.tar.gz t0 t3;"
                         "ln -s .. tree/b/loop; cp t2 tree/plain.txt; ln -s plain.txt tree/z");
  ASSERT_EQ(made.exit_status, 0) << made.err;
  const std::vector<std::string> decompressed = {"t0", "t1", "t1", "t2", "t3", "t0", "t3", "t2"};
  for (const char *reducers : {"1", "3"}) {
    std::vector<std::string> one_run = {"-r", reducers, "-o", "Result/one.txt"};
    one_run.insert(one_run.end(), decompressed.begin(), decompressed.end());
    ASSERT_EQ(run_program(program_path("QuoventMR"), one_run, dir.path()).exit_status, 0);
    // Shards small enough that the compressed files go through chunks as well as whole.
    for (const char *shard_size : {"64M", "300"}) {
      SCOPED_TRACE(std::string("-r ") + reducers + " -s " + shard_size);
      RunResult result = v3(dir, {"-r", reducers, "-s", shard_size, "tree"});
      ASSERT_EQ(result.exit_status, 0) << result.err;
      EXPECT_EQ(read_file(dir / "Result/qv.txt"), read_file(dir / "Result/one.txt"));
    }
  }
}

TEST(QuoventMRv3, StreamsAreReadOnceAndCutAsTheyCome) {
  ScratchDir dir;
  write_file(dir / "a.txt", adversarial_text(1) + multilingual_texts()[1]);
  ASSERT_EQ(run_program(program_path("QuoventMR"), {"-o", "Result/one.txt", "a.txt"}, dir.path())
                .exit_status,
            0);
  for (const char *command :
       {"cat a.txt | QuoventMR_v3 -s 1 -", "gzip -c a.txt | QuoventMR_v3 -",
        "QuoventMR_v3 -s 1 <(cat a.txt)",
        "mkfifo pipe; cat a.txt > pipe & QuoventMR_v3 -j 1 -s 1 pipe; rm pipe"}) {
    SCOPED_TRACE(command);
    fs::remove(dir / "Result/qv.txt");
    RunResult result = shell(dir, command);
    ASSERT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(read_file(dir / "Result/qv.txt"), read_file(dir / "Result/one.txt"));
    EXPECT_FALSE(fs::exists(dir / "tmp/v3"));
  }
}

// Lines in many scripts for the Unicode word rule: words of dictionary scripts, capitals that
// lower by the language, combining marks in form C and in form D, and invalid UTF-8.
std::string multiscript_text() {
  const std::vector<std::string> lines = {
      "Съешь же ещё этих мягких французских булок, да выпей чаю.",
      "Η γρήγορη καφέ αλεπού ΠΗΔΆΕΙ πάνω από τον τεμπέλη σκύλο; ΟΔΟΣ.",
      "Źródło ŻÓŁW gęślą jaźń, zażółć.",
      "İstanbul'da IŞIK ılık; DİYARBAKIR Isparta.",
      "中华人民共和国成立了。我们的国家很大。",
      "日本語のテキストとカタカナ、ひらがな。",
      "ภาษาไทยเป็นภาษาที่ไม่มีช่องว่างระหว่างคำ",
      "اللغة العربية جميلة جدا",
      "Café cafe\u0301 CAFÉ CAFE\u0301 noe\u0308l Noël",
      "bad\xFFutf\xC3 8 \xE2\x82 words 123abc abc123 don't e.g.",
  };
  std::string text;
  for (int round = 0; round < 4; ++round) {
    for (const std::string &line : lines) text += line + "\n";
  }
  return text;
}

// Word and total of each line of a result file.
std::map<std::string, long long> result_counts(const std::string &result) {
  std::map<std::string, long long> counts;
  std::istringstream lines(result);
  for (std::string line; std::getline(lines, line);) {
    size_t blank = line.rfind(' ');
    counts[line.substr(0, blank)] += std::stoll(line.substr(blank + 1));
  }
  return counts;
}

// Under --words unicode the totals are those of ICU's words over the whole text, and the bytes
// are the same in one shard or many (-s 1: a cut at every place that allows one), from a file,
// standard input or a gzip file.
TEST(QuoventMRv3, UnicodeWordsAreIcusWhereverTheTextIsCutAndHoweverItComes) {
  const std::string text = multiscript_text();
  for (const char *locale : {"C.UTF-8", "tr_TR.UTF-8"}) {
    SCOPED_TRACE(locale);
    if (std::string(locale) != "C.UTF-8" && !generated_locale_available(locale)) {
      ADD_FAILURE() << locale << " was not generated";
      continue;
    }
    std::map<std::string, long long> expected;
    for (const std::string &word : icu_words(text, locale[0] == 't' ? "tr" : "")) ++expected[word];
    std::vector<std::string> env = {std::string("LC_ALL=") + locale,
                                    "LOCPATH=" + generated_locale_dir()};
    ScratchDir dir;
    write_file(dir / "a.txt", text);
    for (const char *reducers : {"1", "4"}) {
      const std::string rule = std::string("QuoventMR_v3 --words unicode -r ") + reducers;
      RunResult whole = shell(dir, rule + " -o Result/one.txt a.txt", env);
      ASSERT_EQ(whole.exit_status, 0) << whole.err;
      EXPECT_EQ(result_counts(read_file(dir / "Result/one.txt")), expected);
      for (const std::string &variant :
           {rule + " -s 1 a.txt", rule + " -s 1K a.txt", rule + " -s 1K - < a.txt",
            "gzip -c a.txt > a.gz && " + rule + " -s 1K a.gz"}) {
        SCOPED_TRACE(variant);
        RunResult result = shell(dir, variant, env);
        ASSERT_EQ(result.exit_status, 0) << result.err;
        EXPECT_EQ(read_file(dir / "Result/qv.txt"), read_file(dir / "Result/one.txt"));
      }
    }
  }
}

// The driver holds a pipe for each shard it counts: more shards at once than the limit of open
// files it was started with still count, the limit raised as far as the hard limit allows.
TEST(QuoventMRv3, MoreShardsAtOnceThanOpenFilesAllowedStillCount) {
  ScratchDir dir;
  write_file(dir / "a.txt", adversarial_text(2) + multilingual_texts()[0]);
  ASSERT_EQ(run_program(program_path("QuoventMR"), {"-o", "Result/one.txt", "a.txt"}, dir.path())
                .exit_status,
            0);
  RunResult result = shell(dir, "ulimit -Sn 32 && QuoventMR_v3 -j 64 -s 1 a.txt");
  ASSERT_EQ(result.exit_status, 0) << result.err;
  EXPECT_NE(result.err.find(", 64 at a time"), std::string::npos) << result.err;
  EXPECT_EQ(read_file(dir / "Result/qv.txt"), read_file(dir / "Result/one.txt"));
}

TEST(QuoventMRv3, ACorruptOrMissingInputStopsTheRunAndKeepsTheOldResult) {
  ScratchDir dir;
  std::string text;
  for (int i = 0; i < 2000; ++i) text += "palabra " + std::to_string(i) + " número\n";
  write_file(dir / "a.txt", text);
  ASSERT_EQ(shell(dir, "gzip -c a.txt | head -c 2000 > cut.gz").exit_status, 0);
  write_file(dir / "Result/qv.txt", "old\n");
  for (const char *size : {"64M", "1K"}) {  // the file whole in a shard, and read in chunks
    RunResult truncated = v3(dir, {"-s", size, "a.txt", "cut.gz"});
    EXPECT_EQ(truncated.exit_status, 65);
    EXPECT_NE(truncated.err.find("cut.gz: truncated gzip input"), std::string::npos)
        << truncated.err;
    EXPECT_EQ(read_file(dir / "Result/qv.txt"), "old\n");
    // Shards of a.txt counted before the failure are kept for a resume, and the message says so.
    EXPECT_EQ(fs::exists(dir / "tmp/v3/plan.txt"),
              truncated.err.find("/tmp/v3: the same command with --resume") != std::string::npos)
        << truncated.err;
    fs::remove_all(dir / "tmp");
  }
  // Something that is neither a file, a directory nor a stream is refused before counting.
  RunResult socket = shell(dir,
                           "python3 -c \"import socket; socket.socket(socket.AF_UNIX).bind('s')\";"
                           "QuoventMR_v3 a.txt s");
  EXPECT_EQ(socket.exit_status, 66);
  EXPECT_NE(socket.err.find("s is neither a file"), std::string::npos) << socket.err;
  EXPECT_FALSE(fs::exists(dir / "tmp/v3"));
}

// A damaged compressed file or archive is refused (status 65) or, where the damage changed
// nothing that is read, counted exactly: never counted as other text. Every format is damaged by
// bit flips at seeded places and by a cut; the file is read whole by a shard and by the feeder.
// The damage spares the magic number: a file whose first bytes announce no format is a text.
TEST(QuoventMRv3, ADamagedCompressedFileIsRefusedOrCountedExactly) {
  ScratchDir dir;
  write_file(dir / "t0", long_text(96u << 10));
  write_file(dir / "t1", multilingual_texts()[2] + long_text(32u << 10));
  RunResult made = shell(
      dir,
      "set -e; gzip -c t0 > one.gz; (gzip -c t0; gzip -c t1) > two.gz; tar czf t.tar.gz t0 t1;"
      "tar cJf t.tar.xz t0 t1; bzip2 -c t0 > one.bz2; xz -c t0 > one.xz; zstd -q -c t0 > one.zst;"
      "python3 -c \"import zipfile as z\n"
      "for name, kind in (('deflated.zip', z.ZIP_DEFLATED), ('stored.zip', z.ZIP_STORED)):\n"
      " with z.ZipFile(name, 'w', kind) as f: f.write('t0'); f.write('t1')\"");
  ASSERT_EQ(made.exit_status, 0) << made.err;
  constexpr size_t kLongestMagic = 6;  // xz's
  std::mt19937 random(26);
  for (const char *file : {"one.gz", "two.gz", "t.tar.gz", "t.tar.xz", "one.bz2", "one.xz",
                           "one.zst", "deflated.zip", "stored.zip"}) {
    ASSERT_EQ(v3(dir, {"-o", "Result/intact.txt", file}).exit_status, 0) << file;
    const std::string intact = read_file(dir / file);
    for (int damage = 0; damage < 7; ++damage) {
      std::string copy = intact;
      if (damage == 0) {
        copy.resize(std::uniform_int_distribution<size_t>(kLongestMagic, copy.size() - 1)(random));
      } else if (damage == 1) {
        copy.resize(20);  // so short that nothing can be decoded from it
      } else if (damage == 2) {
        // A flip in the data and the last bytes gone: an archive's end mark may come before the
        // trailer that checks its bytes, which must be read all the same.
        size_t at = std::uniform_int_distribution<size_t>(kLongestMagic, copy.size() - 9)(random);
        copy[at] = static_cast<char>(copy[at] ^ 0x10);
        copy.resize(copy.size() - 5);
      } else {
        size_t at = std::uniform_int_distribution<size_t>(kLongestMagic, copy.size() - 1)(random);
        copy[at] = static_cast<char>(copy[at] ^ (1 << (random() % 8)));
      }
      write_file(dir / "copy", copy);
      for (const char *shard_size : {"64M", "1K"}) {
        SCOPED_TRACE(std::string(file) + " damage " + std::to_string(damage) + " -s " + shard_size);
        fs::remove_all(dir / "tmp");
        RunResult result = v3(dir, {"-s", shard_size, "-o", "Result/damaged.txt", "copy"});
        if (result.exit_status == 0) {
          EXPECT_EQ(read_file(dir / "Result/damaged.txt"), read_file(dir / "Result/intact.txt"));
        } else {
          EXPECT_EQ(result.exit_status, 65) << result.err;
          EXPECT_NE(result.err.find("read_input] Error"), std::string::npos) << result.err;
        }
      }
    }
  }
  // A zip member whose local header claims no compressed data: read from the file by the
  // directory, it is counted whole; read as a stream, or from a file whose directory is cut off,
  // it would seem empty and is refused by the size its header gives. A member whose mode in the
  // directory is no file's would be passed over with its text, and so would the members of a
  // directory whose entries no longer read as entries.
  ASSERT_EQ(
      shell(dir,
            "set -e; python3 -c \"import zipfile\n"
            "b = bytearray(open('deflated.zip', 'rb').read()); b[18:22] = bytes(4)\n"
            "open('hollow.zip', 'wb').write(b)\n"
            "with zipfile.ZipFile('modeless.zip', 'w') as z:\n"
            " i = zipfile.ZipInfo('t0'); i.create_system = 3; i.external_attr = 0o70644 << 16\n"
            " z.writestr(i, open('t0', 'rb').read())\n"
            "b = bytearray(open('deflated.zip', 'rb').read())\n"
            "for at in [i for i in range(len(b)) if b[i:i + 4] == b'PK\\1\\2']: b[at + 2] ^= 0x30\n"
            "open('unlisted.zip', 'wb').write(b)\";"
            "head -c -30 hollow.zip > hollow-cut.zip;"
            "python3 -c \"import zipfile; zipfile.ZipFile('empty.zip', 'w').close()\"")
          .exit_status,
      0);
  ASSERT_EQ(v3(dir, {"-o", "Result/intact.txt", "deflated.zip"}).exit_status, 0);
  ASSERT_EQ(v3(dir, {"-o", "Result/hollow.txt", "hollow.zip"}).exit_status, 0);
  EXPECT_EQ(read_file(dir / "Result/hollow.txt"), read_file(dir / "Result/intact.txt"));
  ASSERT_EQ(v3(dir, {"-o", "Result/empty.txt", "empty.zip"}).exit_status, 0);  // no member
  EXPECT_EQ(read_file(dir / "Result/empty.txt"), "");
  for (const char *input : {"hollow-cut.zip", "- < hollow.zip", "modeless.zip", "unlisted.zip"}) {
    RunResult hollow = shell(dir, std::string("QuoventMR_v3 -o Result/hollow.txt ") + input);
    EXPECT_EQ(hollow.exit_status, 65) << input << hollow.err;
  }
  // A file that begins as a format but is none is refused, not counted as its bytes; --as-is
  // still counts it as they are.
  write_file(dir / "fake.gz", "\x1F\x8Bnot compressed\n");
  write_file(dir / "fake.bz2", "BZh9 not compressed either\n");
  for (const char *file : {"fake.gz", "fake.bz2"}) {
    RunResult fake = v3(dir, {"-o", "Result/fake.txt", file});
    EXPECT_EQ(fake.exit_status, 65) << file;
    EXPECT_NE(fake.err.find(file), std::string::npos) << fake.err;
  }
  ASSERT_EQ(v3(dir, {"--as-is", "-o", "Result/fake.txt", "fake.gz", "fake.bz2"}).exit_status, 0);
  EXPECT_EQ(read_file(dir / "Result/fake.txt"), "bzh 1\ncompressed 2\neither 1\nnot 2\n");
}

// A run killed outright, driver and workers, goes on with the same command and --resume: the
// shards it had counted are not counted again, a result cut short on disk is, and the bytes are
// QuoventMR's. A command that differs from the run's is refused, saying what differs.
TEST(QuoventMRv3, AKilledRunIsResumedFromTheShardsItCounted) {
  ScratchDir dir;
  write_big_text(dir);
  write_file(dir / "extra.txt", "uno\n");
  const std::string command = "QuoventMR_v3 -k -j 1 -s 64K -r 3";
  RunResult killed = signal_after_shards(dir, command + " big.txt", 3, "KILL");
  ASSERT_EQ(killed.out, "") << "the run ended before it could be killed";
  ASSERT_EQ(killed.exit_status, 128 + SIGKILL) << killed.err;
  std::vector<std::pair<fs::path, fs::file_time_type>> counted;
  for (const auto &entry : fs::directory_iterator(dir / "tmp/v3")) {
    fs::path result = entry.path() / "result.txt";
    if (fs::exists(result)) counted.emplace_back(result, fs::last_write_time(result));
  }
  ASSERT_GE(counted.size(), 3u);
  ASSERT_LT(counted.size(), 64u);
  // The killed driver's lock file is left, its lock gone with it: nothing below is refused by it.
  EXPECT_TRUE(fs::exists(dir / "tmp/v3/lock"));
  // Torn by a crash: shorter than its check says.
  fs::resize_file(counted[0].first, fs::file_size(counted[0].first) / 2);

  fs::file_time_type modified = fs::last_write_time(dir / "big.txt");
  fs::last_write_time(dir / "big.txt", modified + std::chrono::seconds(1));
  struct Refusal {
    std::string args;
    int status;
    const char *why;
  };
  for (const Refusal &refusal :
       {Refusal{"-r 3 big.txt", 65, "the input big.txt has changed since the run was planned"},
        Refusal{"-r 2 big.txt", kUsageStatus, "it was planned with -r 3, not 2"},
        Refusal{"-r 3 -s 1M --as-is big.txt", kUsageStatus,
                "it was planned with -s 65536 bytes, not 1048576; --as-is was not given then"},
        Refusal{"-r 3 --words unicode big.txt", kUsageStatus,
                "it was planned with --words latin1, not unicode"},
        Refusal{"-r 3 big.txt extra.txt", kUsageStatus,
                "the input extra.txt was not among its inputs"},
        Refusal{"-r 3 - < extra.txt", kUsageStatus, "the stream standard input cannot be read"}}) {
    RunResult refused = shell(dir, "QuoventMR_v3 -j 1 -s 64K --resume " + refusal.args);
    EXPECT_EQ(refused.exit_status, refusal.status) << refusal.args;
    EXPECT_NE(refused.err.find(refusal.why), std::string::npos) << refused.err;
  }
  fs::last_write_time(dir / "big.txt", modified);

  RunResult resumed = shell(dir, command + " --resume big.txt");
  ASSERT_EQ(resumed.exit_status, 0) << resumed.err;
  EXPECT_NE(resumed.err.find(std::to_string(counted.size() - 1) + " counted before"),
            std::string::npos)
      << resumed.err;
  EXPECT_EQ(read_file(dir / "Result/qv.txt"), read_file(dir / "Result/one.txt"));
  EXPECT_NE(fs::last_write_time(counted[0].first), counted[0].second);
  for (size_t i = 1; i < counted.size(); ++i) {
    EXPECT_EQ(fs::last_write_time(counted[i].first), counted[i].second) << counted[i].first;
  }
  // Nothing to resume any more.
  fs::remove_all(dir / "tmp");
  EXPECT_EQ(v3(dir, {"--resume", "big.txt"}).exit_status, 66);
}

// Ctrl-C while the shards count: the run stops them, ends with 128 + SIGINT, writes no result,
// keeps the shards it had sealed and says how to go on; the same command with --resume counts
// only the others, and the bytes are QuoventMR's.
TEST(QuoventMRv3, ARunStoppedByCtrlCIsResumedFromTheShardsItKept) {
  ScratchDir dir;
  write_big_text(dir);
  const std::string options = "QuoventMR_v3 -j 1 -s 32K -r 3";
  RunResult stopped = signal_after_shards(dir, options + " big.txt", 1, "INT");
  ASSERT_EQ(stopped.out, "") << "the run ended before it could be stopped";
  EXPECT_EQ(stopped.exit_status, 128 + SIGINT) << stopped.err;
  // The shards end by the same Ctrl-C: the run is stopped, no shard failed.
  EXPECT_NE(stopped.err.find("Stopped by signal Interrupt"), std::string::npos) << stopped.err;
  EXPECT_EQ(stopped.err.find("failed"), std::string::npos) << stopped.err;
  EXPECT_NE(stopped.err.find("--resume"), std::string::npos) << stopped.err;
  EXPECT_FALSE(fs::exists(dir / "Result/qv.txt"));
  size_t kept = 0;
  for (const auto &entry : fs::recursive_directory_iterator(dir / "tmp/v3")) {
    std::string name = entry.path().filename();
    kept += name == "result.txt" ? 1 : 0;
    EXPECT_TRUE(entry.is_directory() || name == "result.txt" || name == "result.check" ||
                name == "plan.txt" || name == "lock")
        << entry.path();
  }
  EXPECT_GE(kept, 1u);

  RunResult resumed = shell(dir, options + " --resume big.txt");
  ASSERT_EQ(resumed.exit_status, 0) << resumed.err;
  EXPECT_NE(resumed.err.find(std::to_string(kept) + " counted before"), std::string::npos)
      << resumed.err;
  EXPECT_EQ(read_file(dir / "Result/qv.txt"), read_file(dir / "Result/one.txt"));
  EXPECT_FALSE(fs::exists(dir / "tmp/v3"));
}

// A run holds its work directory while it goes on: a second run there, new or resumed, is refused
// before it touches anything, with EX_TEMPFAIL and the process that holds it named, and without
// advice to remove or resume anything; the first run ends undisturbed with QuoventMR's bytes.
TEST(QuoventMRv3, ARunGoingOnRefusesASecondRunInItsWorkDirectoryNewOrResumed) {
  ScratchDir dir;
  write_big_text(dir);
  const std::string command = "QuoventMR_v3 -j 1 -s 32K -r 3";
  // The first run is stopped while the others try, so that it surely goes on meanwhile.
  RunResult runs = shell(dir, command + " big.txt 2>first.err & run=$!; echo $run; " +
                                  wait_for_sealed_shards(1) + "kill -STOP $run; " + command +
                                  " -o Result/second.txt big.txt 2>new.err; echo $?; " + command +
                                  " --resume big.txt 2>resume.err; echo $?; kill -CONT $run; " +
                                  "wait $run; echo $?");
  std::string pid = runs.out.substr(0, runs.out.find('\n'));
  ASSERT_EQ(runs.out, pid + "\n75\n75\n0\n") << read_file(dir / "first.err");
  for (const char *refused : {"new.err", "resume.err"}) {
    std::string err = read_file(dir / refused);
    EXPECT_NE(err.find("/tmp/v3 is in use: a run is still going there, in process " + pid +
                       "; wait for it to end, or choose another -w"),
              std::string::npos)
        << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  }
  EXPECT_EQ(read_file(dir / "Result/qv.txt"), read_file(dir / "Result/one.txt"));
  EXPECT_FALSE(fs::exists(dir / "Result/second.txt"));
  EXPECT_FALSE(fs::exists(dir / "tmp/v3"));
}

// A scheduler that stops answering while the run's jobs have not finished stops the driver
// within the bound, with the jobs named and left queued: sbatch here takes the jobs, squeue
// fails, or hangs.
TEST(QuoventMRv3, ASchedulerThatStopsAnsweringIsReportedWithinTheBound) {
  ScratchDir dir;
  write_file(dir / "a.txt", "uno dos\n");
  fs::create_directory(dir / "slurm");
  write_file(dir / "slurm/sbatch", "#!/bin/sh\necho 41\n");
  write_file(dir / "slurm/scancel", "#!/bin/sh\ntouch cancelled\n");
  for (const char *squeue : {"#!/bin/sh\nexit 1\n", "#!/bin/sh\nexec sleep 30\n"}) {
    SCOPED_TRACE(squeue);
    write_file(dir / "slurm/squeue", squeue);
    RunResult result = shell(dir,
                             "chmod +x slurm/*; PATH=$PWD/slurm:$PATH "
                             "QuoventMR_v3 --slurm --scheduler-timeout 2 a.txt");
    EXPECT_EQ(result.exit_status, 75);
    EXPECT_NE(result.err.find("squeue has not answered for 2 seconds while the jobs 41,41"),
              std::string::npos)
        << result.err;
    EXPECT_FALSE(fs::exists(dir / "cancelled"));
    EXPECT_FALSE(fs::exists(dir / "Result/qv.txt"));
    fs::remove_all(dir / "tmp/v3");
  }
}

TEST(QuoventMRv3, ASiteWhereNoRunFitsIsToldBeforeAnythingIsWrittenOrSubmitted) {
  ScratchDir dir;
  write_file(dir / "a.txt", "uno dos\n");
  fs::create_directory(dir / "slurm");
  write_file(dir / "slurm/sbatch", "#!/bin/sh\ntouch submitted\necho 41\n");
  for (const char *config : {"MaxArraySize = 0", "MaxJobCount = 3"}) {
    SCOPED_TRACE(config);
    write_file(dir / "slurm/scontrol", std::string("#!/bin/sh\necho '") + config + "'\n");
    RunResult result =
        shell(dir, "chmod +x slurm/*; PATH=$PWD/slurm:$PATH QuoventMR_v3 --slurm -s 2 a.txt");
    EXPECT_EQ(result.exit_status, 69);
    EXPECT_NE(result.err.find("count without --slurm"), std::string::npos) << result.err;
    EXPECT_FALSE(fs::exists(dir / "submitted"));
    EXPECT_FALSE(fs::exists(dir / "tmp/v3"));
  }
}

}  // namespace
