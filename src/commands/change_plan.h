// SPDX-License-Identifier: Apache-2.0
// The one planner of changes: what a run asks (a prompted set or remove,
// -e/-eu/-d, each --batch record, --forget) as requests, checked before anything is
// typed or written, and turned into each file's edits. In one place, in
// this order: whose file a request goes to (caller.h's act_for), the queue
// as CUPS spells it and the rule for a queue CUPS does not know
// (unknown_queue.h; a remove of one becomes an edit that needs a section of
// exactly its name), that only root switches a queue's functions, two
// requests for one file, queue and kind (both refused), and the edit itself
// (credential_file.h's make_change). file_change.h's change_file then makes
// each file's edits.
//
//   std::vector<ChangeRequest> requests = ...;
//   ChangePlan plan = plan_changes(caller, requests, queues_listed(names), nullptr);
//   for (PlannedFile& file : plan.files) change_file(store, file.file, std::move(file.edits),
//                                                  file.when, Commit::kWrite);
//
// A set planned without its values (a prompted run, before its prompt) gets
// no edit; planned again with the values typed, it does. A forget is
// planned over the files the directory lists (plan_forget): the same checks,
// and only a queue CUPS does not know.
//
// Results: a ChangePlan: one PlannedRequest per request, in order, refused
// (a ChangeRefusal, worded in the words floor) or not; and the files with
// the edits of the requests not refused, by file name, each file's edits in
// request order. Nothing is read or written; only accounts are looked up.
#ifndef VELMORA_CHANGE_PLAN_H_
#define VELMORA_CHANGE_PLAN_H_

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "account_store.h"
#include "caller.h"
#include "change_refusal.h"
#include "credential_kind.h"
#include "queue_lookup.h"
#include "status_file.h"
#include "unknown_queue.h"

enum class ChangeAsk {
  kSet,     // a kind's values into the account's file
  kRemove,  // a kind out of it
  kSwitch,  // a queue's function in the status file (root's)
  kForget,  // a queue CUPS no longer has, out of every file (root's; plan_forget)
};

struct ChangeRequest {
  int origin = 0;                      // a --batch record's line; 0 for the command line
  std::optional<std::string> account;  // the account named, or none: the caller's own file
  std::string queue;                   // as given
  ChangeAsk ask = ChangeAsk::kRemove;
  std::optional<CredentialKind> kind;              // kSet, kRemove
  StatusFunction function = StatusFunction::kOff;  // kSwitch
  // kSet: the values as given, NUL-terminated, held by the caller's secret
  // storage (never copied but into the edit); null: not typed yet.
  const char* id = nullptr;
  const char* password = nullptr;
};

// The scheduler's one answer: whether it was asked, and the queues it
// knows, by name and lower-case name, as it spells them.
struct QueueAnswer {
  bool asked = false;
  std::unordered_map<std::string, std::string> spelled;
};
// From a list of every queue (scheduler.h list_queues).
QueueAnswer queues_listed(const std::vector<std::string>& names);
// From a check of one queue (scheduler.h find_queue), given as queue.
QueueAnswer queue_checked(const std::string& queue, const QueueLookup& lookup);

struct PlannedRequest {
  ChangeRefusal refused;    // kNone: planned
  std::string filed_under;  // the name its file is filed under ("" when not placed)
  std::string queue;        // as CUPS spells it, or as given when CUPS does not know it
  UnknownQueue unknown = UnknownQueue::kNoSuchQueue;  // the verdict, when CUPS does not know it
  bool known = false;                                 // whether CUPS knows the queue
  bool allowed = false;             // the caller may act for the account (act_for)
  bool placed = false;              // and its file is named
  bool judged = false;              // its queue passed too: what follows may refuse it
  std::optional<std::size_t> file;  // its entry of ChangePlan::files, when planned
};

struct PlannedFile {
  AccountFile file;
  UpdateWhen when = UpdateWhen::kBytesDiffer;
  std::vector<std::size_t> requests;  // the requests it holds, in order
  std::vector<StoreEdit> edits;       // theirs, one each (none for a set not typed yet)
};

struct ChangePlan {
  std::vector<PlannedRequest> requests;
  std::vector<PlannedFile> files;
};

// sections: the caller's own file's, once read (a prompted remove of a
// queue CUPS does not know, judged kReadTheFile without them), else null.
ChangePlan plan_changes(const Caller& caller, const std::vector<ChangeRequest>& requests,
                        const QueueAnswer& queues, const FileSections* sections);

// One kForget request over the status file and credential_files (as the
// store lists them): plan.files holds the status file first, then each of
// them, in that order, with the queue's forget edit; or none, refused
// (kQueueInUse when CUPS knows the queue).
ChangePlan plan_forget(const Caller& caller, const ChangeRequest& request,
                       const QueueAnswer& queues, std::span<const AccountFile> credential_files);

#endif  // VELMORA_CHANGE_PLAN_H_
