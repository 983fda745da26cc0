// SPDX-License-Identifier: Apache-2.0
// The messages about the account files: refusals, blockers, and what the
// caller can do about them.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "account_directory.h"
#include "account_format.h"
#include "account_store.h"
#include "credential_file.h"
#include "messages.h"
#include "quoting.h"
#include "translation.h"

namespace {

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
  if (may_fix(caller, owner)) return _("inspect it and remove it, then run the command again");
  if (owner == 0) return _("only the administrator can remove it; ask the administrator");
  return format_text(_("only %s or the administrator can remove it; ask the administrator"),
                     user_name(owner).c_str());
}

// The same for a command that mends it.
std::string run_or_ask(const Caller& caller, uid_t owner, const std::string& command) {
  if (may_fix(caller, owner)) {
    return format_text(_("run %s, then run the command again"), command.c_str());
  }
  return format_text(_("ask the administrator to run %s"), command.c_str());
}

// The owner of a file, as messages name them.
std::string owner_of(const StoreError& e) {
  return e.owner ? user_name(*e.owner) : _("an unknown user");
}

// An old file this run refused to adopt: which, whose, and what to do.
std::string refused_file_text(const Caller& caller, const StoreError& e) {
  const uid_t owner_id = e.owner.value_or(caller.uid);
  const std::string owner = owner_of(e);
  const std::string shown = quote_name(e.path);
  const char* path = shown.c_str();
  const char* who = owner.c_str();
  std::string what;
  std::string fix = remedy(caller, owner_id);
  switch (e.step) {
    case StoreStep::kNotOwner:
      // The name is USER's choice: say so, since another may use it.
      what = !caller.user_is_login && e.path.ends_with(kCredentialSuffix)
                 ? format_text(_("%s belongs to %s, not to %s (USER is %s, not your login name)"),
                               path, who, user_name(e.expected_owner).c_str(),
                               in_quotes(caller.filed_under()).c_str())
                 : format_text(_("%s belongs to %s, not to %s"), path, who,
                               user_name(e.expected_owner).c_str());
      break;
    case StoreStep::kHardLinked:
      what = format_text(_("%s has %ju hard links (owned by %s)"), path,
                         static_cast<uintmax_t>(e.links), who);
      break;
    case StoreStep::kWritableByOthers:
      what = format_text(_("%s has mode %s (owned by %s): others could have changed it"), path,
                         octal_mode(e.mode).c_str(), who);
      fix = may_fix(caller, owner_id)
                ? format_text(_("check it, run chmod go-w %s, then run the command again"), path)
                : run_or_ask(caller, owner_id, "chmod go-w " + shown);
      break;
    case StoreStep::kNotReadableByAll:
      what = format_text(
          _("%s has mode %s (owned by %s): the status file must be readable by everyone"), path,
          octal_mode(e.mode).c_str(), who);
      fix = may_fix(caller, owner_id)
                ? format_text(_("make sure nothing in it is private, run chmod 0644 %s, then run "
                                "the command again"),
                              e.path.c_str())
                : run_or_ask(caller, owner_id, "chmod 0644 " + shown);
      break;
    case StoreStep::kTooLarge:
      what = format_text(_("%s has %zu bytes (owned by %s), more than the %zu an account file may "
                           "hold"),
                         path, e.size, who, kMaxFileBytes);
      break;
    case StoreStep::kSparse:
      what = format_text(_("%s has %zu bytes but only %zu on disk (owned by %s): a sparse file, "
                           "not one this tool wrote"),
                         path, e.size, e.on_disk, who);
      break;
    default:
      what = format_text(_("%s is not a regular file (owned by %s)"), path, who);
      break;
  }
  // TRANSLATORS: what is wrong with a file, then what to do about it.
  return format_text(_("%s; it was left unchanged: %s"), what.c_str(), fix.c_str());
}

// A replacement file that exists already: a running update's, a leftover of
// an interrupted one, or a file someone planted to block this user.
std::string existing_replacement_text(const Caller& caller, const StoreError& e) {
  const std::string shown = quote_name(e.path), target = quote_name(e.target);
  const char* path = shown.c_str();
  const char* why = error_text(e.error);
  if (!e.owner) {
    return format_text(_("cannot create %s: %s; run the command again"), path, why);
  }
  const std::string owner = user_name(*e.owner);
  std::string advice;
  switch (e.holder) {
    case Holder::kRunning:
    case Holder::kAdministrator:
      advice = format_text(e.holder == Holder::kRunning
                               ? _("another update of %s is running now (it may be stopped or "
                                   "slow); let it finish, then run the command again; do not "
                                   "remove %s")
                               : _("the administrator's update of %s is running now (it may be "
                                   "stopped or slow); let it finish, then run the command again; "
                                   "do not remove %s"),
                           target.c_str(), path);
      break;
    case Holder::kInterrupted:
      advice = format_text(_("an update of %s was interrupted (killed, or the machine stopped) and "
                             "left it; run the command again, which takes it over"),
                           target.c_str());
      break;
    case Holder::kUnknown:
      advice = remedy(caller, *e.owner);
      break;
  }
  return format_text(_("cannot create %s: %s (owned by %s): %s"), path, why, owner.c_str(),
                     advice.c_str());
}

