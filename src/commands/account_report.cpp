// SPDX-License-Identifier: Apache-2.0
#include "account_report.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "account_format.h"
#include "credential_file.h"
#include "known_queues.h"
#include "messages.h"
#include "quoting.h"
#include "report_output.h"
#include "report_reading.h"
#include "scheduler.h"
#include "status_file.h"
#include "translation.h"

namespace {

// What could be read of the caller's credential file and the status file.
struct Contents {
  AccountFile own;
  bool conf_refused = false;
  bool conf_exists = false;
  std::vector<SectionEntries> sections;
  std::vector<QueueStatus> status;
  bool complete = true;  // false: something was refused or unreadable (reported)
  std::vector<Refusal> refused;
};

// Refusals as JSON documents list them.
nlohmann::json refused_json(const std::vector<Refusal>& refused) {
  nlohmann::json list = nlohmann::json::array();
  for (const Refusal& r : refused) {
    list.push_back({{"file", r.file}, {"owner", user_name(r.owner)}, {"reason", r.reason}});
  }
  return list;
}

Contents read_contents(const AccountStore& store) {
  Contents c;
  std::optional<AccountText> text;
  Refusal refusal;
  if (StoreResult<AccountFile> own = store.own_file()) {
    c.own = std::move(*own);
    c.conf_refused =
        !read_sections(store, c.own, kMaxListedSections, &c.sections, &c.conf_exists, &refusal);
    if (c.conf_refused) c.refused.push_back(refusal);
  } else {
    report_store_error(store.caller(), "", own.error());
    c.conf_refused = true;
  }
  text.reset();
  const bool status_read = read_trusted(store, store.status_file(), &text, &refusal);
  if (!status_read) c.refused.push_back(refusal);
  if (text) c.status = statuses_of(*text);
  c.complete = !c.conf_refused && status_read;
  return c;
}

// A kind's field of a section (none: "-"; damaged: what it holds may not be
// what a driver reads), and the three of a row.
std::string kind_field(const SectionEntries* section, CredentialKind kind) {
  if (section != nullptr && any(section->damage.what)) return W_("damaged");
  return stored_field(section != nullptr ? section->of(kind) : Stored::kNothing);
}
void add_stored_fields(std::vector<std::string>& row, const SectionEntries* section) {
  for (CredentialKind kind : kCredentialKinds) row.push_back(kind_field(section, kind));
}

// A listing's columns; JSON names the damage of each row besides.
std::vector<std::string> columns(std::vector<std::string> header, bool json) {
  if (json) header.emplace_back("DAMAGE");
  return header;
}

const SectionEntries* section_of(const Contents& c, std::string_view queue) {
  for (const SectionEntries& s : c.sections) {
    if (s.name == queue) return &s;
  }
  return nullptr;
}

std::optional<StatusFunction> function_of(const Contents& c, std::string_view queue) {
  for (const QueueStatus& s : c.status) {
    if (s.queue == queue) return s.function;
  }
  return std::nullopt;
}

}  // namespace

FileSections own_sections(const AccountStore& store) {
  const StoreResult<AccountFile> own = store.own_file();
  if (!own) return {};
  const StoreResult<std::optional<AccountText>> text = store.read(*own);
  if (!text || !*text) return {};
  return sections_in(**text);
}

namespace {

// The store for a listing; when it cannot be opened, with json, the
// document that says so.
std::optional<AccountStore> open_for_listing(const Caller& caller, bool json) {
  Refusal refusal;
  std::optional<AccountStore> store = open_store(caller, &refusal);
  if (!store && json) {
    print_json({{"entries", nlohmann::json::array()}, {"refused", refused_json({refusal})}});
  }
  return store;
}

}  // namespace

int list_entries(const Caller& caller, bool json) {
  const std::optional<AccountStore> store = open_for_listing(caller, json);
  if (!store) return 1;
  const Contents c = read_contents(*store);
  // Every queue once, in byte order, with what the two files say of it.
  std::map<std::string, std::pair<const SectionEntries*, std::optional<StatusFunction>>> queues;
  for (const SectionEntries& s : c.sections) queues[s.name].first = &s;
  for (const QueueStatus& s : c.status) queues[s.queue].second = s.function;

  const std::optional<KnownQueues> known = queues.empty() ? KnownQueues{} : ask_known_queues();
  std::vector<decltype(queues)::const_iterator> order;
  order.reserve(queues.size());
  for (auto at = queues.cbegin(); at != queues.cend(); ++at) order.push_back(at);
  const RowSource row_of = [&](std::size_t i) {
    const auto& [queue, found] = *order[i];
    const auto& [section, function] = found;
    std::vector<std::string> row = {queue, function_field(function)};
    add_stored_fields(row, section);
    row.push_back(known ? known->field(queue) : "?");
    if (json) row.push_back(damage_field(section != nullptr ? section->damage.what : Damage{}));
    return row;
  };
  print_rows(columns({W_("QUEUE"), W_("SWITCHED-ON"), W_("JOB-ACCOUNTING"),
                      W_("USER-AUTHENTICATION"), W_("SECURED-PRINT"), W_("CUPS")},
                     json),
             1, order.size(), row_of, json, "entries", {{"refused", refused_json(c.refused)}});
  std::fflush(stdout);
  const bool whole = report_damaged_sections(caller, c.own.path(), c.sections);
  return c.complete && known && whole ? 0 : 1;
}

