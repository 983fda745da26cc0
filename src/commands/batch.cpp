// SPDX-License-Identifier: Apache-2.0
#include "batch.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <map>
#include <memory>
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
#include "file_change.h"
#include "messages.h"
#include "scheduler.h"
#include "translation.h"
#include "unknown_queue.h"

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

void refuse(Job& job, BatchRefusal why) {
  job.result = Result::kRefused;
  job.record.refused = std::move(why);
}

void refuse(Job& job, BatchRefusalWhy why, int line = 0) {
  refuse(job, {.why = why, .line = line});
}

// What the store said, about queue ("" for the file as a whole).
void refuse(Job& job, const StoreError& error, const std::string& queue) {
  refuse(job, {.why = BatchRefusalWhy::kStore,
               .store = std::make_shared<const StoreError>(error),
               .queue = queue});
}

// What a record asks of a queue CUPS does not know.
UnknownQueueAsk ask(const Job& job) {
  return job.record.present ? UnknownQueueAsk::kOther : UnknownQueueAsk::kRemove;
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
      refuse(job, BatchRefusalWhy::kLineTooLong);
    } else if (!parse_record(line, &job.record)) {
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
    if (at->second->result != Result::kRefused) {
      refuse(*at->second, BatchRefusalWhy::kAmbiguous, job.record.line);
    }
    refuse(job, BatchRefusalWhy::kAmbiguous, at->second->record.line);
  }
}

// The file a record goes to: the account it names, or the caller's own.
// accounts: the run's, so that each account is looked up once and every
// record of one account goes the same way, even should the lookup fail.
void place(const Caller& caller, AccountLookup& accounts, Job& job) {
  const char* acting_for = caller.acting_for;
  const char* user = caller.user;
  uid_t owner = caller.owner;
  std::string named = job.record.user.value_or(acting_for != nullptr ? acting_for : "");
  if (job.record.user || acting_for != nullptr) {
    const Acting acting = act_for(caller, named, accounts);
    switch (acting.verdict) {
      case ActFor::kAllowed:
        break;
      case ActFor::kNotRoot:
        return refuse(job, BatchRefusalWhy::kNotRoot);
      case ActFor::kNoSuchAccount:
        return refuse(job, BatchRefusalWhy::kNoSuchAccount);
      case ActFor::kLookupFailed:
        return refuse(job, {.why = BatchRefusalWhy::kLookupFailed, .error = acting.error});
    }
    owner = acting.owner;
    user = named == "root" ? nullptr : named.c_str();
  }
  job.filed_under = user != nullptr ? user : "root";
  StoreError error;
  std::string name;
  if (!credential_file_name(user, &name, error)) return refuse(job, error, "");
  job.file = AccountFile{std::move(name), FileKind::kCredentials, owner};
}

