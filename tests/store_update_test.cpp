// SPDX-License-Identifier: Apache-2.0
// Credential file and status file updates, byte for byte.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include "account_store.h"
#include "test_support.h"

namespace {

using namespace std::string_literals;

const std::string kConf = "alice.conf";
const std::string kNew = "alice.conf.new";

struct Outcome {
  int result;
  StoreStep step;
  std::optional<std::string> file;
};

// One credential update that must succeed and leave `result`.
struct ConfCase {
  const char* what;
  std::string old;
  const char* printer;
  int kind;
  const char* id;  // null: remove
  const char* password;
  std::string result;
};

class StoreTest : public testing::Test {
 protected:
  void SetUp() override { reset_account_dir(); }

  // Runs one credential update (password == nullptr: remove) from `old`.
  static Outcome conf(const std::optional<std::string>& old, const char* printer, int kind,
                      const char* id = nullptr, const char* password = nullptr) {
    reset_account_dir();
    if (old) write_file(account_path(kConf), *old);
    StoreError error;
    int remove = password == nullptr ? 1 : 0;
    int result = save_account_conf(printer, "alice", id, password, remove, kind, &error);
    EXPECT_FALSE(file_exists(account_path(kNew))) << "replacement file left behind";
    return {result, error.step, read_file(account_path(kConf))};
  }

  static Outcome status(const std::optional<std::string>& old, const char* printer, int kind) {
    reset_account_dir();
    if (old) write_file(account_path("status"), *old, 0644);
    StoreError error;
    int result = save_account_status(printer, kind, &error);
    EXPECT_FALSE(file_exists(account_path("status.new"))) << "replacement file left behind";
    return {result, error.step, read_file(account_path("status"))};
  }

