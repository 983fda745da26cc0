// SPDX-License-Identifier: Apache-2.0
// One record of a --batch run: a line of JSON on standard input, read
// straight into storage that wipes itself (json_fields.h: the values are
// secrets), and judged by the rules a typed answer meets.
//
//   {"user": "alice", "queue": "office", "kind": "job-accounting",
//    "id": "1234567", "password": "0042"}
//   {"queue": "office", "kind": "secured-print", "state": "absent"}
//
// "user" is optional (the caller's own file), "state" is "present" (the
// default) or "absent"; "id" and "password" are required when present and
// not allowed when absent; any other field is refused, so that a typo
// ("pasword") is never taken for an empty value.
//
// Results: parse_record returns true with the record filled in, or false
// with record->refused saying why (messages.h words it) (the fields it could read still filled).
#ifndef VELMORA_BATCH_RECORD_H_
#define VELMORA_BATCH_RECORD_H_

#include <optional>
#include <string>
#include <string_view>

#include "change_refusal.h"
#include "credential_kind.h"
#include "secret.h"

struct BatchRecord {
  int line = 0;                     // on standard input, from 1
  std::optional<std::string> user;  // as given
  std::optional<std::string> queue;
  std::optional<CredentialKind> kind;
  bool present = true;  // "state": "present", else "absent"
  SecretText id;        // as given (UTF-8)
  SecretText password;
  ChangeRefusal refused;  // why it cannot be done (kNone: it can)
};

// Reads one line (without its line feed) into *record.
bool parse_record(std::string_view line, BatchRecord* record);

#endif  // VELMORA_BATCH_RECORD_H_
