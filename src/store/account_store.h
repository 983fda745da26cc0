// SPDX-License-Identifier: Apache-2.0
// The account store of one run: the account directory, opened and its whole
// path checked once, and every read and rewrite of a file in it, for one
// caller. An update is a calling sequence, the way git writes through a lock
// file, and leaves a file that would not change as it is:
//
//   1. begin: a replacement file in the way is refused (the caller's own
//      leftover is none: the commit takes it over); the old file is read,
//      through the trust checks, into its model (a prompted set begins
//      before its prompt, so that what refuses it is said first);
//   2. apply edits, which are values (StoreEdit), to the model in memory;
//      the update records them;
//   3. commit: if the bytes (or the mode) would not change, stop: nothing is
//      written. Else create the replacement file, locked from its first
//      instant (or take over the caller's own leftover); if the file was
//      replaced since it was read, read it again and apply the recorded
//      edits anew; write the new content in one piece, flush it, rename it
//      into place, flush the directory. A preview stops at the decision.
//
//   StoreResult<AccountStore> store = AccountStore::open(caller);
//   if (!store) return report(store.error());
//   StoreResult<AccountUpdate> update = store->begin(store->status_file(),
//                                                    UpdateWhen::kBytesDiffer);
//   if (!update) return report(update.error());
//   StoreResult<EditResult> edit =
//       update->apply({StatusSwitch{"lp1", StatusFunction::kJobAccounting}});
//   if (!edit) return report(edit.error());       // abandoned: nothing written
//   StoreResult<Committed> done = update->commit(Commit::kWrite);
//   report_recovered(update->recovered());        // whatever the result
//
// Results: every call returns a StoreResult: what it found, or the
// StoreError that says why not; memory running out is such a refusal
// (kMemory), never an exception. An update that was abandoned (no commit,
// or a refused edit) wrote nothing. The leftover a commit took over is in
// recovered(), whatever the commit's result. An update is committed at
// most once; an edit or a commit after that, or after memory ran out in an
// edit, is refused.
#ifndef VELMORA_ACCOUNT_STORE_H_
#define VELMORA_ACCOUNT_STORE_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <unordered_map>
#include <variant>
#include <vector>

#include "account_directory.h"
#include "account_text.h"
#include "caller.h"
#include "credential_file.h"
#include "store_error.h"
#include "unknown_queue.h"

// One file of the store and whose it is.
struct AccountFile {
  std::string name;  // in the account directory
  FileKind kind;     // a credential file (private, mode 0600) or the status file (public, 0644)
  uid_t owner;       // the old file must be theirs, and so is the new one
  std::string path() const { return path_in_account_directory(name); }
};

// When an update is written.
enum class UpdateWhen {
  kBytesDiffer,  // whenever the file's bytes or mode would change (line endings included)
  kEditChanged,  // only when an edit changed a line: a forget leaves the files it misses alone
};

// ---- Edits: values, so that a commit can make them again --------------------

// The status file: `function` on for queue (status_file.h switch_queue).
struct StatusSwitch {
  std::string queue;
  StatusFunction function = StatusFunction::kOff;
};
// The status file: every status line of queue out, in its own spelling or
// in any letter case (status_file.h clear_queue).
struct StatusClear {
  std::string queue;
  bool any_case = false;
};

// A CredentialChange that needs_section is refused when the file has no
// section of exactly its queue's name (kNoSection) or more sections than a
// run reads (kSectionsUnread).
struct StoreEdit {
  std::variant<CredentialChange, StatusSwitch, StatusClear> change;
  // A credential remove or forget: work out what it mended (EditResult).
  bool tell_mending = false;
};

// What one edit did to the model.
struct EditResult {
  bool changed = false;  // it changed a line
  Mending mending;       // with tell_mending: what a credential remove or forget mended
};

enum class Commit { kWrite, kPreview };

// What a commit did: whether it wrote the file (previewing: whether it
// would).
struct Committed {
  bool written = false;
};

