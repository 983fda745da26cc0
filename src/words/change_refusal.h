// SPDX-License-Identifier: Apache-2.0
// Why a requested change is refused, as a value: what the planner found of
// its account, its queue or its file (or, for a --batch record, its
// reading), with what the answer names (a field, another record's line, a
// store error). batch_refusal_text (messages.h) words it for --batch; the
// other commands say their own sentence for each (messages.h). Nothing
// else words one.
//
// Results: none; a ChangeRefusal is plain data, kNone when the request
// stands.
#ifndef VELMORA_CHANGE_REFUSAL_H_
#define VELMORA_CHANGE_REFUSAL_H_

#include <memory>
#include <string>
#include <utility>

#include "credential_entry.h"
#include "credential_kind.h"
#include "store_error.h"

enum class ChangeRefusalWhy {
  kNone,
  // The record as read.
  kLineTooLong,          // longer than any record could be
  kNotJson,              // not valid JSON (UTF-8 included)
  kNotObject,            // valid JSON, but not an object
  kGivenTwice,           // field given twice
  kNotString,            // field's value is not a string
  kHoldsNul,             // field's value holds a NUL character
  kNoSuchKind,           // "kind" names no kind
  kNoSuchField,          // field is none of the record's
  kNoQueue,              // no "queue", or an empty one
  kNoKind,               // no "kind"
  kBadState,             // "state" is neither "present" nor "absent"
  kAbsentTakesNoValues,  // an absent credential with "id" or "password"
  kPresentNeedsValues,   // a present credential without both
  kValue,                // a value a typed answer could not be: kind, password, entry
  // Its account (caller.h's act_for).
  kNotRoot,
  kNoSuchAccount,
  kLookupFailed,  // error
  // Its queue (unknown_queue.h).
  kSchedulerNotAsked,
  kNoSuchQueue,
  kQueueInUse,  // a forget of a queue CUPS still has
  kNoSection,
  kTooManySections,
  // Its file.
  kAmbiguous,  // the record on line is for the same user, queue and kind
  kHeldBack,   // the record on line, for the same file, was refused
  kStore,      // store, about queue ("" for the file as a whole)
};

struct ChangeRefusal {
  ChangeRefusalWhy why = ChangeRefusalWhy::kNone;
  std::string field{};    // the field's name, as given (kGivenTwice ... kNoSuchField)
  int line = 0;           // another record's (kAmbiguous, kHeldBack)
  int error = 0;          // errno (kLookupFailed)
  CredentialKind kind{};  // kValue: the kind, whether the password, and what is wrong
  bool password = false;
  EntryResult entry = EntryResult::kAccepted;
  // kStore (out of line: a batch keeps a refusal for each of its 100,000
  // records).
  std::shared_ptr<const StoreError> store{};
  std::string queue{};
};

// What the store (or its rules) said of a record, about queue ("" for the
// file as a whole).
inline ChangeRefusal store_refusal(StoreError error, std::string queue = {}) {
  return {.why = ChangeRefusalWhy::kStore,
          .store = std::make_shared<const StoreError>(std::move(error)),
          .queue = std::move(queue)};
}

#endif  // VELMORA_CHANGE_REFUSAL_H_