// The queues as CUPS spells them, from its one answer (names): false (said
// why) when the scheduler could not be asked.
bool find_queues(const Caller& caller, std::vector<Job>& jobs, const QueueLookup& lookup,
                 const std::vector<std::string>& names) {
  if (lookup.result != QueueCheck::kKnown) {
    report_unreachable_scheduler(lookup);
    for (Job& job : jobs) {
      if (job.result != Result::kRefused) refuse(job, BatchRefusalWhy::kSchedulerNotAsked);
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
    // A remove is judged again on the file (the store, as it makes the edit).
    if (!job.known && judge_unknown_queue(ask(job), caller.root(), job.queue, nullptr) ==
                          UnknownQueue::kNoSuchQueue) {
      refuse(job, BatchRefusalWhy::kNoSuchQueue);
    }
  }
  return true;
}

// Why the file refused a record's edit, as its answer says it.
BatchRefusal edit_refusal(const Job& job, StoreError error) {
  switch (error.step) {
    case StoreStep::kNoSection:
      return {.why = BatchRefusalWhy::kNoSection};
    case StoreStep::kSectionsUnread:
      return {.why = BatchRefusalWhy::kTooManySections};
    default:
      error.path = job.file.path();
      return {.why = BatchRefusalWhy::kStore,
              .store = std::make_shared<const StoreError>(std::move(error)),
              .queue = job.queue};
  }
}

// Makes every record of one file in one update, each noting its result, and
// writes the file (or previews it) only when it refuses none of them: a
// file is wholly updated or untouched.
void update_file(const Caller& caller, const AccountStore& store, const std::vector<Job*>& jobs,
                 bool dry_run) {
  std::vector<StoreEdit> edits;
  for (Job* job : jobs) edits.push_back(std::move(job->edit));
  FileChange change =
      change_file(store, jobs.front()->file, std::move(edits), UpdateWhen::kBytesDiffer,
                  dry_run ? Commit::kPreview : Commit::kWrite);
  report_recovered(change.recovered);
  // What each edit did, as last made (on the file read again, when it was);
  // when memory ran out in one, none pairs with its record, and the commit
  // says so for all of them.
  std::optional<int> held_back;
  const std::size_t made = change.edits.size() == jobs.size() ? jobs.size() : 0;
  for (std::size_t i = 0; i < made; ++i) {
    const StoreResult<EditResult>& result = change.edits[i];
    Job& job = *jobs[i];
    if (result) {
      job.result = result->changed ? Result::kChanged : Result::kUnchanged;
      continue;
    }
    refuse(job, edit_refusal(job, result.error()));
    if (!held_back) held_back = job.record.line;
  }
  if (held_back) {
    for (Job* job : jobs) {
      if (job->result != Result::kRefused) refuse(*job, BatchRefusalWhy::kHeldBack, *held_back);
    }
    return;
  }
  if (change.done) return;
  const StoreError& error = change.done.error();
  // Said once for the file, as an update says it; each record's answer too.
  report_store_error(caller, "", error);
  for (Job* job : jobs) {
    if (job->result != Result::kRefused) refuse(*job, error, job->queue);
  }
}

// In ASCII, as every JSON document the tool prints: a name holding a
// control, blank or invisible character reaches a terminal only as \uXXXX,
// and reads back as it is.
void print_answer(const Caller& caller, const Job& job, bool dry_run) {
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
                 {"kind", r.kind ? Json(names_of(*r.kind).word) : Json(nullptr)},
                 {"result", result}};
  if (job.result == Result::kRefused) answer["reason"] = batch_refusal_text(caller, r.refused);
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
  AccountLookup accounts;
  for (Job& job : jobs) {
    if (job.result != Result::kRefused) place(caller, accounts, job);
  }
  std::optional<AccountStore> store;
  bool any = false;
  for (const Job& job : jobs) any = any || job.result != Result::kRefused;
  if (any && find_queues(caller, jobs, lookup, queues)) {
    if (StoreResult<AccountStore> opened = AccountStore::open(caller)) {
      store.emplace(std::move(*opened));
    } else {
      report_store_error(caller, "", opened.error());
      for (Job& job : jobs) {
        if (job.result != Result::kRefused) refuse(job, opened.error(), "");
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
      refuse(job, problem, job.queue);
      continue;
    }
    job.record.id.clear();
    job.record.password.clear();
    // A remove for a queue CUPS does not know, judged again on the file.
    change.needs_section = !job.known;
    job.edit = {std::move(change)};
    files[job.file.name].push_back(&job);
  }
  for (const auto& [name, file_jobs] : files) update_file(caller, *store, file_jobs, dry_run);
  std::size_t counts[3] = {};
  for (const Job& job : jobs) {
    print_answer(caller, job, dry_run);
    ++counts[static_cast<int>(job.result)];
  }
  std::fflush(stdout);
  report_batch_summary(counts[0], counts[1], counts[2], dry_run);
  return counts[2] != 0 ? 1 : 0;
}
