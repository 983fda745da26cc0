// SPDX-License-Identifier: Apache-2.0
// The store's updates as the tool makes them, without a scheduler or a
// prompt, for fault injection: each run is the store's calls on the account
// directory and nothing else, so that every one of them can be failed or
// killed quickly. Runs as root, in the account directory the environment
// names (VELMORA_TEST_ACCOUNT_DIR).
//
//   store_harness STEP...
//     FILE:QUEUE:KIND:ID:PASSWORD   set KIND (job, user, secure) in FILE
//     FILE:QUEUE:KIND               remove it
//     status:QUEUE:FUNCTION         switch the queue's function (off, job, user)
//     forget:QUEUE                  the queue out of every file
//
// FILE is USER.conf, that user's; consecutive steps on one file are one
// update, as --batch makes them. Says what the tool says (a leftover taken
// over, a refusal) and exits 0 when every update was made, else 1.
#include <errno.h>
#include <pwd.h>

#include <cstdio>
#include <optional>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "account_store.h"
#include "credential_file.h"
#include "file_change.h"
#include "forget.h"
#include "messages.h"
#include "status_file.h"
#include "store_support.h"

namespace {

std::vector<std::string> fields_of(const std::string& step) {
  std::vector<std::string> fields;
  std::istringstream in(step);
  for (std::string field; std::getline(in, field, ':');) fields.push_back(field);
  return fields;
}

std::optional<CredentialKind> kind_of(const std::string& word) {
  if (word == "job") return CredentialKind::kJobAccounting;
  if (word == "user") return CredentialKind::kUserAuthentication;
  if (word == "secure") return CredentialKind::kSecuredPrint;
  return std::nullopt;
}

std::optional<StatusFunction> function_of(const std::string& word) {
  if (word == "off") return StatusFunction::kOff;
  if (word == "job") return StatusFunction::kJobAccounting;
  if (word == "user") return StatusFunction::kUserAuthentication;
  if (word == "secure") return StatusFunction::kOff;  // never switched on
  return std::nullopt;
}

struct Harness {
  const Caller& caller;
  const AccountStore& store;
  int status = 0;

  void update(const AccountFile& file, std::vector<StoreEdit> edits, UpdateWhen when,
              const std::string& queue) {
    FileChange change = change_file(store, file, std::move(edits), when, Commit::kWrite);
    report_recovered(change.recovered);
    if (!change.done) refused(queue, change.done.error());
  }

  void refused(const std::string& queue, const StoreError& error) {
    report_store_error(caller, queue, error);
    status = 1;
  }

  // One file's steps, each fields_of a step: FILE:QUEUE:KIND[:ID:PASSWORD].
  void credentials(const std::vector<std::vector<std::string>>& steps) {
    const std::string& name = steps.front()[0];
    const passwd* owner = getpwnam(name.substr(0, name.size() - 5).c_str());
    const AccountFile file{name, FileKind::kCredentials, owner != nullptr ? owner->pw_uid : 0};
    std::vector<StoreEdit> edits;
    StoreError error;
    for (std::size_t i = 0; i < steps.size(); ++i) {
      const std::vector<std::string>& s = steps[i];
      const bool set = s.size() == 5;
      CredentialChange change;
      const bool made = make_change(
          s[1].c_str(), *kind_of(s[2]), set ? CredentialEdit::kSet : CredentialEdit::kRemove,
          set ? s[3].c_str() : nullptr, set ? s[4].c_str() : nullptr, &change, error);
      if (!made) {
        report_store_error(caller, s[1], error);
        status = 1;
        return;
      }
      edits.push_back({std::move(change)});
    }
    update(file, std::move(edits), UpdateWhen::kBytesDiffer, steps.front()[1]);
  }

  void forget(const std::string& queue) {
    ChangeRequest request;
    request.queue = queue;
    request.ask = ChangeAsk::kForget;
    // CUPS was asked, and has no such queue.
    const QueueAnswer answer{.asked = true, .spelled = {}};
    if (!forget_in_every_file(caller, store, request, answer, Commit::kWrite).refused.empty()) {
      status = 1;
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  // Speaks as the tool, whose words the script checks.
  program_invocation_short_name = const_cast<char*>("velmora-account");
  const Caller caller = caller_filing_under(nullptr);  // root
  StoreResult<AccountStore> store = AccountStore::open(caller);
  if (!store) {
    report_store_error(caller, "", store.error());
    return 1;
  }
  Harness harness{caller, *store};
  std::vector<std::vector<std::string>> file_steps;
  for (int i = 1; i <= argc; ++i) {
    const std::vector<std::string> step =
        i < argc ? fields_of(argv[i]) : std::vector<std::string>{};
    if (!file_steps.empty() && (step.empty() || step[0] != file_steps.front()[0])) {
      harness.credentials(file_steps);
      file_steps.clear();
    }
    if (step.empty()) continue;
    if (step[0] == "status" && step.size() == 3 && function_of(step[2])) {
      const std::string queue = step[1];
      const StatusFunction function = *function_of(step[2]);
      std::vector<StoreEdit> edits;
      edits.push_back({StatusSwitch{queue, function}});
      harness.update(store->status_file(), std::move(edits), UpdateWhen::kBytesDiffer, queue);
    } else if (step[0] == "forget" && step.size() == 2) {
      harness.forget(step[1]);
    } else if (step[0].ends_with(".conf") && (step.size() == 3 || step.size() == 5) &&
               kind_of(step[2])) {
      file_steps.push_back(step);
    } else {
      std::fprintf(stderr, "store_harness: cannot read the step '%s'\n", argv[i]);
      return 2;
    }
  }
  return harness.status;
}
