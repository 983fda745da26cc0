// SPDX-License-Identifier: Apache-2.0
// velmora-account: keeps the credentials a printer driver sends with a user's
// jobs on a CUPS queue, and, for root, which authentication function is on.
//
//   velmora-account OPTION PRINTER
//
// Prints nothing on success. Usage text, errors and prompts are its only output.

#include <cups/cups.h>
#include <fcntl.h>
#include <pwd.h>
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
#include <utility>

#include "account_store.h"
#include "credential_entry.h"
#include "credential_kind.h"
#include "secret.h"

namespace {

constexpr const char kDefaultName[] = "velmora-account";

// What a run does, chosen by the option. The values are the operation codes
// that GetArg and SaveJobAccount exchange as numbers.
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

constexpr int operation_code(Operation op) { return static_cast<int>(op); }

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

const char* entry_name(Entry entry, CredentialKind kind) {
  if (entry == Entry::kPassword) return "pin";
  return has_user_name(kind) ? "user name" : "id";
}

// Reports a prompt that found no complete line; the terminal is already back.
void report_entry_end(const char* name, Entry entry, CredentialKind kind) {
  if (errno == 0) {
    std::fprintf(stderr, "%s: reading %s: unexpected end of input\n", name, entry_name(entry, kind));
  } else {
    std::fprintf(stderr, "%s: reading %s: %s\n", name, entry_name(entry, kind),
                 std::strerror(errno));
  }
}

// Asks for the entry until its prompt accepts one; false (after saying why)
// when the input ended first.
bool ask_until_accepted(Entry entry, ValueBuffer buffer, CredentialKind kind, const char* name) {
  const auto kind_arg = static_cast<unsigned>(kind_number(kind));
  for (;;) {
    int got = entry == Entry::kId ? GetInputID(buffer, kind_arg) : GetInputPSWD(buffer, kind_arg);
    if (got > 0) return true;
    if (got < 0) {
      report_entry_end(name, entry, kind);
      return false;
    }
    if (errno == EILSEQ) {
      std::fprintf(stderr,
                   "%s: %s: the text is not valid in the encodings of the locale; type it again\n",
                   name, entry_name(entry, kind));
    }
  }
}

// A user's login name, or their number when they have none.
std::string user_name(uid_t uid) {
  if (const passwd* pw = getpwuid(uid); pw != nullptr && pw->pw_name != nullptr) {
    return pw->pw_name;
  }
  return std::to_string(uid);
}

std::string who_can_remove(uid_t owner) {
  if (owner == 0) return "only the administrator can remove it";
  return "only " + user_name(owner) + " or the administrator can remove it";
}

// What the caller can do about a file that blocks the update: root, and the
// file's owner, can clear it themselves; anyone else needs the administrator.
std::string remedy(uid_t owner) {
  uid_t caller = getuid();
  if (caller == 0 || owner == caller) return "inspect it and remove it, then run the command again";
  return who_can_remove(owner) + "; ask the administrator";
}

// A file this run refused to adopt: which, whose, and what to do.
void report_refused_file(const char* name, const StoreError& e) {
  const std::string owner = e.owner ? user_name(*e.owner) : "an unknown user";
  std::string what;
  switch (e.step) {
    case StoreStep::kNotOwner:
      what = "belongs to " + owner + ", not to " + user_name(getuid());
      break;
    case StoreStep::kHardLinked:
      what = "has " + std::to_string(e.links) + " hard links (owned by " + owner + ")";
      break;
    default:
      what = "is not a regular file (owned by " + owner + ")";
      break;
  }
  std::fprintf(stderr, "%s: %s %s; it was left unchanged: %s\n", name, e.path.c_str(),
               what.c_str(), remedy(e.owner.value_or(getuid())).c_str());
}

// A replacement file that exists already: another run's, a leftover, or a
// file someone planted to block this user.
void report_existing_replacement(const char* name, const StoreError& e) {
  const char* path = e.path.c_str();
  std::string whose = e.owner ? " (owned by " + user_name(*e.owner) + ")" : "";
  if (e.owner && *e.owner != getuid()) {
    std::fprintf(stderr, "%s: cannot create %s: %s%s: %s\n", name, path, std::strerror(e.error),
                 whose.c_str(), remedy(*e.owner).c_str());
    return;
  }
  std::fprintf(stderr,
               "%s: cannot create %s: %s%s: another update may be running, or an earlier one was "
               "interrupted; once none is running, remove %s to let updates go on\n",
               name, path, std::strerror(e.error), whose.c_str(), path);
}

// One line on stderr, in the manner of util-linux: program, file, cause.
void report_store_error(const char* name, const char* printer, const StoreError& e) {
  const char* why = std::strerror(e.error);
  const char* path = e.path.c_str();
  switch (e.step) {
    case StoreStep::kCreate:
      if (e.error == EEXIST) {
        report_existing_replacement(name, e);
      } else {
        std::fprintf(stderr, "%s: cannot create %s: %s\n", name, path, why);
      }
      return;
    case StoreStep::kPathTooLong:
      std::fprintf(stderr, "%s: cannot update %s: the user name makes the path too long\n", name,
                   path);
      return;
    case StoreStep::kOpen:
      std::fprintf(stderr, "%s: cannot open %s: %s; it was left unchanged\n", name, path, why);
      return;
    case StoreStep::kNotRegularFile:
    case StoreStep::kNotOwner:
    case StoreStep::kHardLinked:
      report_refused_file(name, e);
      return;
    case StoreStep::kRead:
      std::fprintf(stderr, "%s: cannot read %s: %s; it was left unchanged\n", name, path, why);
      return;
    case StoreStep::kLineTooLong:
      std::fprintf(stderr,
                   "%s: cannot write %s: a line would be longer than %d bytes; nothing was "
                   "changed\n",
                   name, path, kMaxFormattedLine);
      return;
    case StoreStep::kUnclosedSection:
      std::fprintf(stderr,
                   "%s: cannot update %s: the section <%s> has no closing tag </%s>; nothing was "
                   "changed\n",
                   name, path, printer, printer);
      return;
    case StoreStep::kWrite:
      std::fprintf(stderr, "%s: cannot write %s: %s; nothing was changed\n", name, path, why);
      return;
    case StoreStep::kRename:
      std::fprintf(stderr, "%s: cannot rename %s to %s: %s; nothing was changed\n", name, path,
                   e.target.c_str(), why);
      return;
    case StoreStep::kSyncDirectory:
      std::fprintf(stderr, "%s: cannot sync %s: %s; %s was updated but may not survive a crash\n",
                   name, path, why, e.target.c_str());
      return;
    case StoreStep::kArguments:
      std::fprintf(stderr, "%s: cannot store a value that contains a line break\n", name);
      return;
    case StoreStep::kMemory:
    case StoreStep::kNone:
    case StoreStep::kNothingToRemove:
      break;
  }
  std::fprintf(stderr, "%s: cannot update the account file: %s\n", name, why);
}

// Destination list from the CUPS client library, freed on every path.
class CupsDests {
 public:
  CupsDests() : count_(cupsGetDests(&dests_)) {}
  CupsDests(const CupsDests&) = delete;
  CupsDests& operator=(const CupsDests&) = delete;
  ~CupsDests() { cupsFreeDests(count_, dests_); }
  int count() const { return count_; }
  cups_dest_t* get() const { return dests_; }

