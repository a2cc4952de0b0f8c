#include "run/RunPlan.h"

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "common/DurableFile.h"

namespace {

// The first line, so that a file of anything else is never read as a plan.
constexpr char kPlanHeading[] = "quovent-run-plan 2";

// How the plan marks a piece or an input read as it stands, one read through its decoder, and
// a stream.
constexpr char kTextKind = 't';
constexpr char kEncodedKind = 'z';
constexpr char kStreamKind = 's';

char kind_letter(InputKind kind) {
  switch (kind) {
    case InputKind::kText:
      return kTextKind;
    case InputKind::kEncoded:
      return kEncodedKind;
    case InputKind::kStream:
      break;
  }
  return kStreamKind;
}

bool read_kind(char letter, InputKind &kind) {
  if (letter == kTextKind)
    kind = InputKind::kText;
  else if (letter == kEncodedKind)
    kind = InputKind::kEncoded;
  else if (letter == kStreamKind)
    kind = InputKind::kStream;
  else
    return false;
  return true;
}

std::string without_prefix(const std::string &line, const char *prefix) {
  return line.substr(std::string(prefix).size());
}

}  // namespace

std::string current_locale() {
  return std::string(setlocale(LC_COLLATE, nullptr)) + " " + setlocale(LC_CTYPE, nullptr);
}

bool write_plan(const std::string &file, const ShardRun &run) {
  std::ostringstream plan;
  plan << kPlanHeading << '\n'
       << "reducers\t" << run.nreducers << '\n'
       << "shard-size\t" << run.shard_size << '\n'
       << "as-is\t" << (run.as_stored ? 1 : 0) << '\n'
       << "locale\t" << run.locale << '\n'
       << "words\t" << word_rule_name(run.words) << '\n';
  if (run.shard_results == ResultForm::kBytesWithFirst) plan << "shard-results\tbytes\n";
  std::string paths;
  for (const Input &input : run.inputs) {
    plan << "input\t" << kind_letter(input.kind) << '\t' << input.size << '\t' << input.modified_ns
         << '\t' << input.path << '\n';
    paths += input.path;
  }
  for (const std::string &dir : run.created_dirs) {
    plan << "created\t" << dir << '\n';
    paths += dir;
  }
  for (size_t k = 0; k < run.shards.size(); ++k) {
    for (const Piece &piece : run.shards[k].pieces) {
      plan << "piece\t" << k << '\t' << piece.offset << '\t' << piece.length << '\t'
           << (piece.encoded ? kEncodedKind : kTextKind) << '\t' << piece.path << '\n';
      paths += piece.path;
    }
  }
  if (paths.find('\n') != std::string::npos || run.locale.find('\n') != std::string::npos) {
    errno = EINVAL;
    return false;
  }
  return write_file_durably(file, plan.str());
}

bool read_plan(const std::string &file, ShardRun &run) {
  std::ifstream in(file);
  std::string line;
  if (!std::getline(in, line) || line != kPlanHeading) return false;
  run.inputs.clear();
  run.created_dirs.clear();
  run.shards.clear();
  // A plan from before the word rules were recorded counted under the default rule.
  run.words = WordRule::kLatin1;
  // A plan without the line had its shards write their results in the result's order.
  run.shard_results = ResultForm::kCollated;
  while (std::getline(in, line)) {
    int at = 0;
    char kind = 0;
    if (sscanf(line.c_str(), "reducers\t%d", &run.nreducers) == 1) continue;
    if (sscanf(line.c_str(), "shard-size\t%lld", &run.shard_size) == 1) continue;
    int as_is = 0;
    if (sscanf(line.c_str(), "as-is\t%d", &as_is) == 1) {
      run.as_stored = as_is != 0;
      continue;
    }
    if (line.starts_with("locale\t")) {
      run.locale = without_prefix(line, "locale\t");
      continue;
    }
    if (line.starts_with("words\t")) {
      if (!read_word_rule(without_prefix(line, "words\t"), run.words)) return false;
      continue;
    }
    if (line == "shard-results\tbytes") {
      run.shard_results = ResultForm::kBytesWithFirst;
      continue;
    }
    if (line.starts_with("created\t")) {
      run.created_dirs.push_back(without_prefix(line, "created\t"));
      continue;
    }
    Input input;
    if (sscanf(line.c_str(), "input\t%c\t%lld\t%lld\t%n", &kind, &input.size, &input.modified_ns,
               &at) == 3 &&
        at > 0 && read_kind(kind, input.kind)) {
      input.path = input.name = line.substr(static_cast<size_t>(at));
      run.inputs.push_back(input);
      continue;
    }
    size_t k = 0;
    Piece piece;
    if (sscanf(line.c_str(), "piece\t%zu\t%lld\t%lld\t%c\t%n", &k, &piece.offset, &piece.length,
               &kind, &at) != 4 ||
        at == 0 || k > run.shards.size() || (kind != kTextKind && kind != kEncodedKind)) {
      return false;
    }
    piece.encoded = kind == kEncodedKind;
    piece.path = line.substr(static_cast<size_t>(at));
    if (k == run.shards.size()) run.shards.emplace_back();
    run.shards[k].bytes += piece.length > 0 ? piece.length : 0;
    run.shards[k].pieces.push_back(piece);
  }
  run.planned_shards = run.shards.size();
  return !in.bad() && !run.shards.empty();
}

