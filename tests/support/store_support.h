// SPDX-License-Identifier: Apache-2.0
// Updates through the store as the tool makes them, for the store's tests:
// the test process is the caller, filing under `user`.
#ifndef VELMORA_STORE_SUPPORT_H_
#define VELMORA_STORE_SUPPORT_H_

#include <string>

#include "account_store.h"
#include "credential_file.h"

// The caller as the test process is now, filing under user (null: root).
Caller caller_filing_under(const char* user);

struct StoreRun {
  bool done = false;
  bool written = false;
  StoreError error;
};

// Sets (password given) or removes the kind's credentials in user's file
// (null: root's).
StoreRun store_credentials(const char* user, const char* queue, std::optional<CredentialKind> kind,
                           const char* id = nullptr, const char* password = nullptr);
// Switches the queue's function in the status file.
StoreRun store_status(const char* queue, StatusFunction function);
// Forgets the queue in user's file.
StoreRun store_forget(const char* user, const char* queue);

// One edit of a credential file's text in memory (no kind: root's forget):
// the new text, or the step that refused it (*text then unchanged).
bool edit_credentials(std::string* text, const char* queue, std::optional<CredentialKind> kind,
                      const char* id, const char* password, StoreStep* step = nullptr);

#endif  // VELMORA_STORE_SUPPORT_H_
