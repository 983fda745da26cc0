// SPDX-License-Identifier: Apache-2.0
// The messages about the account files: refusals, blockers, and what the
// caller can do about them.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "account_directory.h"
#include "account_format.h"
#include "account_store.h"
#include "credential_file.h"
#include "messages.h"
#include "quoting.h"

namespace {

// printf into a string.
__attribute__((format(printf, 1, 2))) std::string format_text(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int size = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string out(static_cast<std::size_t>(std::max(size, 0)) + 1, '\0');
  std::vsnprintf(out.data(), out.size(), format, again);
  va_end(again);
  out.pop_back();
  return out;
}

std::string octal_mode(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

// Whether the caller may act on a file or directory of `owner` themselves.
bool may_fix(const Caller& caller, uid_t owner) { return caller.root() || owner == caller.uid; }

// What the caller can do about a file that blocks the update: root, and the
// file's owner, can clear it themselves; anyone else needs the administrator.
std::string remedy(const Caller& caller, uid_t owner) {
  if (may_fix(caller, owner)) return "inspect it and remove it, then run the command again";
  if (owner == 0) return "only the administrator can remove it; ask the administrator";
  return "only " + user_name(owner) + " or the administrator can remove it; ask the administrator";
}

// The same for a command that mends it.
std::string run_or_ask(const Caller& caller, uid_t owner, const std::string& command) {
  if (may_fix(caller, owner)) return "run " + command + ", then run the command again";
  return "ask the administrator to run " + command;
}

// An old file this run refused to adopt: which, whose, and what to do.
std::string refused_file_text(const Caller& caller, const StoreError& e) {
  const uid_t owner_id = e.owner.value_or(caller.uid);
  const std::string owner = e.owner ? user_name(*e.owner) : "an unknown user";
  const std::string shown = quote_name(e.path);
  const char* path = shown.c_str();
  std::string what;
  std::string fix = remedy(caller, owner_id);
  switch (e.step) {
    case StoreStep::kNotOwner:
      what = "belongs to " + owner + ", not to " + user_name(e.expected_owner);
      // The name is USER's choice: say so, since another may use it.
      if (!caller.user_is_login && e.path.ends_with(kCredentialSuffix)) {
        what += " (USER is " + in_quotes(caller.filed_under()) + ", not your login name)";
      }
      break;
    case StoreStep::kHardLinked:
      what = "has " + std::to_string(e.links) + " hard links (owned by " + owner + ")";
      break;
    case StoreStep::kWritableByOthers:
      what = "has mode " + octal_mode(e.mode) + " (owned by " + owner +
             "): others could have changed it";
      fix = may_fix(caller, owner_id)
                ? "check it, run chmod go-w " + shown + ", then run the command again"
                : run_or_ask(caller, owner_id, "chmod go-w " + shown);
      break;
    case StoreStep::kNotReadableByAll:
      what = "has mode " + octal_mode(e.mode) + " (owned by " + owner +
             "): the status file must be readable by everyone";
      fix = may_fix(caller, owner_id) ? "make sure nothing in it is private, run chmod 0644 " +
                                            e.path + ", then run the command again"
                                      : run_or_ask(caller, owner_id, "chmod 0644 " + shown);
      break;
    case StoreStep::kTooLarge:
      what = "has " + std::to_string(e.size) + " bytes (owned by " + owner + "), more than the " +
             std::to_string(kMaxFileBytes) + " an account file may hold";
      break;
    case StoreStep::kSparse:
      what = "has " + std::to_string(e.size) + " bytes but only " + std::to_string(e.on_disk) +
             " on disk (owned by " + owner + "): a sparse file, not one this tool wrote";
      break;
    default:
      what = "is not a regular file (owned by " + owner + ")";
      break;
  }
  return format_text("%s %s; it was left unchanged: %s", path, what.c_str(), fix.c_str());
}

// A replacement file that exists already: a running update's, a leftover of
// an interrupted one, or a file someone planted to block this user.
std::string existing_replacement_text(const Caller& caller, const StoreError& e) {
  const std::string shown = quote_name(e.path), target = quote_name(e.target);
  const char* path = shown.c_str();
  const char* why = std::strerror(e.error);
  if (!e.owner) {
    return format_text("cannot create %s: %s; run the command again", path, why);
  }
  const std::string whose = "(owned by " + user_name(*e.owner) + ")";
  std::string advice;
  switch (e.holder) {
    case Holder::kRunning:
    case Holder::kAdministrator:
      advice = std::string(e.holder == Holder::kRunning ? "another update of "
                                                        : "the administrator's update of ") +
               target +
               " is running now (it may be stopped or slow); let it finish, then run the command "
               "again; do not remove " +
               shown;
      break;
    case Holder::kInterrupted:
      advice = "an update of " + target +
               " was interrupted (killed, or the machine stopped) and left it; run the command "
               "again, which takes it over";
      break;
    case Holder::kUnknown:
      advice = remedy(caller, *e.owner);
      break;
  }
  return format_text("cannot create %s: %s %s: %s", path, why, whose.c_str(), advice.c_str());
}

std::string unsafe_directory_text(const Caller& caller, const StoreError& e) {
  const uid_t owner = e.owner.value_or(0);
  // The account directory itself, or one on the way to it.
  const bool above = !e.target.empty() && e.path != e.target;
  const std::string path = quote_name(e.path), target = quote_name(e.target);
  const std::string what = above
                               ? "the directory " + path + " above the account directory " + target
                               : "the account directory " + path;
  if (owner != 0 && owner != caller.uid) {
    return format_text("%s belongs to %s, not to root; nothing was changed: %s", what.c_str(),
                       user_name(owner).c_str(),
                       run_or_ask(caller, 0, "chown root " + path).c_str());
  }
  return format_text(
      "%s has mode %s: others may write in it but it lacks the sticky bit, so they "
      "could replace %s; nothing was changed: %s",
      what.c_str(), octal_mode(e.mode).c_str(), above ? "the account directory" : "any file in it",
      run_or_ask(caller, owner, (above ? "chmod go-w " : "chmod +t ") + path).c_str());
}

}  // namespace

void report_recovered(const StoreError& e) {
  if (e.recovered.empty()) return;
  std::fprintf(stderr, "%s: took over %s, left by an interrupted update\n", program_name(),
               quote_name(e.recovered).c_str());
}

std::string replacement_file_field(Holder holder, uid_t owner) {
  switch (holder) {
    case Holder::kRunning:
      return "held by an update running now";
    case Holder::kAdministrator:
      return "held by the administrator's update, running now";
    case Holder::kInterrupted:
      // The next update takes it over: nothing to do first.
      return "left by an interrupted update (the next update takes it over)";
    case Holder::kUnknown:
      break;
  }
  return "owned by " + user_name(owner);
}

std::string first_step(Holder holder, const std::string& replacement_path) {
  switch (holder) {
    case Holder::kRunning:
    case Holder::kAdministrator:
      return "let the update running now finish";
    case Holder::kInterrupted:
      return "";
    case Holder::kUnknown:
      break;
  }
  return "have " + quote_name(replacement_path) + " removed: it is not yours";
}

void report_not_ready(const Caller& caller, const std::string& queue, CredentialKind function,
                      bool incomplete, const std::string& first_step) {
  const std::string user = quote_name(caller.filed_under());
  const std::string queue_shown = quote_name(queue);
  const bool job = function == CredentialKind::kJobAccounting;
  const std::string why =
      std::string(job ? "job accounting is on, but " : "user authentication is on, but ") +
      (incomplete ? std::string(job ? "the ID and PIN" : "the user name and password") +
                        " stored for " + user + " are incomplete"
                  : std::string(job ? "no ID and PIN are" : "no user name and password are") +
                        " stored for " + user);
  // Run as printed, by whoever reads it: for the account acted for.
  std::string fix = "velmora-account ";
  if (caller.acting_for != nullptr) fix += "--user " + quote_name(caller.acting_for) + " ";
  fix += std::string(job ? "-p " : "-pu ") + queue_shown;
  if (!first_step.empty()) fix += " (first " + first_step + ")";
  std::fprintf(stderr, "%s: %s: %s; run: %s\n", program_name(), queue_shown.c_str(), why.c_str(),
               fix.c_str());
}

void report_forgotten(const std::string& queue, const std::vector<std::string>& changed,
                      const std::vector<std::string>& refused, bool dry_run) {
  auto names = [](const std::vector<std::string>& list) {
    std::string text;
    for (const std::string& name : list) {
      if (!text.empty()) text += ", ";
      text += quote_name(name);
    }
    return text;
  };
  std::printf("%s %s: %zu %s %s%s%s%s", dry_run ? "would forget" : "forgot",
              quote_name(queue).c_str(), changed.size(), changed.size() == 1 ? "file" : "files",
              dry_run ? "would change" : "changed", changed.empty() ? "" : " (",
              names(changed).c_str(), changed.empty() ? "" : ")");
  if (!refused.empty()) std::printf(", %zu refused (%s)", refused.size(), names(refused).c_str());
  std::printf(dry_run ? "; nothing was written\n" : "\n");
}

void report_root_only(const std::string& what) {
  std::fprintf(stderr, "%s: %s: only root may do this; nothing was changed\n", program_name(),
               what.c_str());
}

std::string store_error_text(const Caller& caller, const std::string& queue, const StoreError& e) {
  const char* why = std::strerror(e.error);
  const std::string shown = quote_name(e.path), target = quote_name(e.target);
  const char* path = shown.c_str();
  switch (e.step) {
    case StoreStep::kCreate:
      if (e.error == EEXIST) {
        return existing_replacement_text(caller, e);
      } else {
        return format_text("cannot create %s: %s", path, why);
      }
    case StoreStep::kPathTooLong:
      return format_text("cannot update %s: the user name makes the path too long", path);
    case StoreStep::kOpen:
      return format_text("cannot open %s: %s; it was left unchanged", path, why);
    case StoreStep::kNotRegularFile:
    case StoreStep::kNotOwner:
    case StoreStep::kHardLinked:
    case StoreStep::kWritableByOthers:
    case StoreStep::kNotReadableByAll:
    case StoreStep::kTooLarge:
    case StoreStep::kSparse:
      return refused_file_text(caller, e);
    case StoreStep::kDirectory:
      return format_text("cannot open the account directory %s: %s; nothing was changed", path,
                         why);
    case StoreStep::kUnsafeDirectory:
      return unsafe_directory_text(caller, e);
    case StoreStep::kReplaced:
      return format_text(
          "cannot update %s: its replacement file %s was removed or replaced while "
          "this run was writing it; nothing was changed",
          target.c_str(), path);
    case StoreStep::kRead:
      return format_text("cannot read %s: %s; it was left unchanged", path, why);
    case StoreStep::kLineTooLong:
      return format_text(
          "cannot write %s: a line would be longer than %zu bytes; nothing was "
          "changed",
          path, kMaxFormattedLine);
    case StoreStep::kDamagedSection:
      return damaged_section_text(caller, e.path, queue, e.damage);
    case StoreStep::kWrite:
      return format_text("cannot write %s: %s; nothing was changed", path, why);
    case StoreStep::kRename:
      return format_text("cannot rename %s to %s: %s; nothing was changed", path, target.c_str(),
                         why);
    case StoreStep::kSyncDirectory:
      return format_text("cannot sync %s: %s; %s was updated but may not survive a crash", path,
                         why, target.c_str());
    case StoreStep::kArguments:
      return format_text("cannot store a value that contains a line break");
    case StoreStep::kOverBudget:
      // The directory itself: it lists more files than a run reads.
      if (e.path == account_directory()) {
        return format_text(
            "the account directory %s holds more than %zu credential files, more "
            "than a run reads; nothing was changed",
            path, e.size);
      }
      {
        const std::string owner = e.owner ? user_name(*e.owner) : "an unknown user";
        return format_text(
            "%s was not read: this run has read %zu bytes of account files owned by %s, all it "
            "reads of one owner's; it was left unchanged",
            path, e.size, owner.c_str());
      }
    case StoreStep::kWouldBeTooLarge:
      return format_text(
          "cannot update %s: it would hold %zu bytes, more than the %zu an account file may hold; "
          "nothing was changed",
          path, e.size, kMaxFileBytes);
    case StoreStep::kTooManySections: {
      const std::string owner = e.owner ? user_name(*e.owner) : "an unknown user";
      return format_text(
          "%s was not listed (owned by %s): it holds more sections than are left to list (a "
          "run lists at most %zu of one owner's files, and %zu or %zu MiB of names in all); it "
          "was left unchanged",
          path, owner.c_str(), kMaxListedSections, kMaxListedRows, kMaxListedNameBytes >> 20);
    }
    case StoreStep::kMemory:
      if (e.path.empty()) break;
      return format_text("%s: %s; nothing was changed", path, why);
    case StoreStep::kNone:
      break;
  }
  return format_text("cannot update the account file: %s", why);
}

void report_store_error(const Caller& caller, const std::string& queue, const StoreError& e) {
  std::fprintf(stderr, "%s: %s\n", program_name(), store_error_text(caller, queue, e).c_str());
}
