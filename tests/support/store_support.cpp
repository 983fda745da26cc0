// SPDX-License-Identifier: Apache-2.0
#include "store_support.h"

#include <pwd.h>
#include <unistd.h>

#include <optional>

#include "status_file.h"

Caller caller_filing_under(const char* user) {
  Caller caller;
  caller.uid = getuid();
  caller.owner = getuid();
  const passwd* entry = getpwuid(caller.uid);
  caller.login = entry != nullptr ? entry->pw_name : std::to_string(caller.uid);
  caller.user = user;
  return caller;
}

namespace {

StoreRun run(const char* user, const std::function<bool(const AccountStore&, StoreRun&)>& work) {
  StoreRun result;
  const Caller caller = caller_filing_under(user);
  std::optional<AccountStore> store;
  result.done = AccountStore::open(caller, &store, result.error) && work(*store, result);
  return result;
}

StoreRun change_credentials(const char* user, const char* queue, std::optional<CredentialKind> kind,
                            CredentialEdit edit, const char* id, const char* password) {
  return run(user, [&](const AccountStore& store, StoreRun& result) {
    AccountFile file;
    CredentialChange change;
    return store.own_file(&file, result.error) &&
           make_change(queue, kind, edit, id, password, &change, result.error) &&
           store.update(
               file,
               [&](AccountText& text, StoreError& error) {
                 return apply_change(text, change, error);
               },
               edit == CredentialEdit::kForget ? UpdateWhen::kEditChanged
                                               : UpdateWhen::kBytesDiffer,
               &result.written, result.error);
  });
}

}  // namespace

StoreRun store_credentials(const char* user, const char* queue, std::optional<CredentialKind> kind,
                           const char* id, const char* password) {
  return change_credentials(user, queue, kind,
                            password != nullptr ? CredentialEdit::kSet : CredentialEdit::kRemove,
                            id, password);
}

StoreRun store_forget(const char* user, const char* queue) {
  return change_credentials(user, queue, std::nullopt, CredentialEdit::kForget, nullptr, nullptr);
}

StoreRun store_status(const char* queue, StatusFunction function) {
  return run(nullptr, [&](const AccountStore& store, StoreRun& result) {
    return store.update(
        store.status_file(),
        [&](AccountText& text, StoreError& error) {
          return switch_queue(text, queue, function, error);
        },
        UpdateWhen::kBytesDiffer, &result.written, result.error);
  });
}

bool edit_credentials(std::string* text, const char* queue, CredentialKind kind, const char* id,
                      const char* password, StoreStep* step) {
  AccountText model = AccountText::parse(*text, FileKind::kCredentials);
  CredentialChange change;
  StoreError error;
  const bool done =
      make_change(queue, kind, password != nullptr ? CredentialEdit::kSet : CredentialEdit::kRemove,
                  id, password, &change, error) &&
      apply_change(model, change, error);
  if (step != nullptr) *step = error.step;
  if (done) *text = std::string(model.bytes().view());
  return done;
}
