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

// Defined by the object each executable links in (account_directory_path.cpp).
extern const char kAccountDir[];

namespace {

// Why a file found under an account file's name must not be adopted, or kNone.
StoreStep distrust(const struct stat& st, FileUse use, uid_t owner) {
  if (!S_ISREG(st.st_mode)) return StoreStep::kNotRegularFile;
  if (st.st_uid != owner) return StoreStep::kNotOwner;
  if (st.st_nlink != 1) return StoreStep::kHardLinked;
  // Anyone who could write it could have put lines of their own in it.
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) return StoreStep::kWritableByOthers;
  constexpr mode_t kReadableByAll = S_IRUSR | S_IRGRP | S_IROTH;
  if (use == FileUse::kPublic && (st.st_mode & kReadableByAll) != kReadableByAll) {
    return StoreStep::kNotReadableByAll;
  }
  return StoreStep::kNone;
}

void refuse(StoreError* error, StoreStep step, const std::string& path, const struct stat& st,
            uid_t owner) {
  error->owner = st.st_uid;
  error->expected_owner = owner;
  error->links = st.st_nlink;
  error->mode = st.st_mode & 07777;
  fail(error, step, path, step == StoreStep::kHardLinked ? EMLINK : EPERM);
}

}  // namespace

std::string_view account_directory() { return kAccountDir; }

std::optional<std::string> credential_file_name(const char* user, StoreError* error) {
  std::string name = user != nullptr ? user : "root";
  name += ".conf";
  std::string path(account_directory());
  path += '/';
  path += name;
  if (path.size() + 4 > kMaxPathBytes) {  // ".new"
    path.resize(std::min(path.size(), kMaxPathBytes));
    fail(error, StoreStep::kPathTooLong, path, ENAMETOOLONG);
    return std::nullopt;
  }
  return name;
}

std::optional<std::vector<std::string>> list_credential_files(const AccountDirectory& dir,
                                                              StoreError* error) {
  std::vector<std::string> names;
  UniqueFd listing(::openat(dir.fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  DIR* stream = listing.valid() ? fdopendir(listing.get()) : nullptr;
  if (stream == nullptr) {
    fail(error, StoreStep::kDirectory, std::string(account_directory()), errno);
    return std::nullopt;
  }
  static_cast<void>(listing.release());  // the stream owns it now
  errno = 0;
  while (const dirent* entry = readdir(stream)) {
    const std::string_view name = entry->d_name;
    if (name.size() > 5 && name.ends_with(".conf") && !name.starts_with('.')) {
      names.emplace_back(name);
    }
    errno = 0;  // readdir sets it only when reading fails
  }
  const int read_error = errno;
  closedir(stream);
  if (read_error != 0) {
    fail(error, StoreStep::kDirectory, std::string(account_directory()), read_error);
    return std::nullopt;
  }
  std::sort(names.begin(), names.end());
  return names;
}

namespace {

// Whether a directory (or a link standing in one) is safe to go through: it
// belongs to root or to the caller, and nobody else can replace what is in
// it (not writable by group or others, or sticky, as /tmp is).
bool trusted(const struct stat& st) {
  if (st.st_uid != 0 && st.st_uid != getuid()) return false;
  if (S_ISLNK(st.st_mode)) return true;
  return (st.st_mode & (S_IWGRP | S_IWOTH)) == 0 || (st.st_mode & S_ISVTX) != 0;
}

bool refuse_directory(StoreError* error, const std::string& path, const struct stat& st) {
  error->owner = st.st_uid;
  error->mode = st.st_mode & 07777;
  error->target = std::string(account_directory());
  return fail(error, StoreStep::kUnsafeDirectory, path, EPERM);
}

}  // namespace

// Walks from "/" to the account directory one name at a time, in the manner
// of sshd's StrictModes: each directory on the way, and each symbolic link
// (followed, as root set it), must be trusted, so that nobody but root or the
// caller can swap what the path leads to.
std::optional<AccountDirectory> AccountDirectory::open(StoreError* error) {
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
    fail(error, StoreStep::kDirectory, path, errno);
    return std::nullopt;
  }
  if (!trusted(st)) {
    refuse_directory(error, walked, st);
    return std::nullopt;
  }
  int links = 0;
  while (!names.empty()) {
    const std::string name = std::move(names.back());
    names.pop_back();
    if (name == ".") continue;
    const std::string here = walked == "/" ? "/" + name : walked + "/" + name;
    if (fstatat(at.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      fail(error, StoreStep::kDirectory, path, errno);
      return std::nullopt;
    }
    if (!trusted(st)) {
      refuse_directory(error, here, st);
      return std::nullopt;
    }
    if (S_ISLNK(st.st_mode)) {
      char target[PATH_MAX];
      const ssize_t n = readlinkat(at.get(), name.c_str(), target, sizeof target - 1);
      if (n <= 0 || ++links > 40) {
        fail(error, StoreStep::kDirectory, path, n <= 0 ? errno : ELOOP);
        return std::nullopt;
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
      fail(error, StoreStep::kDirectory, path, errno);
      return std::nullopt;
    }
    if (opened.st_dev != st.st_dev || opened.st_ino != st.st_ino || !trusted(opened)) {
      refuse_directory(error, here, opened);  // swapped as it was looked at
      return std::nullopt;
    }
    at = std::move(next);
    walked = here;
  }
  if (walked == "/") {  // the directory is "/" itself, or the path was empty
    fail(error, StoreStep::kDirectory, path, EINVAL);
    return std::nullopt;
  }
  return AccountDirectory(std::move(at));
}

std::string AccountDirectory::path_of(std::string_view name) const {
  std::string path(account_directory());
  path += '/';
  path += name;
  return path;
}

OldFile open_old_file(const AccountDirectory& dir, const std::string& name, FileUse use,
                      uid_t owner, UniqueFd* fd, StoreError* error) {
  const std::string path = dir.path_of(name);
  UniqueFd file(::openat(dir.fd(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  const int open_error = file.valid() ? 0 : errno;
  if (open_error == ENOENT) return OldFile::kMissing;
  // What stands under the name, also when it cannot be opened: that is
  // usually someone else's file, and the user must learn whose.
  struct stat st {};
  const bool seen = file.valid() ? fstat(file.get(), &st) == 0
                                 : fstatat(dir.fd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
  const int stat_error = seen ? 0 : errno;
  if (seen) {
    if (StoreStep why = distrust(st, use, owner); why != StoreStep::kNone) {
      refuse(error, why, path, st, owner);
      return OldFile::kRefused;
    }
  }
  if (open_error != 0 || !seen) {
    fail(error, StoreStep::kOpen, path, open_error != 0 ? open_error : stat_error);
    return OldFile::kRefused;
  }
  *fd = std::move(file);
  return OldFile::kOpened;
}

uid_t owner_of_credential_file(const AccountDirectory& dir, const std::string& name) {
  const std::string user = name.substr(0, name.size() - std::string_view(".conf").size());
  if (user == "root") return 0;
  if (const passwd* account = getpwnam(user.c_str())) return account->pw_uid;
  struct stat st {};
  return fstatat(dir.fd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 ? st.st_uid : 0;
}
