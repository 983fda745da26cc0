// SPDX-License-Identifier: Apache-2.0
// The account directory: the names of the files in it, whether the directory
// itself may be used, and which old files found in it may be adopted.
//
// The directory is writable by every user, who may plant any name in it. So
// a run first opens the directory and checks the whole path to it
// (AccountDirectory::open), then works only through that descriptor, and
// adopts an old file only when open_old_file finds it trustworthy.
//
// Results: every function returns true, or false with the StoreError filled
// in (with the owner, mode, link count or size a message needs); nothing
// refused is changed.
#ifndef VELMORA_ACCOUNT_DIRECTORY_H_
#define VELMORA_ACCOUNT_DIRECTORY_H_

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "account_format.h"
#include "store_error.h"
#include "unique_fd.h"

// ---- Names ------------------------------------------------------------------

// Longest path of a file in the directory; a name that would make a longer
// one is refused, never cut.
constexpr std::size_t kMaxPathBytes = 255;

// The status file's name, one for the machine.
constexpr std::string_view kStatusName = "status";
// A credential file is named USER.conf; a replacement file, the name of the
// file it replaces and ".new".
constexpr std::string_view kCredentialSuffix = ".conf";
constexpr std::string_view kReplacementSuffix = ".new";

inline std::string replacement_name(std::string_view name) {
  return std::string(name).append(kReplacementSuffix);
}

// The account directory compiled into this build: the tool's, or a test's
// (each executable links the one object that defines it: site_settings.cpp).
std::string_view account_directory();
// The full path of a file in it, for messages.
std::string path_in_account_directory(std::string_view name);

// The name of a user's credential file, "USER.conf" (null user: root's); a
// kPathTooLong refusal when its replacement file's path would be longer than
// kMaxPathBytes (the path in the error, cut there).
bool credential_file_name(const char* user, std::string* name, StoreError& error);

// The user a credential file is filed under ("alice" for "alice.conf"), or
// nullopt when name is no credential file's (a hidden name, a replacement
// file, anything else).
std::optional<std::string_view> user_of_credential_file(std::string_view name);

// ---- The directory ------------------------------------------------------------

class AccountDirectory {
 public:
  // Opens the account directory and checks the whole path to it: every
  // directory from "/" down, and every symbolic link on the way (followed),
  // must belong to root or to the caller and, when group or others may write
  // in it, carry the sticky bit, so that nobody can replace the directory or
  // another user's files in it. Else kDirectory, or kUnsafeDirectory naming
  // the first offending directory (target: the account directory).
  static bool open(uid_t caller, std::optional<AccountDirectory>* dir, StoreError& error);

  int fd() const { return fd_.get(); }
  uid_t caller() const { return caller_; }

  // Every credential file's name in the directory ("USER.conf"), sorted.
  bool credential_files(std::vector<std::string>* names, StoreError& error) const;

 private:
  AccountDirectory(UniqueFd fd, uid_t caller) : fd_(std::move(fd)), caller_(caller) {}
  UniqueFd fd_;
  uid_t caller_;
};

// ---- Old files --------------------------------------------------------------

// Who must own the credential file `name` ("USER.conf") in dir: root's,
// root; a local account's, that account; a print name's (no local account
// has it, but an ordinary user may keep credentials under it), whoever made
// it (kOpen with ENOENT when it is gone). The trust checks then judge the
// file against that owner.
bool owner_of_credential_file(const AccountDirectory& dir, std::string_view name, uid_t* owner,
                              StoreError& error);

// Opens the old file `name` for reading, if this run may adopt it: a regular
// file with one name, owned by `owner`, not writable by group or others, no
// larger than kMaxFileBytes, and (the status file, which everyone reads)
// readable by everyone. A link is never followed and a FIFO never waited on.
// *fd stays invalid when there is no such file; *st describes the file.
bool open_old_file(const AccountDirectory& dir, std::string_view name, FileKind kind, uid_t owner,
                   UniqueFd* fd, struct stat* st, StoreError& error);

#endif  // VELMORA_ACCOUNT_DIRECTORY_H_
