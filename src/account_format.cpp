// SPDX-License-Identifier: Apache-2.0
#include "account_format.h"

#include <strings.h>

#include <cstdarg>
#include <cstdio>

namespace {

constexpr std::size_t kFormatBound = kMaxFormattedLine + 1;  // the line and its NUL

// Formats into out within the line bound; false when the text would be cut.
__attribute__((format(printf, 2, 3))) bool format_line(LineBuffer& out, const char* format, ...) {
  out.zero();
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(out.data(), kFormatBound, format, args);
  va_end(args);
  return n >= 0 && static_cast<std::size_t>(n) < kFormatBound;
}

int length_of(std::string_view text) { return static_cast<int>(text.size()); }

// Whether line is open, queue, close, byte for byte, and fits the bound.
bool is_framed(std::string_view line, std::string_view open, std::string_view queue,
               std::string_view close) {
  return line.size() == open.size() + queue.size() + close.size() && line.size() < kFormatBound &&
         line.starts_with(open) && line.ends_with(close) &&
         line.substr(open.size(), queue.size()) == queue;
}

constexpr CredentialKind kFunctions[] = {
    CredentialKind::kJobAccounting, CredentialKind::kUserAuthentication, CredentialKind::kNone};

}  // namespace

bool fits_on_one_line(std::string_view text) {
  for (unsigned char c : text) {
    if (is_line_break(c)) return false;
  }
  return true;
}

bool same_but_case(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// Deliberate: drivers find sections the same way, whole and in one case.
bool is_opening_tag(std::string_view line, std::string_view queue) {
  return is_framed(line, "<", queue, ">");
}

bool is_closing_tag(std::string_view line, std::string_view queue) {
  return is_framed(line, "</", queue, ">");
}

std::optional<Tag> parse_tag(std::string_view line) {
  const bool closing = line.starts_with("</");
  const std::size_t start = closing ? 2 : 1;
  if (line.size() <= start + 1 || !line.starts_with('<') || !line.ends_with('>')) {
    return std::nullopt;
  }
  return Tag{line.substr(start, line.size() - start - 1), closing};
}

bool format_opening_tag(LineBuffer& out, std::string_view queue) {
  return format_line(out, "<%.*s>\n", length_of(queue), queue.data());
}

bool format_closing_tag(LineBuffer& out, std::string_view queue) {
  return format_line(out, "</%.*s>\n", length_of(queue), queue.data());
}

// Deliberate: these prefixes are what drivers read; none begins another.
const KindKeys& keys_of(CredentialKind kind) {
  static constexpr KindKeys kJobAccounting{"id=", "password="};
  static constexpr KindKeys kUserAuthentication{"u_id=", "u_password="};
  static constexpr KindKeys kSecuredPrint{"s_id=", "s_password="};
  switch (kind) {
    case CredentialKind::kUserAuthentication:
      return kUserAuthentication;
    case CredentialKind::kSecuredPrint:
      return kSecuredPrint;
    case CredentialKind::kJobAccounting:
    case CredentialKind::kNone:
      break;
  }
  return kJobAccounting;
}

bool is_key_of(std::string_view line, const KindKeys& keys) {
  return line.starts_with(keys.id) || line.starts_with(keys.password);
}

bool is_id_key(std::string_view line, const KindKeys& keys) { return line.starts_with(keys.id); }

bool format_key_line(LineBuffer& out, const char* prefix, std::string_view value) {
  return format_line(out, "%s%.*s\n", prefix, length_of(value), value.data());
}

// Deliberate: the values drivers read; any kind but these two is "OFF".
const char* status_value(CredentialKind kind) {
  if (kind == CredentialKind::kJobAccounting) return "ON";
  if (kind == CredentialKind::kUserAuthentication) return "U_ON";
  return "OFF";
}

// Deliberate: any other spelling, case or queue name is not the queue's.
bool is_status_line_of(std::string_view line, std::string_view queue) {
  if (!line.starts_with('<')) return false;
  for (CredentialKind function : kFunctions) {
    const std::string_view value = status_value(function);
    const std::size_t open = queue.size() + 2;
    if (line.size() == open + value.size() + queue.size() + 3 && line.size() < kFormatBound &&
        is_opening_tag(line.substr(0, open), queue) && line.substr(open, value.size()) == value &&
        is_closing_tag(line.substr(open + value.size()), queue)) {
      return true;
    }
  }
  return false;
}

std::optional<StatusLine> parse_status_line(std::string_view line) {
  const std::size_t end = line.find('>');
  if (!line.starts_with('<') || end == std::string_view::npos || end < 2) return std::nullopt;
  const std::string_view queue = line.substr(1, end - 1);
  const std::string_view rest = line.substr(end + 1);
  for (CredentialKind function : kFunctions) {
    const std::string_view value = status_value(function);
    if (rest.size() == value.size() + queue.size() + 3 && rest.starts_with(value) &&
        rest.substr(value.size(), 2) == "</" &&
        rest.substr(value.size() + 2, queue.size()) == queue && rest.ends_with('>')) {
      return StatusLine{queue, function};
    }
  }
  return std::nullopt;
}

bool format_status_line(LineBuffer& out, std::string_view queue, CredentialKind kind) {
  return format_line(out, "<%.*s>%s</%.*s>\n", length_of(queue), queue.data(), status_value(kind),
                     length_of(queue), queue.data());
}
