// SPDX-License-Identifier: Apache-2.0
// The account store: paths of the account files, the chunked line reader and
// durable writer they share, and the two updates (a user's credential file,
// the machine's status file). Every update writes a complete replacement file
// beside the old one and renames it into place; a failed update leaves the old
// file as it was.
#ifndef VELMORA_ACCOUNT_STORE_H_
#define VELMORA_ACCOUNT_STORE_H_

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "credential_kind.h"
#include "secret.h"

// ---- Paths ---------------------------------------------------------------

// Path forms for make_file_path.
constexpr int kPathFormShared = 2;  // directory "/" suffix
constexpr int kPathFormOwner = 4;   // directory "/" owner-or-"root" suffix

// Longest path the store builds; longer ones are cut to this many bytes.
constexpr std::size_t kMaxPathBytes = 255;

// The account directory compiled into this build.
std::string_view account_directory();

// Builds an account file path. A null owner stands for root. An over-long
// path is cut at kMaxPathBytes; *cut (when given) tells whether that happened.
// Returns nullopt only when memory runs out.
std::optional<std::string> make_file_path(int form, const char* owner, const char* suffix,
                                          bool* cut = nullptr);

// ---- Line reader and durable writer -------------------------------------

// Chunks are read 512 bytes at a time into a 513-byte buffer whose last byte
// stays 0. Deliberate: a chunk is always scanned as 512 bytes, also after a
// short read (its zero bytes end no line and add no text).
constexpr int kChunkLength = 512;

// Lines the store formats itself (tags, key lines, status lines) hold at most
// this many bytes, line feed included; one that would be longer is refused.
constexpr int kMaxFormattedLine = 510;

// Cuts the next line out of chunk[start, length). LF, CR and 0xFF end a line.
// The line's text (up to its first zero byte) is appended to `pending`.
// Returns the bytes consumed (the text plus one or two ending bytes) when a
// complete line now stands in `pending`; -1 when the chunk ran out first (the
// text waits in `pending` for the next chunk); -2 when memory ran out
// (`pending` unchanged). chunk must hold length + 1 readable bytes.
int get_line_from_buffer(SecretText& pending, const char* chunk, int start, int length);

// How a pass over an old file ended.
enum class ReadStatus {
  kEnd,        // every line was handled
  kReadError,  // read failed (errno set)
  kNoMemory,   // a line could not be held (errno ENOMEM)
  kStopped,    // the handler returned non-zero
};

// Called with each complete line, without its ending and free of zero bytes.
// The handler may change it (append a line feed, say); it is wiped and reused
// for the next line. False stops the pass.
using LineHandler = std::function<bool(SecretText& line)>;

// Reads fd from its current offset to its end and hands every line to handle.
// A last line without an ending is handled like any other, unless its text is
// empty. Interrupted reads are repeated.
ReadStatus read_account_lines(int fd, const LineHandler& handle);

// Writes length bytes durably: fsync of what came before, the write (repeated
// until every byte is written), then sync. Returns 0, or -1 with errno set.
int file_write(int fd, const char* data, std::size_t length);

// 0 when line equals format applied to printer (a tag such as "<%s>"); non-zero
// otherwise, also for null arguments and for a tag too long to format whole.
int check_printer_name(const char* printer, const char* line, const char* format);

// ---- Updates --------------------------------------------------------------

// What an update was doing when it gave up.
enum class StoreStep {
  kNone,
  kArguments,        // bad printer name, kind or value
  kPathTooLong,      // the owner makes the account file path too long
  kMemory,           // memory ran out
  kCreate,           // creating the replacement file (EEXIST: held by another run)
  kOpen,             // opening the old file for reading
  kNotRegularFile,   // the old file is a link, FIFO, device or directory
  kNotOwner,         // the old file belongs to someone other than the caller
  kHardLinked,       // the old file has more than one name
  kRead,             // reading the old file
  kLineTooLong,      // a line to write would exceed kMaxFormattedLine bytes
  kUnclosedSection,  // a set found the printer's section without its closing tag
  kWrite,            // writing or flushing the replacement file
  kRename,           // renaming the replacement file into place
  kSyncDirectory,    // the rename happened but could not be made durable
  kNothingToRemove,  // a remove found no credential file; nothing changed
};

struct StoreError {
  StoreStep step = StoreStep::kNone;
  int error = 0;       // errno value
  std::string path;    // the file concerned
  std::string target;  // for kRename: the name it was to take
  // The owner of `path` when it tells the user who blocks the update: for a
  // refused old file, and for a replacement file that exists already.
  std::optional<uid_t> owner;
  nlink_t links = 0;  // for kHardLinked
};

// An old file is adopted only when it is a regular file with one name, owned
// by the caller's real user ID: the account directory is writable by every
// user, who may plant any name in it. Anything else is refused and left as it
// is. A replacement file is created with exactly mode 0600 (credential file)
// or 0644 (status file), whatever the umask, and is removed again if the run
// is ended by a signal while it holds it.

// Sets (remove == 0) or removes the id and password of credential `kind`
// (1 job accounting, 2 user authentication, 3 secured print) for printer in
// the owner's credential file (null owner: root). Returns 0 when the new file
// is in place, 1 when the update did not take place, with errno and *error
// (when given) saying why.
int save_account_conf(const char* printer, const char* owner, const char* id,
                      const char* password, int remove, int kind, StoreError* error = nullptr);

// Records in the status file that job accounting (kind 1), user authentication
// (kind 2) or neither (any other kind) is on for printer. Results as above.
int save_account_status(const char* printer, int kind, StoreError* error = nullptr);

#endif  // VELMORA_ACCOUNT_STORE_H_
