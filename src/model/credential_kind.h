// SPDX-License-Identifier: Apache-2.0
// The kinds of credential a driver sends with a user's jobs, and the
// functions the status file switches on for a queue. A kind selects the
// prompts, the entry limits and the key lines of the credential file; a
// function, the status value. The option table (command_line.h) gives each
// operation its kind or function; no number is turned into one anywhere
// else. Where every kind is meant, or none, callers say so with an optional
// (nullopt), never with a kind.
//
//   for (CredentialKind kind : kCredentialKinds) ... names_of(kind).word
//
// Results: names_of returns the kind's row of the one table of its names;
// index_of, its place in kCredentialKinds (and in every per-kind array);
// kind_needed, the kind whose credentials a function needs (nullopt: none).
#ifndef VELMORA_CREDENTIAL_KIND_H_
#define VELMORA_CREDENTIAL_KIND_H_

#include <cstddef>
#include <cstdint>
#include <optional>

// Numbered from 1: bit 1 << kind is the kind's in a set of kinds
// (SectionDamage::mend).
enum class CredentialKind : std::uint8_t {
  kJobAccounting = 1,
  kUserAuthentication,
  kSecuredPrint,
};

constexpr CredentialKind kCredentialKinds[] = {CredentialKind::kJobAccounting,
                                               CredentialKind::kUserAuthentication,
                                               CredentialKind::kSecuredPrint};

constexpr std::size_t index_of(CredentialKind kind) { return static_cast<std::size_t>(kind) - 1; }

// Whether the kind's ID is a user name: typed text, converted to UTF-8 and
// stored in Base64, where job accounting keeps the bytes as typed.
constexpr bool has_user_name(CredentialKind kind) {
  return kind == CredentialKind::kUserAuthentication || kind == CredentialKind::kSecuredPrint;
}

// What a kind is called, wherever the tool names it.
struct KindNames {
  const char* word;    // in tables, JSON and --batch records: "job-accounting"
  const char* set;     // the option that sets its credentials: "-p"
  const char* remove;  // the option that removes them: "-x"
};
const KindNames& names_of(CredentialKind kind);

// What the status file switches on for a queue. Secured print is never
// switched: a driver asks for it job by job.
enum class StatusFunction : std::uint8_t {
  kOff,  // neither function
  kJobAccounting,
  kUserAuthentication,
};

constexpr std::optional<CredentialKind> kind_needed(StatusFunction function) {
  switch (function) {
    case StatusFunction::kJobAccounting:
      return CredentialKind::kJobAccounting;
    case StatusFunction::kUserAuthentication:
      return CredentialKind::kUserAuthentication;
    case StatusFunction::kOff:
      break;
  }
  return std::nullopt;
}

#endif  // VELMORA_CREDENTIAL_KIND_H_
