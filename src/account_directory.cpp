// SPDX-License-Identifier: Apache-2.0
#include "account_directory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <new>
#include <utility>

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

std::optional<std::string> make_file_path(PathForm form, const char* owner, const char* suffix,
                                          bool* cut) {
  char buffer[kMaxPathBytes + 1] = {};
  std::size_t used = 0;
  bool was_cut = false;
  auto append = [&](const char* piece) {
    std::size_t n = std::strlen(piece);
    std::size_t room = kMaxPathBytes - used;
    if (n > room) {
      n = room;
      was_cut = true;
    }
    std::memcpy(buffer + used, piece, n);
    used += n;
  };
  append(kAccountDir);
  append("/");
  if (form == PathForm::kOwner) append(owner != nullptr ? owner : "root");
  append(suffix != nullptr ? suffix : "");
  if (cut != nullptr) *cut = was_cut;
  try {
    return std::string(buffer, used);
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

std::string name_in_directory(const std::string& path) {
  return path.substr(account_directory().size() + 1);
}

std::optional<AccountDirectory> AccountDirectory::open(StoreError* error) {
  const std::string path(account_directory());
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  struct stat st {};
  if (!fd.valid() || fstat(fd.get(), &st) != 0) {
    fail(error, StoreStep::kDirectory, path, errno);
    return std::nullopt;
  }
  const bool owner_ok = st.st_uid == 0 || st.st_uid == getuid();
  const bool shared = (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
  if (!owner_ok || (shared && (st.st_mode & S_ISVTX) == 0)) {
    error->owner = st.st_uid;
    error->mode = st.st_mode & 07777;
    fail(error, StoreStep::kUnsafeDirectory, path, EPERM);
    return std::nullopt;
  }
  return AccountDirectory(std::move(fd));
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
  UniqueFd file(
      ::openat(dir.fd(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
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
