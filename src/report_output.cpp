// SPDX-License-Identifier: Apache-2.0
#include "report_output.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "quoting.h"

const char* function_field(std::optional<CredentialKind> function) {
  if (!function) return "-";
  switch (*function) {
    case CredentialKind::kJobAccounting:
      return "job-accounting";
    case CredentialKind::kUserAuthentication:
      return "user-authentication";
    case CredentialKind::kSecuredPrint:
    case CredentialKind::kNone:
      break;
  }
  return "off";
}

const char* stored_field(Stored stored) {
  switch (stored) {
    case Stored::kComplete:
      return "stored";
    case Stored::kIncomplete:
      return "incomplete";
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
              document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
}

void print_rows(const std::vector<std::string>& header,
                const std::vector<std::vector<std::string>>& rows, bool json, const char* key,
                nlohmann::json extra) {
  if (json) {
    nlohmann::json list = nlohmann::json::array();
    for (const auto& row : rows) {
      nlohmann::json entry = nlohmann::json::object();
      for (std::size_t i = 0; i < header.size(); ++i) {
        entry[json_key(header[i])] = json_value(row[i]);
      }
      list.push_back(std::move(entry));
    }
    extra[key] = std::move(list);
    print_json(extra);
    return;
  }
  std::vector<std::vector<std::string>> lines = {header};
  for (const auto& row : rows) {
    std::vector<std::string> line;
    for (const std::string& field : row) line.push_back(field_of(field));
    lines.push_back(std::move(line));
  }
  std::vector<std::size_t> width(header.size(), 0);
  for (const auto& line : lines) {
    for (std::size_t i = 0; i < line.size(); ++i) width[i] = std::max(width[i], line[i].size());
  }
  for (const auto& line : lines) {
    std::string text;
    for (std::size_t i = 0; i < line.size(); ++i) {
      text += line[i];
      if (i + 1 < line.size()) text.append(width[i] - line[i].size() + 2, ' ');
    }
    std::printf("%s\n", text.c_str());
  }
}
