// SPDX-License-Identifier: Apache-2.0
#include "account_store.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <optional>
#include <utility>

#include "leftover.h"
#include "replacement_file.h"
#include "status_file.h"
#include "unique_fd.h"

namespace {

// Runs work, and turns memory running out into a refusal naming the file:
// the one place of the store where std::bad_alloc is caught.
template <class T, class Work>
StoreResult<T> guarded(const std::string& path, Work&& work) {
  try {
    return work();
  } catch (const std::bad_alloc&) {
    StoreError error;
    fail(error, StoreStep::kMemory, path, ENOMEM);
    return error;
  }
}

mode_t mode_of(FileKind kind) { return traits_of(kind).mode; }

// Whether a file still is what a read found: the same inode, not written to
// or changed in mode since (the store never writes into a file in place).
bool unchanged_since(const struct stat& now, const struct stat& then) {
  return now.st_dev == then.st_dev && now.st_ino == then.st_ino && now.st_size == then.st_size &&
         now.st_mtim.tv_sec == then.st_mtim.tv_sec && now.st_mtim.tv_nsec == then.st_mtim.tv_nsec &&
         now.st_ctim.tv_sec == then.st_ctim.tv_sec && now.st_ctim.tv_nsec == then.st_ctim.tv_nsec;
}

}  // namespace

StoreResult<AccountStore> AccountStore::open(const Caller& caller) {
  return guarded<AccountStore>(std::string(account_directory()),
                               [&]() -> StoreResult<AccountStore> {
                                 StoreError error;
                                 std::optional<AccountDirectory> dir;
                                 if (!AccountDirectory::open(caller.uid, &dir, error)) return error;
                                 return AccountStore(caller, std::move(*dir));
                               });
}

StoreResult<AccountFile> AccountStore::own_file() const {
  StoreError error;
  std::string name;
  if (!credential_file_name(caller_->user, &name, error)) return error;
  return AccountFile{std::move(name), FileKind::kCredentials, caller_->owner};
}

