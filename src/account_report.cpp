// SPDX-License-Identifier: Apache-2.0
#include "account_report.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
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

Contents read_contents(const Account& account) {
  Contents c;
  StoreError error;
  c.dir = AccountDirectory::open(&error);
  if (!c.dir) {
    report_store_error("", error);
    c.complete = false;
    return c;
  }
  if (std::optional<std::string> name = credential_file_name(account.user, &error)) {
    c.conf_name = *name;
    c.conf_refused =
        !read_trusted(*c.dir, c.conf_name, FileUse::kPrivate, account.owner, &c.conf_exists,
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

std::string lower_case(std::string_view text) {
  std::string out(text);
  for (char& ch : out) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  return out;
}

// A field's name in JSON: "SWITCHED-ON" -> "switched_on".
std::string json_key(std::string_view field) {
  std::string key = lower_case(field);
  std::replace(key.begin(), key.end(), '-', '_');
  return key;
}

// A value in JSON: "-" and "?" (nothing, not known) are null.
nlohmann::json json_value(const std::string& value) {
  if (value == "-" || value == "?") return nullptr;
  return value;
}

// Writes a JSON document; bytes that are not UTF-8 (a queue name, say) are
// replaced rather than refused.
void print_json(const nlohmann::json& document) {
  std::printf("%s\n",
              document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
}

// Rows under a header: aligned columns of blank-free fields, or (json) an
// object holding, under `key`, one object per row.
void print_rows(const std::vector<std::string>& header,
                const std::vector<std::vector<std::string>>& rows, bool json, const char* key) {
  if (json) {
    nlohmann::json list = nlohmann::json::array();
    for (const auto& row : rows) {
      nlohmann::json entry = nlohmann::json::object();
      for (std::size_t i = 0; i < header.size(); ++i)
        entry[json_key(header[i])] = json_value(row[i]);
      list.push_back(std::move(entry));
    }
    print_json({{key, std::move(list)}});
    return;
  }
  std::vector<std::vector<std::string>> lines = {header};
  for (const auto& row : rows) {
    std::vector<std::string> line;
    for (const std::string& field : row) line.push_back(field_of(field));
    lines.push_back(std::move(line));
  }
  std::vector<std::size_t> width(header.size(), 0);
  for (const auto& line : lines) {
    for (std::size_t i = 0; i < line.size(); ++i) width[i] = std::max(width[i], line[i].size());
  }
  for (const auto& line : lines) {
    std::string text;
    for (std::size_t i = 0; i < line.size(); ++i) {
      text += line[i];
      if (i + 1 < line.size()) text.append(width[i] - line[i].size() + 2, ' ');
    }
    std::printf("%s\n", text.c_str());
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

// What keeps updates of the caller's file from going through, for --check.
struct Blocker {
  std::string field = "-";  // for the report
  std::string first;        // what to do before the fix, or ""
};

Blocker blocker_of(const Contents& c, uid_t expected) {
  Blocker b;
  uid_t owner = 0;
  const std::string name = replacement_name(c.conf_name);
  std::optional<Holder> holder = find_holder(*c.dir, name, expected, &owner);
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

namespace {

// Which queues CUPS has, from one request for all of them: nullopt (said
// why) when the scheduler could not be asked.
struct KnownQueues {
  std::unordered_set<std::string> exactly;
  std::unordered_set<std::string> in_any_case;
  // "known", "other-case" (drivers do not read this spelling) or "gone".
  std::string field(const std::string& queue) const {
    if (exactly.contains(queue)) return "known";
    return in_any_case.contains(lower_case(queue)) ? "other-case" : "gone";
  }
};

std::optional<KnownQueues> ask_known_queues() {
  std::vector<std::string> names;
  const QueueLookup lookup = list_queues(&names);
  if (lookup.result != QueueCheck::kKnown) {
    report_unreachable_scheduler(lookup);
    return std::nullopt;
  }
  KnownQueues known;
  for (const std::string& name : names) {
    known.exactly.insert(name);
    known.in_any_case.insert(lower_case(name));
  }
  return known;
}

// The three kinds' fields of a section (none: "-").
void add_stored_fields(std::vector<std::string>& row, const SectionEntries* section) {
  for (CredentialKind kind : kCredentialKinds) {
    row.emplace_back(stored_field(section != nullptr ? section->of(kind) : Stored::kNothing));
  }
}

}  // namespace

int list_entries(const Account& account, bool json) {
  Contents c = read_contents(account);
  if (!c.dir) return 1;
  // Every queue once, in byte order, with what the two files say of it.
  std::map<std::string, std::pair<const SectionEntries*, std::optional<CredentialKind>>> queues;
  for (const SectionEntries& s : c.sections) queues[s.name].first = &s;
  for (const QueueStatus& s : c.status) queues[s.queue].second = s.function;

  const std::optional<KnownQueues> known = queues.empty() ? KnownQueues{} : ask_known_queues();
  std::vector<std::vector<std::string>> rows;
  for (const auto& [queue, found] : queues) {
    const auto& [section, function] = found;
    std::vector<std::string> row = {queue, function_field(function)};
    add_stored_fields(row, section);
    row.push_back(known ? known->field(queue) : "?");
    rows.push_back(std::move(row));
  }
  print_rows(
      {"QUEUE", "SWITCHED-ON", "JOB-ACCOUNTING", "USER-AUTHENTICATION", "SECURED-PRINT", "CUPS"},
      rows, json, "queues");
  return c.complete && known ? 0 : 1;
}

int list_all_users(bool json) {
  StoreError error;
  std::optional<AccountDirectory> dir = AccountDirectory::open(&error);
  if (!dir) {
    report_store_error("", error);
    return 1;
  }
  bool complete = true;
  std::vector<QueueStatus> status;
  complete = read_trusted(*dir, kStatusName, FileUse::kPublic, 0, nullptr,
                          [&](int fd, const std::string& path, StoreError* e) {
                            return read_status_lines(fd, path, &status, e);
                          });
  std::unordered_map<std::string, CredentialKind> functions;
  for (const QueueStatus& s : status) functions.emplace(s.queue, s.function);

  struct FileSections {
    std::string user, owner;
    std::vector<SectionEntries> sections;
  };
  std::vector<FileSections> files;
  std::optional<std::vector<std::string>> names = list_credential_files(*dir, &error);
  if (!names) {
    report_store_error("", error);
    complete = false;
    names.emplace();
  }
  for (const std::string& name : *names) {
    FileSections file{name.substr(0, name.size() - 5), "", {}};
    const uid_t owner = owner_of_credential_file(*dir, name);  // the table shows it
    const bool read = read_trusted(*dir, name, FileUse::kPrivate, owner, nullptr,
                                   [&](int fd, const std::string& path, StoreError* e) {
                                     return read_sections(fd, path, &file.sections, e);
                                   });
    complete = complete && read;
    if (!read) continue;
    file.owner = user_name(owner);
    files.push_back(std::move(file));
  }

  bool any = false;
  for (const FileSections& file : files) any = any || !file.sections.empty();
  const std::optional<KnownQueues> known = any ? ask_known_queues() : KnownQueues{};
  std::vector<std::vector<std::string>> rows;
  for (const FileSections& file : files) {
    for (const SectionEntries& section : file.sections) {
      const auto function = functions.find(section.name);
      std::vector<std::string> row = {
          file.user, file.owner, section.name,
          function_field(function == functions.end() ? std::nullopt
                                                     : std::optional(function->second))};
      add_stored_fields(row, &section);
      row.push_back(known ? known->field(section.name) : "?");
      rows.push_back(std::move(row));
    }
  }
  print_rows({"USER", "OWNER", "QUEUE", "SWITCHED-ON", "JOB-ACCOUNTING", "USER-AUTHENTICATION",
              "SECURED-PRINT", "CUPS"},
             rows, json, "entries");
  return complete && known ? 0 : 1;
}

int check_queue(const Account& account, const char* queue_named, bool json) {
  const QueueLookup lookup = find_queue(queue_named);
  switch (lookup.result) {
    case QueueCheck::kKnown:
      break;
    case QueueCheck::kUnknown:
      // A typo is not a queue that is ready: scripts test the status.
      report_unknown_queue(queue_named, has_section(account, queue_named));
      return 1;
    case QueueCheck::kUnreachable:
      report_unreachable_scheduler(lookup);
      return 1;
  }
  const std::string& queue = lookup.queue;
  Contents c = read_contents(account);
  if (!c.dir) return 1;
  const std::optional<CredentialKind> function = function_of(c, queue);
  const SectionEntries* section = section_of(c, queue);
  std::vector<std::string> others;
  for (const SectionEntries& s : c.sections) {
    if (s.name != queue && same_but_case(s.name, queue)) others.push_back(s.name);
  }
  const Blocker blocker = blocker_of(c, account.owner);

  // What a driver will need, and whether it will find it.
  const bool needs_id =
      function == CredentialKind::kJobAccounting || function == CredentialKind::kUserAuthentication;
  const Stored needed = needs_id && section != nullptr ? section->of(*function) : Stored::kNothing;
  const bool ready = c.complete && (!needs_id || needed == Stored::kComplete);

  std::vector<std::pair<std::string, std::string>> fields = {
      {"queue", queue}, {"switched-on", function_field(function)}};
  static constexpr const char* kLabels[] = {"job-accounting", "user-authentication",
                                            "secured-print"};
  for (std::size_t k = 0; k < std::size(kCredentialKinds); ++k) {
    const Stored stored = section != nullptr ? section->of(kCredentialKinds[k]) : Stored::kNothing;
    fields.emplace_back(kLabels[k], c.conf_refused ? "?" : stored_field(stored));
  }
  const std::string file = c.conf_refused  ? "refused"
                           : c.conf_exists ? c.dir->path_of(c.conf_name)
                                           : "-";
  if (json) {
    nlohmann::json document = nlohmann::json::object();
    for (const auto& [field, value] : fields) document[json_key(field)] = json_value(value);
    document["other_spellings"] = others;
    document["credential_file"] = json_value(file);
    document["replacement_file"] = json_value(blocker.field);
    document["ready"] = ready;
    print_json(document);
  } else {
    std::string spellings;
    for (const std::string& other : others)
      spellings += (spellings.empty() ? "" : " ") + field_of(other);
    fields.emplace_back("other-spellings", spellings.empty() ? "-" : spellings);
    fields.emplace_back("credential-file", file);
    fields.emplace_back("replacement-file", blocker.field);
    for (const auto& [field, value] : fields) {
      const bool free_text =
          field == "other-spellings" || field == "credential-file" || field == "replacement-file";
      std::printf("%s: %s\n", field.c_str(), free_text ? value.c_str() : field_of(value).c_str());
    }
  }
  std::fflush(stdout);

  if (ready || !c.complete) return ready ? 0 : 1;  // what is wrong was said above
  report_not_ready(queue, *function, needed == Stored::kIncomplete,
                   account.user != nullptr ? account.user : "root", blocker.first);
  return 1;
}
