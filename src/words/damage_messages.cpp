// SPDX-License-Identifier: Apache-2.0
// The messages about damaged sections of a credential file: what is wrong,
// on which line, and the removes that mend it.
#include <pwd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "account_directory.h"
#include "messages.h"
#include "quoting.h"
#include "section_layout.h"
#include "translation.h"

namespace {

struct DamageWords {
  Damage bit;
  const char* field;   // for --list and --check
  const char* phrase;  // after "the section <q> ", translated where it is shown
};
constexpr DamageWords kWords[] = {
    {Damage::kUnclosed, W_("no-closing-tag"), N_("has no closing tag")},
    {Damage::kStrayClosing, W_("stray-closing-tag"),
     N_("has a closing tag where no such section is open")},
    {Damage::kDuplicate, W_("duplicate-section"), N_("is in the file twice")},
    {Damage::kLoneKey, W_("lone-key"), N_("has a key line outside every section")},
    {Damage::kForeign, W_("foreign-line"), N_("holds a line that is not a key line")},
};

// "a", "a and b", "a, b and c".
std::string listed(const std::vector<std::string>& items) {
  std::string text;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i == 0) {
      text = items[i];
    } else {
      // TRANSLATORS: joins the items of a list: "a, b", then "a, b and c".
      text = format_text(i + 1 == items.size() ? _("%s and %s") : _("%s, %s"), text.c_str(),
                         items[i].c_str());
    }
  }
  return text;
}

// "line 3", "lines 3 to 5", "lines 3, 5 to 6 and 9".
std::string line_numbers(const std::vector<std::size_t>& lines) {
  std::vector<std::string> ranges;
  for (std::size_t i = 0; i < lines.size();) {
    std::size_t j = i;
    while (j + 1 < lines.size() && lines[j + 1] == lines[j] + 1) ++j;
    ranges.push_back(j == i ? std::to_string(lines[i])
                            : format_text(_("%zu to %zu"), lines[i], lines[j]));
    i = j + 1;
  }
  return format_text(lines.size() == 1 ? _("line %s") : _("lines %s"), listed(ranges).c_str());
}

// How the caller runs a mend of the file at path: the words before the
// commands, and what each command starts with.
struct Mender {
  bool ask_owner = false;  // only the file's owner can
  std::string command = "velmora-account ";
};

Mender mender(const Caller& caller, const std::string& path) {
  Mender m;
  if (caller.acting_for != nullptr) {
    m.command += "--user " + quote_name(caller.acting_for) + " ";
    return m;
  }
  if (!caller.root()) return m;
  // Root, at another user's file: acting for them, as the file is named;
  // under a print name, only the file's owner can.
  const std::string user(
      user_of_credential_file(std::string_view(path).substr(path.rfind('/') + 1)).value_or("root"));
  if (user == "root") return m;
  if (getpwnam(user.c_str()) != nullptr) {
    m.command += "--user " + quote_name(user) + " ";
  } else {
    m.ask_owner = true;
    m.command = "USER=" + quote_name(user) + " " + m.command;
  }
  return m;
}

// The section <queue>: what is wrong with it, and what mends it; refused:
// a set was refused for it.
std::string damage_and_mend(const Mender& mender, const std::string& queue,
                            const SectionDamage& damage, bool refused) {
  std::vector<std::string> wrong;
  for (const DamageWords& words : kWords) {
    if (any(damage.what & words.bit)) wrong.emplace_back(_(words.phrase));
  }
  std::vector<std::string> removes;
  for (CredentialKind kind : kCredentialKinds) {
    if ((damage.mend & (1u << static_cast<unsigned>(kind))) == 0) continue;
    removes.push_back(mender.command + names_of(kind).remove + " " + quote_name(queue));
  }
  // TRANSLATORS: the queue, what is wrong with its section, the line, and
  // the commands that mend it.
  const char* format =
      refused ? (mender.ask_owner
                     ? _("the section <%s> %s (line %zu); nothing was changed; ask the file's "
                         "owner to run: %s to take out its own lines, then set it again")
                     : _("the section <%s> %s (line %zu); nothing was changed; run: %s to take "
                         "out its own lines, then set it again"))
              : (mender.ask_owner ? _("the section <%s> %s (line %zu); ask the file's owner to "
                                      "run: %s to take out its own lines, then set it again")
                                  : _("the section <%s> %s (line %zu); run: %s to take out its "
                                      "own lines, then set it again"));
  return format_text(format, quote_name(queue).c_str(), listed(wrong).c_str(), damage.line,
                     listed(removes).c_str());
}

}  // namespace

std::string damage_field(Damage damage) {
  std::string field;
  for (const DamageWords& words : kWords) {
    if (!any(damage & words.bit)) continue;
    if (!field.empty()) field += ',';
    field += words.field;
  }
  return field.empty() ? "-" : field;
}

std::string damaged_section_text(const Caller& caller, const std::string& path,
                                 const std::string& queue, const SectionDamage& damage) {
  return format_text(_("cannot update %s: %s"), quote_name(path).c_str(),
                     damage_and_mend(mender(caller, path), queue, damage, true).c_str());
}

void report_damaged_section(const Caller& caller, const std::string& path, const std::string& queue,
                            const SectionDamage& damage) {
  std::fprintf(stderr, "%s: %s: %s\n", program_name(), quote_name(path).c_str(),
               damage_and_mend(mender(caller, path), queue, damage, false).c_str());
}

bool report_damaged_sections(const Caller& caller, const std::string& path,
                             const std::vector<SectionEntries>& sections) {
  bool whole = true;
  for (const SectionEntries& section : sections) {
    if (!any(section.damage.what)) continue;
    report_damaged_section(caller, path, section.name, section.damage);
    whole = false;
  }
  return whole;
}

void report_mending(const Caller& caller, const std::string& path, const std::string& queue,
                    const Mending& mending) {
  if (!mending.removed.empty()) {
    // TRANSLATORS: the queue, its lines ("lines 3 to 5") and the file.
    std::fprintf(stderr,
                 mending.gone ? _("%s: removed the damaged section <%s> (%s of %s)\n")
                              : _("%s: removed lines of the damaged section <%s> (%s of %s)\n"),
                 program_name(), quote_name(queue).c_str(), line_numbers(mending.removed).c_str(),
                 quote_name(path).c_str());
  }
  if (any(mending.left.what)) report_damaged_section(caller, path, queue, mending.left);
}