int list_all_users(const Caller& caller, bool json) {
  const std::optional<AccountStore> store = open_for_listing(caller, json);
  if (!store) return 1;
  std::optional<AccountText> text;
  bool complete = read_trusted(*store, store->status_file(), &text);
  std::unordered_map<std::string, StatusFunction> functions;
  if (text) {
    for (const QueueStatus& s : statuses_of(*text)) functions.emplace(s.queue, s.function);
  }
  text.reset();

  std::vector<AccountFile> found;
  if (StoreResult<std::vector<AccountFile>> files = store->credential_files()) {
    found = std::move(*files);
  } else {
    report_store_error(caller, "", files.error());
    complete = false;
  }
  // Each file's sections, kept compact (names in one arena) and within
  // bounds per owner and in all, so that memory stays bounded whatever the
  // directory holds; a file past them is refused by name.
  struct Row {
    std::uint32_t file;  // in found
    std::uint32_t name_at;
    std::uint32_t name_size;
    std::array<Stored, 3> kinds;
    Damage damage;
  };
  std::vector<Row> rows;
  std::string names;
  std::unordered_map<uid_t, std::size_t> listed;  // sections per owner
  // A file refused is in the JSON document too, as on standard error.
  std::vector<Refusal> refused;
  std::vector<SectionEntries> sections;
  for (std::size_t f = 0; f < found.size(); ++f) {
    const AccountFile& file = found[f];
    std::size_t& owners = listed[file.owner];
    const std::size_t room = std::min(kMaxListedSections - owners, kMaxListedRows - rows.size());
    Refusal refusal;
    if (!read_sections(*store, file, room, &sections, nullptr, &refusal,
                       kMaxListedNameBytes - names.size())) {
      refused.push_back(refusal);
      complete = false;
      continue;
    }
    owners += sections.size();
    for (const SectionEntries& section : sections) {
      rows.push_back({static_cast<std::uint32_t>(f), static_cast<std::uint32_t>(names.size()),
                      static_cast<std::uint32_t>(section.name.size()), section.kinds,
                      section.damage.what});
      names += section.name;
    }
    complete = report_damaged_sections(caller, file.path(), sections) && complete;
  }
  sections = {};

  const std::optional<KnownQueues> known = rows.empty() ? KnownQueues{} : ask_known_queues();
  std::unordered_map<uid_t, std::string> owner_names;  // each looked up once
  const auto owner_name = [&](uid_t owner) -> const std::string& {
    auto at = owner_names.find(owner);
    if (at == owner_names.end()) at = owner_names.emplace(owner, user_name(owner)).first;
    return at->second;
  };
  const RowSource row_of = [&](std::size_t i) {
    const Row& r = rows[i];
    const AccountFile& file = found[r.file];
    const std::string name = names.substr(r.name_at, r.name_size);
    const auto function = functions.find(name);
    SectionEntries section{name, r.kinds, {r.damage, 0, 0}};
    std::vector<std::string> row = {
        std::string(user_of_credential_file(file.name).value_or("")), owner_name(file.owner), name,
        function_field(function == functions.end() ? std::nullopt
                                                   : std::optional(function->second))};
    add_stored_fields(row, &section);
    row.push_back(known ? known->field(name) : "?");
    if (json) row.push_back(damage_field(r.damage));
    return row;
  };
  print_rows(columns({W_("USER"), W_("OWNER"), W_("QUEUE"), W_("SWITCHED-ON"), W_("JOB-ACCOUNTING"),
                      W_("USER-AUTHENTICATION"), W_("SECURED-PRINT"), W_("CUPS")},
                     json),
             3, rows.size(), row_of, json, "entries", {{"refused", refused_json(refused)}});
  return complete && known ? 0 : 1;
}

