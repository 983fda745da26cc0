// SPDX-License-Identifier: Apache-2.0
#include "update.h"

#include <optional>
#include <string>

#include "account_report.h"
#include "account_store.h"
#include "credential_entry.h"
#include "credential_file.h"
#include "messages.h"
#include "scheduler.h"
#include "secret.h"
#include "status_file.h"
#include "unknown_queue.h"

namespace {

// The one store session of the run, opened when first needed.
class Session {
 public:
  explicit Session(const Caller& caller) : caller_(caller) {}
  const AccountStore* store() {
    if (!store_ && !AccountStore::open(caller_, &store_, error)) return nullptr;
    return &*store_;
  }
  // Reports how the last step ended; the run's exit status.
  int finish(const std::string& queue, bool done) {
    report_recovered(error);
    if (done) return 0;
    report_store_error(caller_, queue, error);
    return 1;
  }
  StoreError error;

 private:
  const Caller& caller_;
  std::optional<AccountStore> store_;
};

AccountStore::Edit credential_edit(const CredentialChange& change, Mending* mending = nullptr) {
  return [&change, mending](AccountText& text, StoreError& error) {
    return apply_change(text, change, error, mending);
  };
}

// Whether a set may go ahead as far as the file says now: its section of
// the queue must not be damaged.
bool settable(const AccountStore& store, const AccountFile& file, const std::string& queue,
              StoreError& error) {
  std::optional<AccountText> text;
  if (!store.read(file, &text, error)) return false;
  if (!text || check_settable(*text, queue, error)) return true;
  error.path = file.path();
  return false;
}

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
    bool written = false;
    const AccountStore* store = session.store();
    const bool done = store != nullptr && store->update(
                                              store->status_file(),
                                              [&](AccountText& text, StoreError&) {
                                                clear_queue(text, line.queue);
                                                return true;
                                              },
                                              UpdateWhen::kEditChanged, &written, session.error);
    if (!done || written) return session.finish(line.queue, done);
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
  bool written = false;
  if (op->change == Change::kSwitch) {
    const bool done = store->update(
        store->status_file(),
        [&](AccountText& text, StoreError& e) {
          return switch_queue(text, queue, op->function, e);
        },
        UpdateWhen::kBytesDiffer, &written, error);
    return session.finish(queue, done);
  }
  AccountFile file;
  if (!store->own_file(&file, error)) return session.finish(queue, false);
  CredentialChange change;
  if (op->change == Change::kRemove) {
    Mending mending;
    const bool done = make_change(queue.c_str(), op->kind, CredentialEdit::kRemove, nullptr,
                                  nullptr, &change, error) &&
                      store->update(file, credential_edit(change, &mending),
                                    UpdateWhen::kBytesDiffer, &written, error);
    if (done) report_mending(caller, file.path(), queue, mending);
    return session.finish(queue, done);
  }
  // Say now what would refuse the update, before anything is typed in vain.
  if (!store->check_update(file, error) || !settable(*store, file, queue, error)) {
    return session.finish(queue, false);
  }
  SecretArray<kValueBufferSize> id;
  SecretArray<kValueBufferSize> password;
  if (!ask_credentials(*op->kind, ValueBuffer(id.bytes), ValueBuffer(password.bytes),
                       report_entry)) {
    return 1;
  }
  const bool done =
      make_change(queue.c_str(), op->kind, CredentialEdit::kSet, id.data(), password.data(),
                  &change, error) &&
      store->update(file, credential_edit(change), UpdateWhen::kBytesDiffer, &written, error);
  return session.finish(queue, done);
}
