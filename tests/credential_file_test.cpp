// SPDX-License-Identifier: Apache-2.0
// The credential file: every set and remove byte for byte, what a set adds
// where, and the updates it refuses.
#include "credential_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include "account_directory.h"
#include "test_support.h"

namespace {

using namespace std::string_literals;

struct Outcome {
  UpdateOutcome result;
  StoreStep step;
  std::optional<std::string> file;
};

// One credential update that must succeed and leave `result`.
struct ConfCase {
  const char* what;
  std::string old;
  const char* queue;
  CredentialKind kind;
  const char* id;  // null: remove
  const char* password;
  std::string result;
};

class CredentialFile : public testing::Test {
 protected:
  void SetUp() override { reset_account_dir(); }

  // Runs one credential update (password == nullptr: remove) from `old`.
  static Outcome conf(const std::optional<std::string>& old, const char* queue, CredentialKind kind,
                      const char* id = nullptr, const char* password = nullptr) {
    reset_account_dir();
    if (old) write_file(account_path(kConf), *old);
    StoreError error;
    UpdateOutcome result = update_credentials(queue, {"alice", getuid()}, id, password,
                                              password == nullptr, kind, &error);
    EXPECT_FALSE(file_exists(account_path(kNew))) << "replacement file left behind";
    return {result, error.step, read_file(account_path(kConf))};
  }