std::string unsafe_directory_text(const Caller& caller, const StoreError& e) {
  const uid_t owner = e.owner.value_or(0);
  // The account directory itself, or one on the way to it.
  const bool above = !e.target.empty() && e.path != e.target;
  const std::string path = quote_name(e.path), target = quote_name(e.target);
  const std::string what = above ? format_text(_("the directory %s above the account directory %s"),
                                               path.c_str(), target.c_str())
                                 : format_text(_("the account directory %s"), path.c_str());
  // TRANSLATORS: the first %s is "the account directory ..." or "the
  // directory ... above the account directory ...".
  if (owner != 0 && owner != caller.uid) {
    return format_text(_("%s belongs to %s, not to root; nothing was changed: %s"), what.c_str(),
                       user_name(owner).c_str(),
                       run_or_ask(caller, 0, "chown root " + path).c_str());
  }
  const std::string fix = run_or_ask(caller, owner, (above ? "chmod go-w " : "chmod +t ") + path);
  return format_text(above ? _("%s has mode %s: others may write in it but it lacks the sticky "
                               "bit, so they could replace the account directory; nothing was "
                               "changed: %s")
                           : _("%s has mode %s: others may write in it but it lacks the sticky "
                               "bit, so they could replace any file in it; nothing was changed: "
                               "%s"),
                     what.c_str(), octal_mode(e.mode).c_str(), fix.c_str());
}

}  // namespace

void report_recovered(const std::string& recovered) {
  if (recovered.empty()) return;
  std::fprintf(stderr, _("%s: took over %s, left by an interrupted update\n"), program_name(),
               quote_name(recovered).c_str());
}

std::string store_error_text(const Caller& caller, const std::string& queue, const StoreError& e) {
  const char* why = error_text(e.error);
  const std::string shown = quote_name(e.path), target = quote_name(e.target);
  const char* path = shown.c_str();
  switch (e.step) {
    case StoreStep::kCreate:
      if (e.error == EEXIST) {
        return existing_replacement_text(caller, e);
      } else {
        return format_text(_("cannot create %s: %s"), path, why);
      }
    case StoreStep::kPathTooLong:
      return format_text(_("cannot update %s: the user name makes the path too long"), path);
    case StoreStep::kOpen:
      return format_text(_("cannot open %s: %s; it was left unchanged"), path, why);
    case StoreStep::kNotRegularFile:
    case StoreStep::kNotOwner:
    case StoreStep::kHardLinked:
    case StoreStep::kWritableByOthers:
    case StoreStep::kNotReadableByAll:
    case StoreStep::kTooLarge:
    case StoreStep::kSparse:
      return refused_file_text(caller, e);
    case StoreStep::kDirectory:
      return format_text(_("cannot open the account directory %s: %s; nothing was changed"), path,
                         why);
    case StoreStep::kUnsafeDirectory:
      return unsafe_directory_text(caller, e);
    case StoreStep::kReplaced:
      return format_text(
          _("cannot update %s: its replacement file %s was removed or replaced while "
            "this run was writing it; nothing was changed"),
          target.c_str(), path);
    case StoreStep::kRead:
      return format_text(_("cannot read %s: %s; it was left unchanged"), path, why);
    case StoreStep::kLineTooLong:
      return format_text(_("cannot write %s: a line would be longer than %zu bytes; nothing was "
                           "changed"),
                         path, kMaxFormattedLine);
    case StoreStep::kDamagedSection:
      return damaged_section_text(caller, e.path, queue, e.damage);
    case StoreStep::kWrite:
      return format_text(_("cannot write %s: %s; nothing was changed"), path, why);
    case StoreStep::kRename:
      return format_text(_("cannot rename %s to %s: %s; nothing was changed"), path, target.c_str(),
                         why);
    case StoreStep::kSyncDirectory:
      return format_text(_("cannot sync %s: %s; %s was updated but may not survive a crash"), path,
                         why, target.c_str());
    case StoreStep::kArguments:
      return format_text(_("cannot store a value that contains a line break"));
    case StoreStep::kOverBudget:
      // The directory itself: it lists more files than a run reads.
      if (e.path == account_directory()) {
        return format_text(_("the account directory %s holds more than %zu credential files, more "
                             "than a run reads; nothing was changed"),
                           path, e.size);
      }
      {
        const std::string owner = owner_of(e);
        return format_text(
            _("%s was not read: this run has read %zu bytes of account files owned by %s, all it "
              "reads of one owner's; it was left unchanged"),
            path, e.size, owner.c_str());
      }
    case StoreStep::kWouldBeTooLarge:
      return format_text(_("cannot update %s: it would hold %zu bytes, more than the %zu an "
                           "account file may hold; "
                           "nothing was changed"),
                         path, e.size, kMaxFileBytes);
    case StoreStep::kTooManySections: {
      const std::string owner = owner_of(e);
      return format_text(
          _("%s was not listed (owned by %s): it holds more sections than are left to list (a "
            "run lists at most %zu of one owner's files, and %zu or %zu MiB of names in all); it "
            "was left unchanged"),
          path, owner.c_str(), kMaxListedSections, kMaxListedRows, kMaxListedNameBytes >> 20);
    }
    case StoreStep::kMemory:
      if (e.path.empty()) break;
      return format_text(_("%s: %s; nothing was changed"), path, why);
    case StoreStep::kNoSection:  // worded by --batch, which alone makes such edits
    case StoreStep::kSectionsUnread:
    case StoreStep::kNone:
      break;
  }
  return format_text(_("cannot update the account file: %s"), why);
}

void report_store_error(const Caller& caller, const std::string& queue, const StoreError& e) {
  std::fprintf(stderr, "%s: %s\n", program_name(), store_error_text(caller, queue, e).c_str());
}
