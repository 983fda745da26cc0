// SPDX-License-Identifier: Apache-2.0
// Credential entry: the terminal prompts for an ID or user name and a PIN or
// password, and the conversion of typed text to UTF-8 of bounded length.
#ifndef VELMORA_CREDENTIAL_ENTRY_H_
#define VELMORA_CREDENTIAL_ENTRY_H_

#include <cstddef>
#include <span>

// Entry limits: the most bytes a prompt leaves in its value buffer.
constexpr int kShortEntryLimit = 7;  // job accounting ID and PIN, secured print password
constexpr int kLongEntryLimit = 32;  // user names, user authentication password

// Size of the caller's value buffers; a prompt writes at most the longer
// limit and a NUL.
constexpr std::size_t kValueBufferSize = 36;
static_assert(kValueBufferSize > kLongEntryLimit);
using ValueBuffer = std::span<char, kValueBufferSize>;

// Result of a prompt that met the end of input, or a read error, before the
// line feed. errno is 0 for the end of input, else the read error.
constexpr int kEntryEnded = -1;

// Prints "id : " (kinds other than 2 and 3) or "user name : " and reads one
// line from standard input into buffer: the first 7 bytes unconverted, or, for
// kinds 2 and 3, the text converted to UTF-8 and cut to 32 bytes. Returns the
// line's byte count (kind 1) or the converted length; 0 means ask again, with
// errno EILSEQ when text was typed but none of the locale's encodings
// converts it (else errno 0).
int GetInputID(ValueBuffer buffer, unsigned kind);

// Prints "pin : " and reads one line with echo off: 7 bytes unconverted for
// kind 1, converted UTF-8 of at most 32 (kind 2) or 7 (kind 3) bytes. An empty
// value is accepted (result 1) except for kind 3 (result 0: ask again); typed
// text that does not convert gives 0 with errno EILSEQ, as for GetInputID. The
// terminal is restored as soon as the line is read, and before the process
// dies or stops on a signal.
int GetInputPSWD(ValueBuffer buffer, unsigned kind);

// Converts text to UTF-8 by the candidate encodings of the locale and cuts it
// to at most bound bytes on a character boundary. out needs bound + 1 bytes.
// Returns the length left in out; 0 when empty or nothing could be converted.
int convertInputString(const char* text, int bound, char* out);

// Tries the locale's candidate encodings in order; true at the first that
// converts text into out. out is emptied when none does.
bool wrap_convert_encoding_utf8(const char* text, char* out, int bound);

// One iconv conversion of text from `from` into `to`, writing at most bound
// bytes plus a NUL to out. Running out of room counts as success with the part
// that fit; an invalid or incomplete sequence fails.
bool convert_encoding(const char* from, const char* to, const char* text, char* out, int bound);

// Language code from LC_CTYPE, else LANG: 1 ja, 2 en, 3 en_US, 4 fr, 5 it,
// 6 de, 7 es, 8 zh_CN, 9 zh_TW, 10 ko, 0 anything else.
int GetLang();

// Cuts UTF-8 text in place to at most bound bytes without splitting a
// character; returns the new length.
int CheckEnter(char* text, int bound);

#endif  // VELMORA_CREDENTIAL_ENTRY_H_
