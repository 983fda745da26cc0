// SPDX-License-Identifier: Apache-2.0
// The account directory: the paths of the files in it, whether the directory
// itself may be used, and which old files found in it may be adopted.
//
// The directory is writable by every user, who may plant any name in it. So
// an update first opens the directory and checks it (AccountDirectory::open),
// then works only through that descriptor, and adopts an old file only when
// open_old_file finds it trustworthy.
//
// Results: credential_file_name returns the name or nullopt;
// AccountDirectory::open returns the directory or nullopt; open_old_file
// returns an OldFile. Refusals fill in a StoreError with the owner, mode or
// link count a message needs; nothing refused is changed.
#ifndef VELMORA_ACCOUNT_DIRECTORY_H_
#define VELMORA_ACCOUNT_DIRECTORY_H_

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store_error.h"
#include "unique_fd.h"

// ---- Names ------------------------------------------------------------------

// Longest path of a file in the directory; a name that would make a longer
// one is refused, never cut.
constexpr std::size_t kMaxPathBytes = 255;

// The status file's name, one for the machine.
constexpr const char kStatusName[] = "status";

// The replacement file's name of an account file.
inline std::string replacement_name(std::string_view name) { return std::string(name) + ".new"; }

// The account directory compiled into this build: the tool's, or a test's
// (each executable links the one object that defines it).
std::string_view account_directory();

// The name of a user's credential file, "USER.conf" (null user: root's); a
// StoreStep::kPathTooLong refusal in *error when its replacement file's path
// would be longer than kMaxPathBytes (the path in the error, cut there).
std::optional<std::string> credential_file_name(const char* user, StoreError* error);

// Every credential file's name in the directory ("USER.conf"), sorted;
// replacement files, hidden names and anything else are passed over.
// nullopt with *error (kDirectory) when the directory cannot be read.
std::optional<std::vector<std::string>> list_credential_files(const class AccountDirectory& dir,
                                                              StoreError* error);

// ---- The directory ------------------------------------------------------------

class AccountDirectory {
 public:
  // Opens the account directory and checks the whole path to it: every
  // directory from "/" down, and every symbolic link on the way (followed),
  // must belong to root or to the caller and, when group or others may write
  // in it, carry the sticky bit, so that nobody can replace the directory or
  // another user's files in it. nullopt with *error (kDirectory;
  // kUnsafeDirectory naming the first offending directory, with target the
  // account directory) otherwise.
  static std::optional<AccountDirectory> open(StoreError* error);

  int fd() const { return fd_.get(); }
  // The full path of a file in the directory, for messages.
  std::string path_of(std::string_view name) const;

 private:
  explicit AccountDirectory(UniqueFd fd) : fd_(std::move(fd)) {}
  UniqueFd fd_;
};

// ---- Old files --------------------------------------------------------------

// How an old file is shared: a credential file is private; the status file
// is read by everyone, so it must be public already, or republishing it at
// mode 0644 could expose what its owner kept private.
enum class FileUse { kPrivate, kPublic };

// Who must own the credential file `name` ("USER.conf") in dir: root's,
// root; a local account's, that account; a print name's (no local account
// has it, but an ordinary user may keep credentials under it), whoever made
// it. The trust checks then judge the file against that owner.
uid_t owner_of_credential_file(const AccountDirectory& dir, const std::string& name);

enum class OldFile { kOpened, kMissing, kRefused };

// Opens the old file `name` for reading, if this run may adopt it: a regular
// file with one name, owned by `owner` (the caller's real user ID for an
// update; root for a status file a user reads), not writable by group or
// others, and (kPublic) readable by everyone. A link is never
// followed and a FIFO never waited on. kRefused leaves *error saying why.
OldFile open_old_file(const AccountDirectory& dir, const std::string& name, FileUse use,
                      uid_t owner, UniqueFd* fd, StoreError* error);

#endif  // VELMORA_ACCOUNT_DIRECTORY_H_
