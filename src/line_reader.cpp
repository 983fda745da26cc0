// SPDX-License-Identifier: Apache-2.0
#include "line_reader.h"

#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

namespace {

constexpr int kFormatBound = kMaxFormattedLine + 1;  // the line and its NUL

// Appends the bytes of a line's text, which ends at its first zero byte.
void append_text(SecretText& pending, const char* bytes, std::size_t n) {
  pending.append(bytes, strnlen(bytes, n));
}

}  // namespace

int get_line_from_buffer(SecretText& pending, const char* chunk, int start, int length) {
  try {
    const auto* bytes = reinterpret_cast<const unsigned char*>(chunk);
    for (int at = start; at < length; ++at) {
      unsigned char c = bytes[at];
      if (!is_line_break(c)) continue;
      int i = at - start;
      append_text(pending, chunk + start, static_cast<std::size_t>(i));
      // Deliberate (the files' line format): CR LF, LF CR, LF LF and CR CR
      // end one line, so a blank line after a line break vanishes; 0xFF
      // always takes the byte after it. The byte after the chunk's last is
      // its trailing 0.
      unsigned char next = bytes[at + 1];
      bool pair = c == 0xFF || next == '\n' || next == '\r';
      return i + (pair ? 2 : 1);
    }
    if (start < length) append_text(pending, chunk + start, static_cast<std::size_t>(length - start));
    return kLineContinues;
  } catch (const std::bad_alloc&) {
    return kLineNoMemory;
  }
}

ReadStatus read_account_lines(int fd, const LineHandler& handle) {
  SecretArray<kChunkLength + 1> chunk;
  SecretText pending;
  for (;;) {
    ssize_t got = ::read(fd, chunk.data(), kChunkLength);
    if (got < 0) {
      if (errno == EINTR) continue;
      return ReadStatus::kReadError;
    }
    if (got == 0) break;
    int offset = 0;
    while (offset < got) {
      int used = get_line_from_buffer(pending, chunk.data(), offset, kChunkLength);
      if (used == kLineContinues) break;
      if (used == kLineNoMemory) {
        errno = ENOMEM;
        return ReadStatus::kNoMemory;
      }
      if (!handle(pending)) return ReadStatus::kStopped;
      pending.clear();
      offset += used;
    }
    chunk.zero();
  }
  // A last line without a line break is still a line.
  if (!pending.empty() && !handle(pending)) return ReadStatus::kStopped;
  return ReadStatus::kEnd;
}

bool finish_pass(ReadStatus status, const std::string& path, StoreError* error) {
  switch (status) {
    case ReadStatus::kEnd:
      return true;
    case ReadStatus::kReadError:
      return fail(error, StoreStep::kRead, path, errno);
    case ReadStatus::kNoMemory:
      return fail(error, StoreStep::kMemory, path, ENOMEM);
    case ReadStatus::kStopped:
      break;  // the handler recorded why
  }
  return false;
}

TagMatch check_printer_name(const char* printer, const char* line, const char* format) {
  if (printer == nullptr || line == nullptr || format == nullptr) return TagMatch::kNoMatch;
  SecretArray<kFormatBound + 1> tag;
  int n = std::snprintf(tag.data(), kFormatBound, format, printer);
  // A tag that does not fit is not the tag: never match its cut form.
  if (n < 0 || n >= kFormatBound) return TagMatch::kNoMatch;
  return std::strcmp(line, tag.data()) == 0 ? TagMatch::kMatch : TagMatch::kNoMatch;
}

bool same_but_case(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

bool fits_on_one_line(const char* text) {
  if (text == nullptr) return false;
  for (const char* p = text; *p != '\0'; ++p) {
    if (is_line_break(static_cast<unsigned char>(*p))) return false;
  }
  return true;
}

bool vformat_line(LineBuffer& out, const char* format, va_list args) {
  out.zero();
  int n = std::vsnprintf(out.data(), kFormatBound, format, args);
  return n >= 0 && n < kFormatBound;
}

bool format_line(LineBuffer& out, const char* format, ...) {
  va_list args;
  va_start(args, format);
  bool whole = vformat_line(out, format, args);
  va_end(args);
  return whole;
}
