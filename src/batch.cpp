// SPDX-License-Identifier: Apache-2.0
#include "batch.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "account_format.h"
#include "account_store.h"
#include "batch_record.h"
#include "credential_file.h"
#include "messages.h"
#include "scheduler.h"
#include "translation.h"

namespace {

// No batch comes near these; more is refused rather than read for ever.
// Together they keep a run's memory bounded (177 MiB measured at both).
constexpr std::size_t kMaxInput = std::size_t{32} << 20;
constexpr std::size_t kMaxLine = std::size_t{64} << 10;
constexpr std::size_t kMaxRecords = 100'000;

enum class Result { kChanged, kUnchanged, kRefused };

struct Job {
  BatchRecord record;
  std::string filed_under;  // the name its file is filed under
  AccountFile file;
  std::string queue;  // as CUPS spells it, or as given when CUPS does not know it
  bool known = false;
  StoreEdit edit;  // unknown to CUPS: only for a section of exactly its name
  Result result = Result::kUnchanged;
};

// An answer's reason: read by scripts, so in English whatever the locale.
std::string answer_text(const Caller& caller, const std::string& queue, const StoreError& error) {
  return in_english([&] { return store_error_text(caller, queue, error); });
}

void refuse(Job& job, std::string why) {
  job.result = Result::kRefused;
  job.record.refused = std::move(why);
}

// Standard input, whole; false (said why) when it cannot be read or is too large.
bool read_input(SecretText* input) {
  for (;;) {
    const std::size_t had = input->size();
    char* at = input->extend(64 * 1024);
    const ssize_t got = ::read(STDIN_FILENO, at, 64 * 1024);
    input->shrink(had + static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return report_batch_input(error_text(errno)), false;
    if (got == 0) return true;
    if (input->size() > kMaxInput) return report_batch_input("more than 32 MiB"), false;
  }
}

// The records, one per line that is not blank; false (said why) when there
// are more than a run takes.
bool parse_jobs(std::string_view input, std::vector<Job>* out) {
  std::vector<Job>& jobs = *out;
  int number = 0;
  for (std::size_t at = 0; at < input.size();) {
    std::size_t end = input.find('\n', at);
    if (end == std::string_view::npos) end = input.size();
    std::string_view line = input.substr(at, end - at);
    at = end + 1;
    ++number;
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (line.find_first_not_of(" \t") == std::string_view::npos) continue;
    if (jobs.size() == kMaxRecords) {
      return report_batch_input("more than " + std::to_string(kMaxRecords) + " records"), false;
    }
    Job& job = jobs.emplace_back();
    job.record.line = number;
    if (line.size() > kMaxLine) {
      refuse(job, "longer than any record could be");
    } else if (!in_english([&] { return parse_record(line, &job.record); })) {
      job.result = Result::kRefused;
    }
  }
  return true;
}

// Two records for one file, queue and kind would leave the last one's
// values, though either could have been meant: both are refused.
void refuse_ambiguous(std::vector<Job>& jobs) {
  std::map<std::tuple<std::string, std::string, CredentialKind>, Job*> first;
  for (Job& job : jobs) {
    if (job.result == Result::kRefused) continue;
    const auto [at, fresh] = first.try_emplace({job.file.name, job.queue, *job.record.kind}, &job);
    if (fresh) continue;
    const std::string same = " is for the same user, queue and kind";
    if (at->second->result != Result::kRefused) {
      refuse(*at->second,
             "ambiguous: the record on line " + std::to_string(job.record.line) + same);
    }
    refuse(job, "ambiguous: the record on line " + std::to_string(at->second->record.line) + same);
  }
}

// The accounts the records name, each looked up once: every record of one
// account then goes the same way, even should the lookup fail.
class Accounts {
 public:
  // The account's user ID, or nullopt with *why (no such account, or the
  // lookup failed).
  std::optional<uid_t> find(const std::string& name, std::string* why) {
    auto [at, first] = found_.try_emplace(name);
    if (first) {
      errno = 0;
      const passwd* account = getpwnam(name.c_str());
      at->second.first = account != nullptr ? std::optional(account->pw_uid) : std::nullopt;
      at->second.second = account != nullptr || errno == 0 || errno == ENOENT
                              ? "no such local account"
                              : std::string("cannot look up the account: ") +
                                    in_english([] { return error_text(errno); });
    }
    *why = at->second.second;
    return at->second.first;
  }

 private:
  std::map<std::string, std::pair<std::optional<uid_t>, std::string>> found_;
};

// The file a record goes to: the account it names, or the caller's own.
void place(const Caller& caller, Accounts& accounts, Job& job) {
  const char* acting_for = caller.acting_for;
  const char* user = caller.user;
  uid_t owner = caller.owner;
  std::string named = job.record.user.value_or(acting_for != nullptr ? acting_for : "");
  if (job.record.user || acting_for != nullptr) {
    // Anyone else may name themselves, or the name USER files them under
    // (a print name of their own), as their own runs do.
    const bool own_print_name = !caller.root() && caller.user != nullptr && named == caller.user;
    if (!caller.root() && named != caller.login && !own_print_name) {
      return refuse(job, "only root may act for another user");
    }
    std::string why;
    const std::optional<uid_t> account = own_print_name ? caller.owner : accounts.find(named, &why);
    if (!account) return refuse(job, why);
    owner = *account;
    user = named == "root" ? nullptr : named.c_str();
  }
  job.filed_under = user != nullptr ? user : "root";
  StoreError error;
  std::string name;
  if (!credential_file_name(user, &name, error)) {
    return refuse(job, answer_text(caller, "", error));
  }
  job.file = AccountFile{std::move(name), FileKind::kCredentials, owner};
}

// The queues as CUPS spells them, from its one answer (names): false (said
// why) when the scheduler could not be asked.
bool find_queues(std::vector<Job>& jobs, const QueueLookup& lookup,
                 const std::vector<std::string>& names) {
  if (lookup.result != QueueCheck::kKnown) {
    report_unreachable_scheduler(lookup);
    for (Job& job : jobs) {
      if (job.result != Result::kRefused) refuse(job, "the print scheduler could not be asked");
    }
    return false;
  }
  std::unordered_map<std::string, std::string> spelled;  // name and lower-case name -> CUPS's
  for (const std::string& name : names) {
    spelled.emplace(name, name);
    spelled.emplace(lower_case(name), name);
  }
  for (Job& job : jobs) {
    if (job.result == Result::kRefused) continue;
    auto found = spelled.find(*job.record.queue);
    if (found == spelled.end()) found = spelled.find(lower_case(*job.record.queue));
    job.known = found != spelled.end();
    job.queue = job.known ? found->second : *job.record.queue;
    // An absent credential of a queue gone from CUPS may still be cleared
    // from a section of exactly that name: judged on the file.
    if (!job.known && job.record.present) refuse(job, "CUPS knows no such queue");
  }
  return true;
}

// Why the file refused a record's edit, as its answer says it.
std::string edit_refusal(const Caller& caller, const Job& job, StoreError error) {
  switch (error.step) {
    case StoreStep::kNoSection:
      return "CUPS knows no such queue, and the file has no section of that name";
    case StoreStep::kTooManySections:
      return "CUPS knows no such queue, and the file has more sections than a run reads";
    default:
      error.path = job.file.path();
      return answer_text(caller, job.queue, error);
  }
}

// Makes every record of one file in one update, each noting its result, and
// writes the file (or previews it) only when it refuses none of them: a
// file is wholly updated or untouched.
void update_file(const Caller& caller, const AccountStore& store, const std::vector<Job*>& jobs,
                 bool dry_run) {
  const AccountFile& file = jobs.front()->file;
  StoreResult<AccountUpdate> update = store.begin(file, UpdateWhen::kBytesDiffer);
  std::optional<StoreError> error;
  if (update) {
    // Every record is made, refused or not, so that each has its answer.
    for (Job* job : jobs) (void)update->apply(std::move(job->edit));
    StoreResult<Committed> done = update->commit(dry_run ? Commit::kPreview : Commit::kWrite);
    report_recovered(update->recovered());
    if (!done) error = std::move(done.error());
    // What each edit did, as last made (on the file read again, when it was).
    int refused_line = 0;
    for (std::size_t i = 0; i < update->results().size(); ++i) {
      const StoreResult<EditResult>& result = update->results()[i];
      Job& job = *jobs[i];
      if (result) {
        job.result = result->changed ? Result::kChanged : Result::kUnchanged;
        continue;
      }
      refuse(job, edit_refusal(caller, job, result.error()));
      if (refused_line == 0) refused_line = job.record.line;
    }
    if (refused_line != 0) {
      for (Job* job : jobs) {
        if (job->result != Result::kRefused) {
          refuse(*job, "not written: the record on line " + std::to_string(refused_line) +
                           " for the same file was refused");
        }
      }
      return;
    }
  } else {
    error = std::move(update.error());
  }
  if (!error) return;
  // Said once for the file, as an update says it; each record's answer too.
  report_store_error(caller, "", *error);
  for (Job* job : jobs) {
    if (job->result != Result::kRefused) refuse(*job, answer_text(caller, job->queue, *error));
  }
}

// In ASCII, as every JSON document the tool prints: a name holding a
// control, blank or invisible character reaches a terminal only as \uXXXX,
// and reads back as it is.
void print_answer(const Job& job, bool dry_run) {
  const BatchRecord& r = job.record;
  using Json = nlohmann::ordered_json;
  auto or_null = [](const std::optional<std::string>& text) -> Json {
    return text ? Json(*text) : Json(nullptr);
  };
  static constexpr const char* kResults[] = {"changed", "unchanged", "refused"};
  // A preview says so, in words a script cannot take for a change made.
  const char* result = kResults[static_cast<int>(job.result)];
  if (dry_run && job.result == Result::kChanged) {
    result = r.present ? "would change" : "would remove";
  }
  Json answer = {{"line", r.line},
                 {"user", job.filed_under.empty() ? or_null(r.user) : Json(job.filed_under)},
                 {"queue", or_null(r.queue)},
                 {"kind", r.kind ? Json(kind_word(*r.kind)) : Json(nullptr)},
                 {"result", result}};
  if (job.result == Result::kRefused) answer["reason"] = r.refused;
  std::printf("%s\n", answer.dump(-1, ' ', true, nlohmann::json::error_handler_t::replace).c_str());
}

}  // namespace

int run_batch(const Caller& caller, bool dry_run) {
  // The queues first, while no value is in memory yet: the child process
  // that asks the scheduler has nothing to inherit.
  std::vector<std::string> queues;
  const QueueLookup lookup = list_queues(&queues);
  SecretText input;
  if (!read_input(&input)) return 1;
  std::vector<Job> jobs;
  if (!parse_jobs(input.view(), &jobs)) return 1;
  input.clear();
  Accounts accounts;
  for (Job& job : jobs) {
    if (job.result != Result::kRefused) place(caller, accounts, job);
  }
  std::optional<AccountStore> store;
  bool any = false;
  for (const Job& job : jobs) any = any || job.result != Result::kRefused;
  if (any && find_queues(jobs, lookup, queues)) {
    if (StoreResult<AccountStore> opened = AccountStore::open(caller)) {
      store.emplace(std::move(*opened));
    } else {
      report_store_error(caller, "", opened.error());
      for (Job& job : jobs) {
        if (job.result != Result::kRefused) refuse(job, answer_text(caller, "", opened.error()));
      }
    }
  }
  refuse_ambiguous(jobs);
  // The records of each file, in input order; their edits made ready.
  std::map<std::string, std::vector<Job*>> files;
  for (Job& job : jobs) {
    if (job.result == Result::kRefused) continue;
    const CredentialEdit edit = job.record.present ? CredentialEdit::kSet : CredentialEdit::kRemove;
    StoreError problem;
    CredentialChange change;
    if (!make_change(job.queue.c_str(), *job.record.kind, edit, job.record.id.c_str(),
                     job.record.password.c_str(), &change, problem)) {
      refuse(job, answer_text(caller, job.queue, problem));
      continue;
    }
    job.edit = {std::move(change), !job.known};
    job.record.id.clear();
    job.record.password.clear();
    files[job.file.name].push_back(&job);
  }
  for (const auto& [name, file_jobs] : files) update_file(caller, *store, file_jobs, dry_run);
  std::size_t counts[3] = {};
  for (const Job& job : jobs) {
    print_answer(job, dry_run);
    ++counts[static_cast<int>(job.result)];
  }
  std::fflush(stdout);
  report_batch_summary(counts[0], counts[1], counts[2], dry_run);
  return counts[2] != 0 ? 1 : 0;
}
