// SPDX-License-Identifier: Apache-2.0
#include "account_text.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <utility>

#include "line_breaks.h"

namespace {

// What is read at a time once the file's size as found is read: the end of
// the file, mostly, or what was added to it since.
constexpr std::size_t kProbeLength = 4096;

// Lines the model has room for beyond those read, and bytes for their
// texts: a set adds four at most.
constexpr std::size_t kSpareLines = 8;
constexpr std::size_t kSpareBytes = kSpareLines * kMaxFormattedLine;

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
                       StoreError& error, const struct stat* opened) {
  struct stat st {};
  if (opened != nullptr) {
    st = *opened;
  } else if (fstat(fd, &st) != 0) {
    return fail(error, StoreStep::kRead, path, errno);
  }
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
  // Room for the whole file, the byte that tells it grew and the lines an
  // edit adds, in one block (what is never used is never touched).
  bytes.reserve(static_cast<std::size_t>(st.st_size) + 1 + kSpareBytes);
  // Past the first read, what a file that grows brings is read here and
  // appended: telling the end costs no fresh room in the block.
  SecretArray<kProbeLength> probe;
  for (bool first = true;;) {
    // The whole file at once, then in pieces should it grow; one byte more
    // than allowed tells a file that grew past the bound.
    const std::size_t want = first ? static_cast<std::size_t>(st.st_size) + 1 : kProbeLength;
    const std::size_t room = std::min(want, kMaxFileBytes + 1 - bytes.size());
    const std::size_t had = bytes.size();
    char* at = first ? bytes.extend(room) : probe.data();
    const ssize_t got = ::read(fd, at, room);
    if (got < 0) {
      if (first) bytes.shrink(had);
      if (errno == EINTR) continue;
      return fail(error, StoreStep::kRead, path, errno);
    }
    if (first) {
      bytes.shrink(had + static_cast<std::size_t>(got));
    } else {
      bytes.append(at, static_cast<std::size_t>(got));
    }
    first = false;  // not before a read that signal cut short is made again
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
  // Most files hold no CR, 0xFF or zero byte: the census tells, and then
  // only line feeds are looked for (else each of those is, once).
  const Census census = census_of(b, size);
  const auto absent = [&](unsigned char c) {
    return !census.odd || std::memchr(b, c, size) == nullptr;
  };
  NextByte lf(b, size, '\n'), cr(b, size, '\r', absent('\r')), ff(b, size, 0xFF, absent(0xFF)),
      nul(b, size, 0, absent(0));
  // The texts of lines holding a zero byte, kept apart until the end so
  // that b stays valid, and which lines they are.
  SecretText joined;
  std::vector<std::size_t> joined_lines;
  auto add_line = [&](std::size_t start, std::size_t end, bool whole) {
    AccountLine line;
    if (nul.from(start) >= end) {
      line.start = static_cast<std::uint32_t>(start);
      line.size = static_cast<std::uint32_t>(end - start);
      line.what = classify_line({reinterpret_cast<const char*>(b) + start, end - start}, file_);
      lines_.push_back(line);
      return;
    }
    // Its text stops at the first zero byte of each chunk it spans.
    canonical_ = false;
    const std::size_t text_start = joined.size();
    for (std::size_t at = start; at < end;) {
      const std::size_t segment_end = std::min(end, (at / kChunkLength + 1) * kChunkLength);
      const std::size_t text_end = std::min(nul.from(at), segment_end);
      joined.append(reinterpret_cast<const char*>(b) + at, text_end - at);
      at = segment_end;
    }
    // A last line is one only when it has text.
    if (!whole && joined.size() == text_start) return;
    line.start = static_cast<std::uint32_t>(text_start);
    line.size = static_cast<std::uint32_t>(joined.size() - text_start);
    line.what = classify_line(joined.view().substr(text_start), file_);
    joined_lines.push_back(lines_.size());
    lines_.push_back(line);
  };
  // Every line but a last one ends in a line-breaking byte: with room for
  // that many, and a few more that an edit adds, the lines never move.
  lines_.reserve(census.breaks + 1 + kSpareLines);
  std::size_t line_start = 0;
  std::size_t pos = 0;
  if (!census.odd) {
    // Only line feeds end lines: the same rules, in a tighter loop, which
    // takes them 64 bytes at a time. LF LF is one ending within a chunk only.
    for (std::size_t block = 0; block < size; block += 64) {
      std::uint64_t feeds = line_feeds(b + block, std::min<std::size_t>(64, size - block));
      for (; feeds != 0; feeds &= feeds - 1) {
        const std::size_t p = block + static_cast<std::size_t>(std::countr_zero(feeds));
        if (p < pos) continue;  // the second of a pair
        // A pair only within a chunk (and the file); rare: looked at last.
        const bool pair = p + 1 < size && b[p + 1] == '\n' && (p + 1) % kChunkLength != 0;
        if (pair) canonical_ = false;
        const std::string_view text{reinterpret_cast<const char*>(b) + pos, p - pos};
        lines_.push_back(AccountLine{static_cast<std::uint32_t>(pos),
                                     static_cast<std::uint32_t>(p - pos),
                                     classify_line(text, file_)});
        pos = p + (pair ? 2 : 1);
      }
    }
    line_start = pos;
  }
  while (pos < size) {
    const std::size_t chunk_end = (pos / kChunkLength + 1) * kChunkLength;
    const std::size_t scan_end = std::min(chunk_end, size);
    const std::size_t p = std::min({lf.from(pos), cr.from(pos), ff.from(pos)});
    if (p >= scan_end) {  // the line goes on in the next chunk
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
    pos = std::min(p + (pair ? 2 : 1), chunk_end);
    line_start = pos;
  }
  if (line_start < size) {
    canonical_ = false;  // a last line without its line break, or trailing zeros
    add_line(line_start, size, false);
  }
  // A file that is its lines, each ended by one LF, is as long as they are.
  if (canonical_) {
    content_size_ = size;
  } else {
    for (const AccountLine& line : lines_) content_size_ += line.size + 1;
  }
  const std::size_t base = bytes_.size();
  bytes_.append(joined.view());
  for (std::size_t index : joined_lines) lines_[index].start += static_cast<std::uint32_t>(base);
}

AccountLine AccountText::add(std::string_view line_text) {
  AccountLine line;
  line.start = static_cast<std::uint32_t>(bytes_.size());
  line.size = static_cast<std::uint32_t>(line_text.size());
  bytes_.append(line_text);
  bytes_.push_back('\n');  // so that it is written from here, LF and all
  line.what = classify_line(text(line), file_);
  return line;
}

void AccountText::replace(std::size_t first, std::size_t end, const std::vector<AccountLine>& lines,
                          bool changed) {
  std::size_t old_size = 0;
  for (std::size_t i = first; i < end; ++i) old_size += lines_[i].size + 1;
  std::size_t new_size = 0;
  for (const AccountLine& line : lines) new_size += line.size + 1;
  const auto at = lines_.begin() + static_cast<std::ptrdiff_t>(first);
  const std::size_t common = std::min(end - first, lines.size());
  const auto from = lines.begin() + static_cast<std::ptrdiff_t>(common);
  // The lines beyond the old range's length go in first: only that can
  // throw, and it changes nothing when it does.
  if (from != lines.end()) {
    lines_.insert(at + static_cast<std::ptrdiff_t>(common), from, lines.end());
  } else {
    lines_.erase(at + static_cast<std::ptrdiff_t>(common),
                 lines_.begin() + static_cast<std::ptrdiff_t>(end));
  }
  std::copy(lines.begin(), from, lines_.begin() + static_cast<std::ptrdiff_t>(first));
  content_size_ = content_size_ - old_size + new_size;
  if (changed) ++changes_;
}

// The next piece of the content, from line *next on (moved past the lines
// it takes): lines that follow each other in the model's bytes, each with
// the LF after it, up to one with none after it (*add_lf: its LF is to be
// added). A file as read is mostly one piece, an edited one a few.
std::string_view AccountText::piece(std::size_t* next, bool* add_lf) const {
  const char* raw = bytes_.c_str();
  const AccountLine* const lines = lines_.data();
  const std::size_t count = lines_.size();
  const std::size_t size = bytes_.size();
  std::size_t at = *next;
  const std::size_t start = lines[at].start;
  std::size_t end = start;
  *add_lf = false;
  while (at < count && lines[at].start == end) {
    end += lines[at].size;
    ++at;
    if (end < size && raw[end] == '\n') {
      ++end;
    } else {
      *add_lf = true;
      break;
    }
  }
  *next = at;
  return {raw + start, end - start};
}

bool AccountText::pieces(std::size_t limit, std::vector<std::string_view>* out) const {
  out->clear();
  for (std::size_t next = 0; next < lines_.size();) {
    bool add_lf = false;
    const std::string_view run = piece(&next, &add_lf);
    if (!run.empty()) out->push_back(run);
    if (add_lf) out->push_back("\n");
    if (out->size() > limit) {
      out->clear();
      return false;
    }
  }
  return true;
}

SecretText AccountText::bytes() const {
  // Counted again rather than taken from content_size_: this sizes a copy.
  std::size_t total = 0;
  for (const AccountLine& line : lines_) total += line.size + 1;
  SecretText out;
  char* at = out.extend(total);
  for (std::size_t next = 0; next < lines_.size();) {
    bool add_lf = false;
    const std::string_view run = piece(&next, &add_lf);
    std::memcpy(at, run.data(), run.size());
    at += run.size();
    if (add_lf) *at++ = '\n';
  }
  return out;
}
