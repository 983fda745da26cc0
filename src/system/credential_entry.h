// SPDX-License-Identifier: Apache-2.0
// Credential entry: the terminal prompts for an ID or user name and a PIN or
// password. The kind of credential decides the prompt, the entry limit and
// whether typed text is stored as it is (job accounting) or converted to
// UTF-8 (text_conversion.h). A value is stored exactly as typed or not at
// all: one over its limit is refused, never cut.
//
// ask_credentials asks for the ID or user name until one is accepted, then
// for the PIN or password likewise. An answer that is refused is said why
// (through the caller's reporter, which messages.h provides) and asked for
// again on a terminal; from a pipe or a file, where the next line is the
// next answer, it ends the run instead. Typed blind, the PIN or password is
// asked a second time on a terminal, and when the two differ both are asked
// again (the ID or user name, seen as typed, stands); from a pipe or a file
// each value is one line. Standard input is read a byte at a time with no
// buffer of its own; a line feed, or a carriage return and line feed, ends
// an entry and is never stored, and so does the end of the input after a
// last line that has none.
//
// Results: ask_credentials returns true with both values in their buffers,
// or false when an answer ended the run (said already). Each answer is
// classified by an EntryResult, which the reporter words.
#ifndef VELMORA_CREDENTIAL_ENTRY_H_
#define VELMORA_CREDENTIAL_ENTRY_H_

#include <cstddef>
#include <span>
#include <string_view>

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
  kMismatch,       // on a terminal, the PIN or password typed again was not the same
};

// Judges a value given otherwise than at a prompt (--batch) by the rules an
// answer meets, in its stored form (job accounting: the bytes; the others:
// UTF-8): kAccepted, kAskAgain (empty where a value is required),
// kTooLong, kNulByte, or kLineBreak (a job accounting value holding CR, LF
// or 0xFF).
EntryResult judge_value(CredentialKind kind, bool password, std::string_view value);

// Told of every answer not accepted: the ID or user name, or (password) the
// PIN or password of `kind`; size: the bytes of a value too long; asked_again:
// whether the prompt comes back (an empty value, or a refusal on a terminal)
// or the run ends (kEndOfInput, kReadError with errno, a refusal on a pipe
// or from a file).
using EntryReporter = void (*)(CredentialKind kind, bool password, EntryResult result,
                               std::size_t size, bool asked_again);

// Prints "user name : " (user authentication, secured print) or "id : " (any
// other kind) and reads a line into id: at most 7 bytes as typed, or the
// text converted to UTF-8, at most 32 bytes; an empty value asks again. Then
// prints "pin : " and reads a line with echo off into password: at most 7
// bytes as typed (job accounting), converted UTF-8 of at most 32 (user
// authentication) or 7 (secured print) bytes; an empty value is accepted,
// except for secured print. On a terminal "pin (again) : " then asks for it
// once more in the same way; a second value that is not the same (a refused
// one included) is reported as kMismatch, and both are asked anew. Echo goes
// off on any terminal; the wait for the foreground applies only on the run's
// controlling terminal. The terminal is put back as soon as the line is
// read, and before the process dies or stops on a signal; after a stop and
// continue the entry starts anew.
bool ask_credentials(CredentialKind kind, ValueBuffer id, ValueBuffer password,
                     EntryReporter report);

#endif  // VELMORA_CREDENTIAL_ENTRY_H_
