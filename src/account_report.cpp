// SPDX-License-Identifier: Apache-2.0
#include "account_report.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <unordered_set>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "account_directory.h"
#include "credential_file.h"
#include "line_reader.h"
#include "messages.h"
#include "replacement_file.h"
#include "scheduler.h"
#include "status_file.h"
#include "unique_fd.h"

namespace {

// What could be read of the caller's credential file and the status file.
struct Contents {
  std::optional<AccountDirectory> dir;
  std::string conf_name;  // the caller's file, in the directory
  bool conf_refused = false;
  bool conf_exists = false;
  std::vector<SectionEntries> sections;
  std::vector<PrinterStatus> status;
  bool complete = true;  // false: something was refused or unreadable (reported)
};

// Opens one file through the trust checks and hands it to read; reports
// whatever keeps it from being read.
template <class Read>
bool read_trusted(const char* name, const AccountDirectory& dir, const std::string& file, FileUse use,
               uid_t owner, bool* exists, Read read) {
  StoreError error;
  UniqueFd fd;
  switch (open_old_file(dir, file, use, owner, &fd, &error)) {
    case OldFile::kMissing:
      return true;
    case OldFile::kRefused:
      report_store_error(name, "", error);
      return false;
    case OldFile::kOpened:
      break;
  }
  if (exists != nullptr) *exists = true;
  if (read(fd.get(), dir.path_of(file), &error)) return true;
  report_store_error(name, "", error);
  return false;
}

Contents read_contents(const char* name, const char* owner) {
  Contents c;
  StoreError error;
  c.dir = AccountDirectory::open(&error);
  if (!c.dir) {
    report_store_error(name, "", error);
    c.complete = false;
    return c;
  }
  bool cut = false;
  std::optional<std::string> conf = make_file_path(PathForm::kOwner, owner, ".conf", &cut);
  if (conf && !cut) {
    c.conf_name = name_in_directory(*conf);
    c.conf_refused = !read_trusted(name, *c.dir, c.conf_name, FileUse::kPrivate, getuid(), &c.conf_exists,
                                [&](int fd, const std::string& path, StoreError* e) {
                                  return read_sections(fd, path, &c.sections, e);
                                });
  } else {
    fail(&error, StoreStep::kPathTooLong, conf.value_or(""), ENAMETOOLONG);
    report_store_error(name, "", error);
    c.conf_refused = true;
  }
  const bool status_read = read_trusted(name, *c.dir, "status", FileUse::kPublic, 0, nullptr,
                                     [&](int fd, const std::string& path, StoreError* e) {
                                       return read_status_lines(fd, path, &c.status, e);
                                     });
  c.complete = !c.conf_refused && status_read;
  return c;
}

const char* function_field(std::optional<CredentialKind> function) {
  if (!function) return "-";
  switch (*function) {
    case CredentialKind::kJobAccounting:
      return "job-accounting";
    case CredentialKind::kUserAuthentication:
      return "user-authentication";
    case CredentialKind::kSecuredPrint:
    case CredentialKind::kNone:
      break;
  }
  return "off";
}

const char* stored_field(Stored stored) {
  switch (stored) {
    case Stored::kComplete:
      return "stored";
    case Stored::kIncomplete:
      return "incomplete";
    case Stored::kNothing:
      break;
  }
  return "-";
}

// A name as one blank-free field: blanks, controls and backslashes as \xHH.
std::string field_of(std::string_view text) {
  std::string out;
  for (unsigned char c : text) {
    if (c <= ' ' || c == 0x7F || c == '\\') {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

void print_table(const std::vector<std::vector<std::string>>& rows) {
  std::vector<std::size_t> width(rows.front().size(), 0);
  for (const auto& row : rows) {
    for (std::size_t i = 0; i < row.size(); ++i) width[i] = std::max(width[i], row[i].size());
  }
  for (const auto& row : rows) {
    std::string line;
    for (std::size_t i = 0; i < row.size(); ++i) {
      line += row[i];
      if (i + 1 < row.size()) line.append(width[i] - row[i].size() + 2, ' ');
    }
    std::printf("%s\n", line.c_str());
  }
}

const SectionEntries* section_of(const Contents& c, std::string_view queue) {
  for (const SectionEntries& s : c.sections) {
    if (s.name == queue) return &s;
  }
  return nullptr;
}

std::optional<CredentialKind> function_of(const Contents& c, std::string_view queue) {
  for (const PrinterStatus& s : c.status) {
    if (s.printer == queue) return s.function;
  }
  return std::nullopt;
}

std::string lower_case(std::string_view text) {
  std::string out(text);
  for (char& ch : out) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  return out;
}

}  // namespace

int list_entries(const char* name, const char* owner) {
  Contents c = read_contents(name, owner);
  if (!c.dir) return 1;
  // Every queue once, in byte order, with what the two files say of it.
  std::map<std::string, std::pair<const SectionEntries*, std::optional<CredentialKind>>> queues;
  for (const SectionEntries& s : c.sections) queues[s.name].first = &s;
  for (const PrinterStatus& s : c.status) queues[s.printer].second = s.function;

  // One request for the whole list.
  std::vector<std::string> known;
  QueueLookup lookup;
  const bool asked = queues.empty() || list_queues(&known, &lookup);
  if (!asked) report_unreachable_scheduler(name, lookup);

  const std::unordered_set<std::string> known_exactly(known.begin(), known.end());
  std::unordered_set<std::string> known_in_any_case;
  for (const std::string& k : known) known_in_any_case.insert(lower_case(k));

  std::vector<std::vector<std::string>> rows = {{"QUEUE", "SWITCHED-ON", "JOB-ACCOUNTING",
                                                 "USER-AUTHENTICATION", "SECURED-PRINT", "CUPS"}};
  for (const auto& [queue, found] : queues) {
    const auto& [section, function] = found;
    std::vector<std::string> row = {field_of(queue), function_field(function)};
    for (CredentialKind kind : kCredentialKinds) {
      row.emplace_back(stored_field(section != nullptr ? section->of(kind) : Stored::kNothing));
    }
    std::string cups = "?";
    if (asked) {
      cups = known_exactly.contains(queue)                     ? "known"
             : known_in_any_case.contains(lower_case(queue)) ? "other-case"
                                                             : "gone";
    }
    row.push_back(cups);
    rows.push_back(std::move(row));
  }
  print_table(rows);
  return c.complete && asked ? 0 : 1;
}

namespace {

// What keeps updates of the caller's file from going through, for --check.
struct Blocker {
  std::string field = "-";  // for the report
  std::string first;        // what to do before the fix, or ""
};

Blocker blocker_of(const Contents& c) {
  Blocker b;
  uid_t owner = 0;
  const std::string name = c.conf_name + ".new";
  std::optional<Holder> holder = find_holder(*c.dir, name, &owner);
  if (!holder) return b;
  const std::string path = c.dir->path_of(name);
  switch (*holder) {
    case Holder::kRunning:
      b.field = "held by an update running now";
      b.first = "let the update running now finish";
      break;
    case Holder::kInterrupted:
      // The next update takes it over: nothing to do first.
      b.field = "left by an interrupted update (the next update takes it over)";
      break;
    case Holder::kUnknown:
      b.field = "owned by " + user_name(owner);
      b.first = "have " + path + " removed: it is not yours";
      break;
  }
  return b;
}

}  // namespace

int check_queue(const char* name, const char* owner, const char* printer) {
  QueueLookup lookup;
  switch (CheckCUPSEntry(printer, &lookup)) {
    case QueueCheck::kKnown:
      break;
    case QueueCheck::kUnknown:
      // A typo is not a queue that is ready: scripts test the status.
      report_unknown_queue(name, printer, holds_section(owner, printer));
      return 1;
    case QueueCheck::kUnreachable:
      report_unreachable_scheduler(name, lookup);
      return 1;
  }
  const std::string& queue = lookup.queue;
  Contents c = read_contents(name, owner);
  if (!c.dir) return 1;
  const std::optional<CredentialKind> function = function_of(c, queue);
  const SectionEntries* section = section_of(c, queue);
  std::string others;
  for (const SectionEntries& s : c.sections) {
    if (s.name == queue || !same_but_case(s.name, queue)) continue;
    if (!others.empty()) others += ' ';
    others += field_of(s.name);
  }
  const Blocker blocker = blocker_of(c);

  std::printf("queue: %s\n", field_of(queue).c_str());
  std::printf("switched-on: %s\n", function_field(function));
  for (CredentialKind kind : kCredentialKinds) {
    static constexpr const char* kLabels[] = {"job-accounting", "user-authentication", "secured-print"};
    std::printf("%s: %s\n", kLabels[static_cast<int>(kind) - 1],
                c.conf_refused ? "?" : stored_field(section != nullptr ? section->of(kind) : Stored::kNothing));
  }
  std::printf("other-spellings: %s\n", others.empty() ? "-" : others.c_str());
  std::printf("credential-file: %s\n",
              c.conf_refused ? "refused" : c.conf_exists ? c.dir->path_of(c.conf_name).c_str() : "-");
  std::printf("replacement-file: %s\n", blocker.field.c_str());
  std::fflush(stdout);

  if (!c.complete) return 1;  // what is wrong was said above
  const bool needs_id = function == CredentialKind::kJobAccounting ||
                        function == CredentialKind::kUserAuthentication;
  if (!needs_id) return 0;
  const Stored stored = section != nullptr ? section->of(*function) : Stored::kNothing;
  if (stored == Stored::kComplete) return 0;
  const bool job = function == CredentialKind::kJobAccounting;
  const std::string who = owner != nullptr ? owner : "root";
  std::string why = std::string(job ? "job accounting is on, but " : "user authentication is on, but ") +
                    (stored == Stored::kIncomplete
                         ? std::string(job ? "the ID and PIN" : "the user name and password") +
                               " stored for " + who + " are incomplete"
                         : std::string(job ? "no ID and PIN are" : "no user name and password are") +
                               " stored for " + who);
  std::string fix = std::string("velmora-account ") + (job ? "-p " : "-pu ") + queue;
  if (!blocker.first.empty()) fix += " (first " + blocker.first + ")";
  std::fprintf(stderr, "%s: %s: %s; run: %s\n", name, queue.c_str(), why.c_str(), fix.c_str());
  return 1;
}

bool holds_section(const char* owner, const char* printer) {
  StoreError error;
  std::optional<AccountDirectory> dir = AccountDirectory::open(&error);
  bool cut = false;
  std::optional<std::string> conf = make_file_path(PathForm::kOwner, owner, ".conf", &cut);
  UniqueFd fd;
  if (!dir || !conf || cut ||
      open_old_file(*dir, name_in_directory(*conf), FileUse::kPrivate, getuid(), &fd, &error) !=
          OldFile::kOpened) {
    return false;
  }
  std::vector<SectionEntries> sections;
  if (!read_sections(fd.get(), *conf, &sections, &error)) return false;
  return std::any_of(sections.begin(), sections.end(),
                     [&](const SectionEntries& s) { return s.name == printer; });
}
