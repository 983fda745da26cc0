// SPDX-License-Identifier: Apache-2.0
#include "base64.h"

#include <cstring>
#include <new>

namespace {
constexpr char kAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
}  // namespace

unsigned z_GetVal(const unsigned char* text, std::size_t length, std::size_t index) {
  if (text == nullptr) return 0;
  std::size_t bit = 6 * index;
  std::size_t k = bit / 8;
  unsigned s = static_cast<unsigned>(bit % 8);
  if (s == 0) return text[k] >> 2;
  unsigned low = k + 1 < length ? text[k + 1] : 0u;
  unsigned window = (static_cast<unsigned>(text[k]) << 8) | low;
  window &= 0xFFFFu >> s;  // clear the s highest bits of the 16-bit window
  return window >> (10 - s);
}

int util_encodeBase64(const char* text, SecretText* result, std::size_t* length) {
  if (text == nullptr || result == nullptr) return -1;
  result->clear();
  if (length != nullptr) *length = 0;

  const auto* bytes = reinterpret_cast<const unsigned char*>(text);
  std::size_t n = std::strlen(text);
  std::size_t groups = (8 * n + 5) / 6;
  std::size_t pad = (4 - groups % 4) % 4;
  try {
    SecretText out;
    for (std::size_t i = 0; i < groups; ++i) out.push_back(kAlphabet[z_GetVal(bytes, n, i)]);
    for (std::size_t i = 0; i < pad; ++i) out.push_back('=');
    *result = std::move(out);
  } catch (const std::bad_alloc&) {
    return -1;
  }
  if (length != nullptr) *length = groups + pad;
  return 0;
}
