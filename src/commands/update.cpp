// SPDX-License-Identifier: Apache-2.0
#include "update.h"

#include <optional>
#include <string>

#include "account_report.h"
#include "account_store.h"
#include "change_plan.h"
#include "credential_entry.h"
#include "credential_file.h"
#include "file_change.h"
#include "messages.h"
#include "scheduler.h"
#include "secret.h"

namespace {

// The one store session of the run, opened when first needed.
class Session {
 public:
  explicit Session(const Caller& caller) : caller_(caller) {}
  const AccountStore* store() {
    if (!store_) {
      StoreResult<AccountStore> opened = AccountStore::open(caller_);
      if (!opened) {
        error = std::move(opened.error());
        return nullptr;
      }
      store_.emplace(std::move(*opened));
    }
    return &*store_;
  }
  // Updates the file by one edit; *result: what the edit did, as written (a
  // commit that read the file again made it again).
  StoreResult<Committed> update(const AccountFile& file, StoreEdit edit, UpdateWhen when,
                                EditResult* result = nullptr) {
    return update(store_->begin(file, when), std::move(edit), result);
  }
  // The same for an update begun already.
  StoreResult<Committed> update(StoreResult<AccountUpdate> begun, StoreEdit edit,
                                EditResult* result = nullptr) {
    std::vector<StoreEdit> edits;
    edits.push_back(std::move(edit));
    FileChange change = change_file(std::move(begun), std::move(edits), Commit::kWrite);
    recovered_ = std::move(change.recovered);
    if (change.done && result != nullptr) *result = *change.edits.front();
    return std::move(change.done);
  }
  // Whether result is a success; else error says why.
  template <class T>
  bool took(StoreResult<T>& result) {
    if (!result) error = std::move(result.error());
    return result.ok();
  }
  // Reports how the last step ended; the run's exit status.
  int finish(const std::string& queue, bool done) {
    report_recovered(recovered_);
    if (done) return 0;
    report_store_error(caller_, queue, error);
    return 1;
  }
  StoreError error;

 private:
  const Caller& caller_;
  std::optional<AccountStore> store_;
  std::string recovered_;
};

// The one request of the command line.
ChangeRequest request_of(const CommandLine& line, const OperationInfo& op) {
  ChangeRequest request;
  request.queue = line.queue;
  request.kind = op.kind;
  request.function = op.function;
  request.ask = op.change == Change::kSwitch   ? ChangeAsk::kSwitch
                : op.change == Change::kRemove ? ChangeAsk::kRemove
                                               : ChangeAsk::kSet;
  return request;
}

// Root's -d for a queue CUPS does not know: its status line out, the exit
// status; not there, the same as a queue with nothing to clear.
int clear_status_line(const std::string& queue, PlannedFile& planned, Session& session) {
  if (session.store() == nullptr) return session.finish(queue, false);
  StoreResult<Committed> done =
      session.update(planned.file, std::move(planned.edits.front()), planned.when);
  if (!session.took(done) || done->written) return session.finish(queue, done.ok());
  report_no_queue();
  return 1;
}

}  // namespace

int run_update(const CommandLine& line, const Caller& caller) {
  // The queue is judged before the option: an unknown queue wins.
  const QueueLookup lookup = find_queue(line.queue.c_str());
  if (lookup.result == QueueCheck::kUnreachable) {
    report_unreachable_scheduler(lookup);
    return 1;
  }
  const OperationInfo* op = line.update;
  // A command line that cannot be run: status 2, the usage text after why.
  if (op == nullptr) {
    if (lookup.result == QueueCheck::kUnknown) return report_no_queue(), 1;
    report_usage(UsageError::kNoSuchOption, line.word);
    return 2;
  }
  Session session(caller);
  std::vector<ChangeRequest> requests = {request_of(line, *op)};
  const QueueAnswer answer = queue_checked(line.queue, lookup);
  ChangePlan plan = plan_changes(caller, requests, answer, nullptr);
  if (plan.requests.front().unknown == UnknownQueue::kReadTheFile && !plan.requests.front().known) {
    // A remove: whether the caller's file has a section of that name.
    const FileSections sections =
        session.store() != nullptr ? own_sections(*session.store()) : FileSections{};
    plan = plan_changes(caller, requests, answer, &sections);
  }
  const PlannedRequest& planned = plan.requests.front();
  const std::string queue = planned.queue;  // kept past the plan made again
  if (!planned.known && planned.unknown != UnknownQueue::kClearSection &&
      planned.unknown != UnknownQueue::kClearStatusLine) {
    report_no_queue();  // the line scripts look for; a typo is no success
    return 1;
  }
  if (planned.refused.why == ChangeRefusalWhy::kNotRoot) {
    report_usage(UsageError::kRootOnly, line.word);
    return 2;
  }
  if (!planned.known && planned.unknown == UnknownQueue::kClearStatusLine) {
    return clear_status_line(queue, plan.files.front(), session);
  }
  const AccountStore* store = session.store();
  if (store == nullptr) return session.finish(queue, false);
  StoreError& error = session.error;
  if (planned.refused.why == ChangeRefusalWhy::kStore) {
    error = *planned.refused.store;
    return session.finish(queue, false);
  }
  PlannedFile& file = plan.files.front();
  if (op->change == Change::kSwitch) {
    StoreResult<Committed> done =
        session.update(file.file, std::move(file.edits.front()), file.when);
    return session.finish(queue, session.took(done));
  }
  if (op->change == Change::kRemove) {
    EditResult result;
    StoreResult<Committed> done =
        session.update(file.file, {std::move(file.edits.front()).change, true}, file.when, &result);
    if (session.took(done)) report_mending(caller, file.file.path(), queue, result.mending);
    return session.finish(queue, done.ok());
  }
  // Say now what would refuse the update, before anything is typed in vain:
  // a file in the way or not to be trusted, or the queue's section damaged.
  // The commit reads the file again only if it is replaced meanwhile.
  StoreResult<AccountUpdate> begun = store->begin(file.file, file.when);
  if (!session.took(begun)) return session.finish(queue, false);
  if (!check_settable(begun->text(), queue, error)) {
    error.path = file.file.path();
    return session.finish(queue, false);
  }
  SecretArray<kValueBufferSize> id;
  SecretArray<kValueBufferSize> password;
  if (!ask_credentials(*op->kind, ValueBuffer(id.bytes), ValueBuffer(password.bytes),
                       report_entry)) {
    return 1;
  }
  // Planned again with the values typed: now it has its edit.
  requests.front().id = id.data();
  requests.front().password = password.data();
  plan = plan_changes(caller, requests, answer, nullptr);
  PlannedRequest& typed = plan.requests.front();
  if (typed.refused.why != ChangeRefusalWhy::kNone) {
    if (typed.refused.store) error = *typed.refused.store;
    return session.finish(queue, false);
  }
  StoreResult<Committed> done =
      session.update(std::move(begun), std::move(plan.files.front().edits.front()));
  return session.finish(queue, session.took(done));
}
