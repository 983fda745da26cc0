// SPDX-License-Identifier: Apache-2.0
// The account store: the two updates (a user's credential file, the
// machine's status file). Every update writes a complete replacement file
// beside the old one and renames it into place; a failed update leaves the old
// file as it was.
#ifndef VELMORA_ACCOUNT_STORE_H_
#define VELMORA_ACCOUNT_STORE_H_

#include "credential_kind.h"
#include "store_error.h"

// Both updates check the account directory, create the replacement file
// (exactly mode 0600 for a credential file, 0644 for the status file,
// whatever the umask), adopt the old file only if account_directory.h trusts
// it, and rename the replacement file into place (replacement_file.h).

// Sets (remove == 0) or removes the id and password of credential `kind`
// (1 job accounting, 2 user authentication, 3 secured print) for printer in
// the owner's credential file (null owner: root). Returns 0 when the new file
// is in place, 1 when the update did not take place, with errno and *error
// (when given) saying why.
int save_account_conf(const char* printer, const char* owner, const char* id,
                      const char* password, int remove, int kind, StoreError* error = nullptr);

// Records in the status file that job accounting (kind 1), user authentication
// (kind 2) or neither (any other kind) is on for printer. Results as above.
int save_account_status(const char* printer, int kind, StoreError* error = nullptr);

#endif  // VELMORA_ACCOUNT_STORE_H_
