// A plain, obviously correct word count by the system's rules, written the slow and direct way
// (per-word wide-character lower-casing, qsort with strcoll, a strcoll merge, a line-by-line
// reduce), so that the tests can demand the very bytes of every work file from the fast stages.
// Everything follows the locale the calling process has set.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace quovent_reference {

// Work files and result of one run of the three stages over the concatenated inputs, keyed by
// their names relative to the working directory: "tmp/_map.tmp", "tmp/_batch_r<r>_<b>.tmp",
// "tmp/_suffle_<r>.tmp" and "Result/qv.txt".
std::map<std::string, std::string> run_pipeline(const std::string &text, int reducers);

// The shuffle stage alone over the given map files' contents: adds its batch and shuffle files
// to `files` and returns each reducer's merged lines.
std::vector<std::vector<std::string>> shuffle_stage(const std::vector<std::string> &map_files,
                                                    int reducers,
                                                    std::map<std::string, std::string> &files);

}  // namespace quovent_reference
