// SPDX-License-Identifier: Apache-2.0
// The store: what an update leaves on disk, the updates it refuses, and the
// files it leaves as they are.
#include "account_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "credential_file.h"
#include "store_support.h"
#include "test_support.h"

namespace {

const std::string U = base64("alice"), P = base64("pw");

class AccountStoreTest : public testing::Test {
 protected:
  void SetUp() override { reset_account_dir(); }
};

TEST_F(AccountStoreTest, NewFileHoldsOneSectionWithMode0600) {
  StoreRun run = store_credentials("alice", "lp1", kUser, "alice", "pw");
  EXPECT_TRUE(run.done);
  EXPECT_EQ(read_file(account_path(kConf)),
            "<lp1>\nu_id=" + U + "\nu_password=" + P + "\n</lp1>\n");
  EXPECT_EQ(file_mode(account_path(kConf)), 0600u);

  // The new file takes 0600 whatever the old one had.
  write_file(account_path(kConf), "x\n", 0644);
  ASSERT_TRUE(store_credentials("alice", "lp1", kJob, "1", "2").done);
  EXPECT_EQ(file_mode(account_path(kConf)), 0600u);

  // Root's credentials are filed under "root".
  ASSERT_TRUE(store_credentials(nullptr, "lp1", kJob, "1", "2").done);
  EXPECT_EQ(read_file(account_path("root.conf")), "<lp1>\nid=1\npassword=2\n</lp1>\n");
}

// Written from the model's own bytes in a few pieces, or copied whole when
// its lines make more (here, when CR LF ends each).
TEST_F(AccountStoreTest, AnEditIsWrittenWholeHoweverTheLinesEnd) {
  for (const std::string end : {"\n", "\r\n"}) {
    std::string old, left;
    for (int i = 0; i < 100; ++i) {
      old += "x" + std::to_string(i) + end;
      left += "x" + std::to_string(i) + "\n";
    }
    write_file(account_path(kConf), old + "<lp1>" + end + "id=1" + end + "</lp1>" + end + old);
    ASSERT_TRUE(store_credentials("alice", "lp1", kJob, "7", "8").done);
    EXPECT_EQ(read_file(account_path(kConf)), left + "<lp1>\nid=7\npassword=8\n</lp1>\n" + left);
  }
}

TEST_F(AccountStoreTest, UpdatesNotDoneTouchNothing) {
  struct Case {
    const char* what;
    std::optional<std::string> old;
    const char* queue;
    std::optional<CredentialKind> kind;
    const char* id;
    const char* password;
    StoreStep step;
    bool done = false;
  } cases[] = {
      {"remove without a file", std::nullopt, "lp1", kUser, nullptr, nullptr, StoreStep::kNone,
       true},
      {"null queue", "x\n", nullptr, kJob, "1", "2", StoreStep::kArguments},
      {"no kind", "x\n", "lp1", kNoKind, "1", "2", StoreStep::kArguments},
      {"line break in a typed ID", "x\n", "lp1", kJob, "12\r", "2", StoreStep::kArguments},
      {"line break in a queue name", "x\n", "lp\n1", kJob, "1", "2", StoreStep::kArguments},
      {"a tag over 510 bytes", "x\n", nullptr, kJob, "1", "2", StoreStep::kLineTooLong},
      {"set into a section with no closing tag", "<lp1>\nid=1\n", "lp1", kJob, "7", "8",
       StoreStep::kDamagedSection},
      {"a file that would grow past the bound", std::string(kMaxFileBytes - 16, '#') + "\n", "lp1",
       kJob, "1", "2", StoreStep::kWouldBeTooLarge},
      {"a second section with no closing tag", "<lp1>\n</lp1>\n<lp1>\n", "lp1", kUser, "7", "8",
       StoreStep::kDamagedSection},
  };
  const std::string long_name(520, 'p');
  for (Case& c : cases) {
    if (c.step == StoreStep::kLineTooLong) c.queue = long_name.c_str();
    reset_account_dir();
    if (c.old) write_file(account_path(kConf), *c.old);
    StoreRun run = store_credentials("alice", c.queue, c.kind, c.id, c.password);
    EXPECT_EQ(run.done, c.done) << c.what;
    EXPECT_FALSE(run.written) << c.what;
    EXPECT_EQ(run.error.step, c.step) << c.what;
    EXPECT_EQ(read_file(account_path(kConf)), c.old) << c.what;
    EXPECT_FALSE(file_exists(account_path(kNew))) << c.what;
  }
}

// An update is committed once: a second commit, or an edit after it, would
// act on a model the first may have left read again or half made.
TEST_F(AccountStoreTest, AnUpdateIsCommittedOnce) {
  const Caller caller = caller_filing_under("alice");
  StoreResult<AccountStore> store = AccountStore::open(caller);
  ASSERT_TRUE(store.ok());
  CredentialChange change;
  StoreError error;
  ASSERT_TRUE(make_change("lp1", kJob, CredentialEdit::kSet, "1", "2", &change, error));
  StoreResult<AccountUpdate> update = store->begin(*store->own_file(), UpdateWhen::kBytesDiffer);
  ASSERT_TRUE(update.ok() && update->apply({std::move(change)}).ok());
  EXPECT_TRUE(update->commit(Commit::kWrite).ok());
  EXPECT_FALSE(update->commit(Commit::kWrite).ok());
  EXPECT_FALSE(update->apply({StatusClear{"lp1"}}).ok());
  EXPECT_EQ(read_file(account_path(kConf)), "<lp1>\nid=1\npassword=2\n</lp1>\n");
}

TEST_F(AccountStoreTest, CutPathsAreNeverUsed) {
  const std::size_t room = kMaxPathBytes - account_directory().size() - 1;
  for (std::size_t length : {room - 8, room - 5, room, room + 20}) {
    reset_account_dir();
    std::string owner(length, 'o');
    StoreRun run = store_credentials(owner.c_str(), "lp1", kJob, "1", "2");
    EXPECT_FALSE(run.done) << length;
    EXPECT_EQ(run.error.step, StoreStep::kPathTooLong);
    EXPECT_EQ(run.error.error, ENAMETOOLONG);
  }
  EXPECT_TRUE(account_dir_entries().empty());  // nothing was created
}

TEST_F(AccountStoreTest, StatusIsReadableByAllWhateverTheUmask) {
  write_file(account_path("status"), "<lp1>ON</lp1>\n", 0644);
  for (mode_t mask : {022, 077, 0777}) {
    mode_t old = umask(mask);
    StoreRun run = store_status("lp1", mask == 077 ? kJobOn : kUserOn);  // a change each time
    umask(old);
    ASSERT_TRUE(run.done) << mask;
    EXPECT_EQ(file_mode(account_path("status")), 0644u) << mask;
  }

  std::string long_name(510, 'n');
  StoreRun run = store_status(long_name.c_str(), kJobOn);
  EXPECT_FALSE(run.done);
  EXPECT_EQ(run.error.step, StoreStep::kLineTooLong);
  EXPECT_EQ(read_file(account_path("status")), "<lp1>U_ON</lp1>\n");
}

// A rewrite that would give the same bytes and mode is not made: no
// replacement file, the same inode and time; one that would change them is.
TEST_F(AccountStoreTest, FilesThatWouldNotChangeAreLeftAsTheyAre) {
  struct Case {
    const char* what;
    std::string name, old;
    mode_t mode;
    std::function<StoreRun()> run;
    bool written;
  } cases[] = {
      {"a remove of a kind not stored", kConf, kContent, 0600,
       [] { return store_credentials("alice", "lp1", kUser); }, false},
      {"a set of the values stored", kConf, kContent, 0600,
       [] { return store_credentials("alice", "lp1", kJob, "1111", "2222"); }, false},
      {"a forget of a queue not there", kConf, kContent, 0600,
       [] { return store_forget("alice", "lp2"); }, false},
      {"a forget where only line ends differ", kConf, "x\r\n", 0600,
       [] { return store_forget("alice", "lp2"); }, false},
      {"-d of a queue already off", "status", "<lp1>OFF</lp1>\n", 0644,
       [] { return store_status("lp1", kOff); }, false},
      {"a remove where line ends differ", kConf, "x\r\n", 0600,
       [] { return store_credentials("alice", "lp1", kUser); }, true},
      {"a remove where the mode differs", kConf, kContent, 0400,
       [] { return store_credentials("alice", "lp1", kUser); }, true},
  };
  for (const Case& c : cases) {
    reset_account_dir();
    write_file(account_path(c.name), c.old, c.mode);
    struct stat before {};
    ASSERT_EQ(stat(account_path(c.name).c_str(), &before), 0);
    usleep(10000);  // a rewrite would show in the time
    StoreRun run = c.run();
    EXPECT_TRUE(run.done) << c.what;
    EXPECT_EQ(run.written, c.written) << c.what;
    struct stat after {};
    ASSERT_EQ(stat(account_path(c.name).c_str(), &after), 0);
    EXPECT_EQ(after.st_ino != before.st_ino, c.written) << c.what;
    EXPECT_EQ(after.st_mtim.tv_nsec != before.st_mtim.tv_nsec, c.written) << c.what;
    EXPECT_EQ(account_dir_entries().size(), 1u) << c.what;
  }
}

}  // namespace

