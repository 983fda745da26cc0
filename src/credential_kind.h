// SPDX-License-Identifier: Apache-2.0
// The kinds of credential a driver sends with a user's jobs. It selects the
// prompts, the entry limits, the key lines of the credential file and the
// status value. The functions whose signatures others call take it as a
// number (1, 2, 3, 0); inside, it is this type only.
#ifndef VELMORA_CREDENTIAL_KIND_H_
#define VELMORA_CREDENTIAL_KIND_H_

enum class CredentialKind : int {
  kNone = 0,  // neither function (the status of a printer with both off)
  kJobAccounting = 1,
  kUserAuthentication = 2,
  kSecuredPrint = 3,
};

constexpr CredentialKind kCredentialKinds[] = {
    CredentialKind::kJobAccounting, CredentialKind::kUserAuthentication,
    CredentialKind::kSecuredPrint};

// The kind a number stands for; any number but 1, 2 and 3 is kNone.
constexpr CredentialKind kind_from_number(long number) {
  for (CredentialKind kind : kCredentialKinds) {
    if (number == static_cast<long>(kind)) return kind;
  }
  return CredentialKind::kNone;
}

constexpr int kind_number(CredentialKind kind) { return static_cast<int>(kind); }

// Whether the kind's ID is a user name: typed text, converted to UTF-8 and
// stored in Base64, where job accounting keeps the bytes as typed.
constexpr bool has_user_name(CredentialKind kind) {
  return kind == CredentialKind::kUserAuthentication || kind == CredentialKind::kSecuredPrint;
}

#endif  // VELMORA_CREDENTIAL_KIND_H_