int check_queue(const Caller& caller, const char* queue_named, bool json) {
  const QueueLookup lookup = find_queue(queue_named);
  switch (lookup.result) {
    case QueueCheck::kKnown:
      break;
    case QueueCheck::kUnknown: {
      // A typo is not a queue that is ready: scripts test the status.
      // The caller's file still holds it when a remove would clear it.
      const StoreResult<AccountStore> store = AccountStore::open(caller);
      const FileSections sections = store ? own_sections(*store) : FileSections{};
      report_unknown_queue(queue_named,
                           judge_unknown_queue(UnknownQueueAsk::kRemove, caller.root(), queue_named,
                                               &sections) == UnknownQueue::kClearSection);
      if (json) print_json({{"queue", queue_named}, {"cups", "gone"}, {"ready", false}});
      return 1;
    }
    case QueueCheck::kUnreachable:
      report_unreachable_scheduler(lookup);
      if (json) print_json({{"queue", queue_named}, {"cups", nullptr}, {"ready", false}});
      return 1;
  }
  const std::string& queue = lookup.queue;
  Refusal refusal;
  const std::optional<AccountStore> store = open_store(caller, &refusal);
  if (!store) {
    if (json) {
      print_json({{"queue", queue}, {"refused", refused_json({refusal})}, {"ready", false}});
    }
    return 1;
  }
  const Contents c = read_contents(*store);
  const std::optional<StatusFunction> function = function_of(c, queue);
  const SectionEntries* section = section_of(c, queue);
  std::vector<std::string> others;
  for (const SectionEntries& s : c.sections) {
    if (s.name != queue && same_but_case(s.name, queue)) others.push_back(s.name);
  }
  // What keeps updates of the caller's file from going through.
  std::optional<FoundHolder> found;
  if (!c.own.name.empty()) {
    StoreResult<std::optional<FoundHolder>> holder = store->find_holder(c.own);
    if (holder) found = *holder;
  }
  const std::string replacement = path_in_account_directory(replacement_name(c.own.name));

  // What a driver will need, and whether it will find it.
  const std::optional<CredentialKind> needs = kind_needed(function.value_or(StatusFunction::kOff));
  const bool needs_id = needs.has_value();
  const Stored needed = needs && section != nullptr ? section->of(*needs) : Stored::kNothing;
  const bool damaged = section != nullptr && any(section->damage.what);
  const bool ready = c.complete && !damaged && (!needs_id || needed == Stored::kComplete);

  std::vector<std::pair<std::string, std::string>> fields = {
      {W_("queue"), queue}, {W_("switched-on"), function_field(function)}};
  for (CredentialKind kind : kCredentialKinds) {
    fields.emplace_back(names_of(kind).word, c.conf_refused ? "?" : kind_field(section, kind));
  }
  fields.emplace_back(
      W_("damage"), c.conf_refused ? "?" : damage_field(damaged ? section->damage.what : Damage{}));
  const std::string file = c.conf_refused ? W_("refused") : c.conf_exists ? c.own.path() : "-";
  const std::string file_shown =
      c.conf_exists && !c.conf_refused ? quote_name(file) : table_word(file);
  // A document's words are the same in every locale.
  const auto blocker_field = [&] { return replacement_file_field(found->holder, found->owner); };
  const std::string blocker = !found ? "-" : json ? in_english(blocker_field) : blocker_field();
  if (json) {
    nlohmann::json document = nlohmann::json::object();
    for (const auto& [field, value] : fields) document[json_key(field)] = json_value(value);
    document["other_spellings"] = others;
    document["credential_file"] = json_value(file);
    document["replacement_file"] = json_value(blocker);
    document["ready"] = ready;
    print_json(document);
  } else {
    std::string spellings;
    for (const std::string& other : others) {
      if (!spellings.empty()) spellings += ' ';
      spellings += field_of(other);
    }
    // The queue is a name; the other values are the fields' own words, and
    // the replacement file's a sentence of its own.
    for (const auto& [field, value] : fields) {
      std::printf("%s: %s\n", table_word(field).c_str(),
                  (field == "queue" ? field_of(value) : table_word(value)).c_str());
    }
    std::printf("%s: %s\n%s: %s\n%s: %s\n", translated(W_("other-spellings")),
                spellings.empty() ? "-" : spellings.c_str(), translated(W_("credential-file")),
                file_shown.c_str(), translated(W_("replacement-file")), blocker.c_str());
  }
  std::fflush(stdout);

  if (ready || !c.complete) return ready ? 0 : 1;  // what is wrong was said above
  if (damaged) {
    report_damaged_section(caller, c.own.path(), queue, section->damage);
    return 1;
  }
  report_not_ready(caller, queue, *needs, needed == Stored::kIncomplete,
                   found ? first_step(found->holder, replacement) : "");
  return 1;
}
