// SPDX-License-Identifier: Apache-2.0
#include "base64.h"

#include <cstddef>
#include <new>

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The 6-bit group number `index` of the bytes of text, most significant bits
// first, with missing bits behind the last byte taken as 0.
unsigned group_of(std::string_view text, std::size_t index) {
  const auto byte = [&](std::size_t k) -> unsigned {
    return k < text.size() ? static_cast<unsigned char>(text[k]) : 0u;
  };
  std::size_t bit = 6 * index;
  std::size_t k = bit / 8;
  unsigned s = static_cast<unsigned>(bit % 8);
  if (s == 0) return byte(k) >> 2;
  unsigned window = (byte(k) << 8) | byte(k + 1);
  window &= 0xFFFFu >> s;  // clear the s highest bits of the 16-bit window
  return window >> (10 - s);
}

}  // namespace

bool encode_base64(std::string_view text, SecretText* result) {
  result->clear();
  const std::size_t groups = (8 * text.size() + 5) / 6;
  const std::size_t pad = (4 - groups % 4) % 4;
  try {
    SecretText out;
    for (std::size_t i = 0; i < groups; ++i) out.push_back(kAlphabet[group_of(text, i)]);
    for (std::size_t i = 0; i < pad; ++i) out.push_back('=');
    *result = std::move(out);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}