namespace {

std::string given_or_not(bool given) { return given ? "given" : "not given"; }

// "en_US.UTF-8", or "LC_COLLATE=C LC_CTYPE=en_US.UTF-8" when the two differ.
std::string describe_locale(const std::string &locale) {
  size_t blank = locale.find(' ');
  if (blank == std::string::npos) return locale;
  std::string collate = locale.substr(0, blank);
  std::string ctype = locale.substr(blank + 1);
  return collate == ctype ? collate : "LC_COLLATE=" + collate + " LC_CTYPE=" + ctype;
}

// The first input that only one of the lists holds, or that comes at another place.
std::string input_list_difference(const std::vector<Input> &planned,
                                  const std::vector<Input> &now) {
  for (size_t i = 0; i < planned.size() || i < now.size(); ++i) {
    if (i >= now.size()) return "its input " + planned[i].path + " is not among the inputs now";
    if (i >= planned.size() || planned[i].path != now[i].path) {
      return "the input " + now[i].name + " was not among its inputs at that place";
    }
  }
  return "";
}

}  // namespace

std::string plan_difference(const ShardRun &planned, const ShardRun &now, bool &inputs_changed) {
  inputs_changed = false;
  for (const Input &input : now.inputs) {
    if (input.kind == InputKind::kStream) {
      return "the stream " + input.name +
             " cannot be read again; a run that reads one cannot be "
             "resumed";
    }
  }
  std::vector<std::string> differences;
  if (planned.nreducers != now.nreducers) {
    differences.push_back("it was planned with -r " + std::to_string(planned.nreducers) + ", not " +
                          std::to_string(now.nreducers));
  }
  if (planned.shard_size != now.shard_size) {
    differences.push_back("it was planned with -s " + std::to_string(planned.shard_size) +
                          " bytes, not " + std::to_string(now.shard_size));
  }
  if (planned.as_stored != now.as_stored) {
    differences.push_back("--as-is was " + given_or_not(planned.as_stored) + " then and is " +
                          given_or_not(now.as_stored) + " now");
  }
  if (planned.locale != now.locale) {
    differences.push_back("it counted under the locale " + describe_locale(planned.locale) +
                          ", not " + describe_locale(now.locale));
  }
  if (planned.words != now.words) {
    differences.push_back(std::string("it was planned with --words ") +
                          word_rule_name(planned.words) + ", not " + word_rule_name(now.words));
  }
  std::string list = input_list_difference(planned.inputs, now.inputs);
  if (!list.empty()) differences.push_back(list);
  if (differences.empty()) {
    for (size_t i = 0; i < now.inputs.size(); ++i) {
      const Input &then = planned.inputs[i];
      const Input &input = now.inputs[i];
      if (then.kind != input.kind || then.size != input.size ||
          then.modified_ns != input.modified_ns) {
        differences.push_back("the input " + input.name +
                              " has changed since the run was planned (its size or modification "
                              "time)");
      }
    }
    inputs_changed = !differences.empty();
  }
  std::string text;
  for (const std::string &difference : differences) text += (text.empty() ? "" : "; ") + difference;
  return text;
}
