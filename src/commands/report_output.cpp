// SPDX-License-Identifier: Apache-2.0
#include "report_output.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "quoting.h"
#include "translation.h"

const char* function_field(std::optional<StatusFunction> function) {
  if (!function) return "-";
  const std::optional<CredentialKind> kind = kind_needed(*function);
  return kind ? names_of(*kind).word : W_("off");
}

const char* stored_field(Stored stored) {
  switch (stored) {
    case Stored::kComplete:
      return W_("stored");
    case Stored::kIncomplete:
      return W_("incomplete");
    case Stored::kNothing:
      break;
  }
  return "-";
}

std::string field_of(std::string_view text) { return quote_name(text, true); }

std::string json_key(std::string_view field) {
  std::string key(field);
  for (char& ch : key) {
    ch = ch == '-' ? '_' : static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  }
  return key;
}

nlohmann::json json_value(const std::string& value) {
  if (value == "-" || value == "?") return nullptr;
  return value;
}

void print_json(const nlohmann::json& document) {
  std::printf("%s\n",
              document.dump(2, ' ', true, nlohmann::json::error_handler_t::replace).c_str());
}

namespace {

// Text dumped as print_json does, indented by `depth` more spaces.
std::string dumped(const nlohmann::json& value, std::size_t depth) {
  const std::string text = value.dump(2, ' ', true, nlohmann::json::error_handler_t::replace);
  std::string out;
  for (char c : text) {
    out += c;
    if (c == '\n') out.append(depth, ' ');
  }
  return out;
}

// The document print_json would print, with the rows written one at a time
// where the placeholder under `key` stands.
void print_json_rows(const std::vector<std::string>& header, std::size_t count,
                     const RowSource& row, const char* key, nlohmann::json document) {
  document[key] = nullptr;
  std::fputc('{', stdout);
  bool first = true;
  for (const auto& [name, value] : document.items()) {
    std::printf("%s\n  %s: ", first ? "" : ",", dumped(nlohmann::json(name), 0).c_str());
    first = false;
    if (name != key) {
      std::fputs(dumped(value, 2).c_str(), stdout);
      continue;
    }
    if (count == 0) std::fputs("[]", stdout);
    for (std::size_t i = 0; i < count; ++i) {
      const std::vector<std::string> fields = row(i);
      nlohmann::json entry = nlohmann::json::object();
      for (std::size_t f = 0; f < header.size(); ++f) {
        // The audit's verdict is JSON's own true or false, as --check's.
        entry[json_key(header[f])] = header[f] != "READY" ? json_value(fields[f])
                                     : fields[f] == "?"   ? nlohmann::json(nullptr)
                                                          : nlohmann::json(fields[f] == "yes");
      }
      std::printf("%s\n    %s", i == 0 ? "[" : ",", dumped(entry, 4).c_str());
    }
    if (count != 0) std::fputs("\n  ]", stdout);
  }
  std::fputs(first ? "}\n" : "\n}\n", stdout);
}

}  // namespace

void print_rows(const std::vector<std::string>& header, std::size_t names, std::size_t count,
                const RowSource& row, bool json, const char* key, const nlohmann::json& extra) {
  if (json) return print_json_rows(header, count, row, key, extra);
  // A person's table: the words translated, names quoted, columns as wide
  // as a terminal shows them.
  const auto shown = [names](const std::vector<std::string>& fields, bool quote) {
    std::vector<std::string> out;
    for (std::size_t f = 0; f < fields.size(); ++f) {
      out.push_back(quote && f < names ? field_of(fields[f]) : table_word(fields[f]));
    }
    return out;
  };
  const DisplayWidth display_width;
  std::vector<std::size_t> width(header.size(), 0);
  const auto measure = [&](const std::vector<std::string>& fields) {
    for (std::size_t f = 0; f < fields.size(); ++f) {
      width[f] = std::max(width[f], display_width(fields[f]));
    }
  };
  measure(shown(header, false));
  for (std::size_t i = 0; i < count; ++i) measure(shown(row(i), true));
  const auto print_line = [&](const std::vector<std::string>& fields) {
    std::string text;
    for (std::size_t f = 0; f < fields.size(); ++f) {
      text += fields[f];
      if (f + 1 < fields.size()) text.append(width[f] - display_width(fields[f]) + 2, ' ');
    }
    std::printf("%s\n", text.c_str());
  };
  print_line(shown(header, false));
  for (std::size_t i = 0; i < count; ++i) print_line(shown(row(i), true));
}
