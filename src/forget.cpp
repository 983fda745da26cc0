// SPDX-License-Identifier: Apache-2.0
#include "forget.h"

#include <optional>
#include <string>
#include <vector>

#include "account_directory.h"
#include "credential_file.h"
#include "messages.h"
#include "status_file.h"

int forget_queue(const char* queue) {
  StoreError error;
  std::optional<AccountDirectory> dir = AccountDirectory::open(&error);
  if (!dir) {
    report_store_error(queue, error);
    return 1;
  }
  std::vector<std::string> changed;
  std::vector<std::string> refused;
  auto tally = [&](const std::string& name, UpdateOutcome outcome) {
    report_recovered(error);
    if (outcome == UpdateOutcome::kDone) changed.push_back(name);
    if (outcome != UpdateOutcome::kRefused) return;
    report_store_error(queue, error);
    refused.push_back(name);
  };
  tally(kStatusName, remove_status(queue, &error));
  std::optional<std::vector<std::string>> files = list_credential_files(*dir, &error);
  if (!files) {
    report_store_error(queue, error);
    refused.push_back("USER.conf");
    files.emplace();
  }
  for (const std::string& name : *files) {
    // Each file stays whose it is (a print name's, whoever made it).
    tally(name, forget_queue_in(name, owner_of_credential_file(*dir, name), queue, &error));
  }
  report_forgotten(queue, changed, refused);
  return refused.empty() ? 0 : 1;
}