// What one run reads at most of the account files of one owner, and how
// many credential files it lists: no real directory comes near them, and a
// neighbour's many large files cannot hold root's --forget or --list
// --all-users for long, nor spend what is read of other owners' files.
// What is past them is refused, by name.
constexpr std::size_t kMaxOwnerBytes = std::size_t{64} << 20;
constexpr std::size_t kMaxCredentialFiles = 100'000;

class AccountUpdate;

// Whether a live run, the caller's interrupted one, or someone else holds
// a file's replacement file, and whose that is.
struct FoundHolder {
  Holder holder = Holder::kUnknown;
  uid_t owner = 0;
};

class AccountStore {
 public:
  static StoreResult<AccountStore> open(const Caller& caller);

  const Caller& caller() const { return *caller_; }

  // The files of this store.
  AccountFile status_file() const { return {std::string(kStatusName), FileKind::kStatus, 0}; }
  // The caller's credential file (kPathTooLong when USER makes it too long).
  StoreResult<AccountFile> own_file() const;
  // Every credential file in the directory, sorted, each with the owner it
  // must have; files that vanished meanwhile are left out.
  StoreResult<std::vector<AccountFile>> credential_files() const;

  // Reads a file (nullopt: there is none).
  StoreResult<std::optional<AccountText>> read(const AccountFile& file) const;

  // Who holds the file's replacement file (nullopt: there is none).
  StoreResult<std::optional<FoundHolder>> find_holder(const AccountFile& file) const;

  // Begins an update of the file; the store must outlive it.
  StoreResult<AccountUpdate> begin(const AccountFile& file, UpdateWhen when) const;

 private:
  friend class AccountUpdate;
  struct Loaded {
    bool exists = false;
    struct stat st {};
    AccountText text;
  };
  AccountStore(const Caller& caller, AccountDirectory dir)
      : caller_(&caller), dir_(std::move(dir)) {}
  bool not_blocked(const AccountFile& file, bool* leftover, StoreError& error) const;
  bool load(const AccountFile& file, Loaded* loaded, StoreError& error) const;

  const Caller* caller_;
  AccountDirectory dir_;
  mutable std::unordered_map<uid_t, std::size_t> bytes_read_;  // per owner
};

// One update of one file, from begin to commit.
class AccountUpdate {
 public:
  // Applies edit to the model and records it; a refused edit (error path
  // filled in) leaves the update to be abandoned: its commit is refused.
  StoreResult<EditResult> apply(StoreEdit edit);
  // Writes the model, or previews whether it would; at most once.
  StoreResult<Committed> commit(Commit mode);

  // The file's model as begun (and edited so far): what may refuse an edit
  // can be said from it before anything is typed.
  const AccountText& text() const { return old_.text; }
  // Each recorded edit's result, as last made: on the content committed
  // (or as read again) when the commit got that far.
  const std::vector<StoreResult<EditResult>>& results() const { return results_; }
  // The leftover the commit took over, whatever its result, or "".
  const std::string& recovered() const { return recovered_; }

 private:
  friend class AccountStore;
  AccountUpdate(const AccountStore& store, AccountFile file, UpdateWhen when)
      : store_(&store), file_(std::move(file)), when_(when) {}
  StoreResult<EditResult> make(const StoreEdit& edit);
  bool redo(StoreError& error);
  bool decide(bool* rewrite, StoreError& error) const;
  StoreResult<Committed> commit_unguarded(Commit mode);

  const AccountStore* store_;
  AccountFile file_;
  UpdateWhen when_;
  bool leftover_ = false;  // the caller's own, which a commit takes over
  // Set while an edit is recorded (left set when memory ran out half way),
  // and once a commit has begun: no later call may act on the model.
  bool closed_ = false;
  AccountStore::Loaded old_;
  std::vector<StoreEdit> edits_;
  std::vector<StoreResult<EditResult>> results_;
  // The file's sections, read when an edit first needs them.
  std::optional<FileSections> sections_;
  std::string recovered_;
};

#endif  // VELMORA_ACCOUNT_STORE_H_
