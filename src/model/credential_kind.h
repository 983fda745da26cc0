// SPDX-License-Identifier: Apache-2.0
// The kinds of credential a driver sends with a user's jobs. It selects the
// prompts, the entry limits, the key lines of the credential file and the
// status value. The option table (command_line.h) gives each operation its
// kind; no number is turned into one anywhere else.
#ifndef VELMORA_CREDENTIAL_KIND_H_
#define VELMORA_CREDENTIAL_KIND_H_

enum class CredentialKind {
  kNone,  // neither function (the status of a queue with both off)
  kJobAccounting,
  kUserAuthentication,
  kSecuredPrint,
};

constexpr CredentialKind kCredentialKinds[] = {CredentialKind::kJobAccounting,
                                               CredentialKind::kUserAuthentication,
                                               CredentialKind::kSecuredPrint};

// Whether the kind's ID is a user name: typed text, converted to UTF-8 and
// stored in Base64, where job accounting keeps the bytes as typed.
constexpr bool has_user_name(CredentialKind kind) {
  return kind == CredentialKind::kUserAuthentication || kind == CredentialKind::kSecuredPrint;
}

#endif  // VELMORA_CREDENTIAL_KIND_H_
