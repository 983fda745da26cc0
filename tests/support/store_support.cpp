// SPDX-License-Identifier: Apache-2.0
#include "store_support.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <utility>

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

// One update of a file by one edit, as the tool makes it.
StoreRun update(const AccountStore& store, const AccountFile& file, StoreEdit edit,
                UpdateWhen when) {
  StoreResult<AccountUpdate> update = store.begin(file, when);
  if (!update) return {false, false, update.error()};
  StoreResult<EditResult> made = update->apply(std::move(edit));
  if (!made) return {false, false, made.error()};
  StoreResult<Committed> done = update->commit(Commit::kWrite);
  if (!done) return {false, false, done.error()};
  return {true, done->written, {}};
}

StoreRun change_credentials(const char* user, const char* queue, std::optional<CredentialKind> kind,
                            CredentialEdit edit, const char* id, const char* password) {
  const Caller caller = caller_filing_under(user);
  StoreResult<AccountStore> store = AccountStore::open(caller);
  if (!store) return {false, false, store.error()};
  StoreResult<AccountFile> file = store->own_file();
  if (!file) return {false, false, file.error()};
  CredentialChange change;
  StoreError error;
  if (!make_change(queue, kind, edit, id, password, &change, error)) return {false, false, error};
  return update(
      *store, *file, {std::move(change)},
      edit == CredentialEdit::kForget ? UpdateWhen::kEditChanged : UpdateWhen::kBytesDiffer);
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
  const Caller caller = caller_filing_under(nullptr);
  StoreResult<AccountStore> store = AccountStore::open(caller);
  if (!store) return {false, false, store.error()};
  return update(*store, store->status_file(), {StatusSwitch{queue, function}},
                UpdateWhen::kBytesDiffer);
}

bool edit_credentials(std::string* text, const char* queue, std::optional<CredentialKind> kind,
                      const char* id, const char* password, StoreStep* step) {
  AccountText model = AccountText::parse(*text, FileKind::kCredentials);
  CredentialChange change;
  StoreError error;
  const bool done = make_change(queue, kind,
                                !kind                 ? CredentialEdit::kForget
                                : password != nullptr ? CredentialEdit::kSet
                                                      : CredentialEdit::kRemove,
                                id, password, &change, error) &&
                    apply_change(model, change, error);
  if (step != nullptr) *step = error.step;
  if (done) *text = std::string(model.bytes().view());
  // The model keeps count of its content's size through every edit.
  if (done && model.content_size() != text->size()) abort();
  return done;
}
