// SPDX-License-Identifier: Apache-2.0
#include "quoting.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <utility>

namespace {

// Bytes that need no quotes in a shell word.
bool plain(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         std::string_view("_-.,:/+@%=^").find(static_cast<char>(c)) != std::string_view::npos;
}

// Every space separator (Zs, Zl, Zp), format character (Cf) and default
// ignorable code point of Unicode 15, as ranges in order.
constexpr std::pair<char32_t, char32_t> kHidden[] = {
    {0x00A0, 0x00A0},   {0x00AD, 0x00AD},   {0x034F, 0x034F},   {0x0600, 0x0605},
    {0x061C, 0x061C},   {0x06DD, 0x06DD},   {0x070F, 0x070F},   {0x0890, 0x0891},
    {0x08E2, 0x08E2},   {0x115F, 0x1160},   {0x1680, 0x1680},   {0x17B4, 0x17B5},
    {0x180B, 0x180F},   {0x2000, 0x200F},   {0x2028, 0x202F},   {0x205F, 0x206F},
    {0x3000, 0x3000},   {0x3164, 0x3164},   {0xFE00, 0xFE0F},   {0xFEFF, 0xFEFF},
    {0xFFA0, 0xFFA0},   {0xFFF0, 0xFFFB},   {0x110BD, 0x110BD}, {0x110CD, 0x110CD},
    {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0xE0000, 0xE0FFF},
};

bool hidden(char32_t code) {
  const auto* range = std::upper_bound(std::begin(kHidden), std::end(kHidden), code,
                                       [](char32_t c, const auto& r) { return c < r.first; });
  return range != std::begin(kHidden) && code <= std::prev(range)->second;
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
  // obey), and the characters that are blank, invisible or reorder text: a
  // name must not make a line say what it does not, nor split a field where
  // a tool that knows Unicode splits at blanks.
  static constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < kSmallest[size] || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF ||
      (code >= 0x80 && code < 0xA0) || hidden(code)) {
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

std::string in_quotes(std::string_view value) {
  const std::string shown = quote_name(value);
  return shown == value ? "'" + shown + "'" : shown;
}

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
    } else if (c == '\'') {
      // Not \' : completion and other readers that know only single
      // quotes would take it for the end of the quotes.
      out += "\\x27";
      ++at;
    } else if (c == '\\') {
      out += "\\\\";
      ++at;
    } else {
      out.append(name.substr(at, size));
      at += size;
    }
  }
  return out + "'";
}
