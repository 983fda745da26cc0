// SPDX-License-Identifier: Apache-2.0
// The credential file of one user (root.conf for root): a section per
// printer between the tag lines "<PRINTER>" and "</PRINTER>", holding the key
// lines of each kind of credential. Drivers read it; its bytes are kept
// exactly: tag and key lines as below, one LF per line, lines the tool does
// not own carried over as they are (line endings become LF).
//
//   <office>
//   id=1234567              job accounting ID and PIN, as typed
//   password=0042
//   u_id=YWxpY2U=           user authentication, Base64 of UTF-8
//   u_password=c2VjcmV0
//   s_id=...                secured print, Base64 of UTF-8
//   s_password=...
//   </office>
//
// Results: save_account_conf returns an UpdateOutcome (store_error.h).
#ifndef VELMORA_CREDENTIAL_FILE_H_
#define VELMORA_CREDENTIAL_FILE_H_

#include <string_view>

#include "credential_kind.h"
#include "store_error.h"

// The two key prefixes of a kind. Deliberate: what drivers read; none
// begins another.
struct KindKeys {
  const char* id;        // prefix of the ID or user name line
  const char* password;  // prefix of the PIN or password line
};
const KindKeys& keys_of(CredentialKind kind);  // kNone: job accounting's

// Whether line is a key line of that kind.
bool is_key_of(std::string_view line, const KindKeys& keys);

// Sets (remove false) or removes the id and password of `kind` for printer in
// the owner's credential file (null owner: root). id and password are as
// typed (job accounting) or converted text (the others, stored in Base64);
// a remove takes neither. A set leaves both key lines of the kind in the
// printer's section: rewritten where they stand, the missing one put before
// the closing tag, or a new section appended. A remove drops the kind's key
// lines from it, and its tags too when no key of another kind stays.
UpdateOutcome save_account_conf(const char* printer, const char* owner, const char* id,
                                const char* password, bool remove, CredentialKind kind,
                                StoreError* error = nullptr);

#endif  // VELMORA_CREDENTIAL_FILE_H_
