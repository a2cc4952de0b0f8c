// The tasks of a Slurm run within the site's limits: the limits read from scontrol's text, the
// array jobs and tasks a run submits, and the list that tells each task its shards.
#include <gtest/gtest.h>

#include <numeric>
#include <string>
#include <vector>

#include "run/SlurmTasks.h"

namespace {

TEST(SlurmLimits, ReadFromTheConfigurationOrSlurmsDefaults) {
  struct Case {
    std::string config;
    long long max_array_size;
    long long max_job_count;
  };
  const Case cases[] = {
      {"MaxArraySize            = 50\nMaxJobCount             = 20\n", 50, 20},
      {"", kDefaultMaxArraySize, kDefaultMaxJobCount},
      {"MaxArraySize = (null)\nMaxJobCount=\n", kDefaultMaxArraySize, kDefaultMaxJobCount},
      {"MaxJobCount=12345 jobs\r\nMaxArraySize\t=\t0", 0, 12345},
      {"MaxArraySizeLimit = 5\nOtherMaxArraySize = 6\n", kDefaultMaxArraySize, kDefaultMaxJobCount},
      {"MaxArraySize = 99999999999999999999999\n", 1'000'000'000, kDefaultMaxJobCount},
  };
  for (const Case &c : cases) {
    SlurmLimits limits = parse_slurm_limits(c.config);
    EXPECT_EQ(limits.max_array_size, c.max_array_size) << c.config;
    EXPECT_EQ(limits.max_job_count, c.max_job_count) << c.config;
  }
}

TEST(SlurmLimits, ARunNeedsAnArrayTaskAndItsMergeInHalfTheJobTable) {
  EXPECT_NE(refusal_within({0, kDefaultMaxJobCount}), "");
  EXPECT_NE(refusal_within({kDefaultMaxArraySize, 3}), "");
  EXPECT_EQ(refusal_within({1, 4}), "");
}

TEST(TaskLayout, EveryArrayIndexLiesBelowMaxArraySize) {
  struct Case {
    size_t todo;
    SlurmLimits limits;
    size_t max_tasks;
    std::vector<size_t> arrays;
  };
  const std::vector<size_t> thirty_two_of_fifty(32, 50);
  std::vector<size_t> twenty_five(22, 49);
  twenty_five.insert(twenty_five.end(), 3, 48);
  const Case cases[] = {
      {7, {}, 0, {7}},                                    // a task a shard
      {0, {}, 0, {}},                                     // a resume with the merge alone left
      {1222, {}, 0, {611, 611}},                          // past the default MaxArraySize
      {1222, {50, kDefaultMaxJobCount}, 0, twenty_five},  // --array=0-48 at most, never 0-49+
      {5000, {50, kDefaultMaxJobCount}, 0, thirty_two_of_fifty},  // tasks of several shards
      {100, {50, 20}, 0, {9}},  // half of MaxJobCount, the merge job among it
      {100, {}, 2, {2}},        // -j 2
      {3, {1, kDefaultMaxJobCount}, 0, {1, 1, 1}},
  };
  for (const Case &c : cases) {
    TaskLayout layout = lay_out_tasks(c.todo, c.limits, c.max_tasks);
    EXPECT_EQ(layout.arrays, c.arrays) << c.todo << " shards";
    EXPECT_EQ(layout.tasks, std::accumulate(layout.arrays.begin(), layout.arrays.end(), 0UL));
  }
}

TEST(TaskLayout, TheMergesArrayFitsBesideTheShardsTasks) {
  struct Case {
    SlurmLimits limits;
    size_t tasks;  // the shards' tasks now
    size_t wanted;
    size_t merge_parts;
  };
  const Case cases[] = {
      {{}, 7, 7, 7},  // a part a task of the run
      {{}, 0, 7, 7},  // a resume with the merge alone left merges as widely
      {{50, kDefaultMaxJobCount}, 50, 250, 50},  // within MaxArraySize
      {{50, 30}, 9, 100, 5},                     // what half of MaxJobCount leaves beside 9 tasks
      {{50, 20}, 9, 100, 1},                     // no room: the merge job alone
      {{1, kDefaultMaxJobCount}, 3, 3, 1},       // arrays of one task
      {{}, 1, 1, 1},
  };
  for (const Case &c : cases) {
    TaskLayout layout;
    layout.tasks = c.tasks;
    EXPECT_EQ(merge_parts_within(c.limits, layout, c.wanted), c.merge_parts) << c.wanted;
  }
}

// "groups 2, parts 50": the merge's arrays in order, with their tasks.
std::string stages_text(const TaskLayout &layout) {
  std::string text;
  for (const MergeStage &stage : layout.merge_stages) {
    text += text.empty() ? "" : ", ";
    text += stage.kind == MergeStageKind::kGroups ? "groups " : "parts ";
    text += std::to_string(stage.tasks);
  }
  return text;
}

TEST(TaskLayout, TheMergesGroupsAndPartsFitBesideTheShardsTasks) {
  struct Case {
    SlurmLimits limits;
    size_t tasks;    // the shards' tasks now
    size_t results;  // the run's shards
    size_t wanted;
    size_t max_tasks;
    const char *stages;
  };
  const Case cases[] = {
      {{}, 7, 7, 7, 0, "parts 7"},  // few results: every part reads them all
      {{50, kDefaultMaxJobCount}, 250, 250, 250, 0, "groups 2, parts 50"},
      // 157 groups, a task taking several in turn within MaxArraySize; their 157 results again
      {{50, kDefaultMaxJobCount}, 0, 20000, 250, 0, "groups 50, groups 2, parts 50"},
      {{}, 3, 1000, 3, 3, "groups 3, parts 3"},         // within -j
      {{50, 30}, 9, 250, 100, 0, "groups 2, parts 3"},  // half of MaxJobCount beside 9 tasks
      {{50, 22}, 9, 250, 100, 0, "groups 1"},           // room for one task: it takes both groups
      {{50, 20}, 9, 250, 100, 0, ""},                   // no room: the merge job alone, in rounds
  };
  for (const Case &c : cases) {
    TaskLayout layout;
    layout.tasks = c.tasks;
    lay_out_merge(layout, c.limits, c.results, c.wanted, c.max_tasks);
    EXPECT_EQ(stages_text(layout), c.stages) << c.results << " results";
  }
}

TEST(TasksFile, EachTaskCountsEveryTasksthShardStillToCount) {
  const std::vector<size_t> todo = {0, 1, 2, 3, 5, 7, 8, 9};
  std::string text = tasks_text(3, todo);
  EXPECT_EQ(text, "tasks 3\nshards 0-3,5,7-9\n");
  size_t tasks = 0;
  std::vector<size_t> read;
  ASSERT_TRUE(read_tasks_text(text, 10, tasks, read));
  EXPECT_EQ(tasks, 3u);
  EXPECT_EQ(read, todo);
  EXPECT_EQ(shards_of_task(read, tasks, 1), (std::vector<size_t>{1, 5, 9}));
  EXPECT_EQ(shards_of_task(read, tasks, 2), (std::vector<size_t>{2, 7}));
  for (const char *damaged :
       {"tasks 3\nshards 0-3,5", "tasks 3\nshards 0-3,5,7-10\n", "tasks 0\nshards 0\n",
        "tasks 3\nshards 5,0-3\n", "tasks 3\nshards 3-1\n", "tasks 3\nshards 01\n", "shards 1\n"}) {
    EXPECT_FALSE(read_tasks_text(damaged, 10, tasks, read)) << damaged;
  }
}

}  // namespace
