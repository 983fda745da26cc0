// SPDX-License-Identifier: Apache-2.0
// The account directory: the paths of its files, and the old files an
// update refuses to adopt.
#include "account_directory.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "store_support.h"
#include "test_support.h"

namespace {

// ---- Names ------------------------------------------------------------------

TEST(CredentialFileName, IsUserDotConfAndNeverCut) {
  reset_account_dir();
  const std::string prefix = std::string(account_directory()) + "/";
  EXPECT_EQ(prefix, test_dir() + "/account/");  // the test's own
  // Room for the user's name and ".conf.new" within 255 bytes.
  const std::size_t room = kMaxPathBytes - prefix.size() - std::string(".conf.new").size();
  const std::string longest(room, 'u'), longer(room + 1, 'u');
  struct Case {
    const char* user;
    std::optional<std::string> name;
  } cases[] = {
      {nullptr, "root.conf"},
      {"alice", "alice.conf"},
      {"", ".conf"},
      {longest.c_str(), longest + ".conf"},
      {longer.c_str(), std::nullopt},
  };
  for (const Case& c : cases) {
    StoreError error;
    std::string name;
    const bool named = credential_file_name(c.user, &name, error);
    EXPECT_EQ(named ? std::optional(name) : std::nullopt, c.name) << (c.user ? c.user : "(root)");
    EXPECT_EQ(error.step, c.name ? StoreStep::kNone : StoreStep::kPathTooLong);
    if (!c.name) {
      EXPECT_EQ(error.path, (prefix + longer + ".conf").substr(0, kMaxPathBytes));
    }
  }
}

TEST(OldFiles, ThoseThatCannotBeReadAreNotReplaced) {
  reset_account_dir();
  // A link is refused rather than followed.
  write_file(account_path("target"), "secret\n");
  ASSERT_EQ(symlink("target", account_path(kConf).c_str()), 0);
  StoreRun run = store_credentials("alice", "lp1", kJob, "1", "2");
  EXPECT_FALSE(run.done);
  EXPECT_EQ(run.error.step, StoreStep::kNotRegularFile);
  ASSERT_EQ(symlink("target", account_path("status").c_str()), 0);
  run = store_status("lp1", kJobOn);
  EXPECT_FALSE(run.done);
  EXPECT_EQ(run.error.step, StoreStep::kNotRegularFile);
  EXPECT_FALSE(file_exists(account_path(kNew)));
  EXPECT_FALSE(file_exists(account_path("status.new")));
  // A FIFO is refused, not waited on.
  reset_account_dir();
  ASSERT_EQ(mkfifo(account_path(kConf).c_str(), 0600), 0);
  EXPECT_EQ(store_credentials("alice", "lp1", kJob, "1", "2").error.step,
            StoreStep::kNotRegularFile);

  // A file its owner may not read: run the update without root's override.
  // (A status file that is not public is refused before it is opened.)
  reset_account_dir();
  write_file(account_path(kConf), kContent, 0000);
  write_file(account_path("status"), "<lp1>ON</lp1>\n", 0000);
  chmod(test_account_dir().c_str(), 01777);
  if (getuid() == 0) {  // the credential file is the child's own
    ASSERT_EQ(chown(account_path(kConf).c_str(), 65534, 65534), 0);
  }
  pid_t child = fork();
  if (child == 0) {
    if (getuid() == 0 &&
        (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0))
      _exit(99);
    StoreRun a = store_credentials("alice", "lp1", kJob, "1", "2");
    StoreRun b = store_status("lp1", kJobOn);  // root's, which nobody may read
    bool ok = !a.done && a.error.step == StoreStep::kOpen && a.error.error == EACCES && !b.done &&
              b.error.step == StoreStep::kNotReadableByAll;
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
