// SPDX-License-Identifier: Apache-2.0
#include "update.h"

#include <optional>
#include <string>

#include "account_report.h"
#include "account_store.h"
#include "credential_entry.h"
#include "credential_file.h"
#include "file_change.h"
#include "messages.h"
#include "scheduler.h"
#include "secret.h"
#include "unknown_queue.h"

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

// A queue CUPS does not know, as unknown_queue.h rules: the exit status
// when that settles the run, or nullopt to go on with the remove.
std::optional<int> clear_unknown_queue(const CommandLine& line, const Caller& caller,
                                       Session& session) {
  const OperationInfo* op = line.update;
  const UnknownQueueAsk ask = op == nullptr                          ? UnknownQueueAsk::kOther
                              : op->change == Change::kRemove        ? UnknownQueueAsk::kRemove
                              : op->operation == Operation::kDisable ? UnknownQueueAsk::kDisable
                                                                     : UnknownQueueAsk::kOther;
  UnknownQueue verdict = judge_unknown_queue(ask, caller.root(), line.queue, nullptr);
  if (verdict == UnknownQueue::kReadTheFile) {
    const FileSections sections =
        session.store() != nullptr ? own_sections(*session.store()) : FileSections{};
    verdict = judge_unknown_queue(ask, caller.root(), line.queue, &sections);
  }
  if (verdict == UnknownQueue::kClearSection) return std::nullopt;
  if (verdict == UnknownQueue::kClearStatusLine) {
    const AccountStore* store = session.store();
    if (store == nullptr) return session.finish(line.queue, false);
    StoreResult<Committed> done =
        session.update(store->status_file(), {StatusClear{line.queue}}, UpdateWhen::kEditChanged);
    if (!session.took(done) || done->written) return session.finish(line.queue, done.ok());
  }
  report_no_queue();  // the line scripts look for; a typo is no success
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
  Session session(caller);
  std::string queue = lookup.queue;
  if (lookup.result == QueueCheck::kUnknown) {
    if (std::optional<int> status = clear_unknown_queue(line, caller, session)) return *status;
    queue = line.queue;
  }
  // A command line that cannot be run: status 2, the usage text after why.
  if (op == nullptr || (op->root_only && !caller.root())) {
    report_usage(op == nullptr ? UsageError::kNoSuchOption : UsageError::kRootOnly, line.word);
    return 2;
  }

  const AccountStore* store = session.store();
  if (store == nullptr) return session.finish(queue, false);
  StoreError& error = session.error;
  if (op->change == Change::kSwitch) {
    StoreResult<Committed> done = session.update(
        store->status_file(), {StatusSwitch{queue, op->function}}, UpdateWhen::kBytesDiffer);
    return session.finish(queue, session.took(done));
  }
  StoreResult<AccountFile> own = store->own_file();
  if (!session.took(own)) return session.finish(queue, false);
  const AccountFile& file = *own;
  CredentialChange change;
  if (op->change == Change::kRemove) {
    if (!make_change(queue.c_str(), op->kind, CredentialEdit::kRemove, nullptr, nullptr, &change,
                     error)) {
      return session.finish(queue, false);
    }
    EditResult result;
    StoreResult<Committed> done =
        session.update(file, {std::move(change), true}, UpdateWhen::kBytesDiffer, &result);
    if (session.took(done)) report_mending(caller, file.path(), queue, result.mending);
    return session.finish(queue, done.ok());
  }
  // Say now what would refuse the update, before anything is typed in vain:
  // a file in the way or not to be trusted, or the queue's section damaged.
  // The commit reads the file again only if it is replaced meanwhile.
  StoreResult<AccountUpdate> begun = store->begin(file, UpdateWhen::kBytesDiffer);
  if (!session.took(begun)) return session.finish(queue, false);
  if (!check_settable(begun->text(), queue, error)) {
    error.path = file.path();
    return session.finish(queue, false);
  }
  SecretArray<kValueBufferSize> id;
  SecretArray<kValueBufferSize> password;
  if (!ask_credentials(*op->kind, ValueBuffer(id.bytes), ValueBuffer(password.bytes),
                       report_entry)) {
    return 1;
  }
  if (!make_change(queue.c_str(), op->kind, CredentialEdit::kSet, id.data(), password.data(),
                   &change, error)) {
    return session.finish(queue, false);
  }
  StoreResult<Committed> done = session.update(std::move(begun), {std::move(change)});
  return session.finish(queue, session.took(done));
}
