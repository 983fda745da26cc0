// SPDX-License-Identifier: Apache-2.0
// Credential entry: the terminal prompts for an ID or user name and a PIN or
// password. The kind of credential decides the prompt, the entry limit and
// whether typed text is stored as it is (job accounting) or converted to
// UTF-8 (text_conversion.h).
//
// Calling sequence (the front end's): GetInputID on the first value buffer
// until it returns kAccepted, then GetInputPSWD on the second likewise; on
// kAskAgain or kUnconvertible the same prompt is repeated, on kEndOfInput or
// kReadError the run ends. Standard input is read a byte at a time with no
// buffer of its own; the line feed ends an entry and is never stored.
//
// Results: an EntryResult; errno is set for kReadError only.
#ifndef VELMORA_CREDENTIAL_ENTRY_H_
#define VELMORA_CREDENTIAL_ENTRY_H_

#include <cstddef>
#include <span>

#include "credential_kind.h"

// Entry limits: the most bytes a prompt leaves in its value buffer.
constexpr int kShortEntryLimit = 7;  // job accounting ID and PIN, secured print password
constexpr int kLongEntryLimit = 32;  // user names, user authentication password

// Size of the caller's value buffers; a prompt writes at most the longer
// limit and a NUL.
constexpr std::size_t kValueBufferSize = 36;
static_assert(kValueBufferSize > kLongEntryLimit);
using ValueBuffer = std::span<char, kValueBufferSize>;

enum class EntryResult {
  kAccepted,       // the value stands in the buffer
  kAskAgain,       // an empty entry where one is required
  kUnconvertible,  // text was typed, but none of the locale's encodings takes it
  kEndOfInput,     // the input ended before a line feed
  kReadError,      // reading failed (errno)
};

// Prints "user name : " (user authentication, secured print) or "id : " (any
// other kind) and reads one line: the first 7 bytes as typed, or the text
// converted to UTF-8 and cut to 32 bytes. An empty value asks again.
EntryResult GetInputID(ValueBuffer buffer, CredentialKind kind);

// Prints "pin : " and reads one line with echo off: 7 bytes as typed (job
// accounting), converted UTF-8 of at most 32 (user authentication) or 7
// (secured print) bytes. An empty value is accepted, except for secured
// print. The terminal is put back as soon as the line is read, and before
// the process dies or stops on a signal; after a stop and continue the entry
// starts anew.
EntryResult GetInputPSWD(ValueBuffer buffer, CredentialKind kind);

#endif  // VELMORA_CREDENTIAL_ENTRY_H_
