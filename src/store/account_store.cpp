// SPDX-License-Identifier: Apache-2.0
#include "account_store.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <utility>

#include "leftover.h"
#include "replacement_file.h"
#include "unique_fd.h"

namespace {

// Runs work, and turns memory running out into a refusal naming the file:
// the one place of the store where std::bad_alloc is caught.
template <class Work>
bool guarded(StoreError& error, const std::string& path, Work&& work) {
  try {
    return work();
  } catch (const std::bad_alloc&) {
    return fail(error, StoreStep::kMemory, path, ENOMEM);
  }
}

mode_t mode_of(FileKind kind) { return traits_of(kind).mode; }

// The bytes the new content holds: every line and its LF.
std::size_t content_size(const AccountText& text) {
  std::size_t size = 0;
  for (const AccountLine& line : text.lines()) size += line.size + 1;
  return size;
}

// Whether a file still is what a read found: the same inode, not written to
// or changed in mode since (the store never writes into a file in place).
bool unchanged_since(const struct stat& now, const struct stat& then) {
  return now.st_dev == then.st_dev && now.st_ino == then.st_ino && now.st_size == then.st_size &&
         now.st_mtim.tv_sec == then.st_mtim.tv_sec && now.st_mtim.tv_nsec == then.st_mtim.tv_nsec &&
         now.st_ctim.tv_sec == then.st_ctim.tv_sec && now.st_ctim.tv_nsec == then.st_ctim.tv_nsec;
}

}  // namespace

struct AccountStore::Loaded {
  bool exists = false;
  struct stat st {};
  AccountText text;
};

bool AccountStore::open(const Caller& caller, std::optional<AccountStore>* store,
                        StoreError& error) {
  return guarded(error, std::string(account_directory()), [&] {
    std::optional<AccountDirectory> dir;
    if (!AccountDirectory::open(caller.uid, &dir, error)) return false;
    store->emplace(AccountStore(caller, std::move(*dir)));
    return true;
  });
}

bool AccountStore::own_file(AccountFile* file, StoreError& error) const {
  std::string name;
  if (!credential_file_name(caller_->user, &name, error)) return false;
  *file = AccountFile{std::move(name), FileKind::kCredentials, caller_->owner};
  return true;
}

bool AccountStore::credential_files(std::vector<AccountFile>* files, StoreError& error) const {
  return guarded(error, std::string(account_directory()), [&] {
    files->clear();
    std::vector<std::string> names;
    if (!dir_.credential_files(&names, error)) return false;
    if (names.size() > kMaxCredentialFiles) {
      error.size = kMaxCredentialFiles;
      return fail(error, StoreStep::kOverBudget, std::string(account_directory()), EFBIG);
    }
    for (std::string& name : names) {
      uid_t owner = 0;
      StoreError lookup;
      if (!owner_of_credential_file(dir_, name, &owner, lookup)) {
        if (lookup.error == ENOENT) continue;  // removed since the listing
        error = std::move(lookup);
        return false;
      }
      files->push_back(AccountFile{std::move(name), FileKind::kCredentials, owner});
    }
    return true;
  });
}

bool AccountStore::load(const AccountFile& file, Loaded* loaded, StoreError& error) const {
  UniqueFd fd;
  if (!open_old_file(dir_, file.name, file.kind, file.owner, &fd, &loaded->st, error)) {
    return false;
  }
  loaded->exists = fd.valid();
  loaded->text = AccountText::parse("", file.kind);
  if (!loaded->exists) return true;
  const auto size = static_cast<std::size_t>(loaded->st.st_size);
  std::size_t& read = bytes_read_[loaded->st.st_uid];
  if (size > kMaxOwnerBytes - std::min(read, kMaxOwnerBytes)) {
    error.owner = loaded->st.st_uid;
    error.size = read;
    return fail(error, StoreStep::kOverBudget, file.path(), EFBIG);
  }
  if (!AccountText::read(fd.get(), file.path(), file.kind, &loaded->text, error)) return false;
  read += loaded->text.size_read();
  return true;
}

bool AccountStore::read(const AccountFile& file, std::optional<AccountText>* text,
                        StoreError& error) const {
  return guarded(error, file.path(), [&] {
    Loaded loaded;
    if (!load(file, &loaded, error)) return false;
    if (loaded.exists) {
      *text = std::move(loaded.text);
    } else {
      text->reset();
    }
    return true;
  });
}

