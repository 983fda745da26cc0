// SPDX-License-Identifier: Apache-2.0
#include "batch_record.h"

#include <string.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <vector>

#include "credential_entry.h"
#include "messages.h"

namespace {

// JSON whose strings and nodes live in memory that is wiped when released.
using SecretString = std::basic_string<char, std::char_traits<char>, WipingAllocator<char>>;
using SecretJson = nlohmann::basic_json<std::map, std::vector, SecretString, bool, std::int64_t,
                                        std::uint64_t, double, WipingAllocator>;

// Wipes the stack below the caller's frame, where the parser kept copies of
// what it read (the short strings its lexer holds in place).
__attribute__((noinline)) void wipe_stack() {
  char area[16384];
  explicit_bzero(area, sizeof area);
  asm volatile("" : : "r"(area) : "memory");
}

constexpr const char* kWords[] = {"job-accounting", "user-authentication", "secured-print"};

bool refuse(BatchRecord* record, std::string why) {
  record->refused = std::move(why);
  return false;
}

std::string plain(const SecretString& text) { return std::string(text.data(), text.size()); }

// A field's name in quotes, for a reason.
std::string field_name(const SecretString& key) {
  std::string out = "\"";
  out.append(key.data(), key.size());
  out += '"';
  return out;
}

// A string field's text, if the field is given and is a string.
const SecretString* text_of(const SecretJson& json, const char* key) {
  const auto found = json.find(key);
  return found != json.end() && found->is_string() ? &found->get_ref<const SecretString&>()
                                                   : nullptr;
}

// The account and queue, first, so that even a refused record's answer
// names them.
void take_names(const SecretJson& json, BatchRecord* record) {
  if (!json.is_object()) return;
  for (const char* key : {"user", "queue"}) {
    const SecretString* text = text_of(json, key);
    if (text != nullptr && text->find('\0') == SecretString::npos) {
      (key[0] == 'u' ? record->user : record->queue) = plain(*text);
    }
  }
}

bool parse_fields(const SecretJson& json, BatchRecord* record) {
  if (!json.is_object()) return refuse(record, "not a JSON object");
  std::optional<std::string> state;
  for (const auto& [key, value] : json.items()) {
    if (!value.is_string()) return refuse(record, field_name(key) + " is not a string");
    const SecretString& text = value.get_ref<const SecretString&>();
    // A NUL would end the text where the system reads it ("alice\u0000x"
    // acting on alice).
    if (text.find('\0') != SecretString::npos) {
      return refuse(record, field_name(key) + " holds a NUL character");
    }
    if (key == "kind") {
      for (CredentialKind kind : kCredentialKinds) {
        if (text == kind_word(kind)) record->kind = kind;
      }
      if (!record->kind) return refuse(record, "no such \"kind\"");
    } else if (key == "state") {
      state = plain(text);
    } else if (key == "id" || key == "password") {
      (key == "id" ? record->id : record->password).append(text.data(), text.size());
    } else if (key != "user" && key != "queue") {
      return refuse(record, "no such field: " + field_name(key));
    }
  }
  if (!record->queue || record->queue->empty()) return refuse(record, "no \"queue\"");
  if (!record->kind) return refuse(record, "no \"kind\"");
  if (state && *state != "present" && *state != "absent") {
    return refuse(record, "\"state\" is neither \"present\" nor \"absent\"");
  }
  record->present = !state || *state == "present";
  const bool has_values = json.contains("id") || json.contains("password");
  if (!record->present) {
    return !has_values || refuse(record, "an absent credential takes no \"id\" or \"password\"");
  }
  if (!json.contains("id") || !json.contains("password")) {
    return refuse(record, "a present credential needs \"id\" and \"password\"");
  }
  // The rules of typed answers, on the values as they would be stored.
  for (bool password : {false, true}) {
    const std::string_view value = (password ? record->password : record->id).view();
    const EntryResult judged = judge_value(*record->kind, password, value);
    if (judged != EntryResult::kAccepted) {
      return refuse(record, entry_problem(*record->kind, password, judged, std::nullopt));
    }
  }
  return true;
}

}  // namespace

const char* kind_word(CredentialKind kind) {
  const auto index = static_cast<std::size_t>(kind) - 1;
  return index < std::size(kWords) ? kWords[index] : "";
}

bool parse_record(std::string_view line, BatchRecord* record) {
  bool parsed = false;
  {
    // Not valid JSON (UTF-8 included): refused without a word of it, which
    // may hold a value.
    // A field given twice would otherwise mean its last value: refused, as
    // either could have been meant.
    std::vector<SecretString> keys;
    std::optional<SecretString> twice;
    const auto note_key = [&](int depth, SecretJson::parse_event_t event, SecretJson& parsed) {
      if (depth == 1 && event == SecretJson::parse_event_t::key && !twice) {
        const SecretString& key = parsed.get_ref<const SecretString&>();
        if (std::find(keys.begin(), keys.end(), key) != keys.end()) twice = key;
        keys.push_back(key);
      }
      return true;
    };
    const SecretJson json = SecretJson::parse(line.begin(), line.end(), note_key, false);
    take_names(json, record);
    parsed = json.is_discarded() ? refuse(record, "not valid JSON")
             : twice             ? refuse(record, field_name(*twice) + " is given twice")
                                 : parse_fields(json, record);
  }
  wipe_stack();
  return parsed;
}
