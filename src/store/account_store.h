// SPDX-License-Identifier: Apache-2.0
// The account store of one run: the account directory, opened and its whole
// path checked once, and every read and rewrite of a file in it, for one
// caller. An update goes the way git writes through a lock file, and leaves
// a file that would not change as it is:
//
//   1. read the old file, through the trust checks, into its model;
//   2. edit the model in memory (credential_file.h, status_file.h);
//   3. if the bytes (or the mode) would not change, stop: nothing is written;
//   4. else create the replacement file, locked from its first instant (or
//      take over the caller's own leftover), read the old file again if it
//      was replaced meanwhile, and write the new content in one piece;
//   5. flush it, rename it into place, flush the directory.
//
//   std::optional<AccountStore> store;
//   if (!AccountStore::open(caller, &store, error)) ...
//   bool written = false;
//   store->update(store->status_file(), edit, UpdateWhen::kBytesDiffer, &written, error);
//
// Results: every call returns true, or false with the StoreError filled in;
// memory running out is such a refusal (kMemory), never an exception.
// error.recovered names a leftover an update took over, whatever the result.
#ifndef VELMORA_ACCOUNT_STORE_H_
#define VELMORA_ACCOUNT_STORE_H_

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "account_directory.h"
#include "account_text.h"
#include "caller.h"
#include "store_error.h"

// One file of the store and whose it is.
struct AccountFile {
  std::string name;  // in the account directory
  FileKind kind;     // a credential file (private, mode 0600) or the status file (public, 0644)
  uid_t owner;       // the old file must be theirs, and so is the new one
  std::string path() const { return path_in_account_directory(name); }
};

// When an edit leads to a rewrite.
enum class UpdateWhen {
  kBytesDiffer,  // whenever the file's bytes or mode would change (line endings included)
  kEditChanged,  // only when the edit changed a line: a forget leaves the files it misses alone
};

// What one run reads at most of the account files of one owner, and how
// many credential files it lists: no real directory comes near them, and a
// neighbour's many large files cannot hold root's --forget or --list
// --all-users for long, nor spend what is read of other owners' files.
// What is past them is refused, by name.
constexpr std::size_t kMaxOwnerBytes = std::size_t{64} << 20;
constexpr std::size_t kMaxCredentialFiles = 100'000;

class AccountStore {
 public:
  static bool open(const Caller& caller, std::optional<AccountStore>* store, StoreError& error);

  const Caller& caller() const { return *caller_; }

  // The files of this store.
  AccountFile status_file() const { return {std::string(kStatusName), FileKind::kStatus, 0}; }
  // The caller's credential file (kPathTooLong when USER makes it too long).
  bool own_file(AccountFile* file, StoreError& error) const;
  // Every credential file in the directory, sorted, each with the owner it
  // must have; files that vanished meanwhile are left out.
  bool credential_files(std::vector<AccountFile>* files, StoreError& error) const;

  // Reads a file into *text (nullopt: there is none).
  bool read(const AccountFile& file, std::optional<AccountText>* text, StoreError& error) const;

  // What an update of the file can know before anything is typed: the trust
  // checks, and a replacement file in the way (a leftover of the caller's
  // own is none: the update takes it over).
  bool check_update(const AccountFile& file, StoreError& error) const;

  // Whether a live run, the caller's interrupted one, or someone else holds
  // the file's replacement file (*holder nullopt: there is none); *owner:
  // whose it is.
  bool find_holder(const AccountFile& file, std::optional<Holder>* holder, uid_t* owner,
                   StoreError& error) const;

  // The edit: changes the model (an empty one when there is no file), or
  // returns false with the error filled in (its path is filled in here).
  using Edit = std::function<bool(AccountText& text, StoreError& error)>;
  // Updates the file by edit; *written tells whether it was rewritten.
  bool update(const AccountFile& file, const Edit& edit, UpdateWhen when, bool* written,
              StoreError& error) const;
  // The same, up to the decision: *would_write tells whether the update
  // would rewrite the file; nothing is written, no replacement file made.
  bool preview(const AccountFile& file, const Edit& edit, UpdateWhen when, bool* would_write,
               StoreError& error) const;

 private:
  AccountStore(const Caller& caller, AccountDirectory dir)
      : caller_(&caller), dir_(std::move(dir)) {}
  struct Loaded;
  bool not_blocked(const AccountFile& file, bool* leftover, StoreError& error) const;
  bool load(const AccountFile& file, Loaded* loaded, StoreError& error) const;
  bool update_unguarded(const AccountFile& file, const Edit& edit, UpdateWhen when, bool write,
                        bool* written, StoreError& error) const;

  const Caller* caller_;
  AccountDirectory dir_;
  mutable std::unordered_map<uid_t, std::size_t> bytes_read_;  // per owner
};

#endif  // VELMORA_ACCOUNT_STORE_H_
