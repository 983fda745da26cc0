// SPDX-License-Identifier: Apache-2.0
#include "forget.h"

#include <fcntl.h>
#include <sys/stat.h>

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
    // A local account's file must be that account's; a print name's is
    // whoever made it, and stays theirs.
    std::optional<uid_t> owner = owner_of_credentials(name.substr(0, name.size() - 5));
    struct stat st {};
    if (!owner && fstatat(dir->fd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
      owner = st.st_uid;
    tally(name, forget_queue_in(name, owner.value_or(0), queue, &error));
  }
  report_forgotten(queue, changed, refused);
  return refused.empty() ? 0 : 1;
}
