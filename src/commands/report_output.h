// SPDX-License-Identifier: Apache-2.0
// How --list and --check print what they found: aligned columns of
// blank-free fields, "field: value" lines, or one JSON document with the
// same fields, for scripts. Never a value of a credential: only whether it
// is stored.
//
// Results: none; each function writes to standard output.
#ifndef VELMORA_REPORT_OUTPUT_H_
#define VELMORA_REPORT_OUTPUT_H_

#include <functional>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "credential_file.h"
#include "credential_kind.h"

// The words of the fields: "job-accounting", "user-authentication" or "off"
// for the function switched on ("-": nothing recorded); "stored",
// "incomplete" or "-" for a kind's key lines.
const char* function_field(std::optional<StatusFunction> function);
const char* stored_field(Stored stored);

// A name as one blank-free field, quoted as every name is (quoting.h).
std::string field_of(std::string_view text);

// A field's name in JSON: "SWITCHED-ON" -> "switched_on"; and a value: "-"
// and "?" (nothing, not known) are null.
std::string json_key(std::string_view field);
nlohmann::json json_value(const std::string& value);

// Writes a JSON document in ASCII (every other character as \uXXXX, so that
// no name acts on a terminal, and reads back as it is); bytes that are not
// UTF-8 (a queue name, say) are replaced rather than refused.
void print_json(const nlohmann::json& document);

// The fields of row i, made when it is printed: a listing may hold many
// rows, and only their compact form is kept.
using RowSource = std::function<std::vector<std::string>(std::size_t)>;

// `count` rows under a header: aligned columns of blank-free fields (the
// first `names` of them names, quoted as every name is; the others the
// fields' own words, "?" included), or (json) an object holding, under
// `key`, one object per row, and the members of extra; each row is made
// twice (its widths, then its line) or once.
void print_rows(const std::vector<std::string>& header, std::size_t names, std::size_t count,
                const RowSource& row, bool json, const char* key, const nlohmann::json& extra);

#endif  // VELMORA_REPORT_OUTPUT_H_