  static void expect_rewrites(const std::vector<ConfCase>& cases) {
    for (const ConfCase& c : cases) {
      Outcome out = conf(c.old, c.queue, c.kind, c.id, c.password);
      EXPECT_EQ(out.result, UpdateOutcome::kDone) << c.what;
      EXPECT_EQ(out.file, c.result) << c.what;
    }
  }
};

// A file with two sections of two kinds: job accounting ID and PIN as typed,
// user authentication names and passwords (U, P) in Base64.
const std::string U = base64("alice"), P = base64("pw"), U2 = base64("bob"), P2 = base64("s3cret");
const std::string kTwoSections =
    "<lp1>\nid=1111\npassword=2222\n</lp1>\n<lp2>\nu_id=" + U + "\nu_password=" + P + "\n</lp2>\n";
const std::string kLines1To4 = "<lp1>\nid=1111\npassword=2222\n</lp1>\n";
const std::string kLines5To8 = "<lp2>\nu_id=" + U + "\nu_password=" + P + "\n</lp2>\n";

TEST_F(CredentialFile, SetAndRemoveAcrossSectionsOfTwoKinds) {
  const std::string set_2_lp1 = "<lp1>\nid=1111\npassword=2222\nu_id=" + U2 + "\nu_password=" + P2 +
                                "\n</lp1>\n" + kLines5To8;
  expect_rewrites({
      {"set 2 lp1", kTwoSections, "lp1", kUser, "bob", "s3cret", set_2_lp1},
      {"set 2 lp2", kTwoSections, "lp2", kUser, "bob", "s3cret",
       kLines1To4 + "<lp2>\nu_id=" + U2 + "\nu_password=" + P2 + "\n</lp2>\n"},
      {"set 1 lp2", kTwoSections, "lp2", kJob, "3333", "4444",
       kLines1To4 + "<lp2>\nu_id=" + U + "\nu_password=" + P +
           "\nid=3333\npassword=4444\n</lp2>\n"},
      {"set 3 lp3", kTwoSections, "lp3", kSecure, "bob", "s3cret",
       kTwoSections + "<lp3>\ns_id=" + U2 + "\ns_password=" + P2 + "\n</lp3>\n"},
      {"remove 1 lp1", kTwoSections, "lp1", kJob, nullptr, nullptr, kLines5To8},
      {"remove 2 lp2", kTwoSections, "lp2", kUser, nullptr, nullptr, kLines1To4},
      {"remove 3 lp1", kTwoSections, "lp1", kSecure, nullptr, nullptr, kTwoSections},
  });
  // After "set 2 lp1", removing job accounting keeps the tags.
  Outcome out = conf(set_2_lp1, "lp1", kJob);
  EXPECT_EQ(out.file, "<lp1>\nu_id=" + U2 + "\nu_password=" + P2 + "\n</lp1>\n" + kLines5To8);
}

TEST_F(CredentialFile, EdgeCases) {
  expect_rewrites({
      {"new section goes last", "x\n<lp2>\nid=1\n</lp2>\n", "lp1", kJob, "7", "8",
       "x\n<lp2>\nid=1\n</lp2>\n<lp1>\nid=7\npassword=8\n</lp1>\n"},
      {"only the password line: rewritten, id added before the closing tag",
       "<lp1>\npassword=old\nx\n</lp1>\n", "lp1", kJob, "7", "8",
       "<lp1>\npassword=8\nx\nid=7\n</lp1>\n"},
      {"partner added to each section", "<lp1>\nid=a\n</lp1>\n<lp1>\nid=b\n</lp1>\n", "lp1", kJob,
       "7", "8", "<lp1>\nid=7\npassword=8\n</lp1>\n<lp1>\nid=7\npassword=8\n</lp1>\n"},
      {"a stray closing tag first", "</lp1>\n<lp1>\nid=a\n</lp1>\n", "lp1", kJob, "7", "8",
       "id=7\npassword=8\n</lp1>\n<lp1>\nid=7\npassword=8\n</lp1>\n"},
      {"remove: other-case sections too, tags by spelling",
       "<LP1>\nid=a\n</LP1>\n<Lp1>\nid=b\nu_id=c\n</Lp1>\n<lp10>\nid=d\n</lp10>\n", "lp1", kJob,
       nullptr, nullptr, "<Lp1>\nu_id=c\n</Lp1>\n<lp10>\nid=d\n</lp10>\n"},
      {"set: other-case sections stay", "<LP1>\nid=a\n</LP1>\n", "lp1", kJob, "7", "8",
       "<LP1>\nid=a\n</LP1>\n<lp1>\nid=7\npassword=8\n</lp1>\n"},
      {"a key twice: both rewritten", "<lp1>\nid=a\nid=b\n</lp1>\n", "lp1", kJob, "7", "8",
       "<lp1>\nid=7\nid=7\npassword=8\n</lp1>\n"},
      {"a key twice: both dropped", "<lp1>\nid=a\nid=b\nu_id=c\n</lp1>\n", "lp1", kJob, nullptr,
       nullptr, "<lp1>\nu_id=c\n</lp1>\n"},
      {"keys outside the section stay", "id=out\n<lp2>\nid=2\n</lp2>\n<lp1>\n</lp1>\n", "lp1", kJob,
       "7", "8", "id=out\n<lp2>\nid=2\n</lp2>\n<lp1>\nid=7\npassword=8\n</lp1>\n"},
      {"remove from a section with no closing tag", "<lp1>\nid=1\nx\n", "lp1", kJob, nullptr,
       nullptr, "x\n"},
      {"keys outside the section stay on remove", "id=out\n<lp2>\nid=2\n</lp2>\n", "lp1", kJob,
       nullptr, nullptr, "id=out\n<lp2>\nid=2\n</lp2>\n"},
      {"remove leaves a comment behind",
       "<lp0>\n</lp0>\n<lp1>\nid=1\n# note\npassword=2\n</lp1>\n<lp2>\n</lp2>\n", "lp1", kJob,
       nullptr, nullptr, "<lp0>\n</lp0>\n# note\n<lp2>\n</lp2>\n"},
      {"empty file, set", "", "lp1", kJob, "7", "8", "<lp1>\nid=7\npassword=8\n</lp1>\n"},
      {"empty file, remove", "", "lp1", kJob, nullptr, nullptr, ""},
      {"bare tags removed whole", "a\n<lp1>\n</lp1>\nb\n", "lp1", kSecure, nullptr, nullptr,
       "a\nb\n"},
      {"CR LF and lone CR become LF", "a\r\nb\rc\n", "lp1", kJob, nullptr, nullptr, "a\nb\nc\n"},
      {"LF LF merges, CR LF blank stays", "a\n\nb\r\n\r\nc\n", "lp1", kJob, nullptr, nullptr,
       "a\nb\n\nc\n"},
      {"three LF make one blank line", "a\n\n\nb\n", "lp1", kJob, nullptr, nullptr, "a\n\nb\n"},
      {"tag in other case is another queue", "<LP1>\nid=1\n</LP1>\n", "lp1", kJob, "7", "8",
       "<LP1>\nid=1\n</LP1>\n<lp1>\nid=7\npassword=8\n</lp1>\n"},
      {"tag with trailing blank is ordinary", "<lp1> \nid=1\n</lp1>\n", "lp1", kJob, "7", "8",
       "<lp1> \nid=1\nid=7\npassword=8\n</lp1>\n"},
      {"CR LF ended tag is a tag", "<lp1>\r\nid=1\r\n</lp1>\r\n", "lp1", kJob, "7", "8",
       "<lp1>\nid=7\npassword=8\n</lp1>\n"},
      {"section twice: the pair in each", "<lp1>\n</lp1>\n<lp1>\nid=1\n</lp1>\n", "lp1", kJob, "7",
       "8", "<lp1>\nid=7\npassword=8\n</lp1>\n<lp1>\nid=7\npassword=8\n</lp1>\n"},
      {"closing tag alone gets the pair", "x\n</lp1>\n", "lp1", kJob, "7", "8",
       "x\nid=7\npassword=8\n</lp1>\n"},
      {"other queue's tags inside the section", "<lp1>\n<lp2>\nid=1\n</lp2>\n</lp1>\n", "lp1", kJob,
       "7", "8", "<lp1>\n<lp2>\nid=7\n</lp2>\npassword=8\n</lp1>\n"},
      {"empty value", "", "lp1", kJob, "7", "", "<lp1>\nid=7\npassword=\n</lp1>\n"},
      {"last line without a break is kept", "<lp2>\n</lp2>\ntail", "lp1", kJob, nullptr, nullptr,
       "<lp2>\n</lp2>\ntail\n"},
      {"zero bytes after the last break add nothing", "a\n\0\0"s, "lp1", kJob, nullptr, nullptr,
       "a\n"},
      {"long line copied whole", std::string(1500, 'L') + "\n", "lp1", kJob, nullptr, nullptr,
       std::string(1500, 'L') + "\n"},
  });
}

TEST_F(CredentialFile, NewFileHoldsOneSectionWithMode0600) {
  Outcome out = conf(std::nullopt, "lp1", kUser, "alice", "pw");
  EXPECT_EQ(out.result, UpdateOutcome::kDone);
  EXPECT_EQ(out.file, "<lp1>\nu_id=" + U + "\nu_password=" + P + "\n</lp1>\n");
  EXPECT_EQ(file_mode(account_path(kConf)), 0600u);

  // The new file takes 0600 whatever the old one had.
  write_file(account_path(kConf), "x\n", 0644);
  ASSERT_EQ(update_credentials("lp1", {"alice", getuid()}, "1", "2", false, kJob),
            UpdateOutcome::kDone);
  EXPECT_EQ(file_mode(account_path(kConf)), 0600u);

  // Root's credentials are filed under "root".
  ASSERT_EQ(update_credentials("lp1", {nullptr, getuid()}, "1", "2", false, kJob),
            UpdateOutcome::kDone);
  EXPECT_EQ(read_file(account_path("root.conf")), "<lp1>\nid=1\npassword=2\n</lp1>\n");
}

TEST_F(CredentialFile, UpdatesNotDoneTouchNothing) {
  struct Case {
    const char* what;
    std::optional<std::string> old;
    const char* queue;
    CredentialKind kind;
    const char* id;
    const char* password;
    StoreStep step;
    UpdateOutcome outcome = UpdateOutcome::kRefused;
  } cases[] = {
      {"remove without a file", std::nullopt, "lp1", kUser, nullptr, nullptr, StoreStep::kNone,
       UpdateOutcome::kNothingToRemove},
      {"null queue", "x\n", nullptr, kJob, "1", "2", StoreStep::kArguments},
      {"no kind", "x\n", "lp1", kNoKind, "1", "2", StoreStep::kArguments},
      {"line break in a typed ID", "x\n", "lp1", kJob, "12\r", "2", StoreStep::kArguments},
      {"line break in a queue name", "x\n", "lp\n1", kJob, "1", "2", StoreStep::kArguments},
      {"a tag over 510 bytes", "x\n", nullptr, kJob, "1", "2", StoreStep::kLineTooLong},
      {"set into a section with no closing tag", "<lp1>\nid=1\n", "lp1", kJob, "7", "8",
       StoreStep::kUnclosedSection},
      {"a second section with no closing tag", "<lp1>\n</lp1>\n<lp1>\n", "lp1", kUser, "7", "8",
       StoreStep::kUnclosedSection},
  };
  const std::string long_name(520, 'p');
  for (Case& c : cases) {
    if (c.step == StoreStep::kLineTooLong) c.queue = long_name.c_str();
    Outcome out = conf(c.old, c.queue, c.kind, c.id, c.password);
    EXPECT_EQ(out.result, c.outcome) << c.what;
    EXPECT_EQ(out.step, c.step) << c.what;
    EXPECT_EQ(out.file, c.old) << c.what;
  }
}

TEST_F(CredentialFile, CutPathsAreNeverUsed) {
  const std::size_t room = kMaxPathBytes - account_directory().size() - 1;
  for (std::size_t length : {room - 8, room - 5, room, room + 20}) {
    reset_account_dir();
    std::string owner(length, 'o');
    StoreError error;
    EXPECT_EQ(update_credentials("lp1", {owner.c_str(), getuid()}, "1", "2", false, kJob, &error),
              UpdateOutcome::kRefused)
        << length;
    EXPECT_EQ(error.step, StoreStep::kPathTooLong);
    EXPECT_EQ(error.error, ENAMETOOLONG);
  }
  EXPECT_TRUE(account_dir_entries().empty());  // nothing was created
}

}  // namespace
