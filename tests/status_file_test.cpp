// SPDX-License-Identifier: Apache-2.0
// The status file: which lines are a queue's status line, what replaces
// them, and the file's mode.
#include "status_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include "credential_kind.h"
#include "test_support.h"

namespace {

struct Outcome {
  UpdateOutcome result;
  StoreStep step;
  std::optional<std::string> file;
};

class StatusFile : public testing::Test {
 protected:
  void SetUp() override { reset_account_dir(); }

  static Outcome status(const std::optional<std::string>& old, const char* queue,
                        CredentialKind kind) {
    reset_account_dir();
    if (old) write_file(account_path("status"), *old, 0644);
    StoreError error;
    UpdateOutcome result = update_status(queue, kind, &error);
    EXPECT_FALSE(file_exists(account_path("status.new"))) << "replacement file left behind";
    return {result, error.step, read_file(account_path("status"))};
  }
};

TEST_F(StatusFile, QueuesStatusLinesAreReplacedOrAppended) {
  struct Case {
    const char* what;
    std::optional<std::string> old;
    const char* queue;
    CredentialKind kind;
    std::string result;
  } cases[] = {
      {"-eu lp2", "<lp1>ON</lp1>\n<lp2>OFF</lp2>\n", "lp2", kUser,
       "<lp1>ON</lp1>\n<lp2>U_ON</lp2>\n"},
      {"no file", std::nullopt, "lp1", kNoKind, "<lp1>OFF</lp1>\n"},
      {"lower case is not a status line", "<lp1>on</lp1>\n", "lp1", kNoKind,
       "<lp1>on</lp1>\n<lp1>OFF</lp1>\n"},
      {"every status line replaced", "<lp1>ON</lp1>\nlp1 ON\n<lp1>U_ON</lp1>\n", "lp1", kNoKind,
       "<lp1>OFF</lp1>\nlp1 ON\n<lp1>OFF</lp1>\n"},
      {"prefix queue name", "<lp10>ON</lp10>\n", "lp1", kNoKind,
       "<lp10>ON</lp10>\n<lp1>OFF</lp1>\n"},
      {"lp never matches lp1", "<lp1>ON</lp1>\n", "lp", kJob, "<lp1>ON</lp1>\n<lp>ON</lp>\n"},
      {"same value rewrites the same", "<lp1>ON</lp1>\r\n", "lp1", kJob, "<lp1>ON</lp1>\n"},
      {"kind 1 is ON", "", "lp1", kJob, "<lp1>ON</lp1>\n"},
      {"other kinds are OFF", "", "lp1", kSecure, "<lp1>OFF</lp1>\n"},
      {"endings normalised", "a\r\nb\rc\n\rd\n\ne\r\n\r\nf", "lp1", kJob,
       "a\nb\nc\nd\ne\n\nf\n<lp1>ON</lp1>\n"},
      {"bare tag and odd lines copied", "<lp1>\nx<lp1>ON</lp1>\n<lp1>ON</lp1> \n", "lp1", kUser,
       "<lp1>\nx<lp1>ON</lp1>\n<lp1>ON</lp1> \n<lp1>U_ON</lp1>\n"},
      {"long line copied whole", std::string(700, 's') + "\n<lp1>ON</lp1>\n", "lp1", kUser,
       std::string(700, 's') + "\n<lp1>U_ON</lp1>\n"},
  };
  for (const Case& c : cases) {
    Outcome out = status(c.old, c.queue, c.kind);
    EXPECT_EQ(out.result, UpdateOutcome::kDone) << c.what;
    EXPECT_EQ(out.file, c.result) << c.what;
  }
}

TEST_F(StatusFile, IsReadableByAllWhateverTheUmask) {
  write_file(account_path("status"), "<lp1>ON</lp1>\n", 0644);
  for (mode_t mask : {022, 077, 0777}) {
    mode_t old = umask(mask);
    UpdateOutcome result = update_status("lp1", kJob);
    umask(old);
    ASSERT_EQ(result, UpdateOutcome::kDone) << mask;
    EXPECT_EQ(file_mode(account_path("status")), 0644u) << mask;
  }

  std::string long_name(510, 'n');
  StoreError error;
  EXPECT_EQ(update_status(long_name.c_str(), kJob, &error), UpdateOutcome::kRefused);
  EXPECT_EQ(error.step, StoreStep::kLineTooLong);
  EXPECT_EQ(read_file(account_path("status")), "<lp1>ON</lp1>\n");
}

}  // namespace
