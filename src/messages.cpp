// SPDX-License-Identifier: Apache-2.0
#include "messages.h"

#include <errno.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "account_format.h"

std::string user_name(uid_t uid) {
  if (const passwd* pw = getpwuid(uid); pw != nullptr && pw->pw_name != nullptr) {
    return pw->pw_name;
  }
  return std::to_string(uid);
}

namespace {

std::string octal_mode(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

// Whether the caller may act on a file or directory of `owner` themselves.
bool may_fix(uid_t owner) { return getuid() == 0 || owner == getuid(); }

// What the caller can do about a file that blocks the update: root, and the
// file's owner, can clear it themselves; anyone else needs the administrator.
std::string remedy(uid_t owner) {
  if (may_fix(owner)) return "inspect it and remove it, then run the command again";
  if (owner == 0) return "only the administrator can remove it; ask the administrator";
  return "only " + user_name(owner) + " or the administrator can remove it; ask the administrator";
}

// The same for a command that mends it.
std::string run_or_ask(uid_t owner, const std::string& command) {
  if (may_fix(owner)) return "run " + command + ", then run the command again";
  return "ask the administrator to run " + command;
}

// An old file this run refused to adopt: which, whose, and what to do.
void report_refused_file(const StoreError& e, const Caller* caller) {
  const uid_t owner_id = e.owner.value_or(getuid());
  const std::string owner = e.owner ? user_name(*e.owner) : "an unknown user";
  const char* path = e.path.c_str();
  std::string what;
  std::string fix = remedy(owner_id);
  switch (e.step) {
    case StoreStep::kNotOwner:
      what = "belongs to " + owner + ", not to " + user_name(e.expected_owner);
      // The name is USER's choice: say so, since another may use it.
      if (caller != nullptr && !caller->user_is_login && e.path.ends_with(".conf")) {
        what += " (USER is '" + std::string(caller->user) + "', not your login name)";
      }
      break;
    case StoreStep::kHardLinked:
      what = "has " + std::to_string(e.links) + " hard links (owned by " + owner + ")";
      break;
    case StoreStep::kWritableByOthers:
      what = "has mode " + octal_mode(e.mode) + " (owned by " + owner +
             "): others could have changed it";
      fix = may_fix(owner_id)
                ? "check it, run chmod go-w " + e.path + ", then run the command again"
                : run_or_ask(owner_id, "chmod go-w " + e.path);
      break;
    case StoreStep::kNotReadableByAll:
      what = "has mode " + octal_mode(e.mode) + " (owned by " + owner +
             "): the status file must be readable by everyone";
      fix = may_fix(owner_id) ? "make sure nothing in it is private, run chmod 0644 " + e.path +
                                    ", then run the command again"
                              : run_or_ask(owner_id, "chmod 0644 " + e.path);
      break;
    default:
      what = "is not a regular file (owned by " + owner + ")";
      break;
  }
  std::fprintf(stderr, "%s: %s %s; it was left unchanged: %s\n", program_name(), path, what.c_str(),
               fix.c_str());
}

// A replacement file that exists already: a running update's, a leftover of
// an interrupted one, or a file someone planted to block this user.
void report_existing_replacement(const StoreError& e) {
  const char* path = e.path.c_str();
  const char* why = std::strerror(e.error);
  if (!e.owner) {
    std::fprintf(stderr, "%s: cannot create %s: %s; run the command again\n", program_name(), path,
                 why);
    return;
  }
  const std::string whose = "(owned by " + user_name(*e.owner) + ")";
  std::string advice;
  switch (e.holder) {
    case Holder::kRunning:
      advice = "another update of " + e.target +
               " is running now (it may be stopped or slow); let it finish, then run the command "
               "again; do not remove " +
               e.path;
      break;
    case Holder::kInterrupted:
      advice = "an update of " + e.target +
               " was interrupted (killed, or the machine stopped) and left it; run the command "
               "again, which takes it over";
      break;
    case Holder::kUnknown:
      advice = remedy(*e.owner);
      break;
  }
  std::fprintf(stderr, "%s: cannot create %s: %s %s: %s\n", program_name(), path, why,
               whose.c_str(), advice.c_str());
}

void report_unsafe_directory(const StoreError& e) {
  const uid_t owner = e.owner.value_or(0);
  // The account directory itself, or one on the way to it.
  const bool above = !e.target.empty() && e.path != e.target;
  const std::string what =
      above ? "the directory " + e.path + " above the account directory " + e.target
            : "the account directory " + e.path;
  if (owner != 0 && owner != getuid()) {
    std::fprintf(stderr, "%s: %s belongs to %s, not to root; nothing was changed: %s\n",
                 program_name(), what.c_str(), user_name(owner).c_str(),
                 run_or_ask(0, "chown root " + e.path).c_str());
    return;
  }
  std::fprintf(stderr,
               "%s: %s has mode %s: others may write in it but it lacks the sticky bit, so they "
               "could replace %s; nothing was changed: %s\n",
               program_name(), what.c_str(), octal_mode(e.mode).c_str(),
               above ? "the account directory" : "any file in it",
               run_or_ask(owner, (above ? "chmod go-w " : "chmod +t ") + e.path).c_str());
}

}  // namespace

namespace {

void write_usage(std::FILE* out) {
  const char* name = program_name();
  std::fprintf(out,
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

}  // namespace

const char* program_name() {
  // Set by the C library from argv[0], as util-linux's tools use it.
  const char* name = program_invocation_short_name;
  return name != nullptr && name[0] != '\0' ? name : "velmora-account";
}

void print_usage() { write_usage(stderr); }

void print_version() { std::printf("velmora-account %s\n", VELMORA_VERSION); }

void print_help() {
  const char* name = program_name();
  write_usage(stdout);
  std::printf(
      "\n"
      "Show what is stored for you, without the values\n"
      "  %s --list\n"
      "Check what the driver will find for your jobs on a printer\n"
      "  %s --check [Printer Name]\n"
      "  (either as one JSON document: --json)\n"
      "For root: act for a user; every user's entries; forget a deleted printer\n"
      "  %s --user NAME OPTION [Printer Name]\n"
      "  %s --list --all-users\n"
      "  %s --forget [Printer Name]\n"
      "Show this text, or the version\n"
      "  %s --help\n"
      "  %s --version\n",
      name, name, name, name, name, name, name);
}

// One line on stderr, in the manner of util-linux: program, file, cause.
void report_caller_problem(CallerProblem problem, const Caller& caller) {
  switch (problem) {
    case CallerProblem::kUserUnset:
      std::fprintf(stderr, "%s: USER is not set: it must name the user whose credentials to keep\n",
                   program_name());
      return;
    case CallerProblem::kUserUnusable:
      std::fprintf(stderr, "%s: USER must be a user name without '/': '%s'\n", program_name(),
                   caller.user != nullptr ? caller.user : "");
      return;
    case CallerProblem::kUserIsAnother:
      std::fprintf(stderr,
                   "%s: USER is '%s', another local account, but you are %s: keep credentials "
                   "under your own name (or a print name no local account has); nothing was "
                   "changed\n",
                   program_name(), caller.user, caller.login.c_str());
      return;
    case CallerProblem::kNotRoot:
      std::fprintf(stderr,
                   "%s: --user %s: only root may act for another user; nothing was changed\n",
                   program_name(), caller.acting_for);
      return;
    case CallerProblem::kNoSuchUser:
      std::fprintf(stderr, "%s: --user %s: no such local account; nothing was changed\n",
                   program_name(), caller.acting_for);
      return;
    case CallerProblem::kNone:
      return;
  }
}

void report_wrong_use(const std::string& problem) {
  std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", program_name(),
               problem.c_str(), program_name());
}

void report_recovered(const StoreError& e) {
  if (e.recovered.empty()) return;
  std::fprintf(stderr, "%s: took over %s, left by an interrupted update\n", program_name(),
               e.recovered.c_str());
}

void report_no_queue() { std::fputs("No Printer Queue Entry\n", stderr); }

void report_not_ready(const std::string& queue, CredentialKind function, bool incomplete,
                      const std::string& user, const std::string& first_step) {
  const bool job = function == CredentialKind::kJobAccounting;
  const std::string why =
      std::string(job ? "job accounting is on, but " : "user authentication is on, but ") +
      (incomplete ? std::string(job ? "the ID and PIN" : "the user name and password") +
                        " stored for " + user + " are incomplete"
                  : std::string(job ? "no ID and PIN are" : "no user name and password are") +
                        " stored for " + user);
  std::string fix = std::string("velmora-account ") + (job ? "-p " : "-pu ") + queue;
  if (!first_step.empty()) fix += " (first " + first_step + ")";
  std::fprintf(stderr, "%s: %s: %s; run: %s\n", program_name(), queue.c_str(), why.c_str(),
               fix.c_str());
}

void report_forgotten(const std::string& queue, const std::vector<std::string>& changed,
                      const std::vector<std::string>& refused) {
  auto names = [](const std::vector<std::string>& list) {
    std::string text;
    for (const std::string& name : list) text += (text.empty() ? "" : ", ") + name;
    return text;
  };
  std::printf("forgot %s: %zu %s changed%s%s%s", queue.c_str(), changed.size(),
              changed.size() == 1 ? "file" : "files", changed.empty() ? "" : " (",
              names(changed).c_str(), changed.empty() ? "" : ")");
  if (!refused.empty()) std::printf(", %zu refused (%s)", refused.size(), names(refused).c_str());
  std::printf("\n");
}

void report_root_only(const std::string& what) {
  std::fprintf(stderr, "%s: %s: only root may do this; nothing was changed\n", program_name(),
               what.c_str());
}

void report_unknown_queue(const std::string& queue, bool held) {
  if (held) {
    std::fprintf(stderr,
                 "%s: %s: CUPS no longer knows this queue, but your credential file still has a "
                 "section for it; remove it with -x, -xu and -xs\n",
                 program_name(), queue.c_str());
    return;
  }
  std::fprintf(stderr, "%s: %s: CUPS knows no such queue (lpstat -e lists them)\n", program_name(),
               queue.c_str());
}

void report_store_error(const std::string& queue, const StoreError& e, const Caller* caller) {
  const char* why = std::strerror(e.error);
  const char* path = e.path.c_str();
  switch (e.step) {
    case StoreStep::kCreate:
      if (e.error == EEXIST) {
        report_existing_replacement(e);
      } else {
        std::fprintf(stderr, "%s: cannot create %s: %s\n", program_name(), path, why);
      }
      return;
    case StoreStep::kPathTooLong:
      std::fprintf(stderr, "%s: cannot update %s: the user name makes the path too long\n",
                   program_name(), path);
      return;
    case StoreStep::kOpen:
      std::fprintf(stderr, "%s: cannot open %s: %s; it was left unchanged\n", program_name(), path,
                   why);
      return;
    case StoreStep::kNotRegularFile:
    case StoreStep::kNotOwner:
    case StoreStep::kHardLinked:
    case StoreStep::kWritableByOthers:
    case StoreStep::kNotReadableByAll:
      report_refused_file(e, caller);
      return;
    case StoreStep::kDirectory:
      std::fprintf(stderr, "%s: cannot open the account directory %s: %s; nothing was changed\n",
                   program_name(), path, why);
      return;
    case StoreStep::kUnsafeDirectory:
      report_unsafe_directory(e);
      return;
    case StoreStep::kReplaced:
      std::fprintf(stderr,
                   "%s: cannot update %s: its replacement file %s was removed or replaced while "
                   "this run was writing it; nothing was changed\n",
                   program_name(), e.target.c_str(), path);
      return;
    case StoreStep::kRead:
      std::fprintf(stderr, "%s: cannot read %s: %s; it was left unchanged\n", program_name(), path,
                   why);
      return;
    case StoreStep::kLineTooLong:
      std::fprintf(stderr,
                   "%s: cannot write %s: a line would be longer than %d bytes; nothing was "
                   "changed\n",
                   program_name(), path, kMaxFormattedLine);
      return;
    case StoreStep::kUnclosedSection:
      std::fprintf(stderr,
                   "%s: cannot update %s: the section <%s> has no closing tag </%s>; nothing was "
                   "changed\n",
                   program_name(), path, queue.c_str(), queue.c_str());
      return;
    case StoreStep::kWrite:
      std::fprintf(stderr, "%s: cannot write %s: %s; nothing was changed\n", program_name(), path,
                   why);
      return;
    case StoreStep::kRename:
      std::fprintf(stderr, "%s: cannot rename %s to %s: %s; nothing was changed\n", program_name(),
                   path, e.target.c_str(), why);
      return;
    case StoreStep::kSyncDirectory:
      std::fprintf(stderr, "%s: cannot sync %s: %s; %s was updated but may not survive a crash\n",
                   program_name(), path, why, e.target.c_str());
      return;
    case StoreStep::kArguments:
      std::fprintf(stderr, "%s: cannot store a value that contains a line break\n", program_name());
      return;
    case StoreStep::kMemory:
    case StoreStep::kNone:
      break;
  }
  std::fprintf(stderr, "%s: cannot update the account file: %s\n", program_name(), why);
}

void report_unreachable_scheduler(const QueueLookup& lookup) {
  const char* server = lookup.server.c_str();
  const long long seconds = kSchedulerDeadline.count();
  switch (lookup.failure) {
    case SchedulerFailure::kResolve:
      std::fprintf(stderr,
                   "%s: cannot resolve the name of the print scheduler %s: %s; nothing was "
                   "changed\n",
                   program_name(), server, lookup.detail.c_str());
      return;
    case SchedulerFailure::kTimeout:
      if (lookup.phase == SchedulerPhase::kResolving) {
        std::fprintf(stderr,
                     "%s: cannot resolve the name of the print scheduler %s: the name server did "
                     "not answer within %lld s; nothing was changed\n",
                     program_name(), server, seconds);
        return;
      }
      std::fprintf(stderr,
                   "%s: the print scheduler at %s did not answer within %lld s; nothing was "
                   "changed\n",
                   program_name(), server, seconds);
      return;
    case SchedulerFailure::kPassword:
      std::fprintf(stderr,
                   "%s: the print scheduler at %s asked for a password, which this tool never "
                   "gives; nothing was changed\n",
                   program_name(), server);
      return;
    case SchedulerFailure::kClosed:
      std::fprintf(stderr,
                   "%s: the print scheduler at %s closed the connection without answering%s%s; "
                   "nothing was changed\n",
                   program_name(), server, lookup.error != 0 ? ": " : "",
                   lookup.error != 0 ? std::strerror(lookup.error) : "");
      return;
    case SchedulerFailure::kNoAnswer:
      std::fprintf(stderr,
                   "%s: the print scheduler at %s did not answer: %s; nothing was changed\n",
                   program_name(), server, lookup.detail.c_str());
      return;
    case SchedulerFailure::kConnect:
    case SchedulerFailure::kNone:
      break;
  }
  std::fprintf(stderr, "%s: cannot reach the print scheduler at %s: %s; nothing was changed\n",
               program_name(), server, std::strerror(lookup.error));
}

void report_entry(CredentialKind kind, bool password, EntryResult result, std::size_t size,
                  bool asked_again) {
  // A job accounting PIN is a PIN; what the other kinds hide is a password.
  const bool named = has_user_name(kind);
  const char* what = password ? (named ? "password" : "PIN") : (named ? "user name" : "id");
  const char* next = asked_again ? "type it again" : "nothing was changed";
  switch (result) {
    case EntryResult::kAskAgain:
      // An empty ID or user name needs no word: the prompt comes back.
      if (password) {
        std::fprintf(stderr, "%s: password: cannot be empty for secured print; type it again\n",
                     program_name());
      }
      return;
    case EntryResult::kUnconvertible:
      std::fprintf(stderr, "%s: %s: the text is not valid in the encodings of the locale; %s\n",
                   program_name(), what, next);
      return;
    case EntryResult::kTooLong:
      // The count explains a refusal of fewer letters than the limit: many
      // take two or more bytes of UTF-8.
      std::fprintf(stderr, "%s: %s: too long: at most %d bytes%s can be stored, this is %zu; %s\n",
                   program_name(), what, entry_limit(kind, password), named ? " of UTF-8" : "",
                   size, next);
      return;
    case EntryResult::kNulByte:
      std::fprintf(stderr, "%s: %s: the text holds a NUL byte, which cannot be stored; %s\n",
                   program_name(), what, next);
      return;
    case EntryResult::kLineBreak:
      std::fprintf(stderr,
                   "%s: %s: the text holds a carriage return or a 0xFF byte, which would end the "
                   "line in the credential file; %s\n",
                   program_name(), what, next);
      return;
    case EntryResult::kEndOfInput:
      std::fprintf(stderr, "%s: reading %s: unexpected end of input\n", program_name(), what);
      return;
    case EntryResult::kReadError:
      std::fprintf(stderr, "%s: reading %s: %s\n", program_name(), what, std::strerror(errno));
      return;
    case EntryResult::kAccepted:
      return;
  }
}
