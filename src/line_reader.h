// SPDX-License-Identifier: Apache-2.0
// Reading the account files line by line: the chunked read loop and the
// rules that cut its chunks into lines.
//
// Line format (what drivers and older files rely on): LF, CR and 0xFF end a
// line; CR LF, LF CR, LF LF and CR CR end one line, so a blank line directly
// after a line break vanishes; 0xFF always takes the byte after it; two line
// breaks that a chunk boundary separates are not joined; a line's text ends
// at its first zero byte; a last line without a line break is still a line.
//
// Results: read_lines returns true when every line was handled, else false
// with *error filled in (by the handler, when it stopped the pass).
#ifndef VELMORA_LINE_READER_H_
#define VELMORA_LINE_READER_H_

#include <functional>
#include <string>

#include "secret.h"
#include "store_error.h"

// Chunks are read 512 bytes at a time into a 513-byte buffer whose last byte
// stays 0. Deliberate: a chunk is always scanned as 512 bytes, also after a
// short read (its zero bytes end no line and add no text).
constexpr int kChunkLength = 512;

// Called with each complete line, without its ending and free of zero bytes.
// The handler may change it (append a line feed, say); it is wiped and reused
// for the next line. False stops the pass (the handler says why in the
// error).
using LineHandler = std::function<bool(SecretText& line)>;

// Reads fd, the file at path, from its current offset to its end and hands
// every line to handle. Interrupted reads are repeated.
bool read_lines(int fd, const std::string& path, const LineHandler& handle, StoreError* error);

#endif  // VELMORA_LINE_READER_H_
