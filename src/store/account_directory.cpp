// SPDX-License-Identifier: Apache-2.0
#include "account_directory.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

namespace {

// Smaller files are read whole whatever they hold on disk (a file system may
// keep a small file inside its inode, with no block of its own).
constexpr off_t kSparseFrom = 64 * 1024;

// Why a file found under an account file's name must not be adopted, or kNone.
StoreStep distrust(const struct stat& st, FileKind kind, uid_t owner) {
  if (!S_ISREG(st.st_mode)) return StoreStep::kNotRegularFile;
  if (st.st_uid != owner) return StoreStep::kNotOwner;
  if (st.st_nlink != 1) return StoreStep::kHardLinked;
  // Anyone who could write it could have put lines of their own in it.
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) return StoreStep::kWritableByOthers;
  constexpr mode_t kReadableByAll = S_IRUSR | S_IRGRP | S_IROTH;
  if (traits_of(kind).readable_by_all && (st.st_mode & kReadableByAll) != kReadableByAll) {
    return StoreStep::kNotReadableByAll;
  }
  // Sparse or huge, a neighbour's file could keep root reading for hours.
  if (st.st_size < 0 || static_cast<std::size_t>(st.st_size) > kMaxFileBytes) {
    return StoreStep::kTooLarge;
  }
  // Holes cost a neighbour no disk, and root the whole read: no file the
  // tool writes has any.
  if (st.st_size > kSparseFrom && st.st_blocks * 512 < st.st_size / 8) return StoreStep::kSparse;
  return StoreStep::kNone;
}

bool refuse(StoreError& error, StoreStep step, const std::string& path, const struct stat& st,
            uid_t owner) {
  error.owner = st.st_uid;
  error.expected_owner = owner;
  error.links = st.st_nlink;
  error.mode = st.st_mode & 07777;
  error.size = static_cast<std::size_t>(std::max<off_t>(st.st_size, 0));
  error.on_disk = static_cast<std::size_t>(std::max<blkcnt_t>(st.st_blocks, 0)) * 512;
  const int err = step == StoreStep::kHardLinked                               ? EMLINK
                  : step == StoreStep::kTooLarge || step == StoreStep::kSparse ? EFBIG
                                                                               : EPERM;
  return fail(error, step, path, err);
}

}  // namespace

std::string path_in_account_directory(std::string_view name) {
  return std::string(account_directory()).append("/").append(name);
}

bool credential_file_name(const char* user, std::string* name, StoreError& error) {
  std::string file = user != nullptr ? user : "root";
  file.append(kCredentialSuffix);
  std::string path = path_in_account_directory(file);
  if (path.size() + kReplacementSuffix.size() > kMaxPathBytes) {
    path.resize(std::min(path.size(), kMaxPathBytes));
    return fail(error, StoreStep::kPathTooLong, path, ENAMETOOLONG);
  }
  *name = std::move(file);
  return true;
}

std::optional<std::string_view> user_of_credential_file(std::string_view name) {
  if (name.size() <= kCredentialSuffix.size() || !name.ends_with(kCredentialSuffix) ||
      name.starts_with('.')) {
    return std::nullopt;
  }
  return name.substr(0, name.size() - kCredentialSuffix.size());
}

