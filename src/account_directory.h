// SPDX-License-Identifier: Apache-2.0
// The account directory: the paths of the files in it, whether the directory
// itself may be used, and which old files found in it may be adopted.
//
// The directory is writable by every user, who may plant any name in it. So
// an update first opens the directory and checks it (AccountDirectory::open),
// then works only through that descriptor, and adopts an old file only when
// open_old_file finds it trustworthy.
//
// Results: make_file_path returns the path (nullopt only when memory runs
// out); AccountDirectory::open returns the directory or nullopt; open_old_file
// returns an OldFile. Refusals fill in a StoreError with the owner, mode or
// link count a message needs; nothing refused is changed.
#ifndef VELMORA_ACCOUNT_DIRECTORY_H_
#define VELMORA_ACCOUNT_DIRECTORY_H_

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "store_error.h"
#include "unique_fd.h"

// ---- Paths ------------------------------------------------------------------

// What stands between the directory and the suffix; the values are the
// documented path forms.
enum class PathForm {
  kShared = 2,  // nothing: directory "/" suffix (the status file)
  kOwner = 4,   // the owner, or "root": directory "/" owner suffix
};

// Longest path the store builds; longer ones are cut to this many bytes.
constexpr std::size_t kMaxPathBytes = 255;

// The account directory compiled into this build: the tool's, or a test's
// (each executable links the one object that defines it).
std::string_view account_directory();

// Builds an account file path. A null owner stands for root. An over-long
// path is cut at kMaxPathBytes; *cut (when given) tells whether that happened.
// Returns nullopt only when memory runs out.
std::optional<std::string> make_file_path(PathForm form, const char* owner, const char* suffix,
                                          bool* cut = nullptr);

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

// The name of an account file inside the directory, from its full path.
std::string name_in_directory(const std::string& path);

// ---- Old files --------------------------------------------------------------

// How an old file is shared: a credential file is private; the status file
// is read by everyone, so it must be public already, or republishing it at
// mode 0644 could expose what its owner kept private.
enum class FileUse { kPrivate, kPublic };

enum class OldFile { kOpened, kMissing, kRefused };

// Opens the old file `name` for reading, if this run may adopt it: a regular
// file with one name, owned by `owner` (the caller's real user ID for an
// update; root for a status file a user reads), not writable by group or
// others, and (kPublic) readable by everyone. A link is never
// followed and a FIFO never waited on. kRefused leaves *error saying why.
OldFile open_old_file(const AccountDirectory& dir, const std::string& name, FileUse use,
                      uid_t owner, UniqueFd* fd, StoreError* error);

#endif  // VELMORA_ACCOUNT_DIRECTORY_H_
