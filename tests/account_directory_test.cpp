// SPDX-License-Identifier: Apache-2.0
// The account directory: the paths of its files, and the old files an
// update refuses to adopt.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "account_directory.h"
#include "credential_file.h"
#include "status_file.h"
#include "test_support.h"

namespace {

const std::string kConf = "alice.conf";
const std::string kNew = "alice.conf.new";
const std::string kContent = "<lp1>\nid=1111\npassword=2222\n</lp1>\n";

// ---- make_file_path ---------------------------------------------------------

TEST(MakeFilePath, BuildsTheFourPaths) {
  const std::string dir(account_directory());
  EXPECT_EQ(dir, TEST_ACCOUNT_DIR);
  struct Case {
    PathForm form;
    const char* owner;
    const char* suffix;
    std::string path;
  } cases[] = {
      {PathForm::kOwner, nullptr, ".conf", dir + "/root.conf"},
      {PathForm::kOwner, "alice", ".conf.new", dir + "/alice.conf.new"},
      {PathForm::kOwner, "", ".conf", dir + "/.conf"},
      {PathForm::kShared, nullptr, "status", dir + "/status"},
      {PathForm::kShared, "alice", "status.new", dir + "/status.new"},
  };
  for (const Case& c : cases) {
    bool cut = true;
    EXPECT_EQ(make_file_path(c.form, c.owner, c.suffix, &cut), c.path);
    EXPECT_FALSE(cut) << c.path;
  }
}

TEST(MakeFilePath, CutsAt255BytesAndSaysSo) {
  const std::string prefix = std::string(account_directory()) + "/";
  const std::size_t room = kMaxPathBytes - prefix.size();  // 234 for the installed directory
  struct Case {
    std::size_t owner_length;
    const char* suffix;
    std::string kept_suffix;
    bool cut;
  } cases[] = {
      {room - 9, ".conf.new", ".conf.new", false},  // fits exactly
      {room - 8, ".conf.new", ".conf.ne", true},
      {room - 5, ".conf.new", ".conf", true},  // same string as the ".conf" path
      {room - 5, ".conf", ".conf", false},
      {room - 4, ".conf", ".con", true},
      {room, ".conf", "", true},  // no suffix at all
      {room, ".conf.new", "", true},
  };
  for (const Case& c : cases) {
    std::string owner(c.owner_length, 'u');
    bool cut = !c.cut;
    auto path = make_file_path(PathForm::kOwner, owner.c_str(), c.suffix, &cut);
    EXPECT_EQ(path, prefix + owner + c.kept_suffix) << c.owner_length << c.suffix;
    EXPECT_EQ(cut, c.cut) << c.owner_length << c.suffix;
  }
  std::string longer(room + 40, 'v');
  EXPECT_EQ(make_file_path(PathForm::kOwner, longer.c_str(), ".conf")->size(), kMaxPathBytes);
}

TEST(OldFiles, ThoseThatCannotBeReadAreNotReplaced) {
  reset_account_dir();
  // A link is refused rather than followed.
  write_file(account_path("target"), "secret\n");
  ASSERT_EQ(symlink("target", account_path(kConf).c_str()), 0);
  StoreError error;
  EXPECT_EQ(save_account_conf("lp1", "alice", "1", "2", false, kJob, &error), UpdateOutcome::kRefused);
  EXPECT_EQ(error.step, StoreStep::kNotRegularFile);
  ASSERT_EQ(symlink("target", account_path("status").c_str()), 0);
  EXPECT_EQ(save_account_status("lp1", kJob, &error), UpdateOutcome::kRefused);
  EXPECT_EQ(error.step, StoreStep::kNotRegularFile);
  EXPECT_FALSE(file_exists(account_path(kNew)));
  EXPECT_FALSE(file_exists(account_path("status.new")));

  // A file its owner may not read: run the update without root's override.
  // (A status file that is not public is refused before it is opened.)
  reset_account_dir();
  write_file(account_path(kConf), kContent, 0000);
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
    UpdateOutcome a = save_account_conf("lp1", "alice", "1", "2", false, kJob, &e1);
    UpdateOutcome b = save_account_status("lp1", kJob, &e2);
    bool ok = a == UpdateOutcome::kRefused && e1.step == StoreStep::kOpen && e1.error == EACCES &&
              b == UpdateOutcome::kRefused &&
              e2.step == StoreStep::kNotReadableByAll;
    _exit(ok ? 0 : 1);
  }
  int wstatus = 0;
  waitpid(child, &wstatus, 0);
  EXPECT_TRUE(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0) << wstatus;
  chmod(account_path(kConf).c_str(), 0600);
  EXPECT_EQ(read_file(account_path(kConf)), kContent);
  EXPECT_FALSE(file_exists(account_path(kNew)));
  EXPECT_FALSE(file_exists(account_path("status.new")));
}

}  // namespace
