// SPDX-License-Identifier: Apache-2.0
// The words of the reports (messages.h): --check's replacement file and the
// command that readies a queue, what --forget did, and the commands only
// root may give.
#include <cstdio>
#include <string>
#include <vector>

#include "messages.h"
#include "quoting.h"
#include "translation.h"

std::string replacement_file_field(Holder holder, uid_t owner) {
  switch (holder) {
    case Holder::kRunning:
      return _("held by an update running now");
    case Holder::kAdministrator:
      return _("held by the administrator's update, running now");
    case Holder::kInterrupted:
      // The next update takes it over: nothing to do first.
      return _("left by an interrupted update (the next update takes it over)");
    case Holder::kUnknown:
      break;
  }
  return format_text(_("owned by %s"), user_name(owner).c_str());
}

std::string first_step(Holder holder, const std::string& replacement_path) {
  switch (holder) {
    case Holder::kRunning:
    case Holder::kAdministrator:
      return _("let the update running now finish");
    case Holder::kInterrupted:
      return "";
    case Holder::kUnknown:
      break;
  }
  return format_text(_("have %s removed: it is not yours"), quote_name(replacement_path).c_str());
}

void report_not_ready(const Caller& caller, const std::string& queue, CredentialKind kind,
                      bool incomplete, const std::string& first_step) {
  const std::string user = quote_name(caller.filed_under());
  const std::string queue_shown = quote_name(queue);
  const bool job = kind == CredentialKind::kJobAccounting;
  // Run as printed, by whoever reads it: for the account acted for.
  std::string fix = "velmora-account ";
  if (caller.acting_for != nullptr) fix += "--user " + quote_name(caller.acting_for) + " ";
  fix += std::string(names_of(kind).set) + " " + queue_shown;
  if (!first_step.empty()) fix = format_text(_("%s (first %s)"), fix.c_str(), first_step.c_str());
  // TRANSLATORS: the queue, the user, then the command that fixes it.
  const char* format =
      job ? (incomplete ? _("%s: %s: job accounting is on, but the ID and PIN stored for %s are "
                            "incomplete; run: %s\n")
                        : _("%s: %s: job accounting is on, but no ID and PIN are stored for %s; "
                            "run: %s\n"))
          : (incomplete ? _("%s: %s: user authentication is on, but the user name and password "
                            "stored for %s are incomplete; run: %s\n")
                        : _("%s: %s: user authentication is on, but no user name and password are "
                            "stored for %s; run: %s\n"));
  std::fprintf(stderr, format, program_name(), queue_shown.c_str(), user.c_str(), fix.c_str());
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
  const std::string shown = quote_name(queue), done = names(changed), not_done = names(refused);
  const std::size_t count = changed.size(), others = refused.size();
  // Whole sentences, so that each language says them its own way; the
  // plural is the files changed', or when none changed the files refused'.
  std::string text;
  if (count == 0 && others == 0) {
    text = format_text(dry_run ? _("would forget %s: 0 files would change; nothing was written")
                               : _("forgot %s: 0 files changed"),
                       shown.c_str());
  } else if (count == 0) {
    text = format_text(
        dry_run ? P_("would forget %s: 0 files would change, %zu refused (%s); nothing was written",
                     "would forget %s: 0 files would change, %zu refused (%s); nothing was written",
                     others)
                : P_("forgot %s: 0 files changed, %zu refused (%s)",
                     "forgot %s: 0 files changed, %zu refused (%s)", others),
        shown.c_str(), others, not_done.c_str());
  } else if (others == 0) {
    text = format_text(
        dry_run
            ? P_("would forget %s: %zu file would change (%s); nothing was written",
                 "would forget %s: %zu files would change (%s); nothing was written", count)
            : P_("forgot %s: %zu file changed (%s)", "forgot %s: %zu files changed (%s)", count),
        shown.c_str(), count, done.c_str());
  } else {
    // TRANSLATORS: the plural is that of the first number, the files
    // changed; the second is the files refused.
    text = format_text(
        dry_run ? P_("would forget %s: %zu file would change (%s), %zu refused (%s); nothing was "
                     "written",
                     "would forget %s: %zu files would change (%s), %zu refused (%s); nothing was "
                     "written",
                     count)
                : P_("forgot %s: %zu file changed (%s), %zu refused (%s)",
                     "forgot %s: %zu files changed (%s), %zu refused (%s)", count),
        shown.c_str(), count, done.c_str(), others, not_done.c_str());
  }
  std::printf("%s\n", text.c_str());
}

void report_root_only(const std::string& what) {
  std::fprintf(stderr, _("%s: %s: only root may do this; nothing was changed\n"), program_name(),
               what.c_str());
}
