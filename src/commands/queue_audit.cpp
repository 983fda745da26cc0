// SPDX-License-Identifier: Apache-2.0
#include "queue_audit.h"

#include <pwd.h>

#include <array>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "account_directory.h"
#include "account_store.h"
#include "credential_file.h"
#include "messages.h"
#include "report_output.h"
#include "report_reading.h"
#include "scheduler.h"
#include "status_file.h"
#include "translation.h"

namespace {

// The range of regular accounts that login.defs gives by default.
constexpr uid_t kFirstRegularUid = 1000;
constexpr uid_t kLastRegularUid = 60000;

struct UserRow {
  uid_t owner = 0;
  std::optional<std::array<Stored, 3>> kinds;  // nullopt: the file was refused
  bool damaged = false;                        // the section cannot be trusted
};

// Whether the driver finds what `function` needs in a user's section
// (nullopt: not known, the status file or the user's file was refused).
std::optional<bool> ready(std::optional<std::optional<StatusFunction>> function,
                          const UserRow& row) {
  if (!function || !row.kinds) return std::nullopt;
  const std::optional<CredentialKind> needs = *function ? kind_needed(**function) : std::nullopt;
  if (!needs) return true;
  return !row.damaged && (*row.kinds)[index_of(*needs)] == Stored::kComplete;
}

}  // namespace

int check_all_users(const Caller& caller, const char* queue_named, bool json) {
  const QueueLookup lookup = find_queue(queue_named);
  // Refused before a row: with json, a document that says so.
  const auto refuse = [&](const char* why) {
    if (json)
      print_json({{"queue", queue_named}, {"entries", nlohmann::json::array()}, {"reason", why}});
    return 1;
  };
  if (lookup.result == QueueCheck::kUnreachable) {
    report_unreachable_scheduler(lookup);
    return refuse("the print scheduler could not be asked");
  }
  if (lookup.result == QueueCheck::kUnknown) {
    report_unknown_queue(queue_named, false);
    return refuse("CUPS knows no such queue");
  }
  const std::string& queue = lookup.queue;
  const std::optional<AccountStore> store = open_store(caller);
  if (!store) return refuse("the account directory could not be opened");
  // What the status file says: no status line, a function, or not known
  // (the status file was refused).
  std::optional<std::optional<StatusFunction>> function;
  std::optional<AccountText> text;
  bool complete = read_trusted(*store, store->status_file(), &text);
  if (complete) function.emplace();
  for (const QueueStatus& s : text ? statuses_of(*text) : std::vector<QueueStatus>{}) {
    if (s.queue == queue) *function = s.function;
  }

  // Every user with a file, then every regular account without one.
  std::map<std::string, UserRow> users;
  std::vector<AccountFile> files;
  if (StoreResult<std::vector<AccountFile>> found = store->credential_files()) {
    files = std::move(*found);
  } else {
    report_store_error(caller, "", found.error());
    complete = false;
  }
  std::vector<SectionEntries> sections;
  for (const AccountFile& file : files) {
    UserRow& row = users[std::string(user_of_credential_file(file.name).value_or(""))];
    row.owner = file.owner;
    if (!read_sections(*store, file, kMaxListedSections, &sections)) {
      complete = false;
      continue;
    }
    row.kinds.emplace();
    for (const SectionEntries& s : sections) {
      if (s.name != queue) continue;
      row.kinds = s.kinds;
      row.damaged = any(s.damage.what);
    }
  }
  setpwent();
  while (const passwd* account = getpwent()) {
    if (account->pw_uid < kFirstRegularUid || account->pw_uid > kLastRegularUid) continue;
    const auto [at, fresh] = users.try_emplace(account->pw_name);
    if (fresh) at->second = UserRow{account->pw_uid, std::array<Stored, 3>{}};
  }
  endpwent();

  std::vector<const std::pair<const std::string, UserRow>*> order;
  bool all_ready = true;
  for (const auto& user : users) {
    order.push_back(&user);
    all_ready = all_ready && ready(function, user.second).value_or(false);
  }
  const RowSource row_of = [&](std::size_t i) {
    const auto& [name, row] = *order[i];
    std::vector<std::string> fields = {name, user_name(row.owner),
                                       function ? function_field(*function) : "?"};
    for (CredentialKind kind : kCredentialKinds) {
      fields.emplace_back(!row.kinds    ? "?"
                          : row.damaged ? W_("damaged")
                                        : stored_field((*row.kinds)[index_of(kind)]));
    }
    const std::optional<bool> is_ready = ready(function, row);
    fields.emplace_back(!is_ready ? "?" : *is_ready ? W_("yes") : W_("no"));
    return fields;
  };
  print_rows({W_("USER"), W_("OWNER"), W_("SWITCHED-ON"), W_("JOB-ACCOUNTING"),
              W_("USER-AUTHENTICATION"), W_("SECURED-PRINT"), W_("READY")},
             2, order.size(), row_of, json, "entries", {{"queue", queue}});
  return complete && all_ready ? 0 : 1;
}
