// SPDX-License-Identifier: Apache-2.0
#include "change_plan.h"

#include <map>
#include <tuple>
#include <utility>
#include <variant>

#include "account_directory.h"
#include "account_format.h"
#include "credential_file.h"

namespace {

// The first refusal stands.
void refuse(PlannedRequest& planned, ChangeRefusal why) {
  if (planned.refused.why == ChangeRefusalWhy::kNone) planned.refused = std::move(why);
}

void refuse(PlannedRequest& planned, ChangeRefusalWhy why, int line = 0) {
  refuse(planned, {.why = why, .line = line});
}

bool refused(const PlannedRequest& planned) {
  return planned.refused.why != ChangeRefusalWhy::kNone;
}

// The file a request goes to: the account it names, or the caller's own.
// accounts: the run's, so that each account is looked up once and every
// request of one account goes the same way, even should the lookup fail.
AccountFile place(const Caller& caller, AccountLookup& accounts, const ChangeRequest& request,
                  PlannedRequest& planned) {
  if (request.ask == ChangeAsk::kSwitch || request.ask == ChangeAsk::kForget) {
    planned.allowed = planned.placed = true;
    return {std::string(kStatusName), FileKind::kStatus, 0};
  }
  const char* user = caller.user;
  uid_t owner = caller.owner;
  planned.allowed = !request.account;
  if (request.account) {
    const Acting acting = act_for(caller, *request.account, accounts);
    switch (acting.verdict) {
      case ActFor::kAllowed:
        break;
      case ActFor::kNotRoot:
        return refuse(planned, ChangeRefusalWhy::kNotRoot), AccountFile{};
      case ActFor::kNoSuchAccount:
        return refuse(planned, ChangeRefusalWhy::kNoSuchAccount), AccountFile{};
      case ActFor::kLookupFailed:
        refuse(planned, {.why = ChangeRefusalWhy::kLookupFailed, .error = acting.error});
        return {};
    }
    owner = acting.owner;
    planned.allowed = true;
    user = *request.account == "root" ? nullptr : request.account->c_str();
  }
  planned.filed_under = user != nullptr ? user : "root";
  StoreError error;
  std::string name;
  if (!credential_file_name(user, &name, error))
    return refuse(planned, store_refusal(error)), AccountFile{};
  planned.placed = true;
  return {std::move(name), FileKind::kCredentials, owner};
}

UnknownQueueAsk unknown_ask(const ChangeRequest& request) {
  if (request.ask == ChangeAsk::kRemove) return UnknownQueueAsk::kRemove;
  if (request.ask == ChangeAsk::kSwitch && request.function == StatusFunction::kOff) {
    return UnknownQueueAsk::kDisable;
  }
  return UnknownQueueAsk::kOther;
}

// The queue as CUPS spells it, and what may be done for one it does not
// know; then only root switches a queue's functions.
void judge_queue(const Caller& caller, const ChangeRequest& request, const QueueAnswer& queues,
                 const FileSections* sections, PlannedRequest& planned, AccountFile& file,
                 UpdateWhen& when) {
  if (!queues.asked) {
    if (planned.placed) refuse(planned, ChangeRefusalWhy::kSchedulerNotAsked);
    return;
  }
  auto found = queues.spelled.find(request.queue);
  if (found == queues.spelled.end()) found = queues.spelled.find(lower_case(request.queue));
  planned.known = found != queues.spelled.end();
  planned.queue = planned.known ? found->second : request.queue;
  if (request.ask == ChangeAsk::kForget) {
    // Forgetting a queue CUPS still has would wipe what its users' jobs need.
    if (planned.known) return refuse(planned, ChangeRefusalWhy::kQueueInUse);
  } else if (!planned.known) {
    planned.unknown =
        judge_unknown_queue(unknown_ask(request), caller.root(), planned.queue, sections);
    switch (planned.unknown) {
      case UnknownQueue::kNoSuchQueue:
        return refuse(planned, ChangeRefusalWhy::kNoSuchQueue);
      case UnknownQueue::kNoSection:
        return refuse(planned, ChangeRefusalWhy::kNoSection);
      case UnknownQueue::kTooManySections:
        return refuse(planned, ChangeRefusalWhy::kTooManySections);
      case UnknownQueue::kClearStatusLine:
        // Only the status line can go: that file, and only if it holds one.
        file = {std::string(kStatusName), FileKind::kStatus, 0};
        when = UpdateWhen::kEditChanged;
        break;
      case UnknownQueue::kReadTheFile:
      case UnknownQueue::kClearSection:
        break;
    }
  }
  if ((request.ask == ChangeAsk::kSwitch || request.ask == ChangeAsk::kForget) && !caller.root()) {
    return refuse(planned, ChangeRefusalWhy::kNotRoot);
  }
  planned.judged = !refused(planned);
}

// Two requests for one file, queue and kind would leave the last one's
// values, though either could have been meant: both are refused.
void refuse_ambiguous(const std::vector<ChangeRequest>& requests,
                      const std::vector<AccountFile>& files, ChangePlan& plan) {
  using Key = std::tuple<std::string, std::string, std::optional<CredentialKind>>;
  std::map<Key, std::size_t> first;
  for (std::size_t i = 0; i < requests.size(); ++i) {
    PlannedRequest& planned = plan.requests[i];
    if (refused(planned)) continue;
    const auto [at, fresh] = first.try_emplace({files[i].name, planned.queue, requests[i].kind}, i);
    if (fresh) continue;
    PlannedRequest& earlier = plan.requests[at->second];
    if (!refused(earlier)) refuse(earlier, ChangeRefusalWhy::kAmbiguous, requests[i].origin);
    refuse(planned, ChangeRefusalWhy::kAmbiguous, requests[at->second].origin);
  }
}

// The request's edit, or nullopt when it is refused (or a set not typed yet:
// no edit, and not refused).
std::optional<StoreEdit> make_edit(const ChangeRequest& request, PlannedRequest& planned) {
  if (planned.unknown == UnknownQueue::kClearStatusLine && !planned.known) {
    return StoreEdit{StatusClear{planned.queue}};
  }
  if (request.ask == ChangeAsk::kSwitch) {
    return StoreEdit{StatusSwitch{planned.queue, request.function}};
  }
  if (request.ask == ChangeAsk::kSet && request.id == nullptr) return std::nullopt;
  const CredentialEdit edit = request.ask == ChangeAsk::kSet      ? CredentialEdit::kSet
                              : request.ask == ChangeAsk::kForget ? CredentialEdit::kForget
                                                                  : CredentialEdit::kRemove;
  StoreError problem;
  CredentialChange change;
  if (!make_change(planned.queue.c_str(), request.kind, edit, request.id, request.password, &change,
                   problem)) {
    refuse(planned, store_refusal(problem, planned.queue));
    return std::nullopt;
  }
  if (request.ask == ChangeAsk::kForget) return StoreEdit{StatusClear{change.queue, true}};
  // A remove for a queue CUPS does not know, judged again on the file.
  change.needs_section = planned.unknown == UnknownQueue::kReadTheFile && !planned.known;
  return StoreEdit{std::move(change)};
}

}  // namespace

