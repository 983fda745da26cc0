// SPDX-License-Identifier: Apache-2.0
// One file's changes made through the store: the one way every command
// changes a file (an update option, --forget, --batch). The update is
// begun (trust checks, the replacement file in the way, the file read),
// each edit made on its model, and the whole committed: written, or, for a
// dry run, previewed.
//
//   std::vector<StoreEdit> edits;
//   edits.push_back({StatusClear{queue, true}});
//   FileChange change = change_file(store, file, std::move(edits), UpdateWhen::kEditChanged,
//                                   Commit::kWrite);
//   report_recovered(change.recovered);
//   if (!change.done) ... change.done.error() ...
//
// Results: a FileChange: the commit's result, or why the update stopped
// before it (the file could not be begun, or an edit was refused: then
// nothing is written); each edit's result as last made (none when the
// update could not begin); and the leftover a commit took over, whatever
// the result, for the caller to report.
#ifndef VELMORA_FILE_CHANGE_H_
#define VELMORA_FILE_CHANGE_H_

#include <string>
#include <vector>

#include "account_store.h"

struct FileChange {
  StoreResult<Committed> done;
  std::vector<StoreResult<EditResult>> edits;
  std::string recovered;
};

FileChange change_file(const AccountStore& store, const AccountFile& file,
                       std::vector<StoreEdit> edits, UpdateWhen when, Commit mode);
// The same for an update begun already (a prompted set, begun before its
// prompt).
FileChange change_file(StoreResult<AccountUpdate> update, std::vector<StoreEdit> edits,
                       Commit mode);

#endif  // VELMORA_FILE_CHANGE_H_
