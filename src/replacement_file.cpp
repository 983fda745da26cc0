// SPDX-License-Identifier: Apache-2.0
#include "replacement_file.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace {

// The file a signal must remove: one slot, since a run holds one replacement
// file at a time. Changed only while the signals that end a run are blocked.
struct Held {
  volatile sig_atomic_t armed = 0;
  int dir = -1;
  char name[kMaxPathBytes + 1] = {};
  dev_t dev = 0;
  ino_t ino = 0;
};
Held g_held;

// Removes dir/name only if it still names the file (dev, ino): a file
// someone else put there meanwhile stays. Async-signal-safe.
void unlink_if_same(int dir, const char* name, dev_t dev, ino_t ino) {
  struct stat st {};
  if (fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_dev == dev && st.st_ino == ino) {
    unlinkat(dir, name, 0);
  }
}

void remove_held_file() {
  if (g_held.armed == 0) return;
  g_held.armed = 0;
  unlink_if_same(g_held.dir, g_held.name, g_held.dev, g_held.ino);
}

// Writes length bytes; false, with errno set, when a step fails.
bool write_all(int fd, const char* data, std::size_t length) {
  std::size_t total = 0;
  while (total < length) {
    ssize_t n = ::write(fd, data + total, length - total);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      errno = EIO;  // no progress: give up rather than spin
      return false;
    }
    total += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

namespace {

// Whether a file found under a replacement file's name is one the caller may
// take over once nobody holds it: a regular file of the file's owner (or,
// for root acting for a user, root's own, not handed over yet), with one
// name, that nobody else could have written.
bool may_take_over(const struct stat& st, uid_t owner, uid_t caller) {
  return S_ISREG(st.st_mode) && (st.st_uid == owner || st.st_uid == caller) && st.st_nlink == 1 &&
         (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// The primary group of a user, or none to change.
gid_t group_of(uid_t uid) {
  const passwd* pw = getpwuid(uid);
  return pw != nullptr ? pw->pw_gid : static_cast<gid_t>(-1);
}

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

std::optional<Holder> find_holder(const AccountDirectory& dir, const std::string& name,
                                  uid_t expected, uid_t* owner) {
  // Look before opening: a file this run will not look into (a neighbour's,
  // a link, a FIFO) is never opened.
  struct stat seen {};
  if (fstatat(dir.fd(), name.c_str(), &seen, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
  *owner = seen.st_uid;
  if (!may_take_over(seen, expected, dir.caller())) return Holder::kUnknown;
  UniqueFd existing(
      ::openat(dir.fd(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st {};
  if (!existing.valid() || fstat(existing.get(), &st) != 0 || !same_file(st, seen)) {
    return Holder::kUnknown;  // replaced meanwhile
  }
  if (flock(existing.get(), LOCK_SH | LOCK_NB) == 0)
    return Holder::kInterrupted;  // released on close
  return errno == EWOULDBLOCK ? Holder::kRunning : Holder::kUnknown;
}

ReplacementFile::ReplacementFile(const AccountDirectory& dir, std::string target, uid_t owner,
                                 StoreError& error)
    : dir_(dir),
      name_(replacement_name(target)),
      target_(std::move(target)),
      error_(&error),
      owner_(owner) {}

// Makes the file unnamed and locked, then gives it its name: no other run
// ever sees it unlocked. Falls back, where the file system has no unnamed
// files, to a private name that is linked the same way.
ReplacementFile::Link ReplacementFile::link_new_file() {
  UniqueFd fd(::openat(dir_.fd(), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
  std::string private_name;
  if (!fd.valid() && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
    private_name = "." + name_ + "." + std::to_string(getpid());
    fd = UniqueFd(::openat(dir_.fd(), private_name.c_str(),
                           O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  }
  struct stat st {};
  if (!fd.valid() || flock(fd.get(), LOCK_EX | LOCK_NB) != 0 || fchmod(fd.get(), 0600) != 0 ||
      fstat(fd.get(), &st) != 0) {
    int err = errno;
    if (!private_name.empty() && fd.valid()) unlinkat(dir_.fd(), private_name.c_str(), 0);
    fail(*error_, StoreStep::kCreate, path_in_account_directory(name_), err);
    return Link::kFailed;
  }
  int linked;
  if (private_name.empty()) {
    // Root may link the descriptor itself; anyone may through /proc.
    linked = linkat(fd.get(), "", dir_.fd(), name_.c_str(), AT_EMPTY_PATH);
    if (linked != 0 && errno != EEXIST) {
      const std::string self = "/proc/self/fd/" + std::to_string(fd.get());
      linked = linkat(AT_FDCWD, self.c_str(), dir_.fd(), name_.c_str(), AT_SYMLINK_FOLLOW);
    }
  } else {
    linked = linkat(dir_.fd(), private_name.c_str(), dir_.fd(), name_.c_str(), 0);
    int err = errno;
    unlinkat(dir_.fd(), private_name.c_str(), 0);
    errno = err;
  }
  if (linked != 0) {
    if (errno == EEXIST) return Link::kExists;
    fail(*error_, StoreStep::kCreate, path_in_account_directory(name_), errno);
    return Link::kFailed;
  }
  fd_ = std::move(fd);
  dev_ = st.st_dev;
  ino_ = st.st_ino;
  return Link::kLinked;
}

// The caller's own replacement file that nobody holds: left by a run that
// was killed or lost its machine. Taken over only once locked and seen to be
// still the file under the name.
ReplacementFile::TakeOver ReplacementFile::take_over_leftover() {
  struct stat seen {};
  if (fstatat(dir_.fd(), name_.c_str(), &seen, AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT ? TakeOver::kGone : TakeOver::kRefused;
  }
  if (!may_take_over(seen, owner_, dir_.caller())) return TakeOver::kRefused;
  UniqueFd fd(::openat(dir_.fd(), name_.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st {};
  if (!fd.valid() || fstat(fd.get(), &st) != 0)
    return errno == ENOENT ? TakeOver::kGone : TakeOver::kRefused;
  if (!same_file(st, seen) || !may_take_over(st, owner_, dir_.caller())) return TakeOver::kGone;
  if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return TakeOver::kRefused;  // a live run's
  // Renamed into place, or removed, while this run looked: start again.
  if (fstatat(dir_.fd(), name_.c_str(), &seen, AT_SYMLINK_NOFOLLOW) != 0 || !same_file(seen, st)) {
    return TakeOver::kGone;
  }
  if (ftruncate(fd.get(), 0) != 0 || fchmod(fd.get(), 0600) != 0) {
    fail(*error_, StoreStep::kCreate, path_in_account_directory(name_), errno);
    return TakeOver::kFailed;
  }
  fd_ = std::move(fd);
  dev_ = st.st_dev;
  ino_ = st.st_ino;
  recovered_ = path_in_account_directory(name_);
  return TakeOver::kTaken;
}

bool ReplacementFile::create(mode_t mode) {
  BlockedSignals blocked(SignalSet::kTerminating);
  mode_ = mode;
  // A few rounds at most: the name can come and go as other runs finish.
  for (int round = 0; round < 3 && !fd_.valid(); ++round) {
    const Link link = link_new_file();
    if (link == Link::kFailed) return false;
    if (link == Link::kLinked) break;
    const TakeOver taken = take_over_leftover();
    if (taken == TakeOver::kFailed) return false;
    if (taken == TakeOver::kRefused) break;
  }
  if (!fd_.valid()) {  // a live run's, someone else's, or one that kept coming back
    look_at_existing();
    return fail(*error_, StoreStep::kCreate, path_in_account_directory(name_), EEXIST);
  }
  error_->recovered = recovered_;
  hold();
  return true;
}

// From now on a signal that ends the run removes the file first.
void ReplacementFile::hold() {
  created_ = true;
  static_assert(sizeof(g_held.name) > kMaxPathBytes);
  std::memcpy(g_held.name, name_.c_str(), name_.size() + 1);
  g_held.dir = dir_.fd();
  g_held.dev = dev_;
  g_held.ino = ino_;
  g_held.armed = 1;
  guard_.emplace(SignalSet::kTerminating, remove_held_file);
}

// Tells, for the message, whose the existing file is and whether a live
// update holds it.
void ReplacementFile::look_at_existing() {
  uid_t owner = 0;
  if (std::optional<Holder> holder = find_holder(dir_, name_, owner_, &owner)) {
    error_->owner = owner;
    error_->holder = *holder;
    error_->target = path_in_account_directory(target_);
  }
}

bool ReplacementFile::write(std::string_view data) {
  if (!write_all(fd_.get(), data.data(), data.size())) {
    return fail(*error_, StoreStep::kWrite, path_in_account_directory(name_), errno);
  }
  return true;
}

bool ReplacementFile::commit() {
  // Deliberate: the one flush of the file, before it takes the old one's
  // place; what a crash interrupts before the rename is a leftover the next
  // run takes over, and the old file is intact.
  if (fsync(fd_.get()) != 0)
    return fail(*error_, StoreStep::kWrite, path_in_account_directory(name_), errno);
  BlockedSignals blocked(SignalSet::kTerminating);
  // Readable by others only now, complete: nobody else could open it
  // before. Likewise a file root writes for a user becomes theirs only now,
  // so that they could not write into it meanwhile.
  if ((mode_ != 0600 && fchmod(fd_.get(), mode_) != 0) ||
      (owner_ != dir_.caller() && fchown(fd_.get(), owner_, group_of(owner_)) != 0)) {
    return fail(*error_, StoreStep::kWrite, path_in_account_directory(name_), errno);
  }
  // Someone may have removed the file and another run made a new one under
  // the name: renaming that would publish a file half written by another.
  struct stat st {};
  if (fstatat(dir_.fd(), name_.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || st.st_dev != dev_ ||
      st.st_ino != ino_) {
    error_->target = path_in_account_directory(target_);
    return fail(*error_, StoreStep::kReplaced, path_in_account_directory(name_),
                errno == ENOENT ? ENOENT : ESTALE);
  }
  if (renameat(dir_.fd(), name_.c_str(), dir_.fd(), target_.c_str()) != 0) {
    int err = errno;
    error_->target = path_in_account_directory(target_);
    return fail(*error_, StoreStep::kRename, path_in_account_directory(name_), err);
  }
  committed_ = true;
  g_held.armed = 0;
  guard_.reset();
  fd_.reset();
  // Makes the rename itself durable.
  if (fsync(dir_.fd()) != 0) {
    error_->target = path_in_account_directory(target_);
    return fail(*error_, StoreStep::kSyncDirectory, std::string(account_directory()), errno);
  }
  return true;
}

void ReplacementFile::rollback() noexcept {
  if (!created_ || committed_) return;
  int saved = errno;
  {
    BlockedSignals blocked(SignalSet::kTerminating);
    if (g_held.armed != 0) unlink_if_same(dir_.fd(), name_.c_str(), dev_, ino_);
    g_held.armed = 0;
    guard_.reset();
  }
  fd_.reset();
  created_ = false;
  errno = saved;
}
