// SPDX-License-Identifier: Apache-2.0
// velmora-account: keeps the credentials a printer driver sends with a user's
// jobs on a CUPS queue, and, for root, which authentication function is on.
//
//   velmora-account OPTION PRINTER
//   velmora-account --list | --check PRINTER | --help | --version
//
// Prints nothing on success. Usage text, errors and prompts are its only output.

#include <fcntl.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "account_report.h"
#include "caller.h"
#include "command_line.h"
#include "credential_entry.h"
#include "credential_file.h"
#include "credential_kind.h"
#include "messages.h"
#include "scheduler.h"
#include "secret.h"
#include "status_file.h"

namespace {

constexpr const char kDefaultName[] = "velmora-account";

// Asks for the entry until its prompt accepts one; false (after saying why)
// when the input ended first.
bool ask_until_accepted(bool password, ValueBuffer buffer, CredentialKind kind, const char* name) {
  for (;;) {
    EntryResult result = password ? GetInputPSWD(buffer, kind) : GetInputID(buffer, kind);
    switch (result) {
      case EntryResult::kAccepted:
        return true;
      case EntryResult::kAskAgain:
        break;
      case EntryResult::kUnconvertible:
      case EntryResult::kTooLong:
      case EntryResult::kNulByte:
      case EntryResult::kLineBreak:
        report_entry(name, kind, password, result);
        break;
      case EntryResult::kEndOfInput:
      case EntryResult::kReadError:
        report_entry(name, kind, password, result);
        return false;
    }
  }
}

// Hands the operation to the store.
UpdateOutcome store(const OperationInfo& update, const char* queue, const char* owner,
                    const char* id, const char* password, StoreError* error) {
  switch (update.change) {
    case Change::kSet:
      return save_account_conf(queue, owner, id, password, false, update.kind, error);
    case Change::kRemove:
      return save_account_conf(queue, owner, nullptr, nullptr, true, update.kind, error);
    case Change::kSwitch:
      break;
  }
  return save_account_status(queue, update.kind, error);
}

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

}  // namespace

int main(int argc, char** argv) {
  if (!ensure_standard_descriptors()) return 1;  // nowhere to say why
  // Keep typed secrets out of core dumps and away from same-user ptrace
  // (best effort: a kernel without it still gets a working tool).
  prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  // Read input a byte at a time with no stdio buffer, so that no copy of a
  // typed password lingers in memory the tool cannot wipe.
  std::setvbuf(stdin, nullptr, _IONBF, 0);

  const char* path = argc > 0 && argv[0] != nullptr ? argv[0] : "";
  const char* slash = std::strrchr(path, '/');
  const char* name = slash != nullptr ? slash + 1 : path;
  if (name[0] == '\0') name = kDefaultName;

  const CommandLine line = parse_command_line(argc, argv);
  switch (line.command) {
    case Command::kUsage:
      // Deliberate: usage with status 0, for every wrong command line.
      Usage(name);
      return 0;
    case Command::kHelp:
      print_help(name);
      return 0;
    case Command::kVersion:
      std::printf("velmora-account %s\n", VELMORA_VERSION);
      return 0;
    case Command::kWrongUse:
      report_wrong_use(name, line.problem);
      return 2;
    case Command::kList:
    case Command::kCheck:
    case Command::kUpdate:
      break;
  }

  Caller caller;
  if (CallerProblem problem = find_caller(&caller); problem != CallerProblem::kNone) {
    report_caller_problem(name, problem, caller);
    return 1;
  }
  const char* owner = caller.owner;
  if (line.command == Command::kList) return list_entries(name, owner);
  if (line.command == Command::kCheck) return check_queue(name, owner, line.queue.c_str());

  // The queue is judged before the option: an unknown queue wins.
  QueueLookup lookup;
  const QueueCheck found = CheckCUPSEntry(line.queue.c_str(), &lookup);
  if (found == QueueCheck::kUnreachable) {
    report_unreachable_scheduler(name, lookup);
    return 1;
  }
  std::string queue = lookup.queue;
  const OperationInfo* update = line.update;
  if (found == QueueCheck::kUnknown) {
    // A queue CUPS no longer knows can still be cleared from the caller's
    // file under the name it has there; nothing else can remove those lines.
    if (update == nullptr || update->change != Change::kRemove ||
        !holds_section(owner, line.queue.c_str())) {
      // Deliberate: status 0, as scripts calling the tool expect.
      report_no_queue();
      return 0;
    }
    queue = line.queue;
  }
  // Deliberate: no message of its own for root-only options; the usage text
  // says these need root.
  if (update == nullptr || (update->root_only && getuid() != 0)) {
    Usage(name);
    return 0;
  }

  StoreError error;
  UpdateOutcome result = UpdateOutcome::kDone;
  if (update->change == Change::kSet) {
    // Say now what would refuse the update, before anything is typed in vain.
    if (!check_credential_file(owner, &error)) {
      report_store_error(name, queue.c_str(), error, &caller);
      return 1;
    }
    SecretArray<kValueBufferSize> id;
    SecretArray<kValueBufferSize> password;
    if (!ask_until_accepted(false, ValueBuffer(id.bytes), update->kind, name) ||
        !ask_until_accepted(true, ValueBuffer(password.bytes), update->kind, name)) {
      return 1;
    }
    result = store(*update, queue.c_str(), owner, id.data(), password.data(), &error);
  } else {
    result = store(*update, queue.c_str(), owner, nullptr, nullptr, &error);
  }
  report_recovered(name, error);
  // Nothing stored for this user is nothing to remove: not a failure.
  if (result == UpdateOutcome::kRefused) {
    report_store_error(name, queue.c_str(), error, &caller);
    return 1;
  }
  return 0;
}
