// SPDX-License-Identifier: Apache-2.0
// The replacement file of one update, after git's lock files: the new
// content of an account file is written beside it, under the name with
// ".new" appended, and renamed onto it only when complete and on disk.
//
// Calling sequence (account_file.h runs it for every update):
//
//   ReplacementFile out(dir, "alice.conf", owner, error);  // writes "alice.conf.new"
//   if (!out.create(0600)) return false;   // another run's stays
//   out.write(content);                    // the whole new content, at once
//   return out.commit();                   // flush it, rename it into place
//
// The file is a lock held by a live process from its first instant: it is
// made unnamed (O_TMPFILE), locked with flock, and only then linked under
// its name, which fails when the name exists. The kernel drops the lock when
// the run ends however it ends, so a replacement file nobody holds is a
// leftover of an interrupted run; the next run of its owner takes it over
// (locks it, checks that the name still refers to it, empties it) and says
// so. A replacement file of anyone else, or one a live run holds, is never
// touched. It stays 0600 until just before its rename, so no other user can
// open it, let alone hold its lock.
//
// Errors: every step returns false with *error filled in and errno set. Any
// way out before commit() (an error, the end of scope, one of the signals
// that end a run) removes the file again, but only while its name still
// refers to the file this run created.
#ifndef VELMORA_REPLACEMENT_FILE_H_
#define VELMORA_REPLACEMENT_FILE_H_

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "account_directory.h"
#include "signals.h"
#include "store_error.h"
#include "unique_fd.h"

// Whether a replacement file `name` exists in dir and who holds it: nullopt
// when there is none; *owner receives its owner. Only files the caller could
// take over are looked into (a regular file of `expected` owner with one
// link, not writable by others; a neighbour could hold a lock on a file they
// planted for ever): any other is Holder::kUnknown.
std::optional<Holder> find_holder(const AccountDirectory& dir, const std::string& name,
                                  uid_t expected, uid_t* owner);

class ReplacementFile {
 public:
  // target is the name of the file it replaces, inside dir, which must
  // outlive this object; owner is whose the new file is (root acting for a
  // user hands it over complete, just before the rename), and whose
  // leftover this run may take over.
  ReplacementFile(const AccountDirectory& dir, std::string target, uid_t owner, StoreError& error);
  ReplacementFile(const ReplacementFile&) = delete;
  ReplacementFile& operator=(const ReplacementFile&) = delete;
  ~ReplacementFile() { rollback(); }

  // Creates the file, locked from its first instant, or takes over the
  // caller's own leftover (recovered() then tells so); `mode` is what it gets,
  // whatever the umask, just before the rename. When a live run or another
  // user holds the name, *error says whose it is and which (Holder).
  bool create(mode_t mode);
  // The full path of a leftover this run took over, or "".
  const std::string& recovered() const { return recovered_; }

  // Writes data after what was written before (the whole content, best in
  // one call: a neighbour watching the file's size learns only the total).
  bool write(std::string_view data);

  // Flushes the file to disk (once), checks that the name still refers to
  // this run's file, renames it onto the target and syncs the directory,
  // with the signals that end a run held back meanwhile: a signal then takes
  // effect once the change is durable.
  bool commit();

 private:
  void rollback() noexcept;
  void look_at_existing();
  enum class Link { kLinked, kExists, kFailed };
  Link link_new_file();
  enum class TakeOver { kTaken, kGone, kRefused, kFailed };
  TakeOver take_over_leftover();
  void hold();

  const AccountDirectory& dir_;
  std::string name_;
  std::string target_;
  StoreError* error_;
  UniqueFd fd_;
  dev_t dev_ = 0;
  ino_t ino_ = 0;
  uid_t owner_;
  mode_t mode_ = 0600;
  std::string recovered_;
  bool created_ = false;
  bool committed_ = false;
  std::optional<SignalGuard> guard_;
};

#endif  // VELMORA_REPLACEMENT_FILE_H_
