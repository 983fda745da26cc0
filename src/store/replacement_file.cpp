// SPDX-License-Identifier: Apache-2.0
#include "replacement_file.h"

#include <fcntl.h>
#include <pwd.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <utility>

#include "leftover.h"

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

// Writes the pieces, in one call unless the system writes less; false,
// with errno set, when a step fails.
bool write_all(int fd, const std::vector<std::string_view>& pieces) {
  std::array<iovec, ReplacementFile::kMaxPieces> iov{};
  std::size_t count = 0;
  for (std::string_view piece : pieces) {
    if (piece.empty()) continue;
    iov[count++] = {const_cast<char*>(piece.data()), piece.size()};
  }
  for (std::size_t at = 0; at < count;) {
    const ssize_t n = ::writev(fd, &iov[at], static_cast<int>(count - at));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      errno = EIO;  // no progress: give up rather than spin
      return false;
    }
    // Past what was written: whole pieces, then part of one.
    auto left = static_cast<std::size_t>(n);
    for (; at < count && left >= iov[at].iov_len; ++at) left -= iov[at].iov_len;
    if (left != 0) {
      iov[at].iov_base = static_cast<char*>(iov[at].iov_base) + left;
      iov[at].iov_len -= left;
    }
  }
  return true;
}

}  // namespace

namespace {

// The primary group of a user, or none to change.
gid_t group_of(uid_t uid) {
  const passwd* pw = getpwuid(uid);
  return pw != nullptr ? pw->pw_gid : static_cast<gid_t>(-1);
}

std::string path_of(const std::string& name) { return path_in_account_directory(name); }

}  // namespace

ReplacementFile::ReplacementFile(const AccountDirectory& dir, std::string target, uid_t owner,
                                 StoreError& error)
    : dir_(dir),
      name_(replacement_name(target)),
      target_(std::move(target)),
      error_(&error),
      owner_(owner) {}

// Gives a new file its owner, mode and the live run's lock. (Made 0600, it
// is that unless the umask took bits away: only then is it changed.)
bool ReplacementFile::prepare(int fd, struct stat* st) {
  if ((owner_ != dir_.caller() && fchown(fd, owner_, static_cast<gid_t>(-1)) != 0) ||
      !hold_as_live(fd) || fstat(fd, st) != 0) {
    return fail(*error_, StoreStep::kCreate, path_of(name_), errno);
  }
  if ((st->st_mode & 07777) != 0600) {
    if (fchmod(fd, 0600) != 0) return fail(*error_, StoreStep::kCreate, path_of(name_), errno);
    st->st_mode = (st->st_mode & ~07777) | 0600;
  }
  return true;
}

// After linked (0, or -1 with errno): keeps the file as this run's.
ReplacementFile::Link ReplacementFile::give_name(UniqueFd fd, const struct stat& st, int linked) {
  if (linked != 0) {
    if (errno == EEXIST) return Link::kExists;
    fail(*error_, StoreStep::kCreate, path_of(name_), errno);
    return Link::kFailed;
  }
  fd_ = std::move(fd);
  dev_ = st.st_dev;
  ino_ = st.st_ino;
  return Link::kLinked;
}

