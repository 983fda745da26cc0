// SPDX-License-Identifier: Apache-2.0
#include "forget.h"

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "account_store.h"
#include "credential_file.h"
#include "file_change.h"
#include "messages.h"
#include "scheduler.h"

namespace {

// The queue out of one file (or, previewing, whether it would be); says
// what the update took over.
StoreResult<Committed> forget_in_file(const AccountStore& store, const AccountFile& file,
                                      StoreEdit edit, Commit mode) {
  std::vector<StoreEdit> edits;
  edits.push_back(std::move(edit));
  FileChange change = change_file(store, file, std::move(edits), UpdateWhen::kEditChanged, mode);
  report_recovered(change.recovered);
  return std::move(change.done);
}

}  // namespace

int forget_queue(const Caller& caller, const char* queue, bool dry_run) {
  // Only a queue CUPS no longer has: forgetting a live one would wipe what
  // its users' jobs still need.
  const QueueLookup lookup = find_queue(queue);
  if (lookup.result == QueueCheck::kUnreachable) {
    report_unreachable_scheduler(lookup);
    return 1;
  }
  if (lookup.result == QueueCheck::kKnown) {
    report_queue_in_use(lookup.queue);
    return 1;
  }
  StoreError error;
  StoreResult<AccountStore> store = AccountStore::open(caller);
  if (!store) error = std::move(store.error());
  CredentialChange change;
  if (!store || !make_change(queue, std::nullopt, CredentialEdit::kForget, nullptr, nullptr,
                             &change, error)) {
    report_store_error(caller, queue, error);
    return 1;
  }
  std::vector<std::string> changed;
  std::vector<std::string> refused;
  auto forget_in = [&](const AccountFile& file, StoreEdit edit) {
    const StoreResult<Committed> done =
        forget_in_file(*store, file, std::move(edit), dry_run ? Commit::kPreview : Commit::kWrite);
    if (done && done->written) changed.push_back(file.name);
    if (done) return;
    report_store_error(caller, queue, done.error());
    refused.push_back(file.name);
  };
  forget_in(store->status_file(), {StatusClear{change.queue, true}});
  StoreResult<std::vector<AccountFile>> files = store->credential_files();
  if (!files) {
    report_store_error(caller, queue, files.error());
    refused.push_back("USER" + std::string(kCredentialSuffix));
  }
  for (const AccountFile& file : files ? *files : std::span<const AccountFile>{}) {
    forget_in(file,
              {CredentialChange{change.queue, std::nullopt, CredentialEdit::kForget, {}, {}}});
  }
  report_forgotten(queue, changed, refused, dry_run);
  return refused.empty() ? 0 : 1;
}