StoreResult<std::vector<AccountFile>> AccountStore::credential_files() const {
  using Files = std::vector<AccountFile>;
  return guarded<Files>(std::string(account_directory()), [&]() -> StoreResult<Files> {
    StoreError error;
    std::vector<std::string> names;
    if (!dir_.credential_files(&names, error)) return error;
    if (names.size() > kMaxCredentialFiles) {
      error.size = kMaxCredentialFiles;
      fail(error, StoreStep::kOverBudget, std::string(account_directory()), EFBIG);
      return error;
    }
    Files files;
    for (std::string& name : names) {
      uid_t owner = 0;
      StoreError lookup;
      if (!owner_of_credential_file(dir_, name, &owner, lookup)) {
        if (lookup.error == ENOENT) continue;  // removed since the listing
        return lookup;
      }
      files.push_back(AccountFile{std::move(name), FileKind::kCredentials, owner});
    }
    return files;
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
  if (!AccountText::read(fd.get(), file.path(), file.kind, &loaded->text, error, &loaded->st)) {
    return false;
  }
  read += loaded->text.size_read();
  return true;
}

StoreResult<std::optional<AccountText>> AccountStore::read(const AccountFile& file) const {
  using Text = std::optional<AccountText>;
  return guarded<Text>(file.path(), [&]() -> StoreResult<Text> {
    StoreError error;
    Loaded loaded;
    if (!load(file, &loaded, error)) return error;
    if (!loaded.exists) return Text();
    return Text(std::move(loaded.text));
  });
}

StoreResult<std::optional<FoundHolder>> AccountStore::find_holder(const AccountFile& file) const {
  using Found = std::optional<FoundHolder>;
  return guarded<Found>(file.path(), [&]() -> StoreResult<Found> {
    uid_t owner = 0;
    const std::optional<Holder> holder =
        ::find_holder(dir_, replacement_name(file.name), file.owner, &owner);
    if (!holder) return Found();
    return Found(FoundHolder{*holder, owner});
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

// Read first, without a lock: a file that would not change is never
// touched. A replacement file in the way is said first, as always; the
// caller's own leftover is taken over (and so cleared) by the commit.
StoreResult<AccountUpdate> AccountStore::begin(const AccountFile& file, UpdateWhen when) const {
  return guarded<AccountUpdate>(file.path(), [&]() -> StoreResult<AccountUpdate> {
    StoreError error;
    AccountUpdate update(*this, file, when);
    if (!not_blocked(file, &update.leftover_, error) || !load(file, &update.old_, error)) {
      return error;
    }
    return update;
  });
}

// ---- AccountUpdate ---------------------------------------------------------

StoreResult<EditResult> AccountUpdate::apply(StoreEdit edit) {
  if (closed_) {  // committed, or memory ran out in an earlier edit
    StoreError error;
    fail(error, StoreStep::kMemory, file_.path(), ENOMEM);
    return error;
  }
  // Memory running out half way leaves the update closed: its model may be
  // half edited, and the edits and their results no longer pair up.
  closed_ = true;
  return guarded<EditResult>(file_.path(), [&] {
    edits_.push_back(std::move(edit));
    results_.push_back(make(edits_.back()));
    closed_ = false;
    return results_.back();
  });
}

// Makes one edit on the model.
StoreResult<EditResult> AccountUpdate::make(const StoreEdit& edit) {
  AccountText& text = old_.text;
  StoreError error;
  const auto* credential = std::get_if<CredentialChange>(&edit.change);
  if (credential != nullptr && credential->needs_section) {
    if (!sections_) sections_ = sections_in(text);
    const UnknownQueue verdict = judge_unknown_queue(
        UnknownQueueAsk::kRemove, store_->caller().root(), credential->queue, &*sections_);
    if (verdict == UnknownQueue::kNoSection) {
      fail(error, StoreStep::kNoSection, file_.path(), ENOENT);
      return error;
    }
    if (verdict != UnknownQueue::kClearSection) {
      fail(error, StoreStep::kSectionsUnread, file_.path(), EFBIG);
      return error;
    }
  }
  const int before = text.changes();
  EditResult result;
  bool made = true;
  if (credential != nullptr) {
    made = apply_change(text, *credential, error, edit.tell_mending ? &result.mending : nullptr);
  } else if (const auto* status = std::get_if<StatusSwitch>(&edit.change)) {
    made = switch_queue(text, status->queue, status->function, error);
  } else {
    const auto& clear = std::get<StatusClear>(edit.change);
    clear_queue(text, clear.queue, clear.any_case);
  }
  if (!made) {
    if (error.path.empty()) {
      error.path = error.step == StoreStep::kLineTooLong
                       ? path_in_account_directory(replacement_name(file_.name))
                       : file_.path();
    }
    return error;
  }
  result.changed = text.changes() > before;
  return result;
}

// Makes the recorded edits again, on the file as read anew.
bool AccountUpdate::redo(StoreError& error) {
  sections_.reset();
  results_.clear();
  for (const StoreEdit& edit : edits_) results_.push_back(make(edit));
  for (const StoreResult<EditResult>& result : results_) {
    if (!result) {
      error = result.error();
      return false;
    }
  }
  return true;
}

// Whether the model must be written (*rewrite); refused when the new
// content would be past the bound: every later read, its owner's own remove
// included, would refuse it.
bool AccountUpdate::decide(bool* rewrite, StoreError& error) const {
  const AccountText& text = old_.text;
  *rewrite = text.changes() > 0 ||
             (when_ == UpdateWhen::kBytesDiffer && old_.exists &&
              (!text.same_as_read() || (old_.st.st_mode & 07777) != mode_of(file_.kind)));
  if (*rewrite && text.changes() > 0 && text.content_size() > kMaxFileBytes) {
    error.size = text.content_size();
    return fail(error, StoreStep::kWouldBeTooLarge, file_.path(), EFBIG);
  }
  return true;
}

StoreResult<Committed> AccountUpdate::commit(Commit mode) {
  return guarded<Committed>(file_.path(), [&] { return commit_unguarded(mode); });
}

StoreResult<Committed> AccountUpdate::commit_unguarded(Commit mode) {
  StoreError error;
  if (closed_) {  // committed already, or memory ran out in an edit
    fail(error, StoreStep::kMemory, file_.path(), ENOMEM);
    return error;
  }
  closed_ = true;
  for (const StoreResult<EditResult>& result : results_) {
    if (!result) return result.error();
  }
  bool rewrite = false;
  if (!decide(&rewrite, error)) return error;
  if (mode == Commit::kPreview) return Committed{rewrite};
  if (!rewrite && !leftover_) return Committed{};

  const AccountDirectory& dir = store_->dir_;
  ReplacementFile out(dir, file_.name, file_.owner, error);
  const bool created = out.create(mode_of(file_.kind));
  recovered_ = out.recovered();
  if (!created) return error;
  // Another run may have replaced the file between the read and the lock.
  struct stat now {};
  const bool still = fstatat(dir.fd(), file_.name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0
                         ? old_.exists && unchanged_since(now, old_.st)
                         : !old_.exists && errno == ENOENT;
  if (!still) {
    old_ = AccountStore::Loaded{};
    if (!store_->load(file_, &old_, error) || !redo(error) || !decide(&rewrite, error)) {
      return error;
    }
  }
  if (!rewrite) return Committed{false};  // out removes its file
  // Written from the model itself when its lines make a few pieces (no
  // copy of the content to make and wipe), else copied whole.
  std::vector<std::string_view> pieces;
  SecretText copy;
  if (!old_.text.pieces(ReplacementFile::kMaxPieces, &pieces)) {
    copy = old_.text.bytes();
    pieces.assign(1, copy.view());
  }
  if (!out.write(pieces) || !out.commit()) return error;
  return Committed{true};
}
