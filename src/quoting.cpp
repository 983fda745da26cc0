// SPDX-License-Identifier: Apache-2.0
#include "quoting.h"

#include <cstdio>
#include <vector>

namespace {

// Bytes that need no quotes in a shell word.
bool plain(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         std::string_view("_-.,:/+@%=^").find(static_cast<char>(c)) != std::string_view::npos;
}

// The length of the UTF-8 character of a printable code point at text's
// start, or 0 for a control character or bytes that are no UTF-8.
std::size_t printable_character(std::string_view text) {
  const auto b = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = b(0);
  if (lead >= 0x20 && lead < 0x7F) return 1;
  std::size_t size = lead >= 0xF0 && lead <= 0xF4 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
  if (size == 0 || lead >= 0xF5 || text.size() < size) return 0;
  char32_t code = lead & (0x7F >> size);
  for (std::size_t i = 1; i < size; ++i) {
    if ((b(i) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (b(i) & 0x3F);
  }
  // Overlong forms, surrogates, the C1 controls (which some terminals
  // obey), and the marks that reorder or hide text: a name must not make a
  // line say what it does not.
  static constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < kSmallest[size] || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF ||
      (code >= 0x80 && code < 0xA0) || (code >= 0x200B && code <= 0x200F) ||
      (code >= 0x2028 && code <= 0x202E) || (code >= 0x2066 && code <= 0x2069) || code == 0xFEFF) {
    return 0;
  }
  return size;
}

std::string escaped(unsigned char c) {
  switch (c) {
    case '\a':
      return "\\a";
    case '\b':
      return "\\b";
    case 0x1B:
      return "\\e";
    case '\f':
      return "\\f";
    case '\n':
      return "\\n";
    case '\r':
      return "\\r";
    case '\t':
      return "\\t";
    case '\v':
      return "\\v";
    default:
      break;
  }
  char hex[5];
  std::snprintf(hex, sizeof hex, "\\x%02X", c);
  return hex;
}

}  // namespace

std::string quote_name(std::string_view name, bool blank_free) {
  bool all_plain = !name.empty();
  bool printable = true;
  for (std::size_t at = 0; at < name.size();) {
    const std::size_t size = printable_character(name.substr(at));
    const unsigned char c = static_cast<unsigned char>(name[at]);
    all_plain = all_plain && (size > 1 || (size == 1 && plain(c)));
    printable = printable && size != 0 && !(blank_free && c == ' ');
    at += size != 0 ? size : 1;
  }
  if (all_plain) return std::string(name);
  if (printable) {
    std::string out = "'";
    for (char c : name) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
  }
  std::string out = "$'";
  for (std::size_t at = 0; at < name.size();) {
    const std::size_t size = printable_character(name.substr(at));
    const unsigned char c = static_cast<unsigned char>(name[at]);
    if (size == 0 || (blank_free && c == ' ')) {
      out += escaped(c);
      ++at;
    } else if (c == '\'' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
      ++at;
    } else {
      out.append(name.substr(at, size));
      at += size;
    }
  }
  return out + "'";
}
