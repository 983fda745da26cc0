// SPDX-License-Identifier: Apache-2.0
#include "forget.h"

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "account_store.h"
#include "change_plan.h"
#include "credential_file.h"
#include "file_change.h"
#include "messages.h"
#include "scheduler.h"

namespace {

// Why a forget was refused: the queue's name, a queue CUPS still has, or
// (the only other refusal once the scheduler answered) a caller not root.
void report_refusal(const Caller& caller, const PlannedRequest& planned) {
  if (planned.refused.store) {
    report_store_error(caller, planned.queue, *planned.refused.store);
  } else if (planned.refused.why == ChangeRefusalWhy::kQueueInUse) {
    report_queue_in_use(planned.queue);
  } else {
    report_root_only("--forget");
  }
}

}  // namespace

Forgotten forget_in_every_file(const Caller& caller, const AccountStore& store,
                               const ChangeRequest& request, const QueueAnswer& answer,
                               Commit mode) {
  Forgotten done;
  StoreResult<std::vector<AccountFile>> files = store.credential_files();
  ChangePlan plan =
      plan_forget(caller, request, answer,
                  files ? std::span<const AccountFile>(*files) : std::span<const AccountFile>{});
  const PlannedRequest& planned = plan.requests.front();
  if (planned.refused.why != ChangeRefusalWhy::kNone) {
    report_refusal(caller, planned);
    done.refused.push_back(std::string(kStatusName));
  }
  for (std::size_t i = 0; i < plan.files.size(); ++i) {
    PlannedFile& file = plan.files[i];
    FileChange change = change_file(store, file.file, std::move(file.edits), file.when, mode);
    report_recovered(change.recovered);
    if (change.done && change.done->written) done.changed.push_back(file.file.name);
    if (!change.done) {
      report_store_error(caller, request.queue, change.done.error());
      done.refused.push_back(file.file.name);
    }
    // The status file first; then whether the directory could be listed.
    if (i == 0 && !files) {
      report_store_error(caller, request.queue, files.error());
      done.refused.push_back("USER" + std::string(kCredentialSuffix));
    }
  }
  return done;
}

int forget_queue(const Caller& caller, const char* queue, bool dry_run) {
  const QueueLookup lookup = find_queue(queue);
  if (lookup.result == QueueCheck::kUnreachable) {
    report_unreachable_scheduler(lookup);
    return 1;
  }
  ChangeRequest request;
  request.queue = queue;
  request.ask = ChangeAsk::kForget;
  const QueueAnswer answer = queue_checked(queue, lookup);
  // Judged before the store is opened (planned again once its files are
  // listed): a queue CUPS still has is said first.
  ChangePlan plan = plan_forget(caller, request, answer, {});
  const PlannedRequest& planned = plan.requests.front();
  if (planned.refused.why == ChangeRefusalWhy::kQueueInUse) {
    report_refusal(caller, planned);
    return 1;
  }
  StoreResult<AccountStore> store = AccountStore::open(caller);
  if (!store) {
    report_store_error(caller, queue, store.error());
    return 1;
  }
  if (planned.refused.why != ChangeRefusalWhy::kNone) {
    report_refusal(caller, planned);
    return 1;
  }
  const Forgotten done = forget_in_every_file(caller, *store, request, answer,
                                              dry_run ? Commit::kPreview : Commit::kWrite);
  report_forgotten(queue, done.changed, done.refused, dry_run);
  return done.refused.empty() ? 0 : 1;
}
