// SPDX-License-Identifier: Apache-2.0
// Replacement files found in the account directory: whose each is, whether a
// live run holds it, and the removal of one that an interrupted run left.
//
// A live run marks its replacement file with an open-file-description write
// lock (fcntl F_OFD_SETLK, F_WRLCK), which only a process that may write the
// file can hold, and which the kernel drops however the run ends. A reader
// may lock a file it can open (root's status.new is readable for an instant
// before its rename; a crash then leaves it so), but never for writing: its
// lock does not look like a live run's. A file that group or others may
// write is never a live run's (runs make theirs 0600), whatever locks it.
//
// Root acting for a user makes the user's replacement file the user's from
// its first instant, with root's group until its rename: the user's next run
// can remove it if root's run dies, and tells while it lives that the
// administrator holds it.
//
// Where the file system has no unnamed files, a replacement file is made
// under a private name first: ".NAME.XXXXXXXXXXXXXXXX" (NAME the replacement
// file's name, 16 random hex digits), created exclusively, so nobody can
// foresee or block it; private names an interrupted run of the caller's
// left are removed by its next run that makes one (or that finds a
// leftover with more than one name), once it holds them as a live run
// would, so that one a live run is making is never taken for one.
//
// Results: find_holder answers (nullopt: no such file); clear_leftover
// returns true (*cleared: whether the name was removed; *taken: whether
// another run is removing it), or false with the
// StoreError filled in; the others answer.
#ifndef VELMORA_LEFTOVER_H_
#define VELMORA_LEFTOVER_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <optional>
#include <string>

#include "account_directory.h"
#include "store_error.h"

// Marks the file open on fd (for writing) as a live run's, for as long as
// the descriptor stays open.
bool hold_as_live(int fd);

// Whether a live run holds the file open on fd (described by st).
bool held_by_live_run(int fd, const struct stat& st);

// Whether the replacement file `name` exists in dir, and who holds it;
// *owner receives its owner. Only a regular file of `expected` owner (or of
// the caller) is looked into; any other is Holder::kUnknown.
std::optional<Holder> find_holder(const AccountDirectory& dir, const std::string& name,
                                  uid_t expected, uid_t* owner);

// Removes the leftover `name`, if it is one: a regular file of `expected`
// owner (or of the caller) that no live run holds. Its content is never
// reused, so that no descriptor a neighbour opened on it sees anything new.
// *taken: another run is taking it over now (it holds the turn to remove
// it), so a live run will hold the name.
bool clear_leftover(const AccountDirectory& dir, const std::string& name, uid_t expected,
                    bool* cleared, bool* taken, StoreError& error);

// A fresh private name for the replacement file `name`.
std::string private_name(const std::string& name);

// Removes the private names of `name` that interrupted runs of `expected`
// owner (or of the caller) left.
void clear_private_names(const AccountDirectory& dir, const std::string& name, uid_t expected);

#endif  // VELMORA_LEFTOVER_H_
