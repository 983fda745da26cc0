// SPDX-License-Identifier: Apache-2.0
// The status file: which lines are a queue's status line, what replaces
// them, and the file's mode.
#include "status_file.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "credential_kind.h"
#include "test_support.h"

namespace {

class StatusFile : public testing::Test {
 protected:
  // The text switching the queue leaves, from `old`.
  static std::string status(const std::optional<std::string>& old, const char* queue,
                            StatusFunction kind) {
    AccountText text = AccountText::parse(old.value_or(""), FileKind::kStatus);
    StoreError error;
    EXPECT_TRUE(switch_queue(text, queue, kind, error)) << queue;
    return std::string(text.bytes().view());
  }
};

TEST_F(StatusFile, QueuesStatusLinesAreReplacedOrAppended) {
  struct Case {
    const char* what;
    std::optional<std::string> old;
    const char* queue;
    StatusFunction kind;
    std::string result;
  } cases[] = {
      {"-eu lp2", "<lp1>ON</lp1>\n<lp2>OFF</lp2>\n", "lp2", kUserOn,
       "<lp1>ON</lp1>\n<lp2>U_ON</lp2>\n"},
      {"no file", std::nullopt, "lp1", kOff, "<lp1>OFF</lp1>\n"},
      {"lower case is not a status line", "<lp1>on</lp1>\n", "lp1", kOff,
       "<lp1>on</lp1>\n<lp1>OFF</lp1>\n"},
      {"every status line replaced", "<lp1>ON</lp1>\nlp1 ON\n<lp1>U_ON</lp1>\n", "lp1", kOff,
       "<lp1>OFF</lp1>\nlp1 ON\n<lp1>OFF</lp1>\n"},
      {"prefix queue name", "<lp10>ON</lp10>\n", "lp1", kOff, "<lp10>ON</lp10>\n<lp1>OFF</lp1>\n"},
      {"lp never matches lp1", "<lp1>ON</lp1>\n", "lp", kJobOn, "<lp1>ON</lp1>\n<lp>ON</lp>\n"},
      {"same value rewrites the same", "<lp1>ON</lp1>\r\n", "lp1", kJobOn, "<lp1>ON</lp1>\n"},
      {"kind 1 is ON", "", "lp1", kJobOn, "<lp1>ON</lp1>\n"},
      {"other kinds are OFF", "", "lp1", kOff, "<lp1>OFF</lp1>\n"},
      {"endings normalised", "a\r\nb\rc\n\rd\n\ne\r\n\r\nf", "lp1", kJobOn,
       "a\nb\nc\nd\ne\n\nf\n<lp1>ON</lp1>\n"},
      {"bare tag and odd lines copied", "<lp1>\nx<lp1>ON</lp1>\n<lp1>ON</lp1> \n", "lp1", kUserOn,
       "<lp1>\nx<lp1>ON</lp1>\n<lp1>ON</lp1> \n<lp1>U_ON</lp1>\n"},
      {"long line copied whole", std::string(700, 's') + "\n<lp1>ON</lp1>\n", "lp1", kUserOn,
       std::string(700, 's') + "\n<lp1>U_ON</lp1>\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(status(c.old, c.queue, c.kind), c.result) << c.what;
  }
}

// What --list reads, and what -d of a deleted queue clears.
TEST_F(StatusFile, StatusLinesAreReadAndCleared) {
  AccountText text = AccountText::parse(
      "<lp1>ON</lp1>\nx\n<lp2>U_ON</lp2>\n<lp1>OFF</lp1>\n<a>b>OFF</a>b>\n", FileKind::kStatus);
  const std::vector<QueueStatus> statuses = statuses_of(text);
  ASSERT_EQ(statuses.size(), 3u);  // the first line of each queue
  EXPECT_EQ(statuses[0].queue, "lp1");
  EXPECT_EQ(statuses[0].function, kJobOn);
  EXPECT_EQ(statuses[2].queue, "a>b");
  clear_queue(text, "lp1");
  EXPECT_EQ(text.bytes().view(), "x\n<lp2>U_ON</lp2>\n<a>b>OFF</a>b>\n");
  clear_queue(text, "lp3");
  EXPECT_EQ(text.changes(), 1);
}

}  // namespace
