// SPDX-License-Identifier: Apache-2.0
#include "line_breaks.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

Census census_of(const unsigned char* b, std::size_t size) {
  constexpr std::size_t kBlock = 64;
  Census census;
  unsigned char odd = 0;
  std::size_t at = 0;
  for (; at + kBlock <= size; at += kBlock) {
    unsigned char in_block = 0;  // at most kBlock
    for (std::size_t i = 0; i < kBlock; ++i) {
      const unsigned char c = b[at + i];
      in_block += static_cast<unsigned char>(c == '\n');
      odd |= static_cast<unsigned char>((c == '\r') | (c == 0xFF) | (c == 0));
    }
    census.breaks += in_block;
  }
  for (; at < size; ++at) {
    census.breaks += b[at] == '\n' ? 1 : 0;
    odd |= static_cast<unsigned char>(b[at] == '\r' || b[at] == 0xFF || b[at] == 0);
  }
  census.odd = odd != 0;
  if (!census.odd) return census;
  // Then CR and 0xFF end lines too: counted the same way.
  for (at = 0; at + kBlock <= size; at += kBlock) {
    unsigned char in_block = 0;
    for (std::size_t i = 0; i < kBlock; ++i) {
      in_block += static_cast<unsigned char>((b[at + i] == '\r') + (b[at + i] == 0xFF));
    }
    census.breaks += in_block;
  }
  for (; at < size; ++at) census.breaks += b[at] == '\r' || b[at] == 0xFF ? 1 : 0;
  return census;
}

// Bit i set: bytes[i] is a line feed, of the n <= 64 bytes from bytes.
std::uint64_t line_feeds(const unsigned char* bytes, std::size_t n) {
#if defined(__SSE2__)
  if (n == 64) {
    const __m128i lf = _mm_set1_epi8('\n');
    std::uint64_t mask = 0;
    for (std::size_t i = 0; i < 4; ++i) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + 16 * i));
      const auto bits = static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, lf)));
      mask |= std::uint64_t{bits} << (16 * i);
    }
    return mask;
  }
#endif
  std::uint64_t mask = 0;
  for (std::size_t i = 0; i < n; ++i) mask |= std::uint64_t{bytes[i] == '\n'} << i;
  return mask;
}
