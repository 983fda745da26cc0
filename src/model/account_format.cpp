// SPDX-License-Identifier: Apache-2.0
#include "account_format.h"

#include <strings.h>

#include <cctype>
#include <initializer_list>

namespace {

// The order in which a status line's value is tried.
constexpr StatusFunction kFunctions[] = {StatusFunction::kJobAccounting,
                                         StatusFunction::kUserAuthentication, StatusFunction::kOff};

// Whether line is exactly the concatenation of pieces.
bool is_exactly(std::string_view line, std::initializer_list<std::string_view> pieces) {
  for (std::string_view piece : pieces) {
    if (!line.starts_with(piece)) return false;
    line.remove_prefix(piece.size());
  }
  return line.empty();
}

// Concatenates pieces into *line; false when the line and its LF would
// exceed kMaxFormattedLine.
bool format_line(SecretText* line, std::initializer_list<std::string_view> pieces) {
  line->clear();
  std::size_t size = 1;  // the LF
  for (std::string_view piece : pieces) size += piece.size();
  if (size > kMaxFormattedLine) return false;
  for (std::string_view piece : pieces) line->append(piece);
  return true;
}

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

std::string lower_case(std::string_view text) {
  std::string out(text);
  for (char& ch : out) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  return out;
}

LineClass classify_status_line(std::string_view line) {
  LineClass what;
  if (std::optional<StatusLine> status = parse_status_line(line)) {
    what.kind = LineKind::kStatus;
    what.function = status->function;
  }
  return what;
}

// Deliberate: drivers find sections the same way, whole and in one case.
bool is_opening_tag(std::string_view line, std::string_view queue) {
  return line.size() == queue.size() + 2 && is_tag_shaped(line) && tag_inner(line) == queue;
}

bool is_closing_tag(std::string_view line, std::string_view queue) {
  return line.size() == queue.size() + 3 && is_tag_shaped(line) && line[1] == '/' &&
         line.substr(2, queue.size()) == queue;
}

bool is_opening_tag_in_any_case(std::string_view line, std::string_view queue) {
  return is_tag_shaped(line) && same_but_case(tag_inner(line), queue);
}

bool is_closing_tag_in_any_case(std::string_view line, std::string_view queue) {
  if (!is_tag_shaped(line)) return false;
  const std::string_view inner = tag_inner(line);
  return inner.starts_with('/') && same_but_case(inner.substr(1), queue);
}

// Deliberate: the values drivers read.
const char* status_value(StatusFunction function) {
  switch (function) {
    case StatusFunction::kJobAccounting:
      return "ON";
    case StatusFunction::kUserAuthentication:
      return "U_ON";
    case StatusFunction::kOff:
      break;
  }
  return "OFF";
}

// "<Q>VALUE</Q>": the length of the line fixes that of Q for each value, so
// a queue name holding ">" is read as the update writes it.
std::optional<StatusLine> parse_status_line(std::string_view line) {
  if (line.size() > kMaxLineText || !line.starts_with('<')) return std::nullopt;
  for (StatusFunction function : kFunctions) {
    const std::string_view value = status_value(function);
    const std::size_t framing = value.size() + 5;  // "<", ">", "</", ">"
    if (line.size() < framing || (line.size() - framing) % 2 != 0) continue;
    const std::string_view queue = line.substr(1, (line.size() - framing) / 2);
    if (!queue.empty() && is_exactly(line, {"<", queue, ">", value, "</", queue, ">"})) {
      return StatusLine{queue, function};
    }
  }
  return std::nullopt;
}

// Deliberate: any other spelling, case or queue name is not the queue's.
bool is_status_line_of(std::string_view line, std::string_view queue) {
  std::optional<StatusLine> status = parse_status_line(line);
  return status && status->queue == queue;
}

bool format_opening_tag(std::string_view queue, SecretText* line) {
  return format_line(line, {"<", queue, ">"});
}

bool format_closing_tag(std::string_view queue, SecretText* line) {
  return format_line(line, {"</", queue, ">"});
}

bool format_key_line(CredentialKind kind, KeyPart part, std::string_view value, SecretText* line) {
  const KindKeys& keys = keys_of(kind);
  return format_line(line, {part == KeyPart::kId ? keys.id : keys.password, value});
}

bool format_status_line(std::string_view queue, StatusFunction function, SecretText* line) {
  return format_line(line, {"<", queue, ">", status_value(function), "</", queue, ">"});
}
