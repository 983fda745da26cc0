// SPDX-License-Identifier: Apache-2.0
// The replacement file: durable writes, and the lock another run's file
// holds over every update of its file.
#include <fcntl.h>
#include <gtest/gtest.h>
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

TEST(ReplacementFile, OneThatExistsBlocksEveryUpdateAndStays) {
  reset_account_dir();
  write_file(account_path(kConf), kContent);
  write_file(account_path(kNew), "someone else's\n");
  write_file(account_path("status"), "<lp1>ON</lp1>\n", 0644);
  write_file(account_path("status.new"), "in progress\n", 0644);
  StoreError error;
  EXPECT_EQ(save_account_conf("lp1", "alice", "1", "2", false, kJob, &error), UpdateOutcome::kRefused);
  EXPECT_EQ(error.step, StoreStep::kCreate);
  EXPECT_EQ(error.error, EEXIST);
  EXPECT_EQ(error.path, account_path(kNew));
  EXPECT_EQ(save_account_conf("lp1", "alice", nullptr, nullptr, true, kJob), UpdateOutcome::kRefused);
  EXPECT_EQ(save_account_status("lp1", kUser, &error), UpdateOutcome::kRefused);
  EXPECT_EQ(error.path, account_path("status.new"));
  EXPECT_EQ(read_file(account_path(kConf)), kContent);
  EXPECT_EQ(read_file(account_path(kNew)), "someone else's\n");
  EXPECT_EQ(read_file(account_path("status")), "<lp1>ON</lp1>\n");
  EXPECT_EQ(read_file(account_path("status.new")), "in progress\n");
}

}  // namespace
