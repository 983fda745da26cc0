// SPDX-License-Identifier: Apache-2.0
#include "account_text.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace {

// Read in large blocks; the chunks of the line rules are only boundaries.
constexpr std::size_t kReadBlock = 64 * 1024;

}  // namespace

AccountText AccountText::parse(std::string_view bytes, FileKind file) {
  AccountText text;
  text.file_ = file;
  text.bytes_.reserve(bytes.size());
  text.bytes_.append(bytes);
  text.cut_lines(bytes.size());
  return text;
}

bool AccountText::read(int fd, const std::string& path, FileKind file, AccountText* text,
                       StoreError& error) {
  struct stat st {};
  if (fstat(fd, &st) != 0) return fail(error, StoreStep::kRead, path, errno);
  // Sparse or huge: refused before a byte is read.
  auto too_large = [&](std::size_t size) {
    error.owner = st.st_uid;
    error.size = size;
    return fail(error, StoreStep::kTooLarge, path, EFBIG);
  };
  if (st.st_size < 0 || static_cast<std::size_t>(st.st_size) > kMaxFileBytes) {
    return too_large(static_cast<std::size_t>(st.st_size));
  }
  AccountText read_text;
  read_text.file_ = file;
  SecretText& bytes = read_text.bytes_;
  bytes.reserve(static_cast<std::size_t>(st.st_size));
  for (;;) {
    // One byte more than allowed tells a file that grew past the bound.
    const std::size_t room = std::min(kReadBlock, kMaxFileBytes + 1 - bytes.size());
    const std::size_t had = bytes.size();
    char* at = bytes.extend(room);
    const ssize_t got = ::read(fd, at, room);
    if (got < 0) {
      bytes.shrink(had);
      if (errno == EINTR) continue;
      return fail(error, StoreStep::kRead, path, errno);
    }
    bytes.shrink(had + static_cast<std::size_t>(got));
    if (got == 0) break;
    if (bytes.size() > kMaxFileBytes) return too_large(bytes.size());
  }
  read_text.cut_lines(bytes.size());
  *text = std::move(read_text);
  return true;
}

// Cuts bytes_[0, size) into lines by the rules in the header, in one pass.
void AccountText::cut_lines(std::size_t size) {
  size_read_ = size;
  const auto* b = reinterpret_cast<const unsigned char*>(bytes_.c_str());
  std::size_t line_start = 0;
  std::size_t pos = 0;
  while (pos < size) {
    const std::size_t chunk_end = (pos / kChunkLength + 1) * kChunkLength;
    const std::size_t scan_end = std::min(chunk_end, size);
    std::size_t p = pos;
    while (p < scan_end && !is_line_break(b[p])) ++p;
    if (p == scan_end) {  // the line goes on in the next chunk
      pos = chunk_end;
      continue;
    }
    // Deliberate (the files' line format): CR LF, LF CR, LF LF and CR CR end
    // one line; 0xFF always takes the next byte. A chunk's last byte is
    // followed by its trailing zero, not by the next chunk's first.
    const unsigned char next = p + 1 < scan_end ? b[p + 1] : 0;
    const bool pair = b[p] == 0xFF || next == '\n' || next == '\r';
    canonical_ = canonical_ && b[p] == '\n' && !pair;
    add_line(line_start, p, true);
    b = reinterpret_cast<const unsigned char*>(bytes_.c_str());  // add_line may move it
    pos = std::min(p + (pair ? 2 : 1), chunk_end);
    line_start = pos;
  }
  if (line_start < size) {
    canonical_ = false;  // a last line without its line break, or trailing zeros
    add_line(line_start, size, false);
  }
}

// Adds the line whose bytes, without its break, are [start, end). Its text
// stops at the first zero byte of each chunk it spans, so a line holding a
// zero byte gets a text of its own behind the file's bytes.
void AccountText::add_line(std::size_t start, std::size_t end, bool whole) {
  const char* b = bytes_.c_str();
  AccountLine line;
  if (std::memchr(b + start, '\0', end - start) == nullptr) {
    line.start = static_cast<std::uint32_t>(start);
    line.size = static_cast<std::uint32_t>(end - start);
  } else {
    canonical_ = false;
    SecretText joined;
    for (std::size_t at = start; at < end;) {
      const std::size_t segment_end = std::min(end, (at / kChunkLength + 1) * kChunkLength);
      joined.append(b + at, strnlen(b + at, segment_end - at));
      at = segment_end;
    }
    // A last line is one only when it has text.
    if (!whole && joined.empty()) return;
    line.start = static_cast<std::uint32_t>(bytes_.size());
    line.size = static_cast<std::uint32_t>(joined.size());
    bytes_.append(joined.view());
  }
  line.what = classify_line(text(line), file_);
  lines_.push_back(line);
}

AccountLine AccountText::add(std::string_view line_text) {
  AccountLine line;
  line.start = static_cast<std::uint32_t>(bytes_.size());
  line.size = static_cast<std::uint32_t>(line_text.size());
  bytes_.append(line_text);
  line.what = classify_line(text(line), file_);
  return line;
}

void AccountText::replace(std::vector<AccountLine> lines, bool changed) {
  lines_ = std::move(lines);
  if (changed) ++changes_;
}

SecretText AccountText::bytes() const {
  std::size_t total = 0;
  for (const AccountLine& line : lines_) total += line.size + 1;
  SecretText out;
  out.reserve(total);
  for (const AccountLine& line : lines_) {
    out.append(text(line));
    out.push_back('\n');
  }
  return out;
}