  static void expect_rewrites(const std::vector<ConfCase>& cases) {
    for (const ConfCase& c : cases) {
      Outcome out = conf(c.old, c.printer, c.kind, c.id, c.password);
      EXPECT_EQ(out.result, 0) << c.what;
      EXPECT_EQ(out.file, c.result) << c.what;
    }
  }
};

// Values of the worked example: ID/PIN as typed, U/P in Base64.
const std::string U = base64("alice"), P = base64("pw"), U2 = base64("bob"), P2 = base64("s3cret");
const std::string kExample =
    "<lp1>\nid=1111\npassword=2222\n</lp1>\n<lp2>\nu_id=" + U + "\nu_password=" + P + "\n</lp2>\n";
const std::string kLines1To4 = "<lp1>\nid=1111\npassword=2222\n</lp1>\n";
const std::string kLines5To8 = "<lp2>\nu_id=" + U + "\nu_password=" + P + "\n</lp2>\n";

TEST_F(StoreTest, CredentialWorkedExample) {
  const std::string set_2_lp1 =
      "<lp1>\nid=1111\npassword=2222\nu_id=" + U2 + "\nu_password=" + P2 + "\n</lp1>\n" + kLines5To8;
  expect_rewrites({
      {"set 2 lp1", kExample, "lp1", 2, "bob", "s3cret", set_2_lp1},
      {"set 2 lp2", kExample, "lp2", 2, "bob", "s3cret",
       kLines1To4 + "<lp2>\nu_id=" + U2 + "\nu_password=" + P2 + "\n</lp2>\n"},
      {"set 1 lp2", kExample, "lp2", 1, "3333", "4444",
       kLines1To4 + "<lp2>\nu_id=" + U + "\nu_password=" + P + "\nid=3333\npassword=4444\n</lp2>\n"},
      {"set 3 lp3", kExample, "lp3", 3, "bob", "s3cret",
       kExample + "<lp3>\ns_id=" + U2 + "\ns_password=" + P2 + "\n</lp3>\n"},
      {"remove 1 lp1", kExample, "lp1", 1, nullptr, nullptr, kLines5To8},
      {"remove 2 lp2", kExample, "lp2", 2, nullptr, nullptr, kLines1To4},
      {"remove 3 lp1", kExample, "lp1", 3, nullptr, nullptr, kExample},
  });
  // From the result of "set 2 lp1", removing kind 1 keeps the tags.
  Outcome out = conf(set_2_lp1, "lp1", 1);
  EXPECT_EQ(out.file, "<lp1>\nu_id=" + U2 + "\nu_password=" + P2 + "\n</lp1>\n" + kLines5To8);
}

TEST_F(StoreTest, CredentialEdgeCases) {
  expect_rewrites({
      {"new section goes last", "x\n<lp2>\nid=1\n</lp2>\n", "lp1", 1, "7", "8",
       "x\n<lp2>\nid=1\n</lp2>\n<lp1>\nid=7\npassword=8\n</lp1>\n"},
      {"only the password line: rewritten, id added before the closing tag",
       "<lp1>\npassword=old\nx\n</lp1>\n", "lp1", 1, "7", "8", "<lp1>\npassword=8\nx\nid=7\n</lp1>\n"},
      {"partner added once, not to a second section", "<lp1>\nid=a\n</lp1>\n<lp1>\nid=b\n</lp1>\n",
       "lp1", 1, "7", "8", "<lp1>\nid=7\npassword=8\n</lp1>\n<lp1>\nid=7\n</lp1>\n"},
      {"a key twice: both rewritten", "<lp1>\nid=a\nid=b\n</lp1>\n", "lp1", 1, "7", "8",
       "<lp1>\nid=7\nid=7\npassword=8\n</lp1>\n"},
      {"a key twice: both dropped", "<lp1>\nid=a\nid=b\nu_id=c\n</lp1>\n", "lp1", 1, nullptr, nullptr,
       "<lp1>\nu_id=c\n</lp1>\n"},
      {"keys outside the section stay", "id=out\n<lp2>\nid=2\n</lp2>\n<lp1>\n</lp1>\n", "lp1", 1,
       "7", "8", "id=out\n<lp2>\nid=2\n</lp2>\n<lp1>\nid=7\npassword=8\n</lp1>\n"},
      {"remove from a section with no closing tag", "<lp1>\nid=1\nx\n", "lp1", 1, nullptr, nullptr,
       "x\n"},
      {"keys outside the section stay on remove", "id=out\n<lp2>\nid=2\n</lp2>\n", "lp1", 1,
       nullptr, nullptr, "id=out\n<lp2>\nid=2\n</lp2>\n"},
      {"remove leaves a comment behind", "<lp0>\n</lp0>\n<lp1>\nid=1\n# note\npassword=2\n</lp1>\n<lp2>\n</lp2>\n",
       "lp1", 1, nullptr, nullptr, "<lp0>\n</lp0>\n# note\n<lp2>\n</lp2>\n"},
      {"empty file, set", "", "lp1", 1, "7", "8", "<lp1>\nid=7\npassword=8\n</lp1>\n"},
      {"empty file, remove", "", "lp1", 1, nullptr, nullptr, ""},
      {"bare tags removed whole", "a\n<lp1>\n</lp1>\nb\n", "lp1", 3, nullptr, nullptr, "a\nb\n"},
      {"CR LF and lone CR become LF", "a\r\nb\rc\n", "lp1", 1, nullptr, nullptr, "a\nb\nc\n"},
      {"LF LF merges, CR LF blank stays", "a\n\nb\r\n\r\nc\n", "lp1", 1, nullptr, nullptr, "a\nb\n\nc\n"},
      {"three LF make one blank line", "a\n\n\nb\n", "lp1", 1, nullptr, nullptr, "a\n\nb\n"},
      {"tag in other case is another printer", "<LP1>\nid=1\n</LP1>\n", "lp1", 1, "7", "8",
       "<LP1>\nid=1\n</LP1>\n<lp1>\nid=7\npassword=8\n</lp1>\n"},
      {"tag with trailing blank is ordinary", "<lp1> \nid=1\n</lp1>\n", "lp1", 1, "7", "8",
       "<lp1> \nid=1\nid=7\npassword=8\n</lp1>\n"},
      {"CR LF ended tag is a tag", "<lp1>\r\nid=1\r\n</lp1>\r\n", "lp1", 1, "7", "8",
       "<lp1>\nid=7\npassword=8\n</lp1>\n"},
      {"section twice: pair inserted once", "<lp1>\n</lp1>\n<lp1>\nid=1\n</lp1>\n", "lp1", 1, "7",
       "8", "<lp1>\nid=7\npassword=8\n</lp1>\n<lp1>\nid=7\n</lp1>\n"},
      {"closing tag alone gets the pair", "x\n</lp1>\n", "lp1", 1, "7", "8",
       "x\nid=7\npassword=8\n</lp1>\n"},
      {"other printer's tags inside the section", "<lp1>\n<lp2>\nid=1\n</lp2>\n</lp1>\n", "lp1", 1,
       "7", "8", "<lp1>\n<lp2>\nid=7\n</lp2>\npassword=8\n</lp1>\n"},
      {"empty value", "", "lp1", 1, "7", "", "<lp1>\nid=7\npassword=\n</lp1>\n"},
      {"last line without a break is kept", "<lp2>\n</lp2>\ntail", "lp1", 1, nullptr, nullptr,
       "<lp2>\n</lp2>\ntail\n"},
      {"zero bytes after the last break add nothing", "a\n\0\0"s, "lp1", 1, nullptr, nullptr, "a\n"},
      {"long line copied whole", std::string(1500, 'L') + "\n", "lp1", 1, nullptr, nullptr,
       std::string(1500, 'L') + "\n"},
  });
}

TEST_F(StoreTest, NewCredentialFileHoldsOneSectionWithMode0600) {
  Outcome out = conf(std::nullopt, "lp1", 2, "alice", "pw");
  EXPECT_EQ(out.result, 0);
  EXPECT_EQ(out.file, "<lp1>\nu_id=" + U + "\nu_password=" + P + "\n</lp1>\n");
  EXPECT_EQ(file_mode(account_path(kConf)), 0600u);

  // The new file takes 0600 whatever the old one had.
  write_file(account_path(kConf), "x\n", 0644);
  ASSERT_EQ(save_account_conf("lp1", "alice", "1", "2", 0, 1), 0);
  EXPECT_EQ(file_mode(account_path(kConf)), 0600u);

  // Root's credentials are filed under "root".
  ASSERT_EQ(save_account_conf("lp1", nullptr, "1", "2", 0, 1), 0);
  EXPECT_EQ(read_file(account_path("root.conf")), "<lp1>\nid=1\npassword=2\n</lp1>\n");
}

TEST_F(StoreTest, RefusedUpdatesTouchNothing) {
  struct Case {
    const char* what;
    std::optional<std::string> old;
    const char* printer;
    int kind;
    const char* id;
    const char* password;
    StoreStep step;
  } cases[] = {
      {"remove without a file", std::nullopt, "lp1", 2, nullptr, nullptr, StoreStep::kNothingToRemove},
      {"null printer", "x\n", nullptr, 1, "1", "2", StoreStep::kArguments},
      {"kind out of range", "x\n", "lp1", 4, "1", "2", StoreStep::kArguments},
      {"line break in a typed ID", "x\n", "lp1", 1, "12\r", "2", StoreStep::kArguments},
      {"line break in a printer name", "x\n", "lp\n1", 1, "1", "2", StoreStep::kArguments},
      {"a tag over 510 bytes", "x\n", nullptr, 1, "1", "2", StoreStep::kLineTooLong},
      {"set into a section with no closing tag", "<lp1>\nid=1\n", "lp1", 1, "7", "8",
       StoreStep::kUnclosedSection},
      {"a second section with no closing tag", "<lp1>\n</lp1>\n<lp1>\n", "lp1", 2, "7", "8",
       StoreStep::kUnclosedSection},
  };
  const std::string long_name(520, 'p');
  for (Case& c : cases) {
    if (c.step == StoreStep::kLineTooLong) c.printer = long_name.c_str();
    Outcome out = conf(c.old, c.printer, c.kind, c.id, c.password);
    EXPECT_EQ(out.result, 1) << c.what;
    EXPECT_EQ(out.step, c.step) << c.what;
    EXPECT_EQ(out.file, c.old) << c.what;
  }
}

TEST_F(StoreTest, ExistingReplacementFileBlocksEveryUpdateAndStays) {
  write_file(account_path(kConf), kExample);
  write_file(account_path(kNew), "someone else's\n");
  write_file(account_path("status"), "<lp1>ON</lp1>\n", 0644);
  write_file(account_path("status.new"), "in progress\n", 0644);
  StoreError error;
  EXPECT_EQ(save_account_conf("lp1", "alice", "1", "2", 0, 1, &error), 1);
  EXPECT_EQ(error.step, StoreStep::kCreate);
  EXPECT_EQ(error.error, EEXIST);
  EXPECT_EQ(error.path, account_path(kNew));
  EXPECT_EQ(save_account_conf("lp1", "alice", nullptr, nullptr, 1, 1), 1);
  EXPECT_EQ(save_account_status("lp1", 2, &error), 1);
  EXPECT_EQ(error.path, account_path("status.new"));
  EXPECT_EQ(read_file(account_path(kConf)), kExample);
  EXPECT_EQ(read_file(account_path(kNew)), "someone else's\n");
  EXPECT_EQ(read_file(account_path("status")), "<lp1>ON</lp1>\n");
  EXPECT_EQ(read_file(account_path("status.new")), "in progress\n");
}

TEST_F(StoreTest, CutPathsAreNeverUsed) {
  const std::size_t room = kMaxPathBytes - account_directory().size() - 1;
  for (std::size_t length : {room - 8, room - 5, room, room + 20}) {
    reset_account_dir();
    std::string owner(length, 'o');
    StoreError error;
    EXPECT_EQ(save_account_conf("lp1", owner.c_str(), "1", "2", 0, 1, &error), 1) << length;
    EXPECT_EQ(error.step, StoreStep::kPathTooLong);
    EXPECT_EQ(error.error, ENAMETOOLONG);
  }
  EXPECT_TRUE(account_dir_entries().empty());  // nothing was created
}

TEST_F(StoreTest, OldFilesThatCannotBeReadAreNotReplaced) {
  // A link is refused rather than followed.
  write_file(account_path("target"), "secret\n");
  ASSERT_EQ(symlink("target", account_path(kConf).c_str()), 0);
  StoreError error;
  EXPECT_EQ(save_account_conf("lp1", "alice", "1", "2", 0, 1, &error), 1);
  EXPECT_EQ(error.step, StoreStep::kNotRegularFile);
  ASSERT_EQ(symlink("target", account_path("status").c_str()), 0);
  EXPECT_EQ(save_account_status("lp1", 1, &error), 1);
  EXPECT_EQ(error.step, StoreStep::kNotRegularFile);
  EXPECT_FALSE(file_exists(account_path(kNew)));
  EXPECT_FALSE(file_exists(account_path("status.new")));

  // A file its owner may not read: run the update without root's override.
  reset_account_dir();
  write_file(account_path(kConf), kExample, 0000);
  write_file(account_path("status"), "<lp1>ON</lp1>\n", 0000);
  chmod(TEST_ACCOUNT_DIR, 01777);
  if (getuid() == 0) {  // the files are the child's own
    ASSERT_EQ(chown(account_path(kConf).c_str(), 65534, 65534), 0);
    ASSERT_EQ(chown(account_path("status").c_str(), 65534, 65534), 0);
  }
  pid_t child = fork();
  if (child == 0) {
    if (getuid() == 0 && (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0)) _exit(99);
    StoreError e1, e2;
    int a = save_account_conf("lp1", "alice", "1", "2", 0, 1, &e1);
    int b = save_account_status("lp1", 1, &e2);
    bool ok = a == 1 && e1.step == StoreStep::kOpen && e1.error == EACCES && b == 1 &&
              e2.step == StoreStep::kOpen && e2.error == EACCES;
    _exit(ok ? 0 : 1);
  }
  int wstatus = 0;
  waitpid(child, &wstatus, 0);
  EXPECT_TRUE(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0) << wstatus;
  chmod(account_path(kConf).c_str(), 0600);
  EXPECT_EQ(read_file(account_path(kConf)), kExample);
  EXPECT_FALSE(file_exists(account_path(kNew)));
  EXPECT_FALSE(file_exists(account_path("status.new")));
}

TEST_F(StoreTest, StatusWorkedExamplesAndEdgeCases) {
  struct Case {
    const char* what;
    std::optional<std::string> old;
    const char* printer;
    int kind;
    std::string result;
  } cases[] = {
      {"-eu lp2", "<lp1>ON</lp1>\n<lp2>OFF</lp2>\n", "lp2", 2, "<lp1>ON</lp1>\n<lp2>U_ON</lp2>\n"},
      {"no file", std::nullopt, "lp1", 0, "<lp1>OFF</lp1>\n"},
      {"lower case is not a status line", "<lp1>on</lp1>\n", "lp1", 0,
       "<lp1>on</lp1>\n<lp1>OFF</lp1>\n"},
      {"every status line replaced", "<lp1>ON</lp1>\nlp1 ON\n<lp1>U_ON</lp1>\n", "lp1", 0,
       "<lp1>OFF</lp1>\nlp1 ON\n<lp1>OFF</lp1>\n"},
      {"prefix printer name", "<lp10>ON</lp10>\n", "lp1", 0, "<lp10>ON</lp10>\n<lp1>OFF</lp1>\n"},
      {"lp never matches lp1", "<lp1>ON</lp1>\n", "lp", 1, "<lp1>ON</lp1>\n<lp>ON</lp>\n"},
      {"same value rewrites the same", "<lp1>ON</lp1>\r\n", "lp1", 1, "<lp1>ON</lp1>\n"},
      {"kind 1 is ON", "", "lp1", 1, "<lp1>ON</lp1>\n"},
      {"other kinds are OFF", "", "lp1", 7, "<lp1>OFF</lp1>\n"},
      {"endings normalised", "a\r\nb\rc\n\rd\n\ne\r\n\r\nf", "lp1", 1,
       "a\nb\nc\nd\ne\n\nf\n<lp1>ON</lp1>\n"},
      {"bare tag and odd lines copied", "<lp1>\nx<lp1>ON</lp1>\n<lp1>ON</lp1> \n", "lp1", 2,
       "<lp1>\nx<lp1>ON</lp1>\n<lp1>ON</lp1> \n<lp1>U_ON</lp1>\n"},
      {"long line copied whole", std::string(700, 's') + "\n<lp1>ON</lp1>\n", "lp1", 2,
       std::string(700, 's') + "\n<lp1>U_ON</lp1>\n"},
  };
  for (const Case& c : cases) {
    Outcome out = status(c.old, c.printer, c.kind);
    EXPECT_EQ(out.result, 0) << c.what;
    EXPECT_EQ(out.file, c.result) << c.what;
  }
}

TEST_F(StoreTest, StatusFileIsReadableByAllWhateverTheUmask) {
  write_file(account_path("status"), "<lp1>ON</lp1>\n", 0600);
  for (mode_t mask : {022, 077, 0777}) {
    mode_t old = umask(mask);
    int result = save_account_status("lp1", 1);
    umask(old);
    ASSERT_EQ(result, 0) << mask;
    EXPECT_EQ(file_mode(account_path("status")), 0644u) << mask;
  }

  std::string long_name(510, 'n');
  StoreError error;
  EXPECT_EQ(save_account_status(long_name.c_str(), 1, &error), 1);
  EXPECT_EQ(error.step, StoreStep::kLineTooLong);
  EXPECT_EQ(read_file(account_path("status")), "<lp1>ON</lp1>\n");
}

}  // namespace
