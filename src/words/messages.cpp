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
#include <string_view>

#include "quoting.h"
#include "translation.h"

std::string user_name(uid_t uid) {
  if (const passwd* pw = getpwuid(uid); pw != nullptr && pw->pw_name != nullptr) {
    return pw->pw_name;
  }
  return std::to_string(uid);
}

namespace {

// A value the message puts in single quotes, unless it needs quoting of
// its own.
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

void report_usage(UsageError why, const std::string& word) {
  const std::string problem = [&]() -> std::string {
    switch (why) {
      case UsageError::kNothing:
        return _("an option and a queue name are needed");
      case UsageError::kNeedsQueue:
        return format_text(_("%s: a queue name is needed"), quote_name(word).c_str());
      case UsageError::kNoSuchOption:
        return format_text(_("%s: no such option"), quote_name(word).c_str());
      case UsageError::kExtraOperand:
        return format_text(_("extra operand %s"), in_quotes(word).c_str());
      case UsageError::kRootOnly:
        return format_text(_("%s: only root may switch a printer's functions"),
                           quote_name(word).c_str());
    }
    return "";
  }();
  std::fprintf(stderr, "%s: %s\n", program_name(), problem.c_str());
  write_usage(stderr);
}

void print_version() { std::printf("velmora-account %s\n", VELMORA_VERSION); }

void print_help() {
  const char* name = program_name();
  // The command lines name the options themselves, which stay as they are.
  std::printf(_("Usage: %s [--user NAME] OPTION QUEUE\n"
                "  or:  %s [--user NAME] --list [--json]\n"
                "  or:  %s [--user NAME] --check QUEUE [--json]\n"
                "  or:  %s [--user NAME] --batch [--dry-run]\n"
                "  or:  %s --list --all-users [--json]\n"
                "  or:  %s --forget QUEUE\n"),
              name, name, name, name, name, name);
  std::fputs(
      _("Keep the credentials a printer driver sends with your jobs on the CUPS queue QUEUE.\n"
        "\n"
        "OPTION is one of:\n"
        "  -p           set the job accounting ID and PIN (asked for)\n"
        "  -x           remove the job accounting ID and PIN\n"
        "  -pu          set the user authentication user name and password (asked for)\n"
        "  -xu          remove the user authentication user name and password\n"
        "  -ps          set the secured print user name and password (asked for)\n"
        "  -xs          remove the secured print user name and password\n"
        "  -e           enable job accounting for QUEUE (root only)\n"
        "  -eu          enable user authentication for QUEUE (root only)\n"
        "  -d           disable both for QUEUE (root only)\n"
        "\n"),
      stdout);
  std::fputs(_("  --list       show what is stored for you, per queue, never a value\n"
               "  --check      show what the driver will find for your jobs on QUEUE\n"
               "  --json       with --list or --check: one JSON document instead\n"
               "  --batch      read credentials as JSON Lines on standard input, one answer each\n"
               "  --dry-run    with --batch: check everything and tell what would change\n"
               "  --user NAME  act for the local account NAME (root; anyone else only themselves)\n"
               "  --all-users  with --list: every user's entries (root only)\n"
               "  --forget     remove QUEUE, deleted from CUPS, from every file (root only)\n"
               "  --help       show this help and exit\n"
               "  --version    show the version and exit\n"
               "\n"),
             stdout);
  std::printf(_("Exit status: 0 when done (or nothing was there to remove), 1 when not (said "
                "why),\n2 for a command line that cannot be run. See %s(1).\n"),
              name);
}

// One line on stderr, in the manner of util-linux: program, file, cause.
void report_caller_problem(CallerProblem problem, const Caller& caller) {
  const std::string user = in_quotes(caller.user != nullptr ? caller.user : "");
  const std::string acting_for = quote_name(caller.acting_for != nullptr ? caller.acting_for : "");
  switch (problem) {
    case CallerProblem::kUserUnset: {
      const unsigned long id = caller.uid;
      if (caller.login_error != 0) {
        std::fprintf(stderr,
                     _("%s: USER is not set, and the login name of user ID %lu could not be "
                       "looked up: %s; nothing was changed\n"),
                     program_name(), id, error_text(caller.login_error));
      } else {
        std::fprintf(stderr,
                     _("%s: USER is not set, and user ID %lu has no login name: set USER to the "
                       "name to keep your credentials under; nothing was changed\n"),
                     program_name(), id);
      }
      return;
    }
    case CallerProblem::kUserUnusable:
      std::fprintf(stderr,
                   _("%s: USER must be a user name that does not start with '.' nor hold '/': "
                     "%s\n"),
                   program_name(), user.c_str());
      return;
    case CallerProblem::kUserIsAnother:
      std::fprintf(stderr,
                   _("%s: USER is %s, another local account, but you are %s: keep credentials "
                     "under your own name (or a print name no local account has); nothing was "
                     "changed\n"),
                   program_name(), user.c_str(), quote_name(caller.login).c_str());
      return;
    case CallerProblem::kNotRoot:
      std::fprintf(stderr,
                   _("%s: --user %s: only root may act for another user; nothing was changed\n"),
                   program_name(), acting_for.c_str());
      return;
    case CallerProblem::kNoSuchUser:
      std::fprintf(stderr, _("%s: --user %s: no such local account; nothing was changed\n"),
                   program_name(), acting_for.c_str());
      return;
    case CallerProblem::kNone:
      return;
  }
}

void report_wrong_use(WrongUse what, const std::string& word_given, const std::string& other) {
  const std::string word = quote_name(word_given);
  const std::string given = in_quotes(word_given);
  std::string problem;
  switch (what) {
    case WrongUse::kAmbiguous:
      problem = format_text(_("option %s is ambiguous"), given.c_str());
      break;
    case WrongUse::kUnrecognized:
      problem = format_text(_("unrecognized option %s"), given.c_str());
      break;
    case WrongUse::kNeedsArgument:
      problem = format_text(_("option %s needs an argument"), given.c_str());
      break;
    case WrongUse::kTakesNoArgument:
      problem = format_text(_("option %s takes no argument"), given.c_str());
      break;
    case WrongUse::kCannotCombine:
      problem = format_text(_("%s and %s cannot be combined"), word.c_str(), other.c_str());
      break;
    case WrongUse::kAllUsersAlone:
      problem = _("--all-users goes with --list or --check");
      break;
    case WrongUse::kJsonAlone:
      problem = _("--json goes with --list or --check");
      break;
    case WrongUse::kUserMisplaced:
      problem = _("--user goes with an option and a queue, --list, --check or --batch");
      break;
    case WrongUse::kUserNeedsCommand:
      problem = _("--user NAME needs an option and a queue, --list, --check or --batch");
      break;
    case WrongUse::kUserWithSwitch:
      problem = format_text(
          _("--user does not go with %s: it switches a function on or off for the machine, not "
            "for a user"),
          word.c_str());
      break;
    case WrongUse::kDryRunAlone:
      problem = _("--dry-run goes with --batch or --forget");
      break;
    case WrongUse::kExtraOperand:
      problem = format_text(_("extra operand %s"), given.c_str());
      break;
    case WrongUse::kNeedsQueue:
      problem = format_text(_("%s needs the name of a queue"), word.c_str());
      break;
    case WrongUse::kNone:
      break;
  }
  std::fprintf(stderr, "%s: %s\n", program_name(), problem.c_str());
  std::fprintf(stderr, _("Try '%s --help' for more information.\n"), program_name());
}

namespace {

void report_batch_input(const std::string& why) {
  std::fprintf(stderr,
               _("%s: cannot read the records on standard input: %s; nothing was changed\n"),
               program_name(), why.c_str());
}

}  // namespace

void report_batch_input_unreadable(int error) { report_batch_input(error_text(error)); }

void report_batch_input_too_large(std::size_t bytes) {
  report_batch_input("more than " + std::to_string(bytes >> 20) + " MiB");
}

void report_batch_input_too_many(std::size_t records) {
  report_batch_input("more than " + std::to_string(records) + " records");
}

void report_batch_summary(std::size_t changed, std::size_t unchanged, std::size_t refused,
                          bool dry_run) {
  // TRANSLATORS: the counts of records: changed, unchanged, refused.
  std::fprintf(stderr,
               dry_run ? _("%s: dry run: %zu would change, %zu unchanged, %zu refused; nothing was "
                           "written\n")
                       : _("%s: %zu changed, %zu unchanged, %zu refused\n"),
               program_name(), changed, unchanged, refused);
}

void report_out_of_memory() {
  // Written without allocating: there may be no memory left to format it.
  // A lookup that finds no memory answers the English.
  std::fputs(program_name(), stderr);
  std::fputs(": ", stderr);
  std::fputs(_("out of memory; the run stopped, and every account file is as it was or wholly "
               "updated\n"),
             stderr);
}

void report_queue_in_use(const std::string& queue) {
  std::fprintf(stderr,
               _("%s: %s: CUPS still has this queue; nothing was changed: delete it first "
                 "(lpadmin -x %s), then forget it\n"),
               program_name(), quote_name(queue).c_str(), quote_name(queue).c_str());
}

void report_no_queue() { std::fputs("No Printer Queue Entry\n", stderr); }

void report_unknown_queue(const std::string& queue, bool held) {
  if (held) {
    std::fprintf(stderr,
                 _("%s: %s: CUPS no longer knows this queue, but your credential file still "
                   "has a section for it; remove it with -x, -xu and -xs\n"),
                 program_name(), quote_name(queue).c_str());
    return;
  }
  std::fprintf(stderr, _("%s: %s: CUPS knows no such queue (lpstat -e lists them)\n"),
               program_name(), quote_name(queue).c_str());
}

std::string entry_problem(CredentialKind kind, bool password, EntryResult result,
                          std::optional<std::size_t> size) {
  // A job accounting PIN is a PIN; what the other kinds hide is a password.
  const int error = errno;  // before a lookup can change it
  const bool named = has_user_name(kind);
  const char* what =
      password ? (named ? _("password") : _("PIN")) : (named ? _("user name") : _("id"));
  // TRANSLATORS: in the sentences about a typed value, %s is "id", "user
  // name", "PIN" or "password", as translated.
  switch (result) {
    case EntryResult::kAskAgain:
      return format_text(
          password ? _("%s: cannot be empty for secured print") : _("%s: cannot be empty"), what);
    case EntryResult::kUnconvertible:
      return format_text(_("%s: the text is not valid in the encodings of the locale"), what);
    case EntryResult::kTooLong: {
      // The count explains a refusal of fewer letters than the limit: many
      // take two or more bytes of UTF-8.
      const std::size_t limit = entry_limit(kind, password);
      if (!size) {
        return format_text(named ? _("%s: too long: at most %zu bytes of UTF-8 can be stored")
                                 : _("%s: too long: at most %zu bytes can be stored"),
                           what, limit);
      }
      return format_text(named ? _("%s: too long: at most %zu bytes of UTF-8 can be stored, this "
                                   "is %zu")
                               : _("%s: too long: at most %zu bytes can be stored, this is %zu"),
                         what, limit, *size);
    }
    case EntryResult::kNulByte:
      return format_text(_("%s: the text holds a NUL byte, which cannot be stored"), what);
    case EntryResult::kLineBreak:
      return format_text(_("%s: the text holds a carriage return or a 0xFF byte, which would end "
                           "the line in the credential file"),
                         what);
    case EntryResult::kEndOfInput:
      return format_text(_("reading %s: unexpected end of input"), what);
    case EntryResult::kReadError:
      return format_text(_("reading %s: %s"), what, error_text(error));
    case EntryResult::kMismatch:
      return named ? _("the passwords do not match") : _("the PINs do not match");
    case EntryResult::kAccepted:
      break;
  }
  return "";
}

void report_entry(CredentialKind kind, bool password, EntryResult result, std::size_t size,
                  bool asked_again) {
  // An empty ID or user name needs no word: the prompt comes back.
  if (result == EntryResult::kAccepted || (result == EntryResult::kAskAgain && !password)) return;
  const bool read_failed = result == EntryResult::kEndOfInput || result == EntryResult::kReadError;
  // TRANSLATORS: the second %s says what is wrong with a typed value.
  const char* format = read_failed                        ? "%s: %s\n"
                       : !asked_again                     ? _("%s: %s; nothing was changed\n")
                       : result == EntryResult::kMismatch ? _("%s: %s; type them again\n")
                                                          : _("%s: %s; type it again\n");
  std::fprintf(stderr, format, program_name(), entry_problem(kind, password, result, size).c_str());
}
