// SPDX-License-Identifier: Apache-2.0
// Where a file's line breaks are: the looks over all of its bytes that
// cutting it into lines (account_text.h) takes, each linear in its size and
// written for speed (a credential file may hold 100,000 lines).
//
//   const Census census = census_of(bytes, size);   // before anything else
//   NextByte cr(bytes, size, '\r', !census.odd);    // CR next from a place on
//   std::uint64_t feeds = line_feeds(bytes + at, 64);  // bit i: bytes[at + i] is LF
//
// Results: answers only; nothing here fails.
#ifndef VELMORA_LINE_BREAKS_H_
#define VELMORA_LINE_BREAKS_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

// What cutting a file needs to know of all of its bytes, in one look: how
// many end a line (a bound on the lines), and whether any is CR, 0xFF or
// zero (most files hold none: only line feeds are then looked for, and only
// they are counted at first). In blocks of a fixed length, which compilers
// turn into vector code.
struct Census {
  std::size_t breaks = 0;
  bool odd = false;
};

Census census_of(const unsigned char* b, std::size_t size);

// Bit i set: bytes[i] is a line feed, of the n <= 64 bytes from bytes.
std::uint64_t line_feeds(const unsigned char* bytes, std::size_t n);

// The next position of a byte at or after a given one, found with memchr and
// kept until passed: every byte of the file is looked at once per kind.
class NextByte {
 public:
  // absent: the byte is known to be nowhere (never looked for again).
  NextByte(const unsigned char* bytes, std::size_t size, unsigned char c, bool absent = false)
      : bytes_(bytes),
        size_(size),
        c_(c),
        at_(absent ? std::numeric_limits<std::size_t>::max() : 0),
        looked_(absent) {}
  std::size_t from(std::size_t pos) {
    if (!looked_ || at_ < pos) {
      const void* hit = pos < size_ ? std::memchr(bytes_ + pos, c_, size_ - pos) : nullptr;
      at_ = hit != nullptr
                ? static_cast<std::size_t>(static_cast<const unsigned char*>(hit) - bytes_)
                : size_;
      looked_ = true;
    }
    return at_;
  }

 private:
  const unsigned char* bytes_;
  std::size_t size_;
  unsigned char c_;
  std::size_t at_;
  bool looked_;
};

#endif  // VELMORA_LINE_BREAKS_H_