// One owner's files, however many and large, spend only that owner's share
// of what a run reads; a sparse file is refused before a byte is read.
TEST_F(AccountStoreTest, EachOwnerHasAShareOfTheRead) {
  REQUIRE_ROOT("to give files to other owners");
  const std::string full(kMaxFileBytes - 1024, '#');
  const std::size_t fill = kMaxOwnerBytes / full.size() + 1;  // one file past the share
  for (std::size_t i = 0; i < fill; ++i) {
    write_file(account_path("n" + std::to_string(i) + ".conf"), full);
    ASSERT_EQ(chown(account_path("n" + std::to_string(i) + ".conf").c_str(), kOrdinaryUid, 0), 0);
  }
  write_file(account_path("holes.conf"), "");
  ASSERT_EQ(truncate(account_path("holes.conf").c_str(), 4 << 20), 0);
  write_file(account_path("root.conf"), "<lp1>\n</lp1>\n");
  Caller root;
  StoreResult<AccountStore> store = AccountStore::open(root);
  ASSERT_TRUE(store);
  struct Case {
    std::string name;
    uid_t owner;
    StoreStep step;
  } cases[] = {{"holes.conf", 0, StoreStep::kSparse}};
  std::vector<Case> all(std::begin(cases), std::end(cases));
  for (std::size_t i = 0; i < fill; ++i) {
    all.push_back({"n" + std::to_string(i) + ".conf", kOrdinaryUid,
                   i + 1 < fill ? StoreStep::kNone : StoreStep::kOverBudget});
  }
  all.push_back({"root.conf", 0, StoreStep::kNone});  // another owner's share is whole
  for (const Case& c : all) {
    const StoreResult<std::optional<AccountText>> read =
        store->read({c.name, FileKind::kCredentials, c.owner});
    const StoreError e = read ? StoreError{} : read.error();
    EXPECT_EQ(read.ok(), c.step == StoreStep::kNone) << c.name;
    EXPECT_EQ(e.step, c.step) << c.name;
  }
}