 private:
  cups_dest_t* dests_ = nullptr;
  int count_;
};

}  // namespace

const char* AppName(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

void Usage(const char* name) {
  std::fprintf(stderr,
               "%s Usage: \n"
               "Setting Job Accounting ID/Password \n"
               "  %s -p [Printer Name]\n"
               "Remove ID/Password \n"
               "  %s -x [Printer Name]\n\n"
               "Setting User Authentication Function User Name/Password \n"
               "  %s -pu [Printer Name]\n"
               "Remove User Name/Password \n"
               "  %s -xu [Printer Name]\n\n"
               "Setting Secured Print Function User Name/Password \n"
               "  %s -ps [Printer Name]\n"
               "Remove User Name/Password \n"
               "  %s -xs [Printer Name]\n\n"
               "Root privilege is required to perform following operations \n"
               "Enable Job Accounting \n"
               "  %s -e [Printer Name]\n"
               "Enable User Authentication Function \n"
               "  %s -eu [Printer Name]\n"
               "Disable Job Accounting and User Authentication Function \n"
               "  %s -d [Printer Name]\n",
               name, name, name, name, name, name, name, name, name, name);
}

namespace {

// Asks the scheduler, in one request, for the first queue from `printer` on
// that this user may use, by the same rules as the destination list. Returns
// its name as CUPS spells it when that is `printer` (CUPS compares names
// without regard to case), else nothing: the queue may still be a destination
// the list holds for other reasons.
std::optional<std::string> ask_scheduler_for(const char* printer) {
  std::unique_ptr<http_t, decltype(&httpClose)> http(
      httpConnect2(cupsServer(), ippPort(), nullptr, AF_UNSPEC, cupsEncryption(), 1, 30000,
                   nullptr),
      httpClose);
  if (!http) return std::nullopt;
  ipp_t* request = ippNewRequest(IPP_OP_CUPS_GET_PRINTERS);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "first-printer-name", nullptr, printer);
  ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "limit", 1);
  // The scheduler leaves out queues whose allow list excludes this user.
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
               cupsUser());
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr,
               "printer-name");
  // cupsDoRequest frees the request.
  std::unique_ptr<ipp_t, decltype(&ippDelete)> response(cupsDoRequest(http.get(), request, "/"),
                                                        ippDelete);
  if (!response || cupsLastError() > IPP_STATUS_OK_CONFLICTING) return std::nullopt;
  ipp_attribute_t* attr = ippFindAttribute(response.get(), "printer-name", IPP_TAG_NAME);
  const char* name = attr != nullptr ? ippGetString(attr, 0, nullptr) : nullptr;
  if (name == nullptr || strcasecmp(name, printer) != 0) return std::nullopt;
  return std::string(name);
}

}  // namespace

