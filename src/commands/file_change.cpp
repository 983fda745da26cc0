// SPDX-License-Identifier: Apache-2.0
#include "file_change.h"

#include <utility>

FileChange change_file(const AccountStore& store, const AccountFile& file,
                       std::vector<StoreEdit> edits, UpdateWhen when, Commit mode) {
  return change_file(store.begin(file, when), std::move(edits), mode);
}

FileChange change_file(StoreResult<AccountUpdate> update, std::vector<StoreEdit> edits,
                       Commit mode) {
  if (!update) return {std::move(update.error()), {}, {}};
  // Every edit is made, refused or not, so that each has its result; the
  // commit refuses the first refused one.
  for (StoreEdit& edit : edits) (void)update->apply(std::move(edit));
  StoreResult<Committed> done = update->commit(mode);
  return {std::move(done), update->results(), update->recovered()};
}
