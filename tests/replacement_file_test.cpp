// SPDX-License-Identifier: Apache-2.0
// The replacement file: durable writes, and the lock another run's file
// holds over every update of its file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "credential_file.h"
#include "replacement_file.h"
#include "status_file.h"
#include "test_support.h"

namespace {

const std::string kConf = "alice.conf";
const std::string kNew = "alice.conf.new";
const std::string kContent = "<lp1>\nid=1111\npassword=2222\n</lp1>\n";

TEST(FileWrite, WritesEverythingOrReportsTheFailure) {
  reset_account_dir();
  std::string path = account_path("out");
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  std::string big(200000, 'z');
  EXPECT_TRUE(file_write(fd, "one\n", 4));
  EXPECT_TRUE(file_write(fd, big.data(), big.size()));
  close(fd);
  EXPECT_EQ(read_file(path), "one\n" + big);

  fd = open(path.c_str(), O_RDONLY);  // the write fails
  errno = 0;
  EXPECT_FALSE(file_write(fd, "x\n", 2));
  EXPECT_EQ(errno, EBADF);
  close(fd);

  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);  // fsync fails on a pipe
  errno = 0;
  EXPECT_FALSE(file_write(pipe_fds[1], "x\n", 2));
  EXPECT_EQ(errno, EINVAL);
  close(pipe_fds[0]);
  close(pipe_fds[1]);
}

// A replacement file found under the name: a live run's (its lock held),
// someone else's, or the caller's own leftover, which is taken over.
TEST(ReplacementFile, OnlyTheCallersOwnLeftoverIsTakenOver) {
  struct Case {
    const char* what;
    mode_t mode;
    bool locked;     // a live run holds it
    uid_t owner;     // 0: the caller (the tests run as root, or as its owner)
    std::optional<Holder> holder;  // what find_holder says
    bool taken;
  } cases[] = {
      {"a leftover of the caller's", 0600, false, 0, Holder::kInterrupted, true},
      {"one a live run holds", 0600, true, 0, Holder::kRunning, false},
      {"one others could have written", 0620, false, 0, Holder::kUnknown, false},
      {"someone else's", 0600, false, 65534, Holder::kUnknown, false},
  };
  for (const Case& c : cases) {
    if (c.owner != 0 && getuid() != 0) continue;  // only root can plant another's file
    reset_account_dir();
    write_file(account_path(kConf), kContent);
    write_file(account_path(kNew), "half written\n", c.mode);
    if (c.owner != 0) {
      ASSERT_EQ(chown(account_path(kNew).c_str(), c.owner, c.owner), 0);
    }
    int held = open(account_path(kNew).c_str(), O_RDONLY);
    if (c.locked) {
      ASSERT_EQ(flock(held, LOCK_EX), 0);
    }

    StoreError error;
    std::optional<AccountDirectory> dir = AccountDirectory::open(&error);
    ASSERT_TRUE(dir) << c.what;
    uid_t owner = 1;
    EXPECT_EQ(find_holder(*dir, kNew, &owner), c.holder) << c.what;
    EXPECT_EQ(owner, c.owner == 0 ? getuid() : c.owner) << c.what;
    {
      ReplacementFile out(*dir, kNew, kConf, &error);
      EXPECT_EQ(out.create(0600), c.taken) << c.what;
      EXPECT_EQ(out.recovered(), c.taken ? account_path(kNew) : "") << c.what;
      if (c.taken) {
        EXPECT_TRUE(out.write("new\n", 4));
        EXPECT_TRUE(out.commit());
      } else {
        EXPECT_EQ(error.step, StoreStep::kCreate) << c.what;
        EXPECT_EQ(error.error, EEXIST) << c.what;
        EXPECT_EQ(error.holder, c.holder.value_or(Holder::kUnknown)) << c.what;
      }
    }
    close(held);
    EXPECT_EQ(read_file(account_path(kConf)), c.taken ? "new\n" : kContent) << c.what;
    EXPECT_EQ(read_file(account_path(kNew)), c.taken ? std::nullopt : std::optional<std::string>("half written\n"))
        << c.what;
  }
}

// Locked from its first instant, and 0600 until its rename.
TEST(ReplacementFile, IsLockedAndPrivateUntilCommitted) {
  reset_account_dir();
  StoreError error;
  std::optional<AccountDirectory> dir = AccountDirectory::open(&error);
  ASSERT_TRUE(dir);
  ReplacementFile out(*dir, "status.new", "status", &error);
  ASSERT_TRUE(out.create(0644));
  uid_t owner = 1;
  EXPECT_EQ(find_holder(*dir, "status.new", &owner), Holder::kRunning);
  EXPECT_EQ(file_mode(account_path("status.new")), 0600u);
  ASSERT_TRUE(out.write("<lp1>ON</lp1>\n", 14));
  ASSERT_TRUE(out.commit());
  EXPECT_EQ(file_mode(account_path("status")), 0644u);
  EXPECT_FALSE(file_exists(account_path("status.new")));
}

}  // namespace
