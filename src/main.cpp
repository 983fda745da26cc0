// SPDX-License-Identifier: Apache-2.0
// velmora-account: keeps the credentials a printer driver sends with a user's
// jobs on a CUPS queue, and, for root, which authentication function is on.
//
//   velmora-account [--user NAME] OPTION QUEUE
//   velmora-account [--user NAME] --list | --check QUEUE [--json]
//   velmora-account --list --all-users [--json] | --forget QUEUE
//   velmora-account [--user NAME] --batch [--dry-run]
//   velmora-account --help | --version
//
// A run: read the command line, check the caller, then do the one command:
// an update (update.h: find the queue, ask, store, report), --list, --check
// or --forget. It prints nothing on success; the usage text, messages
// (messages.h), prompts and the --list/--check report are its only output.

#include <fcntl.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <new>
#include <stdexcept>

#include "account_report.h"
#include "batch.h"
#include "caller.h"
#include "command_line.h"
#include "forget.h"
#include "messages.h"
#include "queue_audit.h"
#include "scheduler.h"
#include "secret.h"
#include "translation.h"
#include "update.h"

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

// The command line, the caller, and the one command.
int run(int argc, char** argv) {
  const CommandLine line = parse_command_line(argc, argv);
  switch (line.command) {
    case Command::kUsage:
      report_usage(line.usage, line.word);  // a command line that cannot be run as given
      return 2;
    case Command::kHelp:
      print_help();
      return 0;
    case Command::kVersion:
      print_version();
      return 0;
    case Command::kWrongUse:
      report_wrong_use(line.wrong, line.word, line.other);
      return 2;
    case Command::kList:
    case Command::kCheck:
    case Command::kForget:
    case Command::kBatch:
    case Command::kUpdate:
      break;
  }

  Caller caller;
  const char* acting_for = line.user ? line.user->c_str() : nullptr;
  const CallerProblem problem = find_caller(acting_for, &caller);
  // Every user's files are root's to read and change: from anyone else, a
  // command line that cannot be run.
  if ((line.all_users || line.command == Command::kForget) && !caller.root()) {
    report_root_only(line.all_users ? "--all-users" : "--forget");
    return 2;
  }
  if (line.all_users && line.command == Command::kCheck) {
    return check_all_users(caller, line.queue.c_str(), line.json);
  }
  if (line.all_users) return list_all_users(caller, line.json);
  if (line.command == Command::kForget)
    return forget_queue(caller, line.queue.c_str(), line.dry_run);
  if (problem != CallerProblem::kNone) {
    report_caller_problem(problem, caller);
    return 1;
  }
  if (line.command == Command::kList) return list_entries(caller, line.json);
  if (line.command == Command::kCheck) return check_queue(caller, line.queue.c_str(), line.json);
  if (line.command == Command::kBatch) return run_batch(caller, line.dry_run);
  return run_update(line, caller);
}

}  // namespace

int main(int argc, char** argv) {
  if (!ensure_standard_descriptors()) return 1;  // nowhere to say why
  start_translation(VELMORA_LOCALE_DIR);
  // Keep typed secrets out of core dumps and away from same-user ptrace
  // (best effort: a kernel without it still gets a working tool).
  prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  // Read input a byte at a time with no stdio buffer, so that no copy of a
  // typed password lingers in memory the tool cannot wipe.
  std::setvbuf(stdin, nullptr, _IONBF, 0);
  int status = -1;
  try {
    status = run(argc, argv);
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {  // a size past what memory could ever hold
  }
  if (status < 0) {
    // Unwinding has restored the terminal and removed any replacement file.
    std::fflush(stdout);
    report_out_of_memory();
    status = 1;
  }
  // The values are wiped from memory by now, but pieces may still be in
  // registers that the exit's own code would save on the stack, or on the
  // stack where earlier calls saved registers.
  wipe_stack();
  wipe_vector_registers();
  if (scheduler_conversation_left()) {
    std::fflush(nullptr);
    _exit(status);
  }
  return status;
}