bool AccountDirectory::credential_files(std::vector<std::string>* names, StoreError& error) const {
  names->clear();
  UniqueFd listing(::openat(fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  DIR* stream = listing.valid() ? fdopendir(listing.get()) : nullptr;
  if (stream == nullptr) {
    return fail(error, StoreStep::kDirectory, std::string(account_directory()), errno);
  }
  static_cast<void>(listing.release());  // the stream owns it now
  errno = 0;
  while (const dirent* entry = readdir(stream)) {
    if (user_of_credential_file(entry->d_name)) names->emplace_back(entry->d_name);
    errno = 0;  // readdir sets it only when reading fails
  }
  const int read_error = errno;
  closedir(stream);
  if (read_error != 0) {
    return fail(error, StoreStep::kDirectory, std::string(account_directory()), read_error);
  }
  std::sort(names->begin(), names->end());
  return true;
}

namespace {

// Whether a directory (or a link standing in one) is safe to go through: it
// belongs to root or to the caller, and nobody else can replace what is in
// it (not writable by group or others, or sticky, as /tmp is).
bool trusted(const struct stat& st, uid_t caller) {
  if (st.st_uid != 0 && st.st_uid != caller) return false;
  if (S_ISLNK(st.st_mode)) return true;
  return (st.st_mode & (S_IWGRP | S_IWOTH)) == 0 || (st.st_mode & S_ISVTX) != 0;
}

bool refuse_directory(StoreError& error, const std::string& path, const struct stat& st) {
  error.owner = st.st_uid;
  error.mode = st.st_mode & 07777;
  error.target = std::string(account_directory());
  return fail(error, StoreStep::kUnsafeDirectory, path, EPERM);
}

}  // namespace

// Walks from "/" to the account directory one name at a time, in the manner
// of sshd's StrictModes: each directory on the way, and each symbolic link
// (followed, as root set it), must be trusted, so that nobody but root or the
// caller can swap what the path leads to.
bool AccountDirectory::open(uid_t caller, std::optional<AccountDirectory>* dir, StoreError& error) {
  const std::string path(account_directory());
  std::vector<std::string> names;  // still to walk, last first
  auto push_path = [&names](std::string_view p) {
    std::vector<std::string> parts;
    for (std::size_t at = 0; at < p.size();) {
      std::size_t end = std::min(p.find('/', at), p.size());
      if (end > at) parts.emplace_back(p.substr(at, end - at));
      at = end + 1;
    }
    names.insert(names.end(), parts.rbegin(), parts.rend());
  };
  push_path(path);
  UniqueFd at(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
  std::string walked = "/";
  struct stat st {};
  if (!at.valid() || fstat(at.get(), &st) != 0) {
    return fail(error, StoreStep::kDirectory, path, errno);
  }
  if (!trusted(st, caller)) return refuse_directory(error, walked, st);
  int links = 0;
  while (!names.empty()) {
    const std::string name = std::move(names.back());
    names.pop_back();
    if (name == ".") continue;
    const std::string here = walked == "/" ? "/" + name : walked + "/" + name;
    if (fstatat(at.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      return fail(error, StoreStep::kDirectory, path, errno);
    }
    if (!trusted(st, caller)) return refuse_directory(error, here, st);
    if (S_ISLNK(st.st_mode)) {
      char target[PATH_MAX];
      const ssize_t n = readlinkat(at.get(), name.c_str(), target, sizeof target - 1);
      if (n <= 0 || ++links > 40) {
        return fail(error, StoreStep::kDirectory, path, n <= 0 ? errno : ELOOP);
      }
      const std::string_view followed(target, static_cast<std::size_t>(n));
      if (followed.starts_with('/')) {
        at = UniqueFd(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
        walked.assign(1, '/');  // not = "/": GCC 12 warns wrongly (-Wrestrict)
      }
      push_path(followed);
      continue;
    }
    // The last one is opened for use; the others only to walk through.
    const int flags = names.empty() ? O_RDONLY : O_PATH;
    UniqueFd next(::openat(at.get(), name.c_str(), flags | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat opened {};
    if (!next.valid() || fstat(next.get(), &opened) != 0) {
      return fail(error, StoreStep::kDirectory, path, errno);
    }
    if (opened.st_dev != st.st_dev || opened.st_ino != st.st_ino || !trusted(opened, caller)) {
      return refuse_directory(error, here, opened);  // swapped as it was looked at
    }
    at = std::move(next);
    walked = here;
  }
  if (walked == "/") {  // the directory is "/" itself, or the path was empty
    return fail(error, StoreStep::kDirectory, path, EINVAL);
  }
  dir->emplace(AccountDirectory(std::move(at), caller));
  return true;
}

bool open_old_file(const AccountDirectory& dir, std::string_view name, FileKind kind, uid_t owner,
                   UniqueFd* fd, struct stat* st, StoreError& error) {
  const std::string path = path_in_account_directory(name);
  const std::string file_name(name);
  fd->reset();
  // Another run may rename a new file over the name between the open and
  // the look at it (the one opened then has no name left): open it again.
  for (int round = 0; round < 8; ++round) {
    UniqueFd file(
        ::openat(dir.fd(), file_name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    const int open_error = file.valid() ? 0 : errno;
    if (open_error == ENOENT) return true;
    // What stands under the name, also when it cannot be opened: that is
    // usually someone else's file, and the user must learn whose.
    const bool seen = file.valid()
                          ? fstat(file.get(), st) == 0
                          : fstatat(dir.fd(), file_name.c_str(), st, AT_SYMLINK_NOFOLLOW) == 0;
    const int stat_error = seen ? 0 : errno;
    if (seen && file.valid() && st->st_nlink == 0) continue;
    if (seen) {
      if (StoreStep why = distrust(*st, kind, owner); why != StoreStep::kNone) {
        return refuse(error, why, path, *st, owner);
      }
    }
    if (open_error != 0 || !seen) {
      return fail(error, StoreStep::kOpen, path, open_error != 0 ? open_error : stat_error);
    }
    *fd = std::move(file);
    return true;
  }
  return fail(error, StoreStep::kOpen, path, ESTALE);
}

bool owner_of_credential_file(const AccountDirectory& dir, std::string_view name, uid_t* owner,
                              StoreError& error) {
  const std::optional<std::string_view> user = user_of_credential_file(name);
  const std::string account(user.value_or(""));
  if (account == "root") {
    *owner = 0;
    return true;
  }
  if (const passwd* entry = getpwnam(account.c_str())) {
    *owner = entry->pw_uid;
    return true;
  }
  struct stat st {};
  if (fstatat(dir.fd(), std::string(name).c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return fail(error, StoreStep::kOpen, path_in_account_directory(name), errno);
  }
  *owner = st.st_uid;
  return true;
}