QueueAnswer queues_listed(const std::vector<std::string>& names) {
  QueueAnswer answer{.asked = true, .spelled = {}};
  for (const std::string& name : names) {
    answer.spelled.emplace(name, name);
    answer.spelled.emplace(lower_case(name), name);
  }
  return answer;
}

QueueAnswer queue_checked(const std::string& queue, const QueueLookup& lookup) {
  QueueAnswer answer{.asked = lookup.result != QueueCheck::kUnreachable, .spelled = {}};
  if (lookup.result == QueueCheck::kKnown) answer.spelled.emplace(queue, lookup.queue);
  return answer;
}

ChangePlan plan_changes(const Caller& caller, const std::vector<ChangeRequest>& requests,
                        const QueueAnswer& queues, const FileSections* sections) {
  ChangePlan plan;
  plan.requests.resize(requests.size());
  std::vector<AccountFile> files(requests.size());
  std::vector<UpdateWhen> when(requests.size(), UpdateWhen::kBytesDiffer);
  // Every request's account first, then every queue: the scheduler is
  // judged unreachable only for what it would have been asked.
  AccountLookup accounts;
  for (std::size_t i = 0; i < requests.size(); ++i) {
    files[i] = place(caller, accounts, requests[i], plan.requests[i]);
  }
  for (std::size_t i = 0; i < requests.size(); ++i) {
    // A request whose own file could not be named still has its queue
    // judged: a command line's unknown queue is said before its file.
    if (plan.requests[i].allowed) {
      judge_queue(caller, requests[i], queues, sections, plan.requests[i], files[i], when[i]);
    }
  }
  refuse_ambiguous(requests, files, plan);
  // The requests of each file, in order, by file name.
  std::map<std::string, std::size_t> by_name;
  for (std::size_t i = 0; i < requests.size(); ++i) {
    PlannedRequest& planned = plan.requests[i];
    if (refused(planned)) continue;
    std::optional<StoreEdit> edit = make_edit(requests[i], planned);
    if (refused(planned)) continue;
    const auto [at, fresh] = by_name.try_emplace(files[i].name, by_name.size());
    if (fresh) plan.files.push_back({files[i], when[i], {}, {}});
    PlannedFile& file = plan.files[at->second];
    file.requests.push_back(i);
    if (edit) file.edits.push_back(std::move(*edit));
  }
  // In file-name order, as each file is then changed.
  std::vector<PlannedFile> sorted;
  for (const auto& [name, index] : by_name) sorted.push_back(std::move(plan.files[index]));
  plan.files = std::move(sorted);
  for (std::size_t f = 0; f < plan.files.size(); ++f) {
    for (std::size_t i : plan.files[f].requests) plan.requests[i].file = f;
  }
  return plan;
}

ChangePlan plan_forget(const Caller& caller, const ChangeRequest& request,
                       const QueueAnswer& queues, std::span<const AccountFile> credential_files) {
  ChangePlan plan;
  PlannedRequest& planned = plan.requests.emplace_back();
  AccountLookup accounts;
  AccountFile status = place(caller, accounts, request, planned);
  UpdateWhen when = UpdateWhen::kEditChanged;
  judge_queue(caller, request, queues, nullptr, planned, status, when);
  std::optional<StoreEdit> clear = refused(planned) ? std::nullopt : make_edit(request, planned);
  if (!clear) return plan;
  const std::string queue = std::get<StatusClear>(clear->change).queue;
  plan.files.push_back({std::move(status), when, {0}, {}});
  plan.files.back().edits.push_back(std::move(*clear));
  for (const AccountFile& file : credential_files) {
    plan.files.push_back({file, UpdateWhen::kEditChanged, {0}, {}});
    plan.files.back().edits.push_back(
        {CredentialChange{queue, std::nullopt, CredentialEdit::kForget, {}, {}}});
  }
  planned.file = 0;
  return plan;
}
