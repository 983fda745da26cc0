// SPDX-License-Identifier: Apache-2.0
// Lines of the account files: the chunked read loop that cuts an old file
// into lines, the tag test, and the bounded formatting of the lines the
// store writes itself.
//
// Line format (what drivers and older files rely on): LF, CR and 0xFF end a
// line; CR LF, LF CR, LF LF and CR CR end one line, so a blank line directly
// after a line break vanishes; 0xFF always takes the byte after it; a line's
// text ends at its first zero byte. Every line written ends in one LF.
//
// Results: get_line_from_buffer returns the bytes it consumed, or one of the
// two sentinels below; read_account_lines returns a ReadStatus (errno set for
// kReadError and kNoMemory), which finish_pass turns into the store's bool
// and StoreError; check_printer_name returns a TagMatch; the format helpers
// return false when the text would not fit the line bound whole.
#ifndef VELMORA_LINE_READER_H_
#define VELMORA_LINE_READER_H_

#include <cstdarg>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "secret.h"
#include "store_error.h"

// Chunks are read 512 bytes at a time into a 513-byte buffer whose last byte
// stays 0. Deliberate: a chunk is always scanned as 512 bytes, also after a
// short read (its zero bytes end no line and add no text).
constexpr int kChunkLength = 512;

// Lines the store formats itself (tags, key lines, status lines) hold at most
// this many bytes, line feed included; one that would be longer is refused.
constexpr int kMaxFormattedLine = 510;

// A formatted line: the bound, its NUL, and room to spare. Wiped when done.
using LineBuffer = SecretArray<kMaxFormattedLine + 3>;

// get_line_from_buffer's results besides a count of bytes.
constexpr int kLineContinues = -1;  // the chunk ran out first: the text waits in `pending`
constexpr int kLineNoMemory = -2;   // memory ran out: `pending` unchanged

// Cuts the next line out of chunk[start, length). The line's text (up to its
// first zero byte) is appended to `pending`. Returns the bytes consumed (the
// text plus one or two ending bytes) when a complete line now stands in
// `pending`, else kLineContinues or kLineNoMemory. chunk must hold
// length + 1 readable bytes.
int get_line_from_buffer(SecretText& pending, const char* chunk, int start, int length);

// How a pass over an old file ended.
enum class ReadStatus {
  kEnd,        // every line was handled
  kReadError,  // read failed (errno set)
  kNoMemory,   // a line could not be held (errno ENOMEM)
  kStopped,    // the handler returned false
};

// Called with each complete line, without its ending and free of zero bytes.
// The handler may change it (append a line feed, say); it is wiped and reused
// for the next line. False stops the pass.
using LineHandler = std::function<bool(SecretText& line)>;

// Reads fd from its current offset to its end and hands every line to handle.
// A last line without an ending is handled like any other, unless its text is
// empty. Interrupted reads are repeated.
ReadStatus read_account_lines(int fd, const LineHandler& handle);

// Turns the end of a pass over `path` into the store's convention: true at
// kEnd; otherwise false, with *error filled in (kStopped: the handler did).
bool finish_pass(ReadStatus status, const std::string& path, StoreError* error);

// Whether line is a tag of printer. The values are the comparison's result.
enum class TagMatch { kMatch = 0, kNoMatch = 1 };

// kMatch when line equals format applied to printer (a tag such as "<%s>"),
// byte for byte; kNoMatch otherwise, also for null arguments and for a tag
// too long to format whole.
TagMatch check_printer_name(const char* printer, const char* line, const char* format);

// Whether two queue names differ at most in letter case, as CUPS compares
// them (ASCII only).
bool same_but_case(std::string_view a, std::string_view b);

// Whether c ends a line.
constexpr bool is_line_break(unsigned char c) { return c == '\n' || c == '\r' || c == 0xFF; }

// Whether text can stand inside one line: not null, and no line break in it
// that the next read would split the line at.
bool fits_on_one_line(const char* text);

// Formats into out within the line bound; false when the text would be cut.
__attribute__((format(printf, 2, 0))) bool vformat_line(LineBuffer& out, const char* format,
                                                        va_list args);
__attribute__((format(printf, 2, 3))) bool format_line(LineBuffer& out, const char* format, ...);

#endif  // VELMORA_LINE_READER_H_
