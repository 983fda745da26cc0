// SPDX-License-Identifier: Apache-2.0
#include "leftover.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string_view>

#include "unique_fd.h"

namespace {

constexpr std::size_t kRandomDigits = 16;

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether a file is one the caller may inspect and, once nobody holds it,
// remove: a regular file of the expected owner, or of the caller.
bool ours(const struct stat& st, uid_t expected, uid_t caller) {
  return S_ISREG(st.st_mode) && (st.st_uid == expected || st.st_uid == caller);
}

UniqueFd open_to_look(int dir, const std::string& name) {
  return UniqueFd(::openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
}

// Removes dir/name if it still names the file open on fd and no live run
// holds it; a file put there meanwhile stays. False with errno 0 when it
// was not to be removed.
bool unlink_if_stale(int dir, const std::string& name, int fd, const struct stat& st) {
  struct stat now {};
  if (fstatat(dir, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 || !same_file(now, st) ||
      held_by_live_run(fd, st)) {
    errno = 0;
    return false;
  }
  return unlinkat(dir, name.c_str(), 0) == 0;
}

bool is_private_name_of(std::string_view entry, std::string_view prefix) {
  if (!entry.starts_with(prefix) || entry.size() != prefix.size() + kRandomDigits) return false;
  for (char c : entry.substr(prefix.size())) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

}  // namespace

bool hold_as_live(int fd) {
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  // The flock too: two runs removing the same leftover take turns by it.
  return fcntl(fd, F_OFD_SETLK, &lock) == 0 && flock(fd, LOCK_EX | LOCK_NB) == 0;
}

bool held_by_live_run(int fd, const struct stat& st) {
  // Runs make theirs 0600: a lock on a file others may write is theirs.
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) return false;
  struct flock lock {};
  lock.l_type = F_RDLCK;  // conflicts with a write lock only: a reader's lock is no run's
  lock.l_whence = SEEK_SET;
  // Cannot tell: as held, so that a live run's file is never removed.
  if (fcntl(fd, F_OFD_GETLK, &lock) != 0) return true;
  return lock.l_type == F_WRLCK;
}

std::optional<Holder> find_holder(const AccountDirectory& dir, const std::string& name,
                                  uid_t expected, uid_t* owner) {
  // A few rounds: the name comes and goes as other runs finish.
  for (int round = 0; round < 4; ++round) {
    // Look before opening: a file this run will not look into (a
    // neighbour's, a link, a FIFO) is never opened.
    struct stat seen {};
    if (fstatat(dir.fd(), name.c_str(), &seen, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
    *owner = seen.st_uid;
    if (!ours(seen, expected, dir.caller())) return Holder::kUnknown;
    const UniqueFd fd = open_to_look(dir.fd(), name);
    struct stat st {};
    if (!fd.valid() || fstat(fd.get(), &st) != 0 || !same_file(st, seen)) continue;
    if (!held_by_live_run(fd.get(), st)) return Holder::kInterrupted;
    // Root's run for a user keeps root's group until its rename.
    return st.st_uid != 0 && st.st_gid == 0 ? Holder::kAdministrator : Holder::kRunning;
  }
  return Holder::kUnknown;
}

bool clear_leftover(const AccountDirectory& dir, const std::string& name, uid_t expected,
                    bool* cleared, bool* taken, StoreError& error) {
  *cleared = false;
  *taken = false;
  const UniqueFd fd = open_to_look(dir.fd(), name);
  struct stat st {};
  if (!fd.valid() || fstat(fd.get(), &st) != 0) return true;  // gone: nothing to clear
  if (!ours(st, expected, dir.caller()) || held_by_live_run(fd.get(), st)) return true;
  // A leftover with another name besides: a private one a killed run had
  // not removed yet.
  if (st.st_nlink > 1) clear_private_names(dir, name, expected);
  // Another run removing the same leftover holds its flock for an instant;
  // a reader may hold it for ever, and is then not waited for. On a file
  // nobody else may read, only a run of the owner's can hold it: as held.
  bool locked = false;
  for (int tries = 0; tries < 25 && !locked; ++tries) {
    locked = flock(fd.get(), LOCK_EX | LOCK_NB) == 0;
    const timespec pause{0, 2'000'000};
    if (!locked) nanosleep(&pause, nullptr);
  }
  if (!locked && (st.st_mode & (S_IRGRP | S_IROTH)) == 0) {
    *taken = true;
    return true;
  }
  if (unlink_if_stale(dir.fd(), name, fd.get(), st)) {
    *cleared = true;
  } else if (errno != ENOENT && errno != 0) {
    return fail(error, StoreStep::kCreate, path_in_account_directory(name), errno);
  }
  return true;
}

std::string private_name(const std::string& name) {
  unsigned char random[kRandomDigits / 2] = {};
  if (getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
    // No entropy (a very early boot): the time and pid still make clashes
    // rare, and the exclusive creation is retried on one.
    const auto now = static_cast<unsigned long>(clock());
    for (std::size_t i = 0; i < sizeof random; ++i) {
      random[i] ^= static_cast<unsigned char>((now >> (i * 3)) ^ (getpid() >> i));
    }
  }
  std::string result = "." + name + ".";
  char digits[3];
  for (unsigned char byte : random) {
    std::snprintf(digits, sizeof digits, "%02x", byte);
    result += digits;
  }
  return result;
}

void clear_private_names(const AccountDirectory& dir, const std::string& name, uid_t expected) {
  const std::string prefix = "." + name + ".";
  UniqueFd listing(::openat(dir.fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  DIR* stream = listing.valid() ? fdopendir(listing.get()) : nullptr;
  if (stream == nullptr) return;
  static_cast<void>(listing.release());  // the stream owns it now
  while (const dirent* entry = readdir(stream)) {
    if (!is_private_name_of(entry->d_name, prefix)) continue;
    const UniqueFd fd(
        ::openat(dir.fd(), entry->d_name, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    // Removed only once this run holds it as a live run would: then no live
    // run is making it (one still doing so finds it taken and picks another
    // name). One a reader holds locked stays, for a later run.
    if (!fd.valid() || fstat(fd.get(), &st) != 0 || !ours(st, expected, dir.caller()) ||
        !hold_as_live(fd.get())) {
      continue;
    }
    struct stat now {};
    if (fstatat(dir.fd(), entry->d_name, &now, AT_SYMLINK_NOFOLLOW) == 0 && same_file(now, st)) {
      unlinkat(dir.fd(), entry->d_name, 0);
    }
  }
  closedir(stream);
}