bool AccountStore::find_holder(const AccountFile& file, std::optional<Holder>* holder, uid_t* owner,
                               StoreError& error) const {
  return guarded(error, file.path(), [&] {
    *holder = ::find_holder(dir_, replacement_name(file.name), file.owner, owner);
    return true;
  });
}

// A replacement file in the way of an update: a live run's, or someone
// else's (kCreate, EEXIST, saying whose); *leftover: the caller's own, left
// by an interrupted run, which the update takes over.
bool AccountStore::not_blocked(const AccountFile& file, bool* leftover, StoreError& error) const {
  const std::string replacement = replacement_name(file.name);
  uid_t holder_owner = 0;
  const std::optional<Holder> holder = ::find_holder(dir_, replacement, file.owner, &holder_owner);
  *leftover = holder == Holder::kInterrupted;
  if (!holder || *leftover) return true;
  error.owner = holder_owner;
  error.holder = *holder;
  error.target = file.path();
  return fail(error, StoreStep::kCreate, path_in_account_directory(replacement), EEXIST);
}

bool AccountStore::check_update(const AccountFile& file, StoreError& error) const {
  return guarded(error, file.path(), [&] {
    bool leftover = false;
    UniqueFd fd;
    struct stat st {};
    return not_blocked(file, &leftover, error) &&
           open_old_file(dir_, file.name, file.kind, file.owner, &fd, &st, error);
  });
}

bool AccountStore::update(const AccountFile& file, const Edit& edit, UpdateWhen when, bool* written,
                          StoreError& error) const {
  return guarded(error, file.path(),
                 [&] { return update_unguarded(file, edit, when, true, written, error); });
}

bool AccountStore::preview(const AccountFile& file, const Edit& edit, UpdateWhen when,
                           bool* would_write, StoreError& error) const {
  return guarded(error, file.path(),
                 [&] { return update_unguarded(file, edit, when, false, would_write, error); });
}

bool AccountStore::update_unguarded(const AccountFile& file, const Edit& edit, UpdateWhen when,
                                    bool write, bool* written, StoreError& error) const {
  *written = false;
  // Edits the model; *rewrite: whether the file must be written.
  auto edit_loaded = [&](Loaded& loaded, bool* rewrite) {
    if (!edit(loaded.text, error)) {
      if (error.path.empty()) {
        error.path = error.step == StoreStep::kLineTooLong
                         ? path_in_account_directory(replacement_name(file.name))
                         : file.path();
      }
      return false;
    }
    *rewrite = loaded.text.changes() > 0 ||
               (when == UpdateWhen::kBytesDiffer && loaded.exists &&
                (!loaded.text.same_as_read() || (loaded.st.st_mode & 07777) != mode_of(file.kind)));
    // A file past the bound would be refused by every later read, its
    // owner's own remove included.
    if (*rewrite && loaded.text.changes() > 0 && content_size(loaded.text) > kMaxFileBytes) {
      error.size = content_size(loaded.text);
      return fail(error, StoreStep::kWouldBeTooLarge, file.path(), EFBIG);
    }
    return true;
  };
  // Read first, without a lock: a file that would not change is never
  // touched. A replacement file in the way is said first, as always; the
  // caller's own leftover is taken over (and so cleared) either way.
  bool leftover = false;
  Loaded old;
  bool rewrite = false;
  if (!not_blocked(file, &leftover, error) || !load(file, &old, error) ||
      !edit_loaded(old, &rewrite)) {
    return false;
  }
  if (!write) {
    *written = rewrite;
    return true;
  }
  if (!rewrite && !leftover) return true;

  ReplacementFile out(dir_, file.name, file.owner, error);
  if (!out.create(mode_of(file.kind))) return false;
  // Another run may have replaced the file between the read and the lock.
  struct stat now {};
  const bool still = fstatat(dir_.fd(), file.name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0
                         ? old.exists && unchanged_since(now, old.st)
                         : !old.exists && errno == ENOENT;
  if (!still) {
    old = Loaded{};
    if (!load(file, &old, error) || !edit_loaded(old, &rewrite)) return false;
  }
  if (!rewrite) return true;  // out removes its file
  const SecretText bytes = old.text.bytes();
  if (!out.write(bytes.view()) || !out.commit()) return false;
  *written = true;
  return true;
}
