// SPDX-License-Identifier: Apache-2.0
// velmora-account: keeps the credentials a printer driver sends with a user's
// jobs on a CUPS queue, and, for root, which authentication function is on.
//
//   velmora-account OPTION QUEUE
//   velmora-account --list | --check QUEUE | --help | --version
//
// A run: read the command line, check the caller, find the queue, ask for
// the values, store them, report. It prints nothing on success; the usage
// text, messages (messages.h), prompts and the --list/--check report are its
// only output.

#include <fcntl.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "account_report.h"
#include "caller.h"
#include "command_line.h"
#include "credential_entry.h"
#include "credential_file.h"
#include "messages.h"
#include "scheduler.h"
#include "secret.h"
#include "status_file.h"

namespace {

// Opens /dev/null on any of descriptors 0, 1 and 2 that is closed. Otherwise
// the first files this run opens would take their places: the scheduler's
// connection read as the typed ID, a prompt written into an account file.
bool ensure_standard_descriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    int opened = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (opened != fd) return false;  // lower ones are open, so this cannot be another
  }
  return true;
}

// An update option on a queue: find the queue, ask, store, report.
int update(const CommandLine& line, const Caller& caller) {
  // The queue is judged before the option: an unknown queue wins.
  const QueueLookup lookup = find_queue(line.queue.c_str());
  if (lookup.result == QueueCheck::kUnreachable) {
    report_unreachable_scheduler(lookup);
    return 1;
  }
  const OperationInfo* op = line.update;
  std::string queue = lookup.queue;
  if (lookup.result == QueueCheck::kUnknown) {
    // A queue CUPS no longer knows can still be cleared from the caller's
    // file under the name it has there; nothing else can remove those lines.
    if (op == nullptr || op->change != Change::kRemove || !has_section(caller.user, line.queue)) {
      report_no_queue();  // deliberate: status 0, as scripts calling the tool expect
      return 0;
    }
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
      if (!check_credential_file(caller.user, &error)) {
        report_store_error(queue, error, &caller);
        return 1;
      }
      SecretArray<kValueBufferSize> id;
      SecretArray<kValueBufferSize> password;
      if (!ask_credentials(op->kind, ValueBuffer(id.bytes), ValueBuffer(password.bytes))) return 1;
      result = update_credentials(queue.c_str(), caller.user, id.data(), password.data(), false,
                                  op->kind, &error);
      break;
    }
    case Change::kRemove:
      result =
          update_credentials(queue.c_str(), caller.user, nullptr, nullptr, true, op->kind, &error);
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

}  // namespace

int main(int argc, char** argv) {
  if (!ensure_standard_descriptors()) return 1;  // nowhere to say why
  // Keep typed secrets out of core dumps and away from same-user ptrace
  // (best effort: a kernel without it still gets a working tool).
  prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  // Read input a byte at a time with no stdio buffer, so that no copy of a
  // typed password lingers in memory the tool cannot wipe.
  std::setvbuf(stdin, nullptr, _IONBF, 0);

  const CommandLine line = parse_command_line(argc, argv);
  switch (line.command) {
    case Command::kUsage:
      print_usage();  // deliberate: status 0, for every wrong command line
      return 0;
    case Command::kHelp:
      print_help();
      return 0;
    case Command::kVersion:
      print_version();
      return 0;
    case Command::kWrongUse:
      report_wrong_use(line.problem);
      return 2;
    case Command::kList:
    case Command::kCheck:
    case Command::kUpdate:
      break;
  }

  Caller caller;
  if (CallerProblem problem = find_caller(&caller); problem != CallerProblem::kNone) {
    report_caller_problem(problem, caller);
    return 1;
  }
  if (line.command == Command::kList) return list_entries(caller.user);
  if (line.command == Command::kCheck) return check_queue(caller.user, line.queue.c_str());
  return update(line, caller);
}
