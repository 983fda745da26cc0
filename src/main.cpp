// SPDX-License-Identifier: Apache-2.0
// velmora-account: keeps the credentials a printer driver sends with a user's
// jobs on a CUPS queue, and, for root, which authentication function is on.
//
//   velmora-account OPTION PRINTER
//   velmora-account --list | --check PRINTER | --help | --version
//
// Prints nothing on success. Usage text, errors and prompts are its only output.

#include <fcntl.h>
#include <strings.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "credential_entry.h"
#include "credential_file.h"
#include "credential_kind.h"
#include "account_report.h"
#include "messages.h"
#include "scheduler.h"
#include "secret.h"
#include "status_file.h"

namespace {

constexpr const char kDefaultName[] = "velmora-account";

// What a run does, chosen by the option. The values are the documented
// operation codes.
enum class Operation : int {
  kUsage = -1,  // print the usage text
  kSetJobAccounting = 0,
  kRemoveJobAccounting = 1,
  kNoQueue = 2,  // print "No Printer Queue Entry"
  kEnableJobAccounting = 3,
  kDisable = 4,  // both functions off
  kSetUserAuthentication = 10,
  kRemoveUserAuthentication = 11,
  kEnableUserAuthentication = 13,
  kSetSecuredPrint = 20,
  kRemoveSecuredPrint = 21,
};

CredentialKind kind_of(Operation op) {
  switch (op) {
    case Operation::kSetSecuredPrint:
    case Operation::kRemoveSecuredPrint:
      return CredentialKind::kSecuredPrint;
    case Operation::kSetUserAuthentication:
    case Operation::kRemoveUserAuthentication:
    case Operation::kEnableUserAuthentication:
      return CredentialKind::kUserAuthentication;
    case Operation::kSetJobAccounting:
    case Operation::kRemoveJobAccounting:
    case Operation::kNoQueue:
    case Operation::kEnableJobAccounting:
      return CredentialKind::kJobAccounting;
    case Operation::kUsage:
    case Operation::kDisable:
      break;
  }
  return CredentialKind::kNone;
}

enum class Entry { kId, kPassword };

// Asks for the entry until its prompt accepts one; false (after saying why)
// when the input ended first.
bool ask_until_accepted(Entry entry, ValueBuffer buffer, CredentialKind kind, const char* name) {
  const char* what = entry == Entry::kPassword ? "pin" : has_user_name(kind) ? "user name" : "id";
  for (;;) {
    EntryResult result =
        entry == Entry::kId ? GetInputID(buffer, kind) : GetInputPSWD(buffer, kind);
    switch (result) {
      case EntryResult::kAccepted:
        return true;
      case EntryResult::kAskAgain:
        break;
      case EntryResult::kUnconvertible:
        report_entry(name, what, result);
        break;
      case EntryResult::kEndOfInput:
      case EntryResult::kReadError:
        report_entry(name, what, result);
        return false;
    }
  }
}

}  // namespace

