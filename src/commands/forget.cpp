// SPDX-License-Identifier: Apache-2.0
#include "forget.h"

#include <optional>
#include <string>
#include <vector>

#include "account_store.h"
#include "credential_file.h"
#include "messages.h"
#include "scheduler.h"
#include "status_file.h"

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
  std::optional<AccountStore> store;
  CredentialChange change;
  if (!AccountStore::open(caller, &store, error) ||
      !make_change(queue, std::nullopt, CredentialEdit::kForget, nullptr, nullptr, &change,
                   error)) {
    report_store_error(caller, queue, error);
    return 1;
  }
  std::vector<std::string> changed;
  std::vector<std::string> refused;
  auto forget_in = [&](const AccountFile& file, const AccountStore::Edit& edit) {
    error = StoreError{};
    bool written = false;
    const bool done = dry_run
                          ? store->preview(file, edit, UpdateWhen::kEditChanged, &written, error)
                          : store->update(file, edit, UpdateWhen::kEditChanged, &written, error);
    report_recovered(error);
    if (written) changed.push_back(file.name);
    if (done) return;
    report_store_error(caller, queue, error);
    refused.push_back(file.name);
  };
  forget_in(store->status_file(), [&](AccountText& text, StoreError&) {
    clear_queue(text, change.queue, true);
    return true;
  });
  std::vector<AccountFile> files;
  if (!store->credential_files(&files, error)) {
    report_store_error(caller, queue, error);
    refused.push_back("USER" + std::string(kCredentialSuffix));
  }
  for (const AccountFile& file : files) {
    forget_in(file,
              [&](AccountText& text, StoreError& e) { return apply_change(text, change, e); });
  }
  report_forgotten(queue, changed, refused, dry_run);
  return refused.empty() ? 0 : 1;
}
