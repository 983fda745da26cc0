// SPDX-License-Identifier: Apache-2.0
#include "batch.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "account_store.h"
#include "batch_record.h"
#include "change_plan.h"
#include "file_change.h"
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
  PlannedRequest planned;  // the planner's word on it (a record read)
  Result result = Result::kUnchanged;
};

void refuse(Job& job, ChangeRefusal why) {
  job.result = Result::kRefused;
  job.record.refused = std::move(why);
}

void refuse(Job& job, ChangeRefusalWhy why, int line = 0) {
  refuse(job, {.why = why, .line = line});
}

// Standard input, whole; false (said why) when it cannot be read or is too large.
bool read_input(SecretText* input) {
  for (;;) {
    const std::size_t had = input->size();
    char* at = input->extend(64 * 1024);
    const ssize_t got = ::read(STDIN_FILENO, at, 64 * 1024);
    input->shrink(had + static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return report_batch_input_unreadable(errno), false;
    if (got == 0) return true;
    if (input->size() > kMaxInput) return report_batch_input_too_large(kMaxInput), false;
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
      return report_batch_input_too_many(kMaxRecords), false;
    }
    Job& job = jobs.emplace_back();
    job.record.line = number;
    if (line.size() > kMaxLine) {
      refuse(job, ChangeRefusalWhy::kLineTooLong);
    } else if (!parse_record(line, &job.record)) {
      job.result = Result::kRefused;
    }
  }
  return true;
}

// Why the file refused a record's edit, as its answer says it.
ChangeRefusal edit_refusal(const AccountFile& file, const Job& job, StoreError error) {
  switch (error.step) {
    case StoreStep::kNoSection:
      return {.why = ChangeRefusalWhy::kNoSection};
    case StoreStep::kSectionsUnread:
      return {.why = ChangeRefusalWhy::kTooManySections};
    default:
      error.path = file.path();
      return store_refusal(std::move(error), job.planned.queue);
  }
}

// Makes every record of one file in one update, each noting its result, and
// writes the file (or previews it) only when it refuses none of them: a
// file is wholly updated or untouched.
void update_file(const Caller& caller, const AccountStore& store, PlannedFile& file,
                 const std::vector<Job*>& jobs, bool dry_run) {
  FileChange change = change_file(store, file.file, std::move(file.edits), file.when,
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
    refuse(job, edit_refusal(file.file, job, result.error()));
    if (!held_back) held_back = job.record.line;
  }
  if (held_back) {
    for (Job* job : jobs) {
      if (job->result != Result::kRefused) refuse(*job, ChangeRefusalWhy::kHeldBack, *held_back);
    }
    return;
  }
  if (change.done) return;
  const StoreError& error = change.done.error();
  // Said once for the file, as an update says it; each record's answer too.
  report_store_error(caller, "", error);
  for (Job* job : jobs) {
    if (job->result != Result::kRefused) refuse(*job, store_refusal(error, job->planned.queue));
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
  Json answer = {
      {"line", r.line},
      {"user", job.planned.filed_under.empty() ? or_null(r.user) : Json(job.planned.filed_under)},
      {"queue", or_null(r.queue)},
      {"kind", r.kind ? Json(names_of(*r.kind).word) : Json(nullptr)},
      {"result", result}};
  if (job.result == Result::kRefused) answer["reason"] = batch_refusal_text(caller, r.refused);
  std::printf("%s\n", answer.dump(-1, ' ', true, nlohmann::json::error_handler_t::replace).c_str());
}

}  // namespace

int run_batch(const Caller& caller, bool dry_run) {
  // The queues first: the run waits for the scheduler (up to its deadline)
  // before any value is in memory.
  std::vector<std::string> queues;
  const QueueLookup lookup = list_queues(&queues);
  SecretText input;
  if (!read_input(&input)) return 1;
  std::vector<Job> jobs;
  if (!parse_jobs(input.view(), &jobs)) return 1;
  input.clear();
  // The records read, as requests: with no "user", for --user NAME's account.
  std::vector<ChangeRequest> requests;
  std::vector<Job*> asked;
  for (Job& job : jobs) {
    if (job.result == Result::kRefused) continue;
    const BatchRecord& r = job.record;
    const char* acting_for = caller.acting_for;
    std::optional<std::string> account = r.user;
    if (!account && acting_for != nullptr) account = acting_for;
    requests.push_back({.origin = r.line,
                        .account = std::move(account),
                        .queue = *r.queue,
                        .ask = r.present ? ChangeAsk::kSet : ChangeAsk::kRemove,
                        .kind = r.kind,
                        .id = r.present ? r.id.c_str() : nullptr,
                        .password = r.present ? r.password.c_str() : nullptr});
    asked.push_back(&job);
  }
  const QueueAnswer answer =
      lookup.result == QueueCheck::kKnown ? queues_listed(queues) : QueueAnswer{};
  ChangePlan plan = plan_changes(caller, requests, answer, nullptr);
  for (Job* job : asked) {
    job->record.id.clear();
    job->record.password.clear();
  }
  bool any = false;
  for (const PlannedRequest& planned : plan.requests) any = any || planned.placed;
  std::optional<AccountStore> store;
  if (any && lookup.result != QueueCheck::kKnown) report_unreachable_scheduler(lookup);
  if (any && lookup.result == QueueCheck::kKnown) {
    if (StoreResult<AccountStore> opened = AccountStore::open(caller)) {
      store.emplace(std::move(*opened));
    } else {
      // Said once; every record whose queue was judged answers it too.
      report_store_error(caller, "", opened.error());
      for (PlannedRequest& planned : plan.requests) {
        if (planned.judged) {
          planned.refused = store_refusal(opened.error());
        }
      }
      plan.files.clear();
    }
  }
  for (std::size_t i = 0; i < asked.size(); ++i) {
    asked[i]->planned = std::move(plan.requests[i]);
    if (asked[i]->planned.refused.why != ChangeRefusalWhy::kNone) {
      refuse(*asked[i], std::move(asked[i]->planned.refused));
    }
  }
  for (PlannedFile& file : plan.files) {
    std::vector<Job*> file_jobs;
    for (std::size_t i : file.requests) file_jobs.push_back(asked[i]);
    update_file(caller, *store, file, file_jobs, dry_run);
  }
  std::size_t counts[3] = {};
  for (const Job& job : jobs) {
    print_answer(caller, job, dry_run);
    ++counts[static_cast<int>(job.result)];
  }
  std::fflush(stdout);
  report_batch_summary(counts[0], counts[1], counts[2], dry_run);
  return counts[2] != 0 ? 1 : 0;
}
