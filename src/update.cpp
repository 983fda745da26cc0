// SPDX-License-Identifier: Apache-2.0
#include "update.h"

#include <unistd.h>

#include <optional>
#include <string>

#include "credential_entry.h"
#include "credential_file.h"
#include "messages.h"
#include "scheduler.h"
#include "secret.h"
#include "status_file.h"

namespace {

// A queue CUPS does not know can still be cleared under the name it has in
// the files: a remove, from the caller's file when it has a section of
// exactly that name; -d by root, from the status file. Nothing else can
// remove those lines. The exit status when that settles the run, or nullopt
// to go on with the remove.
std::optional<int> clear_unknown_queue(const CommandLine& line, const Account& account) {
  const OperationInfo* op = line.update;
  if (op != nullptr && op->change == Change::kRemove && has_section(account, line.queue)) {
    return std::nullopt;
  }
  if (op != nullptr && op->operation == Operation::kDisable && getuid() == 0) {
    StoreError error;
    const UpdateOutcome cleared = remove_status(line.queue.c_str(), &error);
    report_recovered(error);
    if (cleared == UpdateOutcome::kRefused) report_store_error(line.queue, error);
    if (cleared != UpdateOutcome::kNothingToRemove) return cleared == UpdateOutcome::kDone ? 0 : 1;
  }
  report_no_queue();  // deliberate: status 0, as scripts calling the tool expect
  return 0;
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
  const Account account{caller.user, caller.owner};
  std::string queue = lookup.queue;
  if (lookup.result == QueueCheck::kUnknown) {
    if (std::optional<int> status = clear_unknown_queue(line, account)) return *status;
    queue = line.queue;
  }
  // Deliberate: no message of its own for root-only options; the usage text
  // says these need root.
  if (op == nullptr || (op->root_only && getuid() != 0)) {
    print_usage();
    return 0;
  }

  StoreError error;
  UpdateOutcome result = UpdateOutcome::kDone;
  switch (op->change) {
    case Change::kSet: {
      // Say now what would refuse the update, before anything is typed in vain.
      if (!check_credential_file(account, &error)) {
        report_store_error(queue, error, &caller);
        return 1;
      }
      SecretArray<kValueBufferSize> id;
      SecretArray<kValueBufferSize> password;
      if (!ask_credentials(op->kind, ValueBuffer(id.bytes), ValueBuffer(password.bytes),
                           report_entry))
        return 1;
      result = update_credentials(queue.c_str(), account, id.data(), password.data(), false,
                                  op->kind, &error);
      break;
    }
    case Change::kRemove:
      result = update_credentials(queue.c_str(), account, nullptr, nullptr, true, op->kind, &error);
      break;
    case Change::kSwitch:
      result = update_status(queue.c_str(), op->kind, &error);
      break;
  }
  report_recovered(error);
  // Nothing stored for this user is nothing to remove: not a failure.
  if (result == UpdateOutcome::kRefused) {
    report_store_error(queue, error, &caller);
    return 1;
  }
  return 0;
}
