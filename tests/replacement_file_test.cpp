// SPDX-License-Identifier: Apache-2.0
// The replacement file: whole writes, and the lock another run's file holds
// over every update of its file.
#include "replacement_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <csignal>
#include <optional>
#include <string>
#include <vector>

#include "leftover.h"
#include "test_support.h"

namespace {

// Every byte is written, however large, and a failure is reported.
TEST(ReplacementFile, WritesEverythingOrReportsTheFailure) {
  reset_account_dir();
  StoreError error;
  std::optional<AccountDirectory> dir;
  ASSERT_TRUE(AccountDirectory::open(getuid(), &dir, error));
  const std::string big(200000, 'z');
  {
    ReplacementFile out(*dir, kConf, getuid(), error);
    ASSERT_TRUE(out.create(0600));
    EXPECT_TRUE(out.write("one\n"));
    EXPECT_TRUE(out.write(big));
    EXPECT_TRUE(out.commit());
  }
  EXPECT_EQ(read_file(account_path(kConf)), "one\n" + big);
  {
    ReplacementFile out(*dir, kConf, getuid(), error);
    ASSERT_TRUE(out.create(0600));
    // The file system is full: the write fails and says so; nothing changes.
    // Only the soft limit is lowered: the hard one could not be raised back.
    struct rlimit saved {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct rlimit small = saved;
    small.rlim_cur = 8;
    signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    EXPECT_FALSE(out.write(big));
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
    signal(SIGXFSZ, SIG_DFL);
    struct rlimit restored {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &restored), 0);
    EXPECT_EQ(restored.rlim_cur, saved.rlim_cur);
    EXPECT_EQ(restored.rlim_max, saved.rlim_max);
    EXPECT_EQ(error.step, StoreStep::kWrite);
    EXPECT_EQ(error.error, EFBIG);
    EXPECT_EQ(error.path, account_path(kNew));
  }
  EXPECT_EQ(read_file(account_path(kConf)), "one\n" + big);
  EXPECT_FALSE(file_exists(account_path(kNew)));
}

// A replacement file found under the name: a live run's (its write lock
// held), someone else's, or the caller's own leftover, which is removed and
// made afresh: nothing written reaches a descriptor opened on it before, and
// no lock a reader can take makes it look held.
TEST(ReplacementFile, OnlyTheCallersOwnLeftoverIsTakenOver) {
  enum Lock { kNone, kReader, kWriter };
  struct Case {
    const char* what;
    mode_t mode;
    Lock lock;
    uid_t owner;                   // 0: the caller (the tests run as root, or as its owner)
    std::optional<Holder> holder;  // what find_holder says
    bool taken;
  } cases[] = {
      {"a leftover of the caller's", 0600, kNone, 0, Holder::kInterrupted, true},
      {"one a live run holds", 0600, kWriter, 0, Holder::kRunning, false},
      {"one others could have written", 0620, kNone, 0, Holder::kInterrupted, true},
      {"someone else's", 0600, kNone, 65534, Holder::kUnknown, false},
      {"a readable one a reader holds locks on", 0644, kReader, 0, Holder::kInterrupted, true},
      {"one others may write, write-locked", 0666, kWriter, 0, Holder::kInterrupted, true},
  };
  for (const Case& c : cases) {
    if (c.owner != 0 && getuid() != 0) continue;  // only root can plant another's file
    reset_account_dir();
    write_file(account_path(kConf), kContent);
    write_file(account_path(kNew), "half written\n", c.mode);
    if (c.owner != 0) {
      ASSERT_EQ(chown(account_path(kNew).c_str(), c.owner, c.owner), 0);
    }
    int held = open(account_path(kNew).c_str(), c.lock == kWriter ? O_RDWR : O_RDONLY);
    struct flock lock {};
    lock.l_type = c.lock == kWriter ? F_WRLCK : F_RDLCK;
    if (c.lock != kNone) {
      ASSERT_EQ(fcntl(held, F_OFD_SETLK, &lock), 0);
      ASSERT_EQ(flock(held, c.lock == kReader ? LOCK_SH : LOCK_EX), 0);
    }

    StoreError error;
    std::optional<AccountDirectory> dir;
    ASSERT_TRUE(AccountDirectory::open(getuid(), &dir, error)) << c.what;
    uid_t owner = 1;
    EXPECT_EQ(find_holder(*dir, kNew, getuid(), &owner), c.holder) << c.what;
    EXPECT_EQ(owner, c.owner == 0 ? getuid() : c.owner) << c.what;
    {
      ReplacementFile out(*dir, kConf, getuid(), error);
      EXPECT_EQ(out.create(0600), c.taken) << c.what;
      EXPECT_EQ(out.recovered(), c.taken ? account_path(kNew) : "") << c.what;
      if (c.taken) {
        EXPECT_TRUE(out.write("new\n"));
        EXPECT_TRUE(out.commit());
      } else {
        EXPECT_EQ(error.step, StoreStep::kCreate) << c.what;
        EXPECT_EQ(error.error, EEXIST) << c.what;
        EXPECT_EQ(error.holder, c.holder.value_or(Holder::kUnknown)) << c.what;
      }
    }
    char seen[32] = {};
    EXPECT_EQ(pread(held, seen, sizeof seen, 0), 13) << c.what;  // "half written\n", nothing new
    close(held);
    EXPECT_EQ(read_file(account_path(kConf)), c.taken ? "new\n" : kContent) << c.what;
    EXPECT_EQ(read_file(account_path(kNew)),
              c.taken ? std::nullopt : std::optional<std::string>("half written\n"))
        << c.what;
  }
}

// Locked from its first instant, and 0600 until its rename.
TEST(ReplacementFile, IsLockedAndPrivateUntilCommitted) {
  reset_account_dir();
  StoreError error;
  std::optional<AccountDirectory> dir;
  ASSERT_TRUE(AccountDirectory::open(getuid(), &dir, error));
  ReplacementFile out(*dir, "status", getuid(), error);
  ASSERT_TRUE(out.create(0644));
  uid_t owner = 1;
  EXPECT_EQ(find_holder(*dir, "status.new", getuid(), &owner), Holder::kRunning);
  EXPECT_EQ(file_mode(account_path("status.new")), 0600u);
  ASSERT_TRUE(out.write("<lp1>ON</lp1>\n"));
  ASSERT_TRUE(out.commit());
  EXPECT_EQ(file_mode(account_path("status")), 0644u);
  EXPECT_FALSE(file_exists(account_path("status.new")));
}

// A signal ignored when the run began stays ignored while the file is held;
// once it is committed, one that ends the run does so, as if never caught.
TEST(ReplacementFile, SignalsTakeTheirCourseOutsideTheFilesLife) {
  const std::string style = GTEST_FLAG_GET(death_test_style);
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process: nothing caught yet
  reset_account_dir();
  StoreError error;
  std::optional<AccountDirectory> dir;
  ASSERT_TRUE(AccountDirectory::open(getuid(), &dir, error));
  EXPECT_EXIT(
      {
        signal(SIGHUP, SIG_IGN);
        ReplacementFile out(*dir, kConf, getuid(), error);
        if (!out.create(0600) || !out.write("new\n")) _exit(2);
        raise(SIGHUP);
        if (!out.commit()) _exit(3);
        raise(SIGUSR1);
        _exit(4);
      },
      testing::KilledBySignal(SIGUSR1), "");
  GTEST_FLAG_SET(death_test_style, style);
  EXPECT_EQ(read_file(account_path(kConf)), "new\n");
}

}  // namespace
