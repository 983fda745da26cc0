// SPDX-License-Identifier: Apache-2.0
#include "line_reader.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "account_format.h"

namespace {

// cut_line's results besides a count of bytes.
constexpr int kLineContinues = -1;  // the chunk ran out first: the text waits in `pending`
constexpr int kLineNoMemory = -2;   // memory ran out: `pending` unchanged

// Appends the bytes of a line's text, which ends at its first zero byte.
void append_text(SecretText& pending, const char* bytes, std::size_t n) {
  pending.append(bytes, strnlen(bytes, n));
}

// Cuts the next line out of chunk[start, length) and appends its text to
// `pending`. Returns the bytes consumed (the text plus one or two ending
// bytes) when a complete line now stands in `pending`, else one of the two
// results above. chunk must hold length + 1 readable bytes.
int cut_line(SecretText& pending, const char* chunk, int start, int length) {
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
    if (start < length)
      append_text(pending, chunk + start, static_cast<std::size_t>(length - start));
    return kLineContinues;
  } catch (const std::bad_alloc&) {
    return kLineNoMemory;
  }
}

}  // namespace

bool read_lines(int fd, const std::string& path, const LineHandler& handle, StoreError* error) {
  SecretArray<kChunkLength + 1> chunk;
  SecretText pending;
  for (;;) {
    ssize_t got = ::read(fd, chunk.data(), kChunkLength);
    if (got < 0) {
      if (errno == EINTR) continue;
      return fail(error, StoreStep::kRead, path, errno);
    }
    if (got == 0) break;
    int offset = 0;
    while (offset < got) {
      int used = cut_line(pending, chunk.data(), offset, kChunkLength);
      if (used == kLineContinues) break;
      if (used == kLineNoMemory) return fail(error, StoreStep::kMemory, path, ENOMEM);
      if (!handle(pending)) return false;
      pending.clear();
      offset += used;
    }
    chunk.zero();
  }
  // A last line without a line break is still a line.
  return pending.empty() || handle(pending);
}
