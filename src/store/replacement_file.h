// SPDX-License-Identifier: Apache-2.0
// The replacement file of one update, after git's lock files: the new
// content of an account file is written beside it, under the name with
// ".new" appended, and renamed onto it only when complete and on disk.
//
// Calling sequence (account_store.h runs it for every update):
//
//   ReplacementFile out(dir, "alice.conf", owner, error);  // writes "alice.conf.new"
//   if (!out.create(0600)) return false;   // another run's stays
//   out.write(content);                    // the whole new content, at once
//                                          // (or its pieces, in one writev)
//   return out.commit();                   // flush it, rename it into place
//
// The file is a lock held by a live run from its first instant
// (leftover.h): it is made unnamed (O_TMPFILE) or under a private random
// name, given its owner and the live run's lock, and only then put under its
// name, which fails when the name exists. A replacement file that no live
// run holds is a leftover of an interrupted one; the next run of its owner
// (or root's) removes it and makes a fresh file in its place, and says so.
// Someone else's, or one a live run holds, is never touched. It stays 0600
// until just before its rename, so no other user can open it.
//
// Errors: every step returns false with the StoreError filled in and errno
// set. Any way out before commit() (an error, the end of scope, one of the
// signals that end a run) removes the file again, but only while its name
// still refers to the file this run created.
#ifndef VELMORA_REPLACEMENT_FILE_H_
#define VELMORA_REPLACEMENT_FILE_H_

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "account_directory.h"
#include "signals.h"
#include "store_error.h"
#include "unique_fd.h"

class ReplacementFile {
 public:
  // target is the name of the file it replaces, inside dir, which must
  // outlive this object; owner is whose the new file is (root acting for a
  // user makes it the user's from the start), and whose leftover this run
  // may remove.
  ReplacementFile(const AccountDirectory& dir, std::string target, uid_t owner, StoreError& error);
  ReplacementFile(const ReplacementFile&) = delete;
  ReplacementFile& operator=(const ReplacementFile&) = delete;
  ~ReplacementFile() { rollback(); }

  // Creates the file, locked from its first instant, after removing the
  // caller's own leftover if there is one (recovered() then names it);
  // `mode` is what it gets, whatever the umask, just before the rename. When
  // a live run or another user holds the name, the error says whose it is and
  // which (Holder).
  bool create(mode_t mode);

  // Writes data after what was written before (the whole content, best in
  // one call: a neighbour watching the file's size learns only the total).
  bool write(std::string_view data);
  // The same of pieces, one after another, in one call (writev); at most
  // kMaxPieces of them.
  bool write(const std::vector<std::string_view>& pieces);
  static constexpr std::size_t kMaxPieces = 64;

  // Flushes the file to disk (once), checks that the name still refers to
  // this run's file, renames it onto the target and syncs the directory,
  // with the signals that end a run held back meanwhile: a signal then takes
  // effect once the change is durable.
  bool commit();

  // The leftover create() took over, whatever its result, or "".
  const std::string& recovered() const { return recovered_; }

 private:
  enum class Link { kLinked, kExists, kFailed };
  Link link_new_file();
  Link link_private_file();
  bool prepare(int fd, struct stat* st);
  Link give_name(UniqueFd fd, const struct stat& st, int linked);
  void rollback() noexcept;
  void look_at_existing();
  void hold(const BlockedSignals& blocked);

  const AccountDirectory& dir_;
  std::string name_;
  std::string target_;
  StoreError* error_;
  std::string recovered_;
  UniqueFd fd_;
  dev_t dev_ = 0;
  ino_t ino_ = 0;
  uid_t owner_;
  mode_t mode_ = 0600;
  bool created_ = false;
  bool committed_ = false;
  std::optional<SignalGuard> guard_;
};

#endif  // VELMORA_REPLACEMENT_FILE_H_
