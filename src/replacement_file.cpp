// SPDX-License-Identifier: Apache-2.0
#include "replacement_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
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

}  // namespace

bool file_write(int fd, const char* data, std::size_t length) {
  // Deliberate: durability before speed, an fsync before and a sync after
  // every line, so whatever was written is on disk whenever the run ends.
  if (fsync(fd) != 0) return false;
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
  sync();
  return true;
}

std::optional<Holder> find_holder(const AccountDirectory& dir, const std::string& name,
                                  uid_t* owner) {
  // Look before opening: a file this run will not look into (a neighbour's,
  // a link, a FIFO) is never opened.
  struct stat seen {};
  if (fstatat(dir.fd(), name.c_str(), &seen, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
  *owner = seen.st_uid;
  if (seen.st_uid != getuid() || !S_ISREG(seen.st_mode)) return Holder::kUnknown;
  UniqueFd existing(
      ::openat(dir.fd(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st {};
  if (!existing.valid() || fstat(existing.get(), &st) != 0 || st.st_ino != seen.st_ino ||
      st.st_dev != seen.st_dev) {
    return Holder::kUnknown;  // replaced meanwhile
  }
  if (flock(existing.get(), LOCK_SH | LOCK_NB) == 0) return Holder::kInterrupted;  // released on close
  return errno == EWOULDBLOCK ? Holder::kRunning : Holder::kUnknown;
}

ReplacementFile::ReplacementFile(const AccountDirectory& dir, std::string name,
                                 std::string target, StoreError* error)
    : dir_(dir), name_(std::move(name)), target_(std::move(target)), error_(error) {}

bool ReplacementFile::create(mode_t mode) {
  BlockedSignals blocked(SignalSet::kTerminating);
  // 0600 at first whatever `mode` is: until the lock is taken, nobody else
  // can open the file to take it first.
  fd_ = UniqueFd(::openat(dir_.fd(), name_.c_str(),
                          O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd_.valid()) {
    int err = errno;
    if (err == EEXIST) look_at_existing();
    return fail(error_, StoreStep::kCreate, dir_.path_of(name_), err);
  }
  struct stat st {};
  if (flock(fd_.get(), LOCK_EX | LOCK_NB) != 0 || fchmod(fd_.get(), mode) != 0 ||
      fstat(fd_.get(), &st) != 0) {
    int err = errno;
    unlinkat(dir_.fd(), name_.c_str(), 0);  // just created exclusively: ours
    fd_.reset();
    return fail(error_, StoreStep::kCreate, dir_.path_of(name_), err);
  }
  dev_ = st.st_dev;
  ino_ = st.st_ino;
  created_ = true;
  static_assert(sizeof(g_held.name) > kMaxPathBytes);
  std::memcpy(g_held.name, name_.c_str(), name_.size() + 1);
  g_held.dir = dir_.fd();
  g_held.dev = dev_;
  g_held.ino = ino_;
  g_held.armed = 1;
  guard_.emplace(SignalSet::kTerminating, remove_held_file);
  return true;
}

// Tells, for the message, whose the existing file is and whether a live
// update holds it.
void ReplacementFile::look_at_existing() {
  uid_t owner = 0;
  if (std::optional<Holder> holder = find_holder(dir_, name_, &owner)) {
    error_->owner = owner;
    error_->holder = *holder;
    error_->target = dir_.path_of(target_);
  }
}

bool ReplacementFile::write(const char* data, std::size_t length) {
  if (!file_write(fd_.get(), data, length)) {
    return fail(error_, StoreStep::kWrite, dir_.path_of(name_), errno);
  }
  return true;
}

bool ReplacementFile::write_formatted(const LineBuffer& line) {
  return write(line.data(), std::strlen(line.data()));
}

bool ReplacementFile::write_line(const char* format, ...) {
  LineBuffer line;
  va_list args;
  va_start(args, format);
  bool whole = vformat_line(line, format, args);
  va_end(args);
  if (!whole) return fail(error_, StoreStep::kLineTooLong, dir_.path_of(name_), EOVERFLOW);
  return write_formatted(line);
}

bool ReplacementFile::commit() {
  // The final fsync catches a failed write-back of the last line, which
  // sync() alone would not report.
  if (fsync(fd_.get()) != 0) return fail(error_, StoreStep::kWrite, dir_.path_of(name_), errno);
  BlockedSignals blocked(SignalSet::kTerminating);
  // Someone may have removed the file and another run made a new one under
  // the name: renaming that would publish a file half written by another.
  struct stat st {};
  if (fstatat(dir_.fd(), name_.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || st.st_dev != dev_ ||
      st.st_ino != ino_) {
    error_->target = dir_.path_of(target_);
    return fail(error_, StoreStep::kReplaced, dir_.path_of(name_), errno == ENOENT ? ENOENT : ESTALE);
  }
  if (renameat(dir_.fd(), name_.c_str(), dir_.fd(), target_.c_str()) != 0) {
    int err = errno;
    error_->target = dir_.path_of(target_);
    return fail(error_, StoreStep::kRename, dir_.path_of(name_), err);
  }
  committed_ = true;
  g_held.armed = 0;
  guard_.reset();
  fd_.reset();
  // Makes the rename itself durable.
  if (fsync(dir_.fd()) != 0) {
    error_->target = dir_.path_of(target_);
    return fail(error_, StoreStep::kSyncDirectory, std::string(account_directory()), errno);
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
