// SPDX-License-Identifier: Apache-2.0
// One update of an account file, start to end, the way git writes through a
// lock file: open and check the account directory, create the replacement
// file (or take over the caller's own leftover), adopt the old file through
// the trust checks, let the caller write the new content, rename it into
// place. The credential and the status updates both run through here; only
// what they write differs.
//
// Calling sequence:
//
//   UpdateOutcome outcome = rewrite_account_file(
//       {"alice.conf", FileUse::kPrivate, getuid()},
//       [&](ReplacementFile& out, const OldContent& old) { ...; return Rewrite::kWritten; },
//       &error);
//
// Results: kDone when the new file is in place; kNothingToRemove when the
// writer found nothing to change (the replacement file is dropped, the old
// file stays); kRefused with *error filled in (by this module, or by the
// writer when it returns kFailed). error->recovered names a leftover this
// run took over, whatever the outcome.
#ifndef VELMORA_ACCOUNT_FILE_H_
#define VELMORA_ACCOUNT_FILE_H_

#include <sys/types.h>

#include <functional>
#include <string>

#include "account_directory.h"
#include "replacement_file.h"
#include "store_error.h"

struct AccountFile {
  std::string name;  // in the account directory
  FileUse use;       // private (mode 0600) or public (0644)
  uid_t owner;       // who owns it: the old file must be theirs, and so is the new one
};

// The old file as the writer gets it: an open descriptor, or -1 when there
// is none; path for messages.
struct OldContent {
  int fd;
  std::string path;
};

enum class Rewrite {
  kWritten,    // the new content is complete: commit it
  kUnchanged,  // nothing to do: drop the replacement file
  kFailed,     // give up (the writer filled in the error)
};

using RewriteWriter = std::function<Rewrite(ReplacementFile& out, const OldContent& old)>;

UpdateOutcome rewrite_account_file(const AccountFile& file, const RewriteWriter& write,
                                   StoreError* error);

#endif  // VELMORA_ACCOUNT_FILE_H_