// 0 when CUPS knows the queue, 1 otherwise. CUPS matches names without regard
// to case, so *queue (when given) receives the name as CUPS spells it: that is
// the name drivers look for in the files. The scheduler is asked about this
// one queue first; only when it does not know it is the full destination
// list consulted, which waits for network discovery and grows with every
// queue on the server.
int CheckCUPSEntry(const char* printer, std::string* queue = nullptr) {
  if (std::optional<std::string> name = ask_scheduler_for(printer)) {
    if (queue != nullptr) *queue = std::move(*name);
    return 0;
  }
  CupsDests dests;
  if (dests.count() == 0) return 1;
  const cups_dest_t* dest = cupsGetDest(printer, nullptr, dests.count(), dests.get());
  if (dest == nullptr) return 1;
  if (queue != nullptr) *queue = dest->name;
  return 0;
}

// The operation code of the option in argv[1], or that of kNoQueue when CUPS
// does not know the queue in argv[2] (whose CUPS spelling goes to *queue).
int GetArg(int /*argc*/, char** argv, std::string* queue = nullptr) {
  struct Option {
    const char* text;
    std::size_t bytes;
    Operation op;
  };
  // Deliberate: an option is matched by its first bytes, longest first, so
  // "-pux" acts as "-pu" and "-p" followed by anything else as "-p";
  // scripts may rely on it.
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
  Operation op = Operation::kUsage;
  for (const Option& option : kOptions) {
    if (std::strncmp(argv[1], option.text, option.bytes) == 0) {
      op = option.op;
      break;
    }
  }
  // The queue is judged before the option: an unknown queue wins.
  if (CheckCUPSEntry(argv[2], queue) != 0) return operation_code(Operation::kNoQueue);
  return operation_code(op);
}

// Hands the operation to the store. Returns -1 for bad arguments, else the
// store's result (0 done, 1 not done; *error says why).
int SaveJobAccount(const char* printer, const char* owner, const char* id, const char* password,
                   int code, int kind, StoreError* error) {
  if (printer == nullptr) return -1;
  switch (static_cast<Operation>(code)) {
    case Operation::kSetJobAccounting:
    case Operation::kSetUserAuthentication:
    case Operation::kSetSecuredPrint:
      if (id == nullptr || password == nullptr) return -1;
      return save_account_conf(printer, owner, id, password, 0, kind, error);
    case Operation::kRemoveJobAccounting:
    case Operation::kRemoveUserAuthentication:
    case Operation::kRemoveSecuredPrint:
      return save_account_conf(printer, owner, nullptr, nullptr, 1, kind, error);
    case Operation::kEnableJobAccounting:
    case Operation::kEnableUserAuthentication:
      return save_account_status(printer, kind, error);
    case Operation::kDisable:
      return save_account_status(printer, kind_number(CredentialKind::kNone), error);
    case Operation::kUsage:
    case Operation::kNoQueue:
      break;
  }
  return -1;
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
  // Deliberate: usage with status 0, for every wrong command line.
  if (argc != 3) {
    Usage(name);
    return 0;
  }

  const char* owner = nullptr;
  if (getuid() != 0) {
    // Deliberate: taken as given, not looked up from the user ID.
    owner = std::getenv("USER");
    if (owner == nullptr) {
      std::fprintf(stderr, "%s: USER is not set: it must name the user whose credentials to keep\n",
                   name);
      return 1;
    }
    // The owner names a file in the account directory: it must not be empty
    // or lead out of it.
    if (owner[0] == '\0' || std::strchr(owner, '/') != nullptr) {
      std::fprintf(stderr, "%s: USER must be a user name without '/': '%s'\n", name, owner);
      return 1;
    }
  }

  std::string queue;
  const auto op = static_cast<Operation>(GetArg(argc, argv, &queue));
  const char* printer = queue.c_str();
  const CredentialKind kind = kind_of(op);
  StoreError error;
  int result = 0;

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
      result = SaveJobAccount(printer, owner, id.data(), password.data(), operation_code(op),
                              kind_number(kind), &error);
      break;
    }
    case Operation::kRemoveJobAccounting:
    case Operation::kRemoveUserAuthentication:
    case Operation::kRemoveSecuredPrint:
      result = SaveJobAccount(printer, owner, nullptr, nullptr, operation_code(op),
                              kind_number(kind), &error);
      // Nothing stored for this user: nothing to remove.
      if (result != 0 && error.step == StoreStep::kNothingToRemove) result = 0;
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
      result = SaveJobAccount(printer, owner, nullptr, nullptr, operation_code(op),
                              kind_number(kind), &error);
      break;
    case Operation::kUsage:
      Usage(name);
      return 0;
  }

  if (result != 0) {
    report_store_error(name, printer, error);
    return 1;
  }
  return 0;
}
