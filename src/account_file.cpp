// SPDX-License-Identifier: Apache-2.0
#include "account_file.h"

#include <optional>

#include "unique_fd.h"

UpdateOutcome rewrite_account_file(const AccountFile& file, const RewriteWriter& write,
                                   StoreError* error) {
  std::optional<AccountDirectory> dir = AccountDirectory::open(error);
  if (!dir) return UpdateOutcome::kRefused;
  ReplacementFile out(*dir, file.name, file.owner, error);
  if (!out.create(file.use == FileUse::kPublic ? 0644 : 0600)) return UpdateOutcome::kRefused;

  UniqueFd old;
  if (open_old_file(*dir, file.name, file.use, file.owner, &old, error) == OldFile::kRefused) {
    return UpdateOutcome::kRefused;
  }
  switch (write(out, OldContent{old.get(), dir->path_of(file.name)})) {
    case Rewrite::kWritten:
      break;
    case Rewrite::kUnchanged:
      return UpdateOutcome::kNothingToRemove;
    case Rewrite::kFailed:
      return UpdateOutcome::kRefused;
  }
  return out.commit() ? UpdateOutcome::kDone : UpdateOutcome::kRefused;
}
