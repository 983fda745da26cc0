// SPDX-License-Identifier: Apache-2.0
#include "account_report.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "account_directory.h"
#include "account_format.h"
#include "credential_file.h"
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
  std::vector<QueueStatus> status;
  bool complete = true;  // false: something was refused or unreadable (reported)
};

// Opens one file through the trust checks and hands it to read; reports
// whatever keeps it from being read.
template <class Read>
bool read_trusted(const AccountDirectory& dir, const std::string& file, FileUse use, uid_t owner,
                  bool* exists, Read read) {
  StoreError error;
  UniqueFd fd;
  switch (open_old_file(dir, file, use, owner, &fd, &error)) {
    case OldFile::kMissing:
      return true;
    case OldFile::kRefused:
      report_store_error("", error);
      return false;
    case OldFile::kOpened:
      break;
  }
  if (exists != nullptr) *exists = true;
  if (read(fd.get(), dir.path_of(file), &error)) return true;
  report_store_error("", error);
  return false;
}

Contents read_contents(const char* user) {
  Contents c;
  StoreError error;
  c.dir = AccountDirectory::open(&error);
  if (!c.dir) {
    report_store_error("", error);
    c.complete = false;
    return c;
  }
  if (std::optional<std::string> name = credential_file_name(user, &error)) {
    c.conf_name = *name;
    c.conf_refused = !read_trusted(*c.dir, c.conf_name, FileUse::kPrivate, getuid(), &c.conf_exists,
                                   [&](int fd, const std::string& path, StoreError* e) {
                                     return read_sections(fd, path, &c.sections, e);
                                   });
  } else {
    report_store_error("", error);
    c.conf_refused = true;
  }
  const bool status_read = read_trusted(*c.dir, kStatusName, FileUse::kPublic, 0, nullptr,
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
  for (const QueueStatus& s : c.status) {
    if (s.queue == queue) return s.function;
  }
  return std::nullopt;
}

std::string lower_case(std::string_view text) {
  std::string out(text);
  for (char& ch : out) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  return out;
}

// What keeps updates of the caller's file from going through, for --check.
struct Blocker {
  std::string field = "-";  // for the report
  std::string first;        // what to do before the fix, or ""
};

Blocker blocker_of(const Contents& c) {
  Blocker b;
  uid_t owner = 0;
  const std::string name = replacement_name(c.conf_name);
  std::optional<Holder> holder = find_holder(*c.dir, name, &owner);
  if (!holder) return b;
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
      b.first = "have " + c.dir->path_of(name) + " removed: it is not yours";
      break;
  }
  return b;
}

}  // namespace

int list_entries(const char* user) {
  Contents c = read_contents(user);
  if (!c.dir) return 1;
  // Every queue once, in byte order, with what the two files say of it.
  std::map<std::string, std::pair<const SectionEntries*, std::optional<CredentialKind>>> queues;
  for (const SectionEntries& s : c.sections) queues[s.name].first = &s;
  for (const QueueStatus& s : c.status) queues[s.queue].second = s.function;

  // One request for the whole list.
  std::vector<std::string> known;
  const bool asked = queues.empty() || [&] {
    QueueLookup lookup = list_queues(&known);
    if (lookup.result == QueueCheck::kKnown) return true;
    report_unreachable_scheduler(lookup);
    return false;
  }();
  const std::unordered_set<std::string> known_exactly(known.begin(), known.end());
  std::unordered_set<std::string> known_in_any_case;
  for (const std::string& k : known) known_in_any_case.insert(lower_case(k));

  std::vector<std::vector<std::string>> rows = {
      {"QUEUE", "SWITCHED-ON", "JOB-ACCOUNTING", "USER-AUTHENTICATION", "SECURED-PRINT", "CUPS"}};
  for (const auto& [queue, found] : queues) {
    const auto& [section, function] = found;
    std::vector<std::string> row = {field_of(queue), function_field(function)};
    for (CredentialKind kind : kCredentialKinds) {
      row.emplace_back(stored_field(section != nullptr ? section->of(kind) : Stored::kNothing));
    }
    std::string cups = "?";
    if (asked) {
      cups = known_exactly.contains(queue)                   ? "known"
             : known_in_any_case.contains(lower_case(queue)) ? "other-case"
                                                             : "gone";
    }
    row.push_back(cups);
    rows.push_back(std::move(row));
  }
  print_table(rows);
  return c.complete && asked ? 0 : 1;
}

int check_queue(const char* user, const char* queue_named) {
  const QueueLookup lookup = find_queue(queue_named);
  switch (lookup.result) {
    case QueueCheck::kKnown:
      break;
    case QueueCheck::kUnknown:
      // A typo is not a queue that is ready: scripts test the status.
      report_unknown_queue(queue_named, has_section(user, queue_named));
      return 1;
    case QueueCheck::kUnreachable:
      report_unreachable_scheduler(lookup);
      return 1;
  }
  const std::string& queue = lookup.queue;
  Contents c = read_contents(user);
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
  static constexpr const char* kLabels[] = {"job-accounting", "user-authentication",
                                            "secured-print"};
  for (std::size_t k = 0; k < std::size(kCredentialKinds); ++k) {
    const Stored stored = section != nullptr ? section->of(kCredentialKinds[k]) : Stored::kNothing;
    std::printf("%s: %s\n", kLabels[k], c.conf_refused ? "?" : stored_field(stored));
  }
  std::printf("other-spellings: %s\n", others.empty() ? "-" : others.c_str());
  std::printf("credential-file: %s\n", c.conf_refused  ? "refused"
                                       : c.conf_exists ? c.dir->path_of(c.conf_name).c_str()
                                                       : "-");
  std::printf("replacement-file: %s\n", blocker.field.c_str());
  std::fflush(stdout);

  if (!c.complete) return 1;  // what is wrong was said above
  const bool needs_id =
      function == CredentialKind::kJobAccounting || function == CredentialKind::kUserAuthentication;
  if (!needs_id) return 0;
  const Stored stored = section != nullptr ? section->of(*function) : Stored::kNothing;
  if (stored == Stored::kComplete) return 0;
  report_not_ready(queue, *function, stored == Stored::kIncomplete, user != nullptr ? user : "root",
                   blocker.first);
  return 1;
}