// Makes the file unnamed, owned and locked, then gives it its name: no other
// run ever sees it unlocked.
ReplacementFile::Link ReplacementFile::link_new_file() {
  UniqueFd fd(::openat(dir_.fd(), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
  if (!fd.valid() && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
    return link_private_file();  // no unnamed files on this file system
  }
  struct stat st {};
  if (!fd.valid()) {
    fail(*error_, StoreStep::kCreate, path_of(name_), errno);
    return Link::kFailed;
  }
  if (!prepare(fd.get(), &st)) return Link::kFailed;
  // Root may link the descriptor itself; anyone may through /proc.
  int linked = linkat(fd.get(), "", dir_.fd(), name_.c_str(), AT_EMPTY_PATH);
  if (linked != 0 && errno != EEXIST) {
    const std::string self = "/proc/self/fd/" + std::to_string(fd.get());
    linked = linkat(AT_FDCWD, self.c_str(), dir_.fd(), name_.c_str(), AT_SYMLINK_FOLLOW);
  }
  return give_name(std::move(fd), st, linked);
}

// The same under a private random name first, moved onto the name without
// replacing what is there.
ReplacementFile::Link ReplacementFile::link_private_file() {
  clear_private_names(dir_, name_, owner_);
  std::string fresh;
  UniqueFd fd;
  struct stat st {};
  for (int tries = 0; tries < 100 && !fd.valid(); ++tries) {
    fresh = private_name(name_);
    fd = UniqueFd(::openat(dir_.fd(), fresh.c_str(),
                           O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.valid() && errno != EEXIST) break;
    // Locked (or removed) first by another run clearing what it took for
    // a leftover: that run removes it; another name.
    if (fd.valid() && !prepare(fd.get(), &st)) {
      if (errno != EAGAIN && errno != EACCES && errno != EWOULDBLOCK) {
        unlinkat(dir_.fd(), fresh.c_str(), 0);
        return Link::kFailed;
      }
      fd.reset();
    } else if (fd.valid() && st.st_nlink == 0) {
      fd.reset();
    }
  }
  if (!fd.valid()) {
    fail(*error_, StoreStep::kCreate, path_of(name_), errno != 0 ? errno : EEXIST);
    return Link::kFailed;
  }
  int linked = renameat2(dir_.fd(), fresh.c_str(), dir_.fd(), name_.c_str(), RENAME_NOREPLACE);
  if (linked != 0 && errno != EEXIST) {
    // A file system without that rename: link, then drop the private name.
    linked = linkat(dir_.fd(), fresh.c_str(), dir_.fd(), name_.c_str(), 0);
    const int err = errno;
    unlinkat(dir_.fd(), fresh.c_str(), 0);
    errno = err;
  } else if (linked != 0) {
    unlinkat(dir_.fd(), fresh.c_str(), 0);
    errno = EEXIST;
  }
  return give_name(std::move(fd), st, linked);
}

bool ReplacementFile::create(mode_t mode) {
  BlockedSignals blocked(SignalSet::kTerminating);
  mode_ = mode;
  // A few rounds at most: the name can come and go as other runs finish.
  bool taken = false;
  for (int round = 0; round < 4 && !fd_.valid() && !taken; ++round) {
    const Link link = link_new_file();
    if (link == Link::kFailed) return false;
    if (link == Link::kLinked) break;
    uid_t owner = 0;
    const std::optional<Holder> holder = find_holder(dir_, name_, owner_, &owner);
    if (!holder) continue;  // gone meanwhile
    if (*holder != Holder::kInterrupted) break;
    bool cleared = false;
    if (!clear_leftover(dir_, name_, owner_, &cleared, &taken, *error_)) return false;
    if (cleared) recovered_ = path_of(name_);
  }
  if (!fd_.valid()) {  // a live run's, someone else's, or one that kept coming back
    look_at_existing();
    // A leftover another run is taking over: that run lives, and will hold
    // the name; it was not merely interrupted.
    if (taken && error_->holder == Holder::kInterrupted) error_->holder = Holder::kRunning;
    return fail(*error_, StoreStep::kCreate, path_of(name_), EEXIST);
  }
  hold(blocked);
  return true;
}

// From now on a signal that ends the run removes the file first.
void ReplacementFile::hold(const BlockedSignals& blocked) {
  created_ = true;
  static_assert(sizeof(g_held.name) > kMaxPathBytes);
  std::memcpy(g_held.name, name_.c_str(), name_.size() + 1);
  g_held.dir = dir_.fd();
  g_held.dev = dev_;
  g_held.ino = ino_;
  g_held.armed = 1;
  guard_.emplace(SignalSet::kTerminating, remove_held_file, blocked);
}

// Tells, for the message, whose the existing file is and whether a live
// update holds it.
void ReplacementFile::look_at_existing() {
  uid_t owner = 0;
  if (std::optional<Holder> holder = find_holder(dir_, name_, owner_, &owner)) {
    error_->owner = owner;
    error_->holder = *holder;
    error_->target = path_of(target_);
  }
}

bool ReplacementFile::write(std::string_view data) {
  return write(std::vector<std::string_view>{data});
}

bool ReplacementFile::write(const std::vector<std::string_view>& pieces) {
  if (pieces.size() > kMaxPieces) return fail(*error_, StoreStep::kWrite, path_of(name_), EINVAL);
  if (!write_all(fd_.get(), pieces)) {
    return fail(*error_, StoreStep::kWrite, path_of(name_), errno);
  }
  return true;
}

bool ReplacementFile::commit() {
  // Deliberate: the one flush of the file, before it takes the old one's
  // place; what a crash interrupts before the rename is a leftover the next
  // run takes over, and the old file is intact.
  if (fsync(fd_.get()) != 0) return fail(*error_, StoreStep::kWrite, path_of(name_), errno);
  BlockedSignals blocked(SignalSet::kTerminating);
  // Readable by others only now, complete: nobody else could open it
  // before. A file root writes for a user takes the user's group only now:
  // until then the group tells that the administrator holds it.
  if ((mode_ != 0600 && fchmod(fd_.get(), mode_) != 0) ||
      (owner_ != dir_.caller() && fchown(fd_.get(), owner_, group_of(owner_)) != 0)) {
    return fail(*error_, StoreStep::kWrite, path_of(name_), errno);
  }
  // Someone may have removed the file and another run made a new one under
  // the name: renaming that would publish a file half written by another.
  struct stat st {};
  if (fstatat(dir_.fd(), name_.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || st.st_dev != dev_ ||
      st.st_ino != ino_) {
    error_->target = path_of(target_);
    return fail(*error_, StoreStep::kReplaced, path_of(name_), errno == ENOENT ? ENOENT : ESTALE);
  }
  if (renameat(dir_.fd(), name_.c_str(), dir_.fd(), target_.c_str()) != 0) {
    int err = errno;
    error_->target = path_of(target_);
    return fail(*error_, StoreStep::kRename, path_of(name_), err);
  }
  committed_ = true;
  g_held.armed = 0;
  guard_.reset();
  fd_.reset();
  // Makes the rename itself durable.
  if (fsync(dir_.fd()) != 0) {
    error_->target = path_of(target_);
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
