// SPDX-License-Identifier: Apache-2.0
// Credential entry: the terminal prompts for an ID or user name and a PIN or
// password. The kind of credential decides the prompt, the entry limit and
// whether typed text is stored as it is (job accounting) or converted to
// UTF-8 (text_conversion.h). A value is stored exactly as typed or not at
// all: one over its limit is refused, never cut.
//
// Calling sequence (the front end's): GetInputID on the first value buffer
// until it returns kAccepted, then GetInputPSWD on the second likewise; on
// kAskAgain, kUnconvertible, kTooLong, kNulByte or kLineBreak the same
// prompt is repeated, on kEndOfInput or kReadError the run ends. Standard
// input is read a byte at a time with no buffer of its own; a line feed, or
// a carriage return and line feed, ends an entry and is never stored, and so
// does the end of the input after a last line that has none.
//
// Results: an EntryResult; errno is set for kReadError only.
#ifndef VELMORA_CREDENTIAL_ENTRY_H_
#define VELMORA_CREDENTIAL_ENTRY_H_

#include <cstddef>
#include <span>

#include "credential_kind.h"

// Entry limits: the most bytes a value may have.
constexpr int kShortEntryLimit = 7;  // job accounting ID and PIN, secured print password
constexpr int kLongEntryLimit = 32;  // user names, user authentication password

// Size of the caller's value buffers; a prompt writes at most the longer
// limit and a NUL.
constexpr std::size_t kValueBufferSize = 36;
static_assert(kValueBufferSize > kLongEntryLimit);
using ValueBuffer = std::span<char, kValueBufferSize>;

// The limit of the ID or user name, or (password) of the PIN or password.
// Deliberate: the secured print password is limited like a PIN.
constexpr int entry_limit(CredentialKind kind, bool password) {
  if (!has_user_name(kind)) return kShortEntryLimit;
  return password && kind == CredentialKind::kSecuredPrint ? kShortEntryLimit : kLongEntryLimit;
}

enum class EntryResult {
  kAccepted,       // the value stands in the buffer
  kAskAgain,       // an empty entry where one is required
  kUnconvertible,  // text was typed, but none of the locale's encodings takes it
  kTooLong,        // more bytes than the entry limit (after conversion)
  kNulByte,        // the line holds a NUL byte
  kLineBreak,      // a job accounting value holds CR or 0xFF, which end a line in the file
  kEndOfInput,     // the input ended before a line feed
  kReadError,      // reading failed (errno)
};

// Prints "user name : " (user authentication, secured print) or "id : " (any
// other kind) and reads one line: at most 7 bytes as typed, or the text
// converted to UTF-8, at most 32 bytes. An empty value asks again.
EntryResult GetInputID(ValueBuffer buffer, CredentialKind kind);

// Prints "pin : " and reads one line with echo off: at most 7 bytes as typed
// (job accounting), converted UTF-8 of at most 32 (user authentication) or 7
// (secured print) bytes. An empty value is accepted, except for secured
// print. The terminal is put back as soon as the line is read, and before
// the process dies or stops on a signal; after a stop and continue the entry
// starts anew.
EntryResult GetInputPSWD(ValueBuffer buffer, CredentialKind kind);

#endif  // VELMORA_CREDENTIAL_ENTRY_H_
