// SPDX-License-Identifier: Apache-2.0
// Why a read or an update of an account file did not take place: the step
// it stopped at, errno, and what a message needs to tell the user who or
// what blocks it. Every module of the store fills one in; messages.h turns
// it into text.
//
// Result convention of the store: a call of the store itself
// (account_store.h) returns a StoreResult, what it found or why not; a call
// of the modules below it returns true, or false with the caller's
// StoreError filled in (step, errno, path) and errno set, what it finds out
// besides given through its parameters. Nothing reports through errno alone.
#ifndef VELMORA_STORE_ERROR_H_
#define VELMORA_STORE_ERROR_H_

#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>

enum class StoreStep {
  kNone,
  kArguments,         // bad queue name, kind or value
  kPathTooLong,       // the owner makes the account file path too long
  kMemory,            // memory ran out
  kDirectory,         // the account directory cannot be opened
  kUnsafeDirectory,   // it belongs to someone else, or lacks the sticky bit
  kCreate,            // creating the replacement file (EEXIST: see holder)
  kOpen,              // opening the old file for reading
  kNotRegularFile,    // the old file is a link, FIFO, device or directory
  kNotOwner,          // the old file belongs to someone other than the caller
  kHardLinked,        // the old file has more than one name
  kWritableByOthers,  // the old file may be written by group or others
  kNotReadableByAll,  // an old status file that is not public already
  kTooLarge,          // the old file is larger than any account file could be
  kSparse,            // the old file has far fewer bytes on disk than its size
  kOverBudget,        // the run has read (or listed) all it may: this file was not
  kTooManySections,   // a listing has no room for the file's sections
  kRead,              // reading the old file
  kLineTooLong,       // a line to write would exceed the line bound
  kWouldBeTooLarge,   // the new content would be past the bound no read takes
  kDamagedSection,    // a set found the queue's section damaged (see damage)
  kNoSection,         // an edit for a queue CUPS does not know found no section of its name
  kSectionsUnread,    // such an edit found more sections in the file than a run reads
  kWrite,             // writing or flushing the replacement file
  kReplaced,          // the replacement file was removed or replaced meanwhile
  kRename,            // renaming the replacement file into place
  kSyncDirectory,     // the rename happened but could not be made durable
};

// What can be wrong with a section of a credential file, as a set of bits
// (section_layout.h tells each); Damage{} is nothing.
enum class Damage : std::uint8_t {
  kUnclosed = 1,
  kStrayClosing = 2,
  kDuplicate = 4,
  kLoneKey = 8,
  kForeign = 16,
};
constexpr Damage operator|(Damage a, Damage b) {
  return static_cast<Damage>(static_cast<unsigned>(a) | static_cast<unsigned>(b));
}
constexpr Damage operator&(Damage a, Damage b) {
  return static_cast<Damage>(static_cast<unsigned>(a) & static_cast<unsigned>(b));
}
constexpr Damage operator~(Damage a) {
  return static_cast<Damage>(~static_cast<unsigned>(a) & 31u);
}
constexpr Damage& operator|=(Damage& a, Damage b) { return a = a | b; }
// Whether the set holds any bit.
constexpr bool any(Damage damage) { return damage != Damage{}; }

// What is wrong with a queue's sections in a credential file
// (section_layout.h): Damage bits, the first line concerned (counted from 1,
// as the tool reads lines), and the kinds whose removes mend it (bit 1 << k
// for kind k).
struct SectionDamage {
  Damage what{};
  std::size_t line = 0;
  unsigned mend = 0;
};

// Who holds a replacement file that already exists.
enum class Holder {
  kUnknown,        // someone else's, or not a file this run can look into
  kRunning,        // a running update holds its lock (it may be stopped or slow)
  kAdministrator,  // a running update of root's, acting for the file's owner, holds it
  kInterrupted,    // the caller's, and no run holds it: a leftover the next update takes over
};

struct StoreError {
  StoreStep step = StoreStep::kNone;
  int error = 0;       // errno value
  std::string path;    // the file or directory concerned
  std::string target;  // for kRename, kReplaced, kSyncDirectory: the file being updated
  // The owner of `path` when it tells the user who blocks the update.
  std::optional<uid_t> owner;
  uid_t expected_owner = 0;          // for kNotOwner: who should own it
  nlink_t links = 0;                 // for kHardLinked
  mode_t mode = 0;                   // permission bits, for the mode and directory checks
  std::size_t size = 0;              // for kTooLarge, kSparse: the size found
  std::size_t on_disk = 0;           // for kSparse: the bytes allocated
  Holder holder = Holder::kUnknown;  // for kCreate with EEXIST
  SectionDamage damage;              // for kDamagedSection
};

// Records why a call gives up and sets errno; false, for `return fail(...)`.
inline bool fail(StoreError& error, StoreStep step, std::string path, int err) {
  error.step = step;
  error.error = err;
  error.path = std::move(path);
  errno = err;
  return false;
}

// What a call of the store found (a T), or why it did not (a StoreError):
// test it, then take *result or result.error().
template <class T>
class [[nodiscard]] StoreResult {
 public:
  StoreResult(T value) : value_(std::in_place_index<0>, std::move(value)) {}
  StoreResult(StoreError error) : value_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return value_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T& operator*() { return std::get<0>(value_); }
  const T& operator*() const { return std::get<0>(value_); }
  T* operator->() { return &std::get<0>(value_); }
  const T* operator->() const { return &std::get<0>(value_); }
  StoreError& error() { return std::get<1>(value_); }
  const StoreError& error() const { return std::get<1>(value_); }

 private:
  std::variant<T, StoreError> value_;
};

#endif  // VELMORA_STORE_ERROR_H_