const char* AppName(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

// The operation an option selects. Deliberate: an option is matched by its
// first bytes, longest first, so "-pux" acts as "-pu" and "-p" followed by
// anything else as "-p"; scripts may rely on it.
Operation option_of(const char* option) {
  struct Option {
    const char* text;
    std::size_t bytes;
    Operation op;
  };
  static constexpr Option kOptions[] = {
      {"-ps", 3, Operation::kSetSecuredPrint},
      {"-xs", 3, Operation::kRemoveSecuredPrint},
      {"-pu", 3, Operation::kSetUserAuthentication},
      {"-xu", 3, Operation::kRemoveUserAuthentication},
      {"-eu", 3, Operation::kEnableUserAuthentication},
      {"-p", 2, Operation::kSetJobAccounting},
      {"-x", 2, Operation::kRemoveJobAccounting},
      {"-e", 2, Operation::kEnableJobAccounting},
      {"-d", 2, Operation::kDisable},
  };
  for (const Option& o : kOptions) {
    if (std::strncmp(option, o.text, o.bytes) == 0) return o.op;
  }
  return Operation::kUsage;
}

bool is_remove(Operation op) {
  return op == Operation::kRemoveJobAccounting || op == Operation::kRemoveUserAuthentication ||
         op == Operation::kRemoveSecuredPrint;
}

// The operation of the option in argv[1], or kNoQueue when CUPS does not
// know the queue in argv[2]; *lookup receives what the queue check found (the
// name as CUPS spells it, or why the scheduler could not be asked). The one
// place where the command line turns into an operation.
Operation GetArg(int /*argc*/, char** argv, QueueLookup* lookup) {
  const Operation op = option_of(argv[1]);
  // The queue is judged before the option: an unknown queue wins.
  if (CheckCUPSEntry(argv[2], lookup) != QueueCheck::kKnown) return Operation::kNoQueue;
  return op;
}

// Hands the operation to the store: the outcome of the update, or kRefused
// with StoreStep::kArguments when the operation stores nothing or a value is
// missing.
UpdateOutcome SaveJobAccount(const char* printer, const char* owner, const char* id,
                             const char* password, Operation op, CredentialKind kind,
                             StoreError* error) {
  switch (printer == nullptr ? Operation::kUsage : op) {
    case Operation::kSetJobAccounting:
    case Operation::kSetUserAuthentication:
    case Operation::kSetSecuredPrint:
      if (id == nullptr || password == nullptr) break;
      return save_account_conf(printer, owner, id, password, false, kind, error);
    case Operation::kRemoveJobAccounting:
    case Operation::kRemoveUserAuthentication:
    case Operation::kRemoveSecuredPrint:
      return save_account_conf(printer, owner, nullptr, nullptr, true, kind, error);
    case Operation::kEnableJobAccounting:
    case Operation::kEnableUserAuthentication:
      return save_account_status(printer, kind, error);
    case Operation::kDisable:
      return save_account_status(printer, CredentialKind::kNone, error);
    case Operation::kUsage:
    case Operation::kNoQueue:
      break;
  }
  fail(error, StoreStep::kArguments, "", EINVAL);
  return UpdateOutcome::kRefused;
}

// The user whose credentials a run keeps: null for root, else USER, which
// must name a file in the account directory. False after saying why not.
bool account_owner(const char* name, const char** owner) {
  *owner = nullptr;
  if (getuid() == 0) return true;
  // Deliberate: taken as given, not looked up from the user ID.
  const char* user = std::getenv("USER");
  if (user == nullptr) {
    std::fprintf(stderr, "%s: USER is not set: it must name the user whose credentials to keep\n",
                 name);
    return false;
  }
  // It must not be empty or lead out of the directory.
  if (user[0] == '\0' || std::strchr(user, '/') != nullptr) {
    std::fprintf(stderr, "%s: USER must be a user name without '/': '%s'\n", name, user);
    return false;
  }
  *owner = user;
  return true;
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

int main(int argc, char** argv) {
  if (!ensure_standard_descriptors()) return 1;  // nowhere to say why
  // Keep typed secrets out of core dumps and away from same-user ptrace
  // (best effort: a kernel without it still gets a working tool).
  prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  // Read input a byte at a time with no stdio buffer, so that no copy of a
  // typed password lingers in memory the tool cannot wipe.
  std::setvbuf(stdin, nullptr, _IONBF, 0);

  const char* name = argc > 0 && argv[0] != nullptr && argv[0][0] != '\0' ? AppName(argv[0])
                                                                          : kDefaultName;
  if (name[0] == '\0') name = kDefaultName;
  // Commands of this tool's own, by their whole names; the options above
  // keep their matching by first bytes.
  const std::string_view command = argc >= 2 ? argv[1] : "";
  if (argc == 2 && command == "--help") {
    print_help(name);
    return 0;
  }
  if (argc == 2 && command == "--version") {
    std::printf("velmora-account %s\n", VELMORA_VERSION);
    return 0;
  }
  const bool list = argc == 2 && command == "--list";
  // Deliberate: usage with status 0, for every wrong command line.
  if (argc != 3 && !list) {
    Usage(name);
    return 0;
  }

  const char* owner = nullptr;
  if (!account_owner(name, &owner)) return 1;
  if (list) return list_entries(name, owner);
  if (command == "--check") return check_queue(name, owner, argv[2]);

  QueueLookup lookup;
  Operation op = GetArg(argc, argv, &lookup);
  if (lookup.result == QueueCheck::kUnreachable) {
    report_unreachable_scheduler(name, lookup);
    return 1;
  }
  // A queue CUPS no longer knows can still be cleared from the caller's file
  // under the name it has there; nothing else can remove those lines.
  if (op == Operation::kNoQueue && is_remove(option_of(argv[1])) && holds_section(owner, argv[2])) {
    op = option_of(argv[1]);
    lookup.queue = argv[2];
  }
  const char* printer = lookup.queue.c_str();
  const CredentialKind kind = kind_of(op);
  StoreError error;
  UpdateOutcome result = UpdateOutcome::kDone;

  switch (op) {
    case Operation::kSetJobAccounting:
    case Operation::kSetUserAuthentication:
    case Operation::kSetSecuredPrint: {
      SecretArray<kValueBufferSize> id;
      SecretArray<kValueBufferSize> password;
      if (!ask_until_accepted(Entry::kId, ValueBuffer(id.bytes), kind, name) ||
          !ask_until_accepted(Entry::kPassword, ValueBuffer(password.bytes), kind, name)) {
        return 1;
      }
      result = SaveJobAccount(printer, owner, id.data(), password.data(), op, kind, &error);
      break;
    }
    case Operation::kRemoveJobAccounting:
    case Operation::kRemoveUserAuthentication:
    case Operation::kRemoveSecuredPrint:
      result = SaveJobAccount(printer, owner, nullptr, nullptr, op, kind, &error);
      break;
    case Operation::kNoQueue:
      // Deliberate: status 0, as scripts calling the tool expect.
      std::fputs("No Printer Queue Entry\n", stderr);
      return 0;
    case Operation::kEnableJobAccounting:
    case Operation::kDisable:
    case Operation::kEnableUserAuthentication:
      // Deliberate: no message of its own; the usage text says these need root.
      if (getuid() != 0) {
        Usage(name);
        return 0;
      }
      result = SaveJobAccount(printer, owner, nullptr, nullptr, op, kind, &error);
      break;
    case Operation::kUsage:
      Usage(name);
      return 0;
  }

  // Nothing stored for this user is nothing to remove: not a failure.
  if (result == UpdateOutcome::kRefused) {
    report_store_error(name, printer, error);
    return 1;
  }
  return 0;
}
